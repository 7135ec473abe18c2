#include "variation/crossover.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "common/console.hpp"
#include "common/errors.hpp"
#include "network/integrity.hpp"
#include "network/shuffle.hpp"
#include "variation/random_draws.hpp"

namespace tessaron {

namespace {

// The child's arrays for `len` nodes, its connections empty with room for both parents'.
void prepare_child(Network& child, const Network& a, const Network& b, std::int32_t len) {
    std::size_t most = 0;
    for (const Network* parent : {&a, &b}) most += connection_count(*parent);
    child.biases.resize(static_cast<std::size_t>(len));
    child.activations.resize(static_cast<std::size_t>(len));
    child.first_out.assign(static_cast<std::size_t>(len) + 1, 0);
    child.targets.clear();
    child.weights.clear();
    child.targets.reserve(most);
    child.weights.reserve(most);
    child.size = len;
    child.inputs = a.inputs;
    child.outputs = a.outputs;
}

// Node genes of positions both parents have come from either at even odds, bias and kind
// together; the others from the parent that has them.
void take_node_genes(Network& child, const Network& a, const Network& b, FreshDraws& draws) {
    const std::int32_t shared_nodes = std::min(a.size, b.size);
    for (std::int32_t i = 0; i < child.size; ++i) {
        const Network* source = i < a.size ? &a : &b;
        if (i < shared_nodes && draws.unit() > 0.5) source = &b;
        child.activations[i] = source->activations[i];
        child.biases[i] = source->biases[i];
    }
}

// The targets of source i in `parent` from `first` up, below both its size and `len`.
std::pair<const std::int32_t*, const std::int32_t*> targets_of(const Network& parent,
                                                               std::int32_t i, std::int32_t first,
                                                               std::int32_t len) {
    if (i >= parent.size) return {};
    const std::int32_t* begin = parent.targets.data() + parent.out_begin(i);
    const std::int32_t* end = parent.targets.data() + parent.out_end(i);
    end = std::lower_bound(begin, end, std::min(parent.size, len));
    return {std::lower_bound(begin, end, first), end};
}

// Targets k >= max(i + 1, inputs) below the child's size in ascending order; only where a
// parent has a connection can the child get one. The two parents' targets are merged source by
// source: a connection both have takes either weight at even odds, one only a strictly fitter
// parent has keeps its weight.
void take_connections(Network& child, const Network& a, const Network& b, bool a_fitter,
                      bool b_fitter, FreshDraws& draws) {
    const std::int32_t len = child.size;
    std::vector<std::int32_t>& targets = child.targets;
    std::vector<double>& weights = child.weights;
    for (std::int32_t i = 0; i < len - child.outputs; ++i) {
        const std::int32_t first = std::max(i + 1, child.inputs);
        auto [in_a, end_a] = targets_of(a, i, first, len);
        auto [in_b, end_b] = targets_of(b, i, first, len);
        while (in_a != end_a || in_b != end_b) {
            const bool has_a = in_a != end_a && (in_b == end_b || *in_a <= *in_b);
            const bool has_b = in_b != end_b && (in_a == end_a || *in_b <= *in_a);
            const std::int32_t k = has_a ? *in_a : *in_b;
            const double weight_a = has_a ? a.weights[in_a - a.targets.data()] : 0.0;
            const double weight_b = has_b ? b.weights[in_b - b.targets.data()] : 0.0;
            in_a += has_a;
            in_b += has_b;
            double weight;
            if (has_a && has_b)
                weight = draws.unit() <= 0.5 ? weight_a : weight_b;
            else if (has_a && a_fitter)
                weight = weight_a;
            else if (has_b && b_fitter)
                weight = weight_b;
            else
                continue;
            targets.push_back(k);
            weights.push_back(weight);
        }
        child.first_out[static_cast<std::size_t>(i) + 1] =
            static_cast<std::int32_t>(targets.size());
    }
    for (std::int32_t i = std::max(len - child.outputs, 0); i < len; ++i)
        child.first_out[static_cast<std::size_t>(i) + 1] =
            static_cast<std::int32_t>(targets.size());
}

}  // namespace

void make_child_into(Network& child, const Network& a, const Network& b, double score_a,
                     double score_b, FreshDraws& draws) {
    const bool b_fitter = score_a > score_b;
    const bool a_fitter = score_a <= score_b;  // both false when a score is NaN
    prepare_child(child, a, b, b_fitter ? b.size : a.size);
    take_node_genes(child, a, b, draws);
    take_connections(child, a, b, a_fitter, b_fitter, draws);
}

Network make_child(const Network& a, const Network& b, double score_a, double score_b,
                   RandomSources& sources) {
    Network child(NetworkEngine(sources.engine_seed()));
    make_child_into(child, a, b, score_a, score_b, sources.fresh);
    return child;
}

Network take_spare(std::vector<Network>& spares, RandomSources& sources) {
    if (spares.empty()) return Network(NetworkEngine(sources.engine_seed()));
    Network reused = std::move(spares.back());
    spares.pop_back();
    reused.engine = NetworkEngine(sources.engine_seed());
    return reused;
}

std::vector<Network> crossover(std::vector<Network>& population, std::vector<double>& scores,
                               RandomSources& sources) {
    std::vector<Network> spares;
    bool parents_valid = false;
    return crossover(population, scores, spares, parents_valid, sources);
}

std::vector<Network> crossover(std::vector<Network>& population, std::vector<double>& scores,
                               std::vector<Network>& spares, bool& parents_valid,
                               RandomSources& sources) {
    shuffle_together(population, scores, sources.rand);

    if (!parents_valid) {
        parents_valid = true;
        for (const Network& member : population) {
            if (!is_valid(member)) {
                console_write("One of networks already broken.\n");
                parents_valid = false;
                break;
            }
        }
    }

    const std::size_t pairs = population.size() / 2;
    std::vector<Network> offspring;
    std::vector<char> copied(pairs, 0);
    offspring.reserve(2 * pairs);
    for (std::size_t j = 0; j < pairs; ++j) {
        const Network& a = population[2 * j];
        const Network& b = population[2 * j + 1];
        const double score_a = scores[2 * j], score_b = scores[2 * j + 1];
        if (fresh_uniform(0.0, 1.0, sources.fresh) >= 0.5) {
            for (int k = 0; k < 2; ++k) {
                offspring.push_back(take_spare(spares, sources));
                make_child_into(offspring.back(), a, b, score_a, score_b, sources.fresh);
            }
        } else {
            copied[j] = 1;
            for (const Network* parent : {&a, &b}) {
                offspring.push_back(take_spare(spares, sources));
                assign_arrays(offspring.back(), *parent);
            }
        }
    }

    // A copy of a valid parent is valid.
    for (std::size_t i = 0; i < offspring.size(); ++i) {
        if ((copied[i / 2] && parents_valid) || is_valid(offspring[i])) continue;
        console_write("Crossover broke network\n");
        throw IntegrityError("Crossover broke network");
    }
    return offspring;
}

}  // namespace tessaron
