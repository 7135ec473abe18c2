#include "network/random_sources.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace tessaron {
namespace {

#ifdef __GLIBC__
// The C library's own rand() is the oracle, from seeds across the 32-bit range (0 is read as 1,
// seeds from 2^31 up as negative words).
TEST(RandState, DrawsWhatTheCLibrarysRandDraws) {
    std::mt19937 seeds(7);
    std::vector<unsigned> values{0u, 1u, 42u, 127773u, 0x7fffffffu, 0x80000000u, 0xffffffffu};
    for (int i = 0; i < 8; ++i) values.push_back(seeds());
    for (const unsigned value : values) {
        std::srand(value);
        RandState ours(value);
        for (int draw = 0; draw < 5000; ++draw)
            ASSERT_EQ(ours(), std::rand()) << "seed " << value << " draw " << draw;
    }
}
#endif

// A scope draws what a thread's sources draw after seed_everything, and leaves the thread's own
// sources where they were.
TEST(SeededScope, DrawsFromItsOwnSeedAndLeavesTheThreadsSourcesAlone) {
    seed_everything(3);
    RandomSources expected_own = thread_random_sources();
    RandomSources expected_scoped;
    seed_sources(expected_scoped, 11);
    {
        const SeededScope scope(11);
        RandomSources& scoped = thread_random_sources();
        EXPECT_EQ(scoped.rand(), expected_scoped.rand());
        EXPECT_EQ(scoped.engine_seed(), expected_scoped.engine_seed());
        EXPECT_EQ(scoped.fresh.unit(), expected_scoped.fresh.unit());
    }
    RandomSources& own = thread_random_sources();
    EXPECT_EQ(own.rand(), expected_own.rand());
    EXPECT_EQ(own.engine_seed(), expected_own.engine_seed());
    EXPECT_EQ(own.fresh.unit(), expected_own.fresh.unit());
    EXPECT_FALSE(end_seeded_scope(1));  // no scope is left to end
}

}  // namespace
}  // namespace tessaron
