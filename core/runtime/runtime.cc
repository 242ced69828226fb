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
}

bool Runtime::exists() { return g_runtime.load(std::memory_order_acquire) != nullptr; }

Runtime::Runtime(size_t workers, const Spawn& spawn) {
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

bool Runtime::submit(Task task) {
  std::unique_lock lock(mutex_);
  queue_.push_back(std::move(task));
  if (idle_ >= queue_.size()) {
    task_cv_.notify_one();
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
        return false;
      }
    }
  }
  // All threads busy: the task waits in the queue for the next free one.
  return true;
}

void Runtime::Completion::sleep_until_done() noexcept {
  uint32_t expected = kPending;
  if (!state_.compare_exchange_strong(expected, kSleeping, std::memory_order_acq_rel)) return;
  while (state_.load(std::memory_order_acquire) == kSleeping) state_.wait(kSleeping);
}

void Runtime::blocking_loop() noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    const bool woke =
        task_cv_.wait_for(lock, kBlockingKeepAlive, [this] { return !queue_.empty(); });
    --idle_;
    if (!woke) {
      --threads_;
      return;
    }
    Task task = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    task();  // never throws: run_blocking's tasks catch everything
    task = nullptr;
    lock.lock();
  }
}

}  // namespace zelvar::runtime
