// Starting the worker threads and their loop. See worker_pool.hpp.
#include "zandrel/worker_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>
#include <thread>

namespace zandrel {
namespace worker_pool {
namespace {

// Linux keeps at most 15 bytes of a thread name (plus the terminating NUL).
constexpr size_t kMaxThreadNameBytes = 15;

// The body of every worker thread: run queued jobs one at a time, oldest
// first, until the queue is closed and empty.
void spawn_worker(Receiver<JobBox> jobs) {
  try {
    while (std::optional<JobBox> job = jobs.recv()) {
      (*job)->run();
      // The job, and with it its result sender, is released here.
    }
  } catch (...) {
    // A job let an exception escape. It ends this thread only, as it would if
    // the job had been a thread of its own; the unwinding has released the
    // job and its result sender, and returning releases this receiver.
  }
}

size_t queue_capacity(size_t num_workers) {
  constexpr size_t kMax = std::numeric_limits<size_t>::max();
  size_t capacity = num_workers > kMax / 4 ? kMax : num_workers * 4;
  return std::max<size_t>(capacity, 1);
}

}  // namespace
}  // namespace worker_pool

Result<std::shared_ptr<WorkerPool>> WorkerPool::create(size_t num_workers) {
  using worker_pool::JobBox;
  // Every return below releases the queue ends held here; threads already
  // started then see the queue closed and empty and end.
  try {
    auto [jobs_sender, jobs_receiver] =
        make_bounded_channel<JobBox>(worker_pool::queue_capacity(num_workers));
    for (size_t i = 0; i < num_workers; ++i) {
      // The name is made first: nothing may throw between starting the thread
      // and detaching it, or the joinable std::thread would terminate us.
      std::string name = "zandrel-worker-" + std::to_string(i);
      name.resize(std::min(name.size(), worker_pool::kMaxThreadNameBytes));
      std::thread thread(worker_pool::spawn_worker, jobs_receiver);
      // Naming is cosmetic; a refusal is ignored.
      (void)pthread_setname_np(thread.native_handle(), name.c_str());
      thread.detach();
    }
    return std::make_shared<WorkerPool>(std::move(jobs_sender));
  } catch (const std::system_error&) {
    return Err(CacheError::worker_failed());  // a thread could not be started
  } catch (const std::bad_alloc&) {
    return Err(CacheError::worker_failed());  // the queue could not be allocated
  }
}

}  // namespace zandrel
