#include "common/thread_pool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "common/platform.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

namespace tessaron {
namespace {

// The CPUs this process may run on; elsewhere than Linux, every CPU of the machine.
int available_cpus() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

long current_process() {
    return static_cast<long>(getpid());
}

// Workers wait for a job, take items from a shared counter, and report when they run out.
class Pool {
  public:
    int workers() const { return static_cast<int>(threads_.size()); }

    // Starts workers until there are n; only between jobs.
    void grow(int n) {
        std::lock_guard lock(mutex_);
        while (workers() < n) {
            const int worker = workers() + 1;
            threads_.emplace_back([this, worker, current = job_] { serve(worker, current); });
        }
    }

    void run(std::size_t count, const std::function<void(std::size_t, int)>& work, int helpers) {
        {
            std::lock_guard lock(mutex_);
            work_ = &work;
            count_ = count;
            next_.store(0);
            error_ = nullptr;
            active_ = helpers;
            wanted_ = helpers;
            ++job_;
        }
        wake_.notify_all();
        take_items(0);
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return active_ == 0; });
        work_ = nullptr;
        if (error_) std::rethrow_exception(error_);
    }

  private:
    void take_items(int worker) {
        for (std::size_t item; (item = next_.fetch_add(1)) < count_;) {
            try {
                (*work_)(item, worker);
            } catch (...) {
                std::lock_guard lock(mutex_);
                if (!error_) error_ = std::current_exception();
            }
        }
    }

    // `seen` is the job that was current when the worker started: it waits for the next one.
    void serve(int worker, std::uint64_t seen) {
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return job_ != seen; });
                seen = job_;
                if (worker > wanted_) continue;  // this job uses fewer threads
            }
            take_items(worker);
            std::lock_guard lock(mutex_);
            if (--active_ == 0) done_.notify_one();
        }
    }

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::function<void(std::size_t, int)>* work_ = nullptr;
    std::size_t count_ = 0;
    std::atomic<std::size_t> next_{0};
    std::exception_ptr error_;
    int active_ = 0;
    int wanted_ = 0;
    std::uint64_t job_ = 0;
};

std::atomic<int> requested{0};  // 0: not set, use the CPU count
std::mutex pool_mutex;          // held by the one parallel_for that uses the pool
Pool* pool = nullptr;           // never destroyed: idle workers simply end with the process
long pool_process = 0;

}  // namespace

int thread_count() {
    const int n = requested.load();
    return n > 0 ? n : available_cpus();
}

void set_thread_count(int n) {
    requested.store(std::max(1, n));
}

namespace {

// Set while this thread runs a parallel_for: a nested call must not try the pool's lock again
// (a thread may not try a mutex it holds) and runs its items itself.
thread_local bool inside_parallel_for = false;

// Every item on the calling thread; as on the pool, a failing item does not stop the others.
void run_here(std::size_t count, const std::function<void(std::size_t, int)>& work) {
    std::exception_ptr error;
    for (std::size_t item = 0; item < count; ++item) {
        try {
            work(item, 0);
        } catch (...) {
            if (!error) error = std::current_exception();
        }
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace

void parallel_for(std::size_t count, const std::function<void(std::size_t, int)>& work) {
    const int threads = static_cast<int>(std::min<std::size_t>(thread_count(), count));
    if (threads <= 1 || inside_parallel_for) return run_here(count, work);
    std::unique_lock lock(pool_mutex, std::try_to_lock);
    if (!lock.owns_lock()) return run_here(count, work);
    inside_parallel_for = true;
    struct Leave {
        ~Leave() { inside_parallel_for = false; }
    } leave;
    // A child process made by fork() has none of its parent's workers: it starts a pool of its
    // own, and the parent's (whose threads do not exist here) is left alone.
    if (pool == nullptr || pool_process != current_process()) {
        pool = new Pool();
        pool_process = current_process();
    }
    pool->grow(threads - 1);
    pool->run(count, work, threads - 1);
}

}  // namespace tessaron
