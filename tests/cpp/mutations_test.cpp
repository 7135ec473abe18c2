#include "variation/mutations.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "network/activation.hpp"
#include "network/integrity.hpp"
#include "network_builders.hpp"
#include "variation_support.hpp"

namespace tessaron {
namespace {

using testing::build_network;
using testing::naive_valid;
using testing::random_network;
using testing::same_genes;
using testing::seed_rand;
using testing::thin_out;
using testing::well_formed;
using Pair = std::pair<std::int32_t, std::int32_t>;

// Alpha's draws from the calling thread's sources, for one call.
std::unique_ptr<StructureDraws> thread_draws() {
    return std::make_unique<SourcesStructureDraws>(thread_random_sources());
}

// The next `count` weights that connect will draw, one new distribution per connection.
std::vector<double> next_connect_weights(const Network& network, int count) {
    std::mt19937 engine = network.engine;
    std::vector<double> weights;
    for (int i = 0; i < count; ++i) {
        std::normal_distribution<double> normal(0.0, 1.0);
        weights.push_back(normal(engine));
    }
    return weights;
}

// A copy that shares the engine state.
Network twin(const Network& network) {
    return network;
}

// Candidate lists pair by pair, in row-major order.
std::vector<Pair> existing_forward(const Network& n) {
    std::vector<Pair> list;
    for (std::int32_t i = 0; i < n.size - n.outputs; ++i)
        for (std::int32_t j = i + 1; j < n.size; ++j)
            if (n.connected(i, j)) list.emplace_back(i, j);
    return list;
}

std::vector<Pair> absent_allowed(const Network& n) {
    std::vector<Pair> list;
    for (std::int32_t i = 0; i < n.size - n.outputs; ++i)
        for (std::int32_t j = std::max(i + 1, n.inputs); j < n.size; ++j)
            if (!n.connected(i, j)) list.emplace_back(i, j);
    return list;
}

std::vector<Pair> removable(const Network& n) {
    auto outgoing = [&](std::int32_t i) {
        int c = 0;
        for (std::int32_t j = 0; j < n.size; ++j) c += n.connected(i, j);
        return c;
    };
    auto incoming = [&](std::int32_t j) {
        int c = 0;
        for (std::int32_t i = 0; i < n.size; ++i) c += n.connected(i, j);
        return c;
    };
    std::vector<Pair> list;
    for (std::int32_t i = 0; i < n.size; ++i)
        for (std::int32_t j = 0; j < n.size; ++j)
            if (n.connected(i, j) && outgoing(i) >= 2 && incoming(j) >= 2) list.emplace_back(i, j);
    return list;
}

// Every node and connection of `before` that `renumber` keeps (it returns -1 for a dropped node)
// is found in `after` at its new index with the same genes, except the pairs `skip` accepts.
void expect_carried_over(const Network& before, const Network& after,
                         const std::function<std::int32_t(std::int32_t)>& renumber,
                         const std::function<bool(std::int32_t, std::int32_t)>& skip) {
    for (std::int32_t x = 0; x < before.size; ++x) {
        const std::int32_t nx = renumber(x);
        if (nx < 0) continue;
        EXPECT_EQ(after.biases[nx], before.biases[x]) << "node " << x;
        EXPECT_EQ(after.activations[nx], before.activations[x]) << "node " << x;
        for (std::int32_t y = 0; y < before.size; ++y) {
            const std::int32_t ny = renumber(y);
            if (ny < 0 || skip(nx, ny)) continue;
            ASSERT_EQ(after.connected(nx, ny), before.connected(x, y)) << x << " -> " << y;
            ASSERT_EQ(after.weight(nx, ny), before.weight(x, y)) << x << " -> " << y;
        }
    }
}

// insert_node(a, b) on `before` gave `after`: old nodes moved up from h on, a -> b gone, and
// exactly a -> h and h -> b + 1 new, with the engine's next two weights.
void expect_inserted(const Network& before, const Network& after, std::int32_t a, std::int32_t b,
                     double bias, std::int32_t kind) {
    const std::int32_t h = std::max(a + 1, before.inputs);
    ASSERT_EQ(after.size, before.size + 1);
    ASSERT_TRUE(well_formed(after));
    auto renumber = [&](std::int32_t x) { return x < h ? x : x + 1; };
    expect_carried_over(before, after, renumber,
                        [&](std::int32_t x, std::int32_t y) { return x == a && y == b + 1; });
    EXPECT_FALSE(after.connected(a, b + 1));
    EXPECT_EQ(after.weight(a, b + 1), 0.0);
    EXPECT_EQ(after.biases[h], bias);
    EXPECT_EQ(after.activations[h], kind);
    const std::vector<double> weights = next_connect_weights(before, 2);
    for (std::int32_t other = 0; other < after.size; ++other) {
        EXPECT_EQ(after.connected(other, h), other == a) << other;
        EXPECT_EQ(after.connected(h, other), other == b + 1) << other;
    }
    EXPECT_EQ(after.weight(a, h), weights[0]);
    EXPECT_EQ(after.weight(h, b + 1), weights[1]);
}

// remove_node took node d out of `before` and bridged its sources to its targets.
void expect_removed(const Network& before, const Network& after, std::int32_t d) {
    ASSERT_EQ(after.size, before.size - 1);
    ASSERT_TRUE(well_formed(after));
    std::vector<std::int32_t> sources, targets;
    for (std::int32_t i = 0; i < d; ++i)
        if (before.connected(i, d)) sources.push_back(i);
    for (std::int32_t k = d + 1; k < before.size; ++k)
        if (before.connected(d, k)) targets.push_back(k - 1);
    auto bridged = [&](std::int32_t s, std::int32_t t) {
        return std::count(sources.begin(), sources.end(), s) &&
               std::count(targets.begin(), targets.end(), t);
    };
    expect_carried_over(
        before, after, [&](std::int32_t x) { return x == d  ? -1
                                                    : x < d ? x
                                                            : x - 1; }, bridged);
    const std::vector<double> weights =
        next_connect_weights(before, static_cast<int>(sources.size() * targets.size()));
    std::size_t next = 0;
    for (std::int32_t s : sources) {
        for (std::int32_t t : targets) {
            EXPECT_TRUE(after.connected(s, t));
            EXPECT_EQ(after.weight(s, t), weights[next++]) << s << " -> " << t;
        }
    }
}

TEST(StructuralMutation, WorkedExampleOfAddNode) {
    // Node 2 hidden, node 3 the output; 0 -> 3 is split.
    const Network before =
        build_network(2, 1, 4, {{0, 2, 0.5}, {1, 2, -1.5}, {0, 3, 2.5}, {2, 3, 4}},
                      {0.1, 0.2, 0.3, 0.4}, {3, 3, 0, 1});
    Network after = twin(before);
    insert_node(after, 0, 3, -0.75, relu);
    EXPECT_EQ(after.size, 5);
    const std::vector<Pair> expected{{0, 2}, {0, 3}, {1, 3}, {2, 4}, {3, 4}};
    EXPECT_EQ(existing_forward(after), expected);
    EXPECT_EQ(connection_count(after), 5u);
    EXPECT_EQ(after.weight(0, 3), 0.5);
    EXPECT_EQ(after.weight(1, 3), -1.5);
    EXPECT_EQ(after.weight(3, 4), 4);
    EXPECT_EQ(after.weight(0, 4), 0.0);
    const std::vector<double> weights = next_connect_weights(before, 2);
    EXPECT_EQ(after.weight(0, 2), weights[0]);
    EXPECT_EQ(after.weight(2, 4), weights[1]);
    EXPECT_EQ(after.biases, (std::vector<double>{0.1, 0.2, -0.75, 0.3, 0.4}));
    EXPECT_EQ(after.activations, (std::vector<std::int32_t>{3, 3, relu, 0, 1}));
    EXPECT_TRUE(is_valid(after));
    expect_inserted(before, after, 0, 3, -0.75, relu);
}

TEST(StructuralMutation, AddNodePlacement) {
    // After an input source: the new node becomes the first hidden node.
    const Network hidden = random_network(3, 2, 2);
    Network split_input = twin(hidden);
    insert_node(split_input, 1, 4, 0.5, tanh_kind);
    EXPECT_EQ(split_input.activations[3], tanh_kind);
    expect_inserted(hidden, split_input, 1, 4, 0.5, tanh_kind);
    // Without hidden nodes an input -> output split lands between inputs and outputs.
    const Network bare = random_network(3, 2, 0);
    Network split_bare = twin(bare);
    insert_node(split_bare, 2, 4, 1.0, linear);
    EXPECT_TRUE(split_bare.connected(2, 3));
    EXPECT_TRUE(split_bare.connected(3, 5));
    expect_inserted(bare, split_bare, 2, 4, 1.0, linear);
    // From the last hidden node to an output: the new node comes directly before the first
    // output, and the outputs stay the last nodes with their genes.
    Network split_last = twin(hidden);
    insert_node(split_last, 4, 6, -2.0, sigmoid);
    EXPECT_EQ(split_last.biases[5], -2.0);
    EXPECT_EQ(split_last.biases[6], hidden.biases[5]);
    EXPECT_EQ(split_last.biases[7], hidden.biases[6]);
    expect_inserted(hidden, split_last, 4, 6, -2.0, sigmoid);
    EXPECT_TRUE(is_valid(split_input) && is_valid(split_bare) && is_valid(split_last));
}

TEST(StructuralMutation, InsertNodeAcrossWordBoundaries) {
    for (std::int32_t hidden : {60, 61, 62, 63, 64, 126, 127}) {
        const Network before = random_network(2, 1, hidden);
        const std::int32_t last_hidden = before.size - 2;
        for (const Pair& cut : std::vector<Pair>{
                 {0, last_hidden}, {last_hidden, before.size - 1}, {30, 62}, {62, 63}, {63, 64}}) {
            if (cut.second >= before.size) continue;
            Network after = twin(before);
            insert_node(after, cut.first, cut.second, 0.25, relu);
            expect_inserted(before, after, cut.first, cut.second, 0.25, relu);
        }
    }
}

TEST(StructuralMutation, InsertNodeRefusesNodesOutsideTheNetwork) {
    Network network = random_network(2, 1, 1);
    const Network before = twin(network);
    EXPECT_THROW(insert_node(network, 0, 4, 0.0, 0), InvalidData);
    EXPECT_THROW(insert_node(network, -1, 2, 0.0, 0), InvalidData);
    try {
        insert_node(network, 4, 2, 0.0, 0);
        ADD_FAILURE() << "no exception";
    } catch (const InvalidData& error) {
        EXPECT_STREQ(error.what(),
                     "cannot insert a node on the connection 4 -> 2 of a network of 4 nodes "
                     "with 2 inputs");
    }
    EXPECT_TRUE(same_genes(network, before));
    EXPECT_EQ(network.engine, before.engine);
}

TEST(StructuralMutation, AddNodeSplitsTheDrawnCandidateWithTheDrawnKind) {
    std::mt19937 engine(7);
    for (unsigned seed = 1; seed <= 30; ++seed) {
        Network network = random_network(2, 2, static_cast<std::int32_t>(seed % 9));
        thin_out(network, 0.4, engine);
        const Network before = twin(network);
        seed_rand(seed);
        const int choice = testing::next_rand(), kind = testing::next_rand();
        seed_rand(seed);
        add_node(network, *thread_draws());
        const std::vector<Pair> candidates = existing_forward(before);
        const Pair cut = candidates[choice % candidates.size()];
        const std::int32_t h = std::max(cut.first + 1, before.inputs);
        expect_inserted(before, network, cut.first, cut.second, network.biases[h], kind % 4);
        EXPECT_TRUE(is_valid(network));
    }
}

TEST(StructuralMutation, WorkedExampleOfRemoveNode) {
    // Hidden node 2 has sources 0 and 1 and targets 5 and 7; 0 -> 5 exists already.
    const Network before = build_network(
        2, 5, 8,
        {{0, 2, 1}, {1, 2, 2}, {2, 5, 3}, {2, 7, 4}, {0, 5, 5}, {0, 3, 6}, {1, 4, 7}, {1, 6, 8}},
        {0, 1, 2, 3, 4, 5, 6, 7});
    Network after = twin(before);
    remove_node(after, *thread_draws());
    EXPECT_EQ(after.size, 7);
    const std::vector<Pair> expected{{0, 2}, {0, 4}, {0, 6}, {1, 3}, {1, 4}, {1, 5}, {1, 6}};
    EXPECT_EQ(existing_forward(after), expected);
    const std::vector<double> weights = next_connect_weights(before, 4);
    EXPECT_EQ(after.weight(0, 4), weights[0]);  // the old 0 -> 5 with a new weight
    EXPECT_EQ(after.weight(0, 6), weights[1]);
    EXPECT_EQ(after.weight(1, 4), weights[2]);
    EXPECT_EQ(after.weight(1, 6), weights[3]);
    EXPECT_EQ(after.weight(0, 2), 6);
    EXPECT_EQ(after.weight(1, 3), 7);
    EXPECT_EQ(after.weight(1, 5), 8);
    EXPECT_EQ(after.biases, (std::vector<double>{0, 1, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(is_valid(after));
}

TEST(StructuralMutation, RemoveNodeDeletesTheDrawnHiddenNode) {
    std::mt19937 engine(11);
    for (unsigned seed = 1; seed <= 30; ++seed) {
        const std::int32_t hidden = 1 + static_cast<std::int32_t>(seed * 5 % 70);
        Network network = random_network(3, 2, hidden);
        thin_out(network, 0.5, engine);
        const Network before = twin(network);
        seed_rand(seed);
        const std::int32_t d = 3 + testing::next_rand() % hidden;
        seed_rand(seed);
        remove_node(network, *thread_draws());
        expect_removed(before, network, d);
        EXPECT_TRUE(is_valid(network));
    }
}

TEST(StructuralMutation, AddConnectionCreatesTheDrawnAbsentConnection) {
    std::mt19937 engine(13);
    for (unsigned seed = 1; seed <= 30; ++seed) {
        Network network = random_network(2, 1, static_cast<std::int32_t>(seed * 3 % 80));
        thin_out(network, 0.6, engine);
        const std::vector<Pair> candidates = absent_allowed(network);
        if (candidates.empty()) continue;
        const Network before = twin(network);
        seed_rand(seed);
        const Pair made = candidates[testing::next_rand() % candidates.size()];
        seed_rand(seed);
        add_connection(network, *thread_draws());
        EXPECT_TRUE(network.connected(made.first, made.second));
        EXPECT_EQ(network.weight(made.first, made.second), next_connect_weights(before, 1)[0]);
        Network undone = twin(network);
        disconnect(undone, made.first, made.second);
        EXPECT_TRUE(same_genes(undone, before));
        EXPECT_TRUE(is_valid(network));
    }
}

TEST(StructuralMutation, RemoveConnectionDeletesTheDrawnSpareConnection) {
    std::mt19937 engine(17);
    for (unsigned seed = 1; seed <= 30; ++seed) {
        Network network = random_network(2, 2, static_cast<std::int32_t>(seed * 7 % 75));
        thin_out(network, 0.3, engine);
        const std::vector<Pair> candidates = removable(network);
        ASSERT_FALSE(candidates.empty());
        const Network before = twin(network);
        seed_rand(seed);
        const Pair cut = candidates[testing::next_rand() % candidates.size()];
        seed_rand(seed);
        remove_connection(network, *thread_draws());
        EXPECT_FALSE(network.connected(cut.first, cut.second));
        Network restored = twin(network);
        restored.link(cut.first, cut.second) = before.weight(cut.first, cut.second);
        EXPECT_TRUE(same_genes(restored, before));
        EXPECT_EQ(network.engine, before.engine);
        EXPECT_TRUE(is_valid(network));
    }
}

// The mutation leaves the network and the rand() sequence as they were.
template <class Mutation>
void expect_nothing_done(Network network, Mutation mutation) {
    const Network before = twin(network);
    seed_rand(5);
    const int first = testing::next_rand();
    seed_rand(5);
    mutation(network, *thread_draws());
    EXPECT_TRUE(same_genes(network, before));
    EXPECT_EQ(network.engine, before.engine);
    EXPECT_EQ(testing::next_rand(), first);
}

TEST(StructuralMutation, NothingToDo) {
    // Every allowed connection exists already.
    expect_nothing_done(random_network(3, 2, 0), add_connection);
    expect_nothing_done(random_network(2, 3, 6), add_connection);
    // A chain: every node has one outgoing and one incoming connection.
    expect_nothing_done(build_network(1, 1, 5, {{0, 1, 1}, {1, 2, 1}, {2, 3, 1}, {3, 4, 1}}),
                        remove_connection);
    // A fan-out: the source could spare one, but no target has two incoming.
    expect_nothing_done(build_network(1, 3, 4, {{0, 1, 1}, {0, 2, 1}, {0, 3, 1}}),
                        remove_connection);
    // A fan-in: the target could spare one, but no source has two outgoing.
    expect_nothing_done(build_network(3, 1, 4, {{0, 3, 1}, {1, 3, 1}, {2, 3, 1}}),
                        remove_connection);
    // No hidden node.
    expect_nothing_done(random_network(2, 2, 0), remove_node);
    // No connection to split.
    expect_nothing_done(Network(2, 1), add_node);
}

TEST(StructuralMutation, ASingleCandidateIsTaken) {
    Network network = random_network(2, 1, 3);
    disconnect(network, 2, 4);
    add_connection(network, *thread_draws());
    EXPECT_TRUE(network.connected(2, 4));
    EXPECT_EQ(absent_allowed(network).size(), 0u);

    Network one_split = build_network(1, 1, 2, {{0, 1, 3}});
    add_node(one_split, *thread_draws());
    EXPECT_EQ(existing_forward(one_split), (std::vector<Pair>{{0, 1}, {1, 2}}));

    Network one_spare = build_network(2, 2, 4, {{0, 2, 1}, {0, 3, 1}, {1, 3, 1}, {1, 2, 1}});
    disconnect(one_spare, 1, 2);  // now only 0 -> 3 has two outgoing at 0 and two incoming at 3
    remove_connection(one_spare, *thread_draws());
    EXPECT_FALSE(one_spare.connected(0, 3));
    EXPECT_TRUE(one_spare.connected(0, 2));
    EXPECT_TRUE(one_spare.connected(1, 3));
}

TEST(StructuralMutation, RandomMutationsKeepNetworksWellFormedAndValid) {
    std::mt19937 engine(99);
    const std::function<void(Network&, StructureDraws&)> mutations[] = {
        [](Network& n, StructureDraws& d) { add_node(n, d); },
        [](Network& n, StructureDraws& d) { remove_node(n, d); },
        [](Network& n, StructureDraws& d) { add_connection(n, d); },
        [](Network& n, StructureDraws& d) { remove_connection(n, d); }};
    int calls = 0;
    for (int n = 0; n < 24; ++n) {
        Network network = random_network(1 + n % 4, 1 + n % 3, n * 3 % 70);
        thin_out(network, 0.2 + 0.03 * n, engine);
        ASSERT_TRUE(is_valid(network));
        for (int step = 0; step < 150; ++step, ++calls) {
            mutations[engine() % 4](network, *thread_draws());
            ASSERT_TRUE(well_formed(network)) << "network " << n << " step " << step;
            ASSERT_TRUE(is_valid(network)) << "network " << n << " step " << step;
            ASSERT_TRUE(naive_valid(network));
        }
    }
    EXPECT_EQ(calls, 3600);
}

}  // namespace
}  // namespace tessaron
