#include "core/index/worker_pool.h"

#include <string>
#include <system_error>

namespace zelvar {

IoResult<std::shared_ptr<const WorkerPool>> WorkerPool::start(size_t num_threads) {
  return start_with(num_threads, [](std::function<void()> body) { return std::thread(std::move(body)); });
}

IoResult<std::shared_ptr<const WorkerPool>> WorkerPool::start_with(size_t num_threads,
                                                                   const Spawn& spawn) {
  std::shared_ptr<WorkerPool> pool(new WorkerPool());
  WorkerPool* raw = pool.get();
  try {
    // No reserve: the count is the caller's, and the list grows only as far
    // as threads actually start.
    for (size_t i = 0; i < num_threads; ++i) {
      std::thread thread = spawn([raw] { raw->idle_loop(); });
      try {
        pool->threads_.push_back(std::move(thread));
      } catch (...) {
        // Not yet owned by the pool: stop it here, or its destructor would
        // end the process.
        pool->stop_and_join();
        thread.join();
        throw;
      }
    }
  } catch (const std::system_error& e) {
    // The destructor of `pool` stops and joins the threads already running.
    return std::unexpected(IoError(IoErrorKind::Other, e.code().message()));
  } catch (const std::bad_alloc&) {
    return std::unexpected(IoError(IoErrorKind::Other, "out of memory"));
  }
  return pool;
}

WorkerPool::~WorkerPool() { stop_and_join(); }

void WorkerPool::stop_and_join() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) {
    if (t.joinable()) t.join();
  }
}

void WorkerPool::idle_loop() {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return stopping_; });
}

}  // namespace zelvar
