#include "core/runtime/runtime.h"

#include <pthread.h>

#include <new>
#include <string>
#include <system_error>

namespace zelvar::runtime {
namespace {

std::mutex g_build_mutex;
std::atomic<Runtime*> g_runtime{nullptr};

}  // namespace

std::expected<Runtime*, std::string> Runtime::get() {
  return get_with([](std::function<void()> body) { return std::thread(std::move(body)); });
}

std::expected<Runtime*, std::string> Runtime::get_with(const Spawn& spawn) {
  if (Runtime* rt = g_runtime.load(std::memory_order_acquire)) return rt;
  std::lock_guard lock(g_build_mutex);
  if (Runtime* rt = g_runtime.load(std::memory_order_acquire)) return rt;
  Runtime* rt = nullptr;
  try {
    rt = new Runtime(available_cpus(), spawn);
  } catch (const std::exception& e) {
    return std::unexpected(std::string(e.what()));
  }
  g_runtime.store(rt, std::memory_order_release);
  // Without this a forked child would wait forever for an idle thread that
  // its parent counted; failing to register only loses that repair.
  pthread_atfork(nullptr, nullptr, &Runtime::forget_threads_after_fork);
  return rt;
}

void Runtime::forget_threads_after_fork() {
  // Only the forking thread exists in the child. A lock may have been held
  // by a thread that is gone and the queue may be mid-update, so both are
  // built anew (the old ones are abandoned, not destroyed); the counts go to
  // zero so that the next task starts a thread of the child's own.
  new (&g_build_mutex) std::mutex();
  Runtime* rt = g_runtime.load(std::memory_order_acquire);
  if (rt == nullptr) return;
  new (&rt->mutex_) std::mutex();
  new (&rt->task_cv_) std::condition_variable();
  new (&rt->queue_) std::deque<Task>();
  rt->threads_ = 0;
  rt->idle_ = 0;
  rt->spinning_ = 0;
  rt->wake_requests_ = 0;
  rt->pending_.store(0, std::memory_order_relaxed);
}

bool Runtime::exists() { return g_runtime.load(std::memory_order_acquire) != nullptr; }

Runtime::Runtime(size_t workers, const Spawn& spawn)
    : idle_spin_(kMaxIdleSpinNs, workers > 1), result_spin_(kMaxResultSpinNs, workers > 1) {
  try {
    workers_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) workers_.push_back(spawn([this] { worker_loop(); }));
  } catch (...) {
    // A failed build leaves nothing behind: the workers already started are
    // woken and joined before the error goes back to the caller.
    stop_workers();
    throw;
  }
}

void Runtime::worker_loop() {
  // Workers are never given work; they only wait, until a failed build ends
  // them.
  std::unique_lock lock(workers_mutex_);
  workers_cv_.wait(lock, [this] { return stopping_workers_; });
}

void Runtime::stop_workers() noexcept {
  {
    std::lock_guard lock(workers_mutex_);
    stopping_workers_ = true;
  }
  workers_cv_.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
}

size_t Runtime::blocking_thread_count() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

bool Runtime::has_spinning_thread() const {
  std::lock_guard lock(mutex_);
  return spinning_ > 0;
}

bool Runtime::submit(Task task) {
  // The gap since the last task finished is what an idle spin has to cover.
  const int64_t now = monotonic_ns();
  const int64_t last_finish = last_finish_ns_.load(std::memory_order_relaxed);
  if (last_finish != 0) idle_spin_.record(now - last_finish);

  std::unique_lock lock(mutex_);
  queue_.push_back(std::move(task));
  pending_.store(queue_.size(), std::memory_order_release);
  // A spinning thread takes the first queued task without being woken; a
  // sleeping one is woken for any beyond that.
  if (spinning_ + idle_ >= queue_.size()) {
    if (queue_.size() > spinning_) task_cv_.notify_one();
    return true;
  }
  if (threads_ < kMaxBlockingThreads) {
    ++threads_;
    try {
      std::thread([this] { blocking_loop(); }).detach();
    } catch (...) {
      --threads_;
      if (threads_ == 0) {
        queue_.pop_back();
        pending_.store(queue_.size(), std::memory_order_release);
        return false;
      }
    }
  }
  // All threads busy: the task waits in the queue for the next free one.
  return true;
}

void Runtime::wake_for_reads() noexcept {
  if (!idle_spin_.enabled()) return;
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock() || spinning_ > 0 || wake_requests_ > 0 || idle_ == 0 || !queue_.empty()) return;
  ++wake_requests_;
  wake_caller_cpu_ = sched_getcpu();
  lock.unlock();
  task_cv_.notify_one();
}

void Runtime::Completion::sleep_until_done() noexcept {
  uint32_t expected = kPending;
  if (!state_.compare_exchange_strong(expected, kSleeping, std::memory_order_acq_rel)) return;
  while (state_.load(std::memory_order_acquire) == kSleeping) state_.wait(kSleeping);
}

void Runtime::await(Completion& call) noexcept {
  // Spinning stops early if the task starts on this CPU: the caller is then
  // keeping its own task off the CPU.
  result_spin_.spin_until([&] { return call.done() || call.runs_beside_caller(); });
  if (!call.done()) call.sleep_until_done();
  if (call.runs_beside_caller()) {
    result_spin_.shrink();
  } else {
    result_spin_.record(call.done_at_ns() - call.submitted_at_ns);
  }
}

void Runtime::blocking_loop() noexcept {
  blocking_thread_ = true;
  std::unique_lock lock(mutex_);
  bool may_spin = false;
  for (;;) {
    if (!queue_.empty()) {
      Task task = std::move(queue_.front());
      queue_.pop_front();
      pending_.store(queue_.size(), std::memory_order_release);
      lock.unlock();
      // Never throws: run_blocking's tasks catch everything.
      const bool caller_elsewhere = task();
      task = nullptr;
      last_finish_ns_.store(monotonic_ns(), std::memory_order_relaxed);
      lock.lock();
      may_spin = caller_elsewhere;
      continue;
    }
    // Right after a task, the next often follows within microseconds: one
    // thread at a time waits for it spinning, so that it need not be woken;
    // not when the caller was asleep or shares this CPU, as it may be
    // waiting to run right here.
    if (may_spin && spinning_ == 0 && idle_spin_.ns() > 0) {
      may_spin = false;
      ++spinning_;
      lock.unlock();
      idle_spin_.spin_until([this] { return pending_.load(std::memory_order_acquire) > 0; });
      lock.lock();
      --spinning_;
      continue;  // the queue is checked again under the lock before sleeping
    }
    may_spin = false;
    ++idle_;
    const bool woke = task_cv_.wait_for(lock, kBlockingKeepAlive,
                                        [this] { return !queue_.empty() || wake_requests_ > 0; });
    --idle_;
    if (!woke) {
      --threads_;
      return;
    }
    if (queue_.empty() && wake_requests_ > 0) {
      // Woken ahead of an operation's reads: spin for the first.
      --wake_requests_;
      if (sched_getcpu() == wake_caller_cpu_) continue;
      ++spinning_;
      lock.unlock();
      SpinBudget::spin_for(kMaxWokenSpinNs, [this] { return pending_.load(std::memory_order_acquire) > 0; });
      lock.lock();
      --spinning_;
    }
  }
}

}  // namespace zelvar::runtime
