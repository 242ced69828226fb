#include "core/index/worker_pool.h"

#include <new>
#include <string>
#include <system_error>

#include <unistd.h>

namespace zelvar {

IoResult<std::shared_ptr<const WorkerPool>> WorkerPool::start(size_t num_threads) {
  return start_with(num_threads, [](std::function<void()> body) { return std::thread(std::move(body)); });
}

IoResult<std::shared_ptr<const WorkerPool>> WorkerPool::start_with(size_t num_threads,
                                                                   const Spawn& spawn) {
  std::shared_ptr<WorkerPool> pool(new WorkerPool());
  WorkerPool* raw = pool.get();
  pool->owner_pid_ = getpid();
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
    // A thread the system refused reports its error code the way every
    // other operating-system error reads: "<description> (os error <code>)".
    const std::error_category& category = e.code().category();
    std::string text = category == std::generic_category() || category == std::system_category()
                           ? IoError::from_os(e.code().value()).to_string()
                           : e.code().message();
    return std::unexpected(IoError(IoErrorKind::Other, std::move(text)));
  } catch (const std::bad_alloc&) {
    return std::unexpected(IoError(IoErrorKind::Other, "out of memory"));
  }
  return pool;
}

WorkerPool::~WorkerPool() { stop_and_join(); }

void WorkerPool::stop_and_join() {
  if (getpid() != owner_pid_) {
    // A forked child holds handles of threads that only ran in its parent;
    // joining or detaching one would act on whatever thread reuses its
    // stack, and destroying the condition they waited on would wait for them
    // forever. Handles, lock and condition are abandoned instead (once per
    // pool, in the child) and fresh ones are left for the destructor.
    new std::vector<std::thread>(std::move(threads_));
    threads_.clear();
    new (&mutex_) std::mutex();
    new (&wake_) std::condition_variable();
    return;
  }
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
