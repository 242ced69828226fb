#include "core/index/worker_pool.h"

#include <cerrno>
#include <new>
#include <utility>

#include <unistd.h>

namespace zelvar {
namespace {

// An idle thread needs little stack; 256 KiB leaves room for the thread's
// own storage and a sanitizer's bookkeeping. Eight default stacks (8 MiB
// each) are more than the C library keeps for reuse, so each pool would map
// and unmap its stacks afresh.
constexpr size_t kStackSize = size_t{256} << 10;

IoError thread_error(int code) { return IoError(IoErrorKind::Other, IoError::from_os(code).to_string()); }

IoError out_of_memory() { return IoError(IoErrorKind::Other, "out of memory"); }

}  // namespace

int WorkerPool::spawn_thread(pthread_t& thread, void* (*routine)(void*), void* arg) {
  pthread_attr_t attr;
  if (const int rc = pthread_attr_init(&attr); rc != 0) return rc;
  int rc = pthread_attr_setstacksize(&attr, kStackSize);
  if (rc == 0) rc = pthread_create(&thread, &attr, routine, arg);
  pthread_attr_destroy(&attr);
  // A stack too small for this process's thread-local storage: take the
  // system's default size instead.
  if (rc == EINVAL) rc = pthread_create(&thread, nullptr, routine, arg);
  return rc;
}

WorkerPool::WorkerPool(size_t num_threads, Spawn spawn)
    : wanted_(num_threads), spawn_(std::move(spawn)), owner_pid_(getpid()) {}

WorkerPool::Starting WorkerPool::begin(size_t num_threads) { return begin_with(num_threads, &spawn_thread); }

WorkerPool::Starting WorkerPool::begin_with(size_t num_threads, Spawn spawn) {
  std::shared_ptr<WorkerPool> pool;
  try {
    pool.reset(new WorkerPool(num_threads, std::move(spawn)));
  } catch (const std::bad_alloc&) {
    return Starting(nullptr);
  }
  if (num_threads == 0) {
    pool->started_ = true;
    return Starting(std::move(pool));
  }
  if (const int rc = pool->spawn_(pool->first_, &WorkerPool::run_first, pool.get()); rc != 0) {
    pool->failure_ = thread_error(rc);
    pool->started_ = true;
    return Starting(std::move(pool));
  }
  pool->has_first_ = true;
  return Starting(std::move(pool));
}

IoResult<std::shared_ptr<const WorkerPool>> WorkerPool::start(size_t num_threads) {
  return begin(num_threads).finish();
}

IoResult<std::shared_ptr<const WorkerPool>> WorkerPool::start_with(size_t num_threads, Spawn spawn) {
  return begin_with(num_threads, std::move(spawn)).finish();
}

WorkerPool::Starting::~Starting() {
  // The pool's destructor waits for the first thread to finish starting the
  // others, then stops and joins them all.
  pool_.reset();
}

IoResult<std::shared_ptr<const WorkerPool>> WorkerPool::Starting::finish() && {
  if (!pool_) return std::unexpected(out_of_memory());
  pool_->wait_started();
  if (pool_->failure_) {
    IoError error = *pool_->failure_;
    pool_.reset();  // stops and joins the threads that did start
    return std::unexpected(std::move(error));
  }
  return std::shared_ptr<const WorkerPool>(std::move(pool_));
}

void* WorkerPool::run_first(void* pool) {
  auto* self = static_cast<WorkerPool*>(pool);
  self->start_others();
  self->idle();
  return nullptr;
}

void* WorkerPool::run_idle(void* pool) {
  static_cast<WorkerPool*>(pool)->idle();
  return nullptr;
}

void WorkerPool::start_others() {
  // No reserve: the count is the caller's, and the list grows only as far
  // as threads actually start.
  try {
    for (size_t i = 1; i < wanted_; ++i) {
      pthread_t thread;
      if (const int rc = spawn_(thread, &WorkerPool::run_idle, this); rc != 0) {
        failure_ = thread_error(rc);
        break;
      }
      try {
        others_.push_back(thread);
      } catch (const std::bad_alloc&) {
        // Not yet in the list: joined with the others once stopped.
        failure_ = out_of_memory();
        stopping_ = true;
        stopping_.notify_all();
        pthread_join(thread, nullptr);
        break;
      }
    }
  } catch (const std::bad_alloc&) {
    failure_ = out_of_memory();
  }
  started_.store(true, std::memory_order_release);
  started_.notify_all();
}

void WorkerPool::wait_started() const {
  while (!started_.load(std::memory_order_acquire)) started_.wait(false, std::memory_order_acquire);
}

void WorkerPool::idle() {
  while (!stopping_.load(std::memory_order_acquire)) stopping_.wait(false, std::memory_order_acquire);
}

WorkerPool::~WorkerPool() { stop_and_join(); }

void WorkerPool::stop_and_join() {
  if (getpid() != owner_pid_) {
    // A forked child holds handles of threads that only ran in its parent;
    // joining one would act on whatever thread reuses its stack. The handles
    // are forgotten.
    return;
  }
  wait_started();
  stopping_.store(true, std::memory_order_release);
  stopping_.notify_all();
  if (has_first_) pthread_join(first_, nullptr);
  for (pthread_t thread : others_) pthread_join(thread, nullptr);
}

}  // namespace zelvar
