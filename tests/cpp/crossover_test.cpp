#include "variation/crossover.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "network/integrity.hpp"
#include "network/random.hpp"
#include "network_builders.hpp"
#include "variation_support.hpp"

namespace tessaron {
namespace {

using testing::build_network;
using testing::ConsoleCapture;
using testing::pattern;
using testing::random_network;
using testing::same_genes;
using testing::thin_out;

const double nan_score = std::numeric_limits<double>::quiet_NaN();

// A valid network with a thinned, network-specific topology.
Network sparse_network(std::int32_t inputs, std::int32_t outputs, std::int32_t hidden,
                       std::mt19937& engine) {
    Network network = random_network(inputs, outputs, hidden);
    thin_out(network, 0.4, engine);
    return network;
}

// How often a recombined child took a gene from the parent that did not give its size.
struct Borrowed {
    int node_choices = 0, node_from_other = 0;
    int weight_choices = 0, weight_from_other = 0;
};

// A child of `fitter` (which gave the size) and `other`: the fitter's size and connections; a
// node position both have carries the bias and kind of one parent; a connection both have
// carries either weight, any other the fitter's.
void expect_child_of(const Network& child, const Network& fitter, const Network& other,
                     Borrowed& borrowed) {
    ASSERT_EQ(child.size, fitter.size);
    ASSERT_EQ(child.inputs, fitter.inputs);
    ASSERT_EQ(child.outputs, fitter.outputs);
    ASSERT_EQ(pattern(child), pattern(fitter));
    for (std::int32_t i = 0; i < child.size; ++i) {
        const bool from_fitter =
            child.biases[i] == fitter.biases[i] && child.activations[i] == fitter.activations[i];
        if (i >= other.size) {
            ASSERT_TRUE(from_fitter) << "node " << i;
            continue;
        }
        const bool from_other =
            child.biases[i] == other.biases[i] && child.activations[i] == other.activations[i];
        ASSERT_TRUE(from_fitter || from_other) << "node " << i;
        ++borrowed.node_choices;
        borrowed.node_from_other += from_other;
    }
    for (std::int32_t i = 0; i < child.size; ++i) {
        for (std::int32_t k = 0; k < child.size; ++k) {
            if (!child.connected(i, k)) {
                ASSERT_EQ(child.weight(i, k), 0.0);
                continue;
            }
            const bool shared = i < other.size && k < other.size && other.connected(i, k);
            if (!shared) {
                ASSERT_EQ(child.weight(i, k), fitter.weight(i, k)) << i << " -> " << k;
                continue;
            }
            const bool from_other = child.weight(i, k) == other.weight(i, k);
            ASSERT_TRUE(from_other || child.weight(i, k) == fitter.weight(i, k));
            ++borrowed.weight_choices;
            borrowed.weight_from_other += from_other;
        }
    }
}

// A share drawn at even odds lies within 6 standard deviations of one half.
void expect_even_odds(int hits, int trials) {
    ASSERT_GT(trials, 100);
    EXPECT_NEAR(hits, 0.5 * trials, 6 * std::sqrt(0.25 * trials));
}

TEST(Crossover, SmallPopulations) {
    ConsoleCapture console;
    std::vector<Network> none;
    std::vector<double> no_scores;
    EXPECT_TRUE(crossover(none, no_scores).empty());

    std::vector<Network> one{random_network(2, 1, 2)};
    std::vector<double> one_score{0.5};
    EXPECT_TRUE(crossover(one, one_score).empty());
    EXPECT_EQ(console.take(), "");

    // A lone broken member is still tested.
    std::vector<Network> broken_one{Network(2, 1)};
    EXPECT_TRUE(crossover(broken_one, one_score).empty());
    EXPECT_EQ(console.take(), "One of networks already broken.\n");
}

TEST(Crossover, FiveMembersYieldFourOffspringFromThePairsAfterTheShuffle) {
    ConsoleCapture console;
    std::mt19937 engine(3);
    int copies = 0, recombined = 0;
    for (int run = 0; run < 60; ++run) {
        std::vector<Network> population;
        std::vector<double> scores;
        for (std::int32_t hidden = 0; hidden < 5; ++hidden) {
            population.push_back(sparse_network(2, 1, hidden, engine));
            scores.push_back(10.0 * population.back().size);  // smaller is fitter
        }
        const std::vector<Network> offspring = crossover(population, scores);
        ASSERT_EQ(offspring.size(), 4u);
        for (std::size_t x = 0; x < 5; ++x) EXPECT_EQ(scores[x], 10.0 * population[x].size);
        for (std::size_t j = 0; j < 2; ++j) {
            const Network& a = population[2 * j];
            const Network& b = population[2 * j + 1];
            const Network& first = offspring[2 * j];
            const Network& second = offspring[2 * j + 1];
            // Children share one size and the parents' sizes differ, so this means copies.
            if (same_genes(first, a) && same_genes(second, b)) {
                EXPECT_NE(first.engine, a.engine);
                EXPECT_NE(second.engine, b.engine);
                ++copies;
            } else {
                const Network& fitter = a.size < b.size ? a : b;
                const Network& other = a.size < b.size ? b : a;
                Borrowed borrowed;
                expect_child_of(first, fitter, other, borrowed);
                expect_child_of(second, fitter, other, borrowed);
                ++recombined;
            }
        }
    }
    EXPECT_EQ(console.take(), "");
    EXPECT_GT(copies, 20);  // 120 pairs at even odds
    EXPECT_GT(recombined, 20);
}

TEST(Crossover, EqualScoresLetTheFirstOfThePairDecide) {
    ConsoleCapture console;
    std::mt19937 engine(21);
    Borrowed borrowed;
    int recombined = 0, runs = 400, distinct_children = 0;
    for (int run = 0; run < runs; ++run) {
        std::vector<Network> population{sparse_network(3, 2, 4 + run % 3, engine),
                                        sparse_network(3, 2, 2 + run % 5, engine)};
        std::vector<double> scores{0.0, 0.0};
        const std::vector<Network> offspring = crossover(population, scores);
        ASSERT_EQ(offspring.size(), 2u);
        const Network& first = population[0];
        const Network& second = population[1];
        if (same_genes(offspring[0], first) && same_genes(offspring[1], second)) continue;
        ++recombined;
        expect_child_of(offspring[0], first, second, borrowed);
        expect_child_of(offspring[1], first, second, borrowed);
        distinct_children += !same_genes(offspring[0], offspring[1]);
    }
    EXPECT_EQ(console.take(), "");
    expect_even_odds(recombined, runs);
    expect_even_odds(borrowed.node_from_other, borrowed.node_choices);
    expect_even_odds(borrowed.weight_from_other, borrowed.weight_choices);
    EXPECT_GT(distinct_children, 0);  // the two children of a pair are drawn independently
}

TEST(Crossover, TheFitterParentGivesSizeAndTopology) {
    std::mt19937 engine(34);
    const Network small = sparse_network(2, 1, 2, engine);  // size 5: node 4 is its output
    const Network large = sparse_network(2, 1, 6, engine);  // size 9: node 4 is hidden
    struct Case {
        const Network& a;
        const Network& b;
        double score_a, score_b;
        const Network& fitter;
        const Network& other;
    };
    const Case cases[] = {
        {large, small, 2.0, 1.0, small, large},  // fitter smaller, second
        {small, large, 1.0, 2.0, small, large},  // fitter smaller, first
        {large, small, 1.0, 2.0, large, small},  // fitter larger, first
        {small, large, 2.0, 1.0, large, small},  // fitter larger, second
        {small, large, 1.0, 1.0, small, large},  // tie: the first decides
        {large, small, -3.0, -3.0, large, small},
    };
    for (const Case& c : cases) {
        Borrowed borrowed;
        int output_position_from_other = 0;
        for (int draw = 0; draw < 300; ++draw) {
            const Network child = make_child(c.a, c.b, c.score_a, c.score_b);
            expect_child_of(child, c.fitter, c.other, borrowed);
            ASSERT_TRUE(is_valid(child));
            output_position_from_other += child.biases[4] == c.other.biases[4];
        }
        expect_even_odds(borrowed.node_from_other, borrowed.node_choices);
        expect_even_odds(borrowed.weight_from_other, borrowed.weight_choices);
        // Position 4 (the small parent's output, the large one's hidden node) is contested.
        expect_even_odds(output_position_from_other, 300);
    }
}

TEST(Crossover, ANaNScoreKeepsOnlySharedConnectionsAndTheFirstSize) {
    // Same size, different wiring: only 2 -> 4 and 3 -> 4 are shared.
    const Network a = build_network(2, 1, 5, {{0, 2, 1}, {1, 3, 2}, {2, 4, 3}, {3, 4, 4}},
                                    {0.1, 0.2, 0.3, 0.4, 0.5});
    const Network b = build_network(2, 1, 5, {{0, 3, 5}, {1, 2, 6}, {2, 4, 7}, {3, 4, 8}},
                                    {1.1, 1.2, 1.3, 1.4, 1.5});
    const Network larger =
        build_network(2, 1, 6, {{0, 2, 9}, {1, 3, 1}, {2, 4, 1}, {3, 5, 1}, {4, 5, 1}, {0, 3, 2}});
    for (const auto& [sa, sb] :
         {std::pair{nan_score, 1.0}, std::pair{1.0, nan_score}, std::pair{nan_score, nan_score}}) {
        const Network child = make_child(a, b, sa, sb);
        EXPECT_EQ(child.size, 5);
        const Network shared_only = build_network(2, 1, 5, {{2, 4, 0}, {3, 4, 0}});
        EXPECT_EQ(pattern(child), pattern(shared_only));
        EXPECT_FALSE(is_valid(child));
        // The first parent gives the size even when it is the smaller one.
        const Network from_smaller = make_child(a, larger, sa, sb);
        EXPECT_EQ(from_smaller.size, 5);
        const Network from_larger = make_child(larger, a, sa, sb);
        EXPECT_EQ(from_larger.size, 6);
        // Shared by `a` and `larger`: 0 -> 2, 1 -> 3 and 2 -> 4 (`larger` has 3 -> 5, not 3 -> 4).
        const Network expected = build_network(2, 1, 5, {{0, 2, 0}, {1, 3, 0}, {2, 4, 0}});
        EXPECT_EQ(pattern(from_smaller), pattern(expected));
        const Network expected_large = build_network(2, 1, 6, {{0, 2, 0}, {1, 3, 0}, {2, 4, 0}});
        EXPECT_EQ(pattern(from_larger), pattern(expected_large));
    }

    ConsoleCapture console;
    int failures = 0, runs = 200;
    for (int run = 0; run < runs; ++run) {
        std::vector<Network> population{a, b};
        std::vector<double> scores{nan_score, 1.0};
        try {
            const std::vector<Network> offspring = crossover(population, scores);
            // Copies: both parents unchanged.
            ASSERT_EQ(offspring.size(), 2u);
            EXPECT_TRUE(same_genes(offspring[0], population[0]));
            EXPECT_TRUE(same_genes(offspring[1], population[1]));
            EXPECT_EQ(console.take(), "");
        } catch (const IntegrityError& error) {
            ++failures;
            EXPECT_STREQ(error.what(), "Crossover broke network");
            EXPECT_EQ(console.take(), "Crossover broke network\n");
        }
        // The shuffle stands, and each score stayed with its network.
        for (std::size_t x = 0; x < 2; ++x)
            EXPECT_EQ(std::isnan(scores[x]), population[x].biases[0] == 0.1);
    }
    expect_even_odds(failures, runs);
}

TEST(Crossover, BrokenParentsAreReportedOnceAndCrossoverGoesOn) {
    // Hidden node 2 has no incoming connection in each of them.
    const Network broken = build_network(2, 1, 4, {{0, 3, 1}, {1, 3, 1}, {2, 3, 1}});
    for (int run = 0; run < 20; ++run) {
        ConsoleCapture console;
        std::vector<Network> population{broken, broken, broken};
        std::vector<double> scores{0.0, 0.0, 0.0};
        EXPECT_THROW(crossover(population, scores), IntegrityError);
        EXPECT_EQ(console.take(), "One of networks already broken.\nCrossover broke network\n");
        EXPECT_EQ(population.size(), 3u);
    }
}

TEST(Crossover, OffspringInRecycledArraysEqualNewOnes) {
    std::mt19937 engine(3);
    std::vector<Network> parents;
    std::vector<double> scores;
    // Thinned networks of one size and full ones of others: every child is valid.
    for (std::int32_t i = 0; i < 12; ++i) {
        parents.push_back(i % 2 == 0 ? sparse_network(2, 1, 3, engine)
                                     : random_network(2, 1, 1 + i % 5));
        scores.push_back(0.1 * (i % 3));
    }
    for (int run = 0; run < 10; ++run) {
        std::vector<Network> population = parents, reused_population = parents;
        std::vector<double> new_scores = scores, reused_scores = scores;
        seed_everything(40 + run);
        const std::vector<Network> offspring = crossover(population, new_scores);
        // Spares of other shapes, larger and smaller, whose stale genes must not show through.
        std::vector<Network> spares;
        for (std::int32_t i = 0; i < 9; ++i) spares.push_back(sparse_network(3, 2, 2 * i, engine));
        bool parents_valid = run % 2 == 0;
        seed_everything(40 + run);
        const std::vector<Network> reused = crossover(reused_population, reused_scores, spares,
                                                      parents_valid, thread_random_sources());
        EXPECT_TRUE(parents_valid);
        EXPECT_TRUE(spares.empty());
        ASSERT_EQ(reused.size(), offspring.size());
        for (std::size_t i = 0; i < offspring.size(); ++i) {
            EXPECT_TRUE(same_genes(reused[i], offspring[i])) << "offspring " << i;
            EXPECT_TRUE(reused[i].engine == offspring[i].engine) << "offspring " << i;
        }
        for (std::size_t i = 0; i < population.size(); ++i)
            EXPECT_TRUE(same_genes(reused_population[i], population[i]));
    }
}

TEST(Crossover, DifferentLengthsAreRefusedWithoutChange) {
    std::mt19937 engine(1);
    std::vector<Network> population{sparse_network(2, 1, 1, engine),
                                    sparse_network(2, 1, 2, engine)};
    std::vector<double> scores{1.0};
    EXPECT_THROW(crossover(population, scores), InvalidData);
    EXPECT_EQ(population[0].size, 4);
    EXPECT_EQ(population[1].size, 5);
    EXPECT_EQ(scores, std::vector<double>{1.0});
}

}  // namespace
}  // namespace tessaron
