#include "core/runtime/runtime.h"

#include <pthread.h>

#include <chrono>
#include <new>
#include <string>
#include <system_error>

namespace zelvar::runtime {
namespace {

std::mutex g_build_mutex;
std::atomic<Runtime*> g_runtime{nullptr};

// How long an idle blocking thread waits for work before it ends.
constexpr auto kBlockingKeepAlive = std::chrono::seconds(10);

}  // namespace

std::expected<Runtime*, std::string> Runtime::get() {
  if (Runtime* rt = g_runtime.load(std::memory_order_acquire)) return rt;
  std::lock_guard lock(g_build_mutex);
  if (Runtime* rt = g_runtime.load(std::memory_order_acquire)) return rt;
  Runtime* rt = nullptr;
  try {
    rt = new Runtime(available_cpus());
  } catch (const std::system_error& e) {
    return std::unexpected(std::string(e.what()));
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

Runtime::Runtime(size_t workers) {
  workers_.reserve(workers);
  try {
    for (size_t i = 0; i < workers; ++i) workers_.emplace_back(&Runtime::worker_loop);
  } catch (...) {
    // Worker threads never end, so a half-built runtime cannot be torn down;
    // they are detached and stay idle.
    for (auto& t : workers_) t.detach();
    throw;
  }
}

void Runtime::worker_loop() {
  // Workers are never given work; they only wait.
  std::mutex m;
  std::condition_variable never;
  std::unique_lock lock(m);
  for (;;) never.wait(lock);
}

size_t Runtime::blocking_thread_count() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

bool Runtime::submit(Task task) {
  std::unique_lock lock(mutex_);
  queue_.push_back(std::move(task));
  if (idle_ > queue_.size() - 1) {
    task_cv_.notify_one();
    return true;
  }
  if (threads_ < kMaxBlockingThreads) {
    ++threads_;
    try {
      std::thread(&Runtime::blocking_loop, this).detach();
    } catch (const std::system_error&) {
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

void Runtime::blocking_loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    bool woke = task_cv_.wait_for(lock, kBlockingKeepAlive, [&] { return !queue_.empty(); });
    --idle_;
    if (!woke) {
      --threads_;
      return;
    }
    Task task = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    task();
    lock.lock();
  }
}

}  // namespace zelvar::runtime
