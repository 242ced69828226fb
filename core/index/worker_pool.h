// WorkerPool: the index's own pool of worker threads.
//
// An open index starts `IndexConfig::num_threads` threads that wait for work
// and are never given any; the pool exists so that an index holds the same
// threads it would hold with a writer attached. Destroying the pool wakes and
// joins its threads. In a child made by fork() the threads do not exist: a
// pool destroyed there only forgets them.
//
// Thread safety: immutable after `start`; destroy it from a thread that is
// not one of its own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "core/error/io_error.h"

namespace zelvar {

class WorkerPool {
 public:
  // Starts `num_threads` idle threads. A thread that cannot be started fails
  // the whole pool with an Other IoError carrying the system's error text
  // ("Resource temporarily unavailable (os error 11)"); the threads already
  // started are stopped first.
  static IoResult<std::shared_ptr<const WorkerPool>> start(size_t num_threads);

  // As `start`, with `spawn` standing in for starting a thread (tests use it
  // to make thread creation fail). `spawn` may throw std::system_error.
  using Spawn = std::function<std::thread(std::function<void()>)>;
  static IoResult<std::shared_ptr<const WorkerPool>> start_with(size_t num_threads,
                                                                const Spawn& spawn);

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool();

  size_t num_threads() const { return threads_.size(); }

 private:
  WorkerPool() = default;
  void stop_and_join();
  void idle_loop();

  // The threads wait on this state until stopped. It is reached through the
  // pool, which outlives its threads (the destructor joins them).
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::vector<std::thread> threads_;
  // The process that started the threads; only it can join them.
  pid_t owner_pid_ = 0;
};

}  // namespace zelvar
