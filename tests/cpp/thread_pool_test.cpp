#include "common/thread_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace tessaron {
namespace {

// Sets the thread count for one test and restores it afterwards.
struct ThreadCount {
    explicit ThreadCount(int n) : before(thread_count()) { set_thread_count(n); }
    ~ThreadCount() { set_thread_count(before); }
    int before;
};

class ParallelFor : public ::testing::TestWithParam<int> {};

TEST_P(ParallelFor, AFailingItemIsRethrownAfterEveryOtherItemRan) {
    ThreadCount threads(GetParam());
    std::vector<std::atomic<int>> runs(200);
    try {
        parallel_for(runs.size(), [&](std::size_t item, int worker) {
            EXPECT_GE(worker, 0);
            EXPECT_LT(worker, GetParam());
            ++runs[item];
            if (item == 37 || item == 150) throw std::runtime_error("item " + std::to_string(item));
        });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        const std::string what = error.what();
        EXPECT_TRUE(what == "item 37" || what == "item 150") << what;
    }
    for (std::size_t i = 0; i < runs.size(); ++i) EXPECT_EQ(runs[i].load(), 1) << i;

    // The pool is usable after a failure.
    std::atomic<int> sum{0};
    parallel_for(100, [&](std::size_t item, int) { sum += static_cast<int>(item); });
    EXPECT_EQ(sum.load(), 4950);
}

TEST_P(ParallelFor, NestedCallsRunEveryItemOnce) {
    ThreadCount threads(GetParam());
    std::vector<std::atomic<int>> runs(12 * 30);
    parallel_for(12, [&](std::size_t outer, int) {
        parallel_for(30, [&](std::size_t inner, int worker) {
            EXPECT_EQ(worker, 0);  // the nested call's items run on the thread that made it
            ++runs[outer * 30 + inner];
        });
    });
    for (std::size_t i = 0; i < runs.size(); ++i) EXPECT_EQ(runs[i].load(), 1) << i;
}

INSTANTIATE_TEST_SUITE_P(Threads, ParallelFor, ::testing::Values(1, 3));

TEST(ParallelForAfterFork, AChildRunsItsItemsWithoutTheParentsWorkers) {
    ThreadCount threads(3);
    std::atomic<int> warm{0};
    parallel_for(64, [&](std::size_t, int) { ++warm; });  // the parent's workers exist now
    ASSERT_EQ(warm.load(), 64);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(30);  // waiting for workers that do not exist here would hang: end it instead
        std::vector<std::atomic<int>> runs(5000);
        parallel_for(runs.size(), [&](std::size_t item, int) { ++runs[item]; });
        for (const auto& count : runs)
            if (count.load() != 1) _exit(2);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tessaron
