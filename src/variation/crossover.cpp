#include "variation/crossover.hpp"

#include <algorithm>
#include <string>

#include "common/console.hpp"
#include "common/errors.hpp"
#include "network/shuffle.hpp"
#include "variation/integrity.hpp"
#include "variation/random_draws.hpp"

namespace tessaron {
namespace {

// Word w of row `from` of a parent, restricted to its own nodes; 0 where the parent has no such
// row or word.
std::uint64_t parent_word(const Network& parent, std::int32_t from, std::int32_t w) {
    if (from >= parent.size || w >= parent.row_words()) return 0;
    std::uint64_t word = parent.row(from)[w];
    const std::int32_t beyond = parent.size - w * 64;
    if (beyond < 64) word &= (std::uint64_t{1} << beyond) - 1;
    return word;
}

}  // namespace

Network make_child(const Network& a, const Network& b, double score_a, double score_b) {
    const bool b_fitter = score_a > score_b;
    const bool a_fitter = score_a <= score_b;  // both false when a score is NaN
    const std::int32_t len = b_fitter ? b.size : a.size;

    Network child;
    child.inputs = a.inputs;
    child.outputs = a.outputs;
    reset(child, len);

    const std::int32_t shared_nodes = std::min(a.size, b.size);
    for (std::int32_t i = 0; i < len; ++i) {
        const Network* source = i < a.size ? &a : &b;
        if (i < shared_nodes && fresh_uniform(0.0, 1.0) > 0.5) source = &b;
        child.activations[i] = source->activations[i];
        child.biases[i] = source->biases[i];
    }

    // Targets k >= max(i + 1, inputs) in ascending order; only where a parent has a connection
    // can the child get one.
    const std::int32_t words = child.row_words();
    for (std::int32_t i = 0; i < len - child.outputs; ++i) {
        const std::int32_t first = std::max(i + 1, child.inputs);
        for (std::int32_t w = first >> 6; w < words; ++w) {
            std::uint64_t low_mask =
                w == (first >> 6) ? ~std::uint64_t{0} << (first & 63) : ~std::uint64_t{0};
            const std::uint64_t in_a = parent_word(a, i, w) & low_mask;
            const std::uint64_t in_b = parent_word(b, i, w) & low_mask;
            for (std::uint64_t bits = in_a | in_b; bits != 0; bits &= bits - 1) {
                const int bit = std::countr_zero(bits);
                const std::int32_t k = w * 64 + bit;
                if (k >= len) break;
                const bool has_a = (in_a >> bit) & 1u, has_b = (in_b >> bit) & 1u;
                double weight;
                if (has_a && has_b)
                    weight = fresh_uniform(0.0, 1.0) <= 0.5 ? a.weight(i, k) : b.weight(i, k);
                else if (has_a && a_fitter)
                    weight = a.weight(i, k);
                else if (has_b && b_fitter)
                    weight = b.weight(i, k);
                else
                    continue;
                child.set_bit(i, k);
                child.weight(i, k) = weight;
            }
        }
    }
    return child;
}

std::vector<Network> crossover(std::vector<Network>& population, std::vector<double>& scores) {
    shuffle_together(population, scores);

    for (const Network& member : population) {
        if (!is_valid(member)) {
            console_write("One of networks already broken.\n");
            break;
        }
    }

    const std::size_t pairs = population.size() / 2;
    std::vector<Network> offspring;
    offspring.reserve(2 * pairs);
    for (std::size_t j = 0; j < pairs; ++j) {
        const Network& a = population[2 * j];
        const Network& b = population[2 * j + 1];
        const double score_a = scores[2 * j], score_b = scores[2 * j + 1];
        if (fresh_uniform(0.0, 1.0) >= 0.5) {
            offspring.push_back(make_child(a, b, score_a, score_b));
            offspring.push_back(make_child(a, b, score_a, score_b));
        } else {
            offspring.emplace_back(a);
            offspring.emplace_back(b);
        }
    }

    for (const Network& child : offspring) {
        if (!is_valid(child)) {
            console_write("Crossover broke network\n");
            throw IntegrityError("Crossover broke network");
        }
    }
    return offspring;
}

}  // namespace tessaron
