#include "core/index/worker_pool.h"

#include <cerrno>
#include <memory>
#include <new>
#include <utility>

#include <sched.h>
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

// What spawn_one answers when a thread's start record cannot be made.
constexpr int kNoMemory = -1;

IoError start_error(int code) { return code == kNoMemory ? out_of_memory() : thread_error(code); }

// Pins the calling thread to the CPU it runs on; where that cannot be done it
// runs on as before. The threads it starts afterwards inherit the pin.
void stay_on_this_cpu() {
  const int cpu = sched_getcpu();
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

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
    : wanted_(num_threads), spawn_(std::move(spawn)), flags_(std::make_shared<Flags>()), owner_pid_(getpid()) {}

WorkerPool::Starting WorkerPool::begin(size_t num_threads) { return begin_with(num_threads, &spawn_thread); }

WorkerPool::Starting WorkerPool::begin_with(size_t num_threads, Spawn spawn) {
  std::shared_ptr<WorkerPool> pool;
  try {
    pool.reset(new WorkerPool(num_threads, std::move(spawn)));
  } catch (const std::bad_alloc&) {
    return Starting(nullptr);
  }
  // Once the first thread runs, it alone writes failure_ (for the threads it
  // starts) until it says that starting is over; so failure_ is written here
  // only when that thread did not start.
  if (num_threads > 0) {
    if (const int rc = pool->spawn_one(pool->first_, pool.get()); rc != 0) {
      pool->failure_ = rc;
    } else {
      pool->has_first_ = true;
    }
  }
  // Without a first thread nobody else will say that starting is over.
  if (!pool->has_first_) pool->flags_->started = true;
  return Starting(std::move(pool));
}

IoResult<std::shared_ptr<const WorkerPool>> WorkerPool::start(size_t num_threads) {
  return begin(num_threads).finish();
}

IoResult<std::shared_ptr<const WorkerPool>> WorkerPool::start_with(size_t num_threads, Spawn spawn) {
  return begin_with(num_threads, std::move(spawn)).finish();
}

IoResult<std::shared_ptr<const WorkerPool>> WorkerPool::Starting::finish() && {
  if (!pool_) return std::unexpected(out_of_memory());
  pool_->wait_started();
  if (const int failure = pool_->failure_; failure != 0) {
    pool_.reset();  // stops and joins the threads that did start
    return std::unexpected(start_error(failure));
  }
  pool_->join_on_destruction_ = false;
  return std::shared_ptr<const WorkerPool>(std::move(pool_));
}

// Starts one thread; the first one is also given the pool. kNoMemory where
// its start record cannot be made.
int WorkerPool::spawn_one(pthread_t& thread, WorkerPool* pool_for_first) {
  ThreadStart* start = new (std::nothrow) ThreadStart{flags_, pool_for_first};
  if (start == nullptr) return kNoMemory;
  const int rc = spawn_(thread, &WorkerPool::run_thread, start);
  if (rc != 0) delete start;
  return rc;
}

void* WorkerPool::run_thread(void* start) {
  const std::unique_ptr<ThreadStart> own(static_cast<ThreadStart*>(start));
  if (own->pool != nullptr) own->pool->start_others();
  idle(*own->flags);
  return nullptr;
}

void WorkerPool::start_others() {
  if (wanted_ > 1) stay_on_this_cpu();
  // No reserve: the count is the caller's, and the list grows only as far
  // as threads actually start.
  for (size_t i = 1; i < wanted_; ++i) {
    pthread_t thread;
    failure_ = spawn_one(thread, nullptr);
    if (failure_ != 0) break;
    try {
      others_.push_back(thread);
    } catch (const std::bad_alloc&) {
      // Not in the list: stopped and joined here, the others later.
      failure_ = kNoMemory;
      flags_->stopping = true;
      flags_->stopping.notify_all();
      pthread_join(thread, nullptr);
      break;
    }
  }
  // From here on this thread touches only its flags: the pool may be gone.
  Flags& flags = *flags_;
  flags.started.store(true, std::memory_order_release);
  flags.started.notify_all();
}

void WorkerPool::wait_started() const {
  while (!flags_->started.load(std::memory_order_acquire)) flags_->started.wait(false, std::memory_order_acquire);
}

void WorkerPool::idle(const Flags& flags) {
  while (!flags.stopping.load(std::memory_order_acquire)) flags.stopping.wait(false, std::memory_order_acquire);
}

WorkerPool::~WorkerPool() { stop(join_on_destruction_); }

void WorkerPool::stop(bool join) {
  if (getpid() != owner_pid_) {
    // A forked child holds handles of threads that only ran in its parent;
    // joining one would act on whatever thread reuses its stack. The handles
    // are forgotten.
    return;
  }
  wait_started();
  flags_->stopping.store(true, std::memory_order_release);
  flags_->stopping.notify_all();
  const auto end = [join](pthread_t thread) { join ? pthread_join(thread, nullptr) : pthread_detach(thread); };
  if (has_first_) end(first_);
  for (pthread_t thread : others_) end(thread);
}

}  // namespace zelvar
