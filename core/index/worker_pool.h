// WorkerPool: the index's own pool of worker threads.
//
// An open index starts `IndexConfig::num_threads` threads that wait for work
// and are never given any; the pool exists so that an index holds the same
// threads it would hold with a writer attached.
//
// Its lifecycle is all it has: `num_threads` threads started at open, a
// thread that cannot be started failing the open, the threads stopped with
// the index. Starting and stopping threads is what an open and a drop would
// otherwise spend most of their time on, so each remaining mechanism is there
// for that cost:
// - Started in the background: the caller starts only the first thread,
//   which starts the others while the caller opens the segments (`begin`);
//   the caller collects the pool, or the failure, afterwards
//   (`Starting::finish`). An open then waits for one thread start, not for
//   num_threads of them.
// - Detached on destruction: a finished pool tells its threads to stop and
//   lets them end on their own; they hold the flags they wait on, never the
//   pool. A drop then waits for no thread. A pool that failed to start, or
//   was never finished, joins its threads instead, so that a failed open
//   leaves nothing behind.
// - Kept on one CPU: the first thread pins itself to the CPU it runs on
//   before it starts the others, which inherit the pin. A thread started
//   elsewhere would begin on another, idle CPU, which must be interrupted to
//   run it, and stopping the pool would interrupt every such CPU again. The
//   threads never work, so where they wait costs nothing.
// - Small stacks: the threads do nothing, and stacks this small are kept by
//   the C library for reuse, so the next open does not map them afresh.
// - In a child made by fork() the threads do not exist: a pool destroyed
//   there only forgets them.
//
// Thread safety: a pool is immutable once finished; destroy it from a thread
// that is not one of its own. A Starting belongs to the thread that began it.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "core/error/io_error.h"

namespace zelvar {

class WorkerPool {
 public:
  // Starts a thread running `routine(arg)` into `thread`; returns 0, or the
  // error number of a thread that cannot be started. Tests stand in their
  // own to make thread creation fail.
  using Spawn = std::function<int(pthread_t& thread, void* (*routine)(void*), void* arg)>;

  // A pool whose threads are being started.
  class Starting {
   public:
    Starting(Starting&&) noexcept = default;
    Starting& operator=(Starting&&) = delete;
    // A pool never finished is stopped and joined (by its destructor, once
    // its first thread is done starting the others).
    ~Starting() = default;

    // Waits until every thread has started, or one could not be, and yields
    // the pool. A thread that cannot be started fails the whole pool with an
    // Other IoError carrying the system's error text ("Resource temporarily
    // unavailable (os error 11)"), or "out of memory"; the threads already
    // started are stopped first.
    IoResult<std::shared_ptr<const WorkerPool>> finish() &&;

   private:
    friend class WorkerPool;
    explicit Starting(std::shared_ptr<WorkerPool> pool) : pool_(std::move(pool)) {}
    std::shared_ptr<WorkerPool> pool_;
  };

  // Begins starting `num_threads` idle threads.
  static Starting begin(size_t num_threads);
  static Starting begin_with(size_t num_threads, Spawn spawn);

  // Starts `num_threads` idle threads and waits for them: `begin` and
  // `finish` in one.
  static IoResult<std::shared_ptr<const WorkerPool>> start(size_t num_threads);
  static IoResult<std::shared_ptr<const WorkerPool>> start_with(size_t num_threads, Spawn spawn);

  // The system's thread start, with the pool's small stack.
  static int spawn_thread(pthread_t& thread, void* (*routine)(void*), void* arg);

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool();

  size_t num_threads() const { return (has_first_ ? 1 : 0) + others_.size(); }

 private:
  // What the threads wait on. Each thread holds it, so that it outlives the
  // pool when the threads end after it.
  struct Flags {
    std::atomic<bool> started{false};  // the first thread is done starting the others
    std::atomic<bool> stopping{false};
  };
  // What a thread is given: its flags, and for the first thread the pool,
  // which it uses only until it sets `started`.
  struct ThreadStart {
    std::shared_ptr<Flags> flags;
    WorkerPool* pool;
  };

  WorkerPool(size_t num_threads, Spawn spawn);
  static void* run_thread(void* start);
  static void idle(const Flags& flags);
  int spawn_one(pthread_t& thread, WorkerPool* pool_for_first);
  void start_others();
  void wait_started() const;
  // Stops the threads and joins them, or (`join` false) lets them end alone.
  void stop(bool join);

  const size_t wanted_;
  const Spawn spawn_;
  const std::shared_ptr<Flags> flags_;
  // The first thread, started by the caller; it starts the others.
  pthread_t first_{};
  bool has_first_ = false;
  // Written by the first thread until it sets `started`, then read-only.
  std::vector<pthread_t> others_;
  int failure_ = 0;  // what spawn_one answered for the thread that failed
  bool join_on_destruction_ = true;  // until the pool is finished whole
  // The process that started the threads; only it can join them.
  pid_t owner_pid_ = 0;
};

}  // namespace zelvar
