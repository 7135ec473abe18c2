// A small pool of worker threads for the work that runs without the interpreter lock: scoring the
// networks of a pool, predicting many samples. Results never depend on the number of threads:
// each item is computed by exactly one thread, the same way whichever it is.
#pragma once

#include <cstddef>
#include <functional>

namespace tessaron {

// The number of threads parallel_for uses (the caller included); at least 1.
int thread_count();

// Sets it; the default is the number of CPUs this process may run on. n must be at least 1.
void set_thread_count(int n);

// Calls work(item, worker) for every item in 0 .. count-1, spread over up to thread_count()
// threads; `worker` (0 .. thread_count()-1) identifies the thread, for per-thread scratch. The
// calling thread takes part. Returns when every item is done; the first exception thrown by any
// call is rethrown here (the remaining items still run). A call made from inside a work item, or
// while another parallel_for is running, does all its work on the calling thread (as worker 0).
void parallel_for(std::size_t count, const std::function<void(std::size_t item, int worker)>& work);

}  // namespace tessaron
