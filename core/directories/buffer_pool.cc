#include "core/directories/buffer_pool.h"

#include <pthread.h>

#include <atomic>
#include <bit>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define ZELVAR_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZELVAR_ASAN 1
#endif
#endif

#ifdef ZELVAR_ASAN
#include <sanitizer/asan_interface.h>
// A kept buffer is poisoned, so that the address sanitizer still reports a
// use after free of its last owner.
#define ZELVAR_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define ZELVAR_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define ZELVAR_POISON(p, n) ((void)(p), (void)(n))
#define ZELVAR_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace zelvar::buffer_pool {
namespace {

struct Pool {
  std::mutex mutex;
  std::map<size_t, std::vector<uint8_t*>> kept;  // by class size
  size_t bytes = 0;                              // of the kept buffers
};

std::atomic<Pool*> g_pool{nullptr};

void forget_after_fork() {
  // Only the forking thread exists in the child, and another may have held
  // the lock: the lock and the lists are built anew, the kept buffers left.
  Pool* pool = g_pool.load(std::memory_order_acquire);
  new (&pool->mutex) std::mutex();
  new (&pool->kept) std::map<size_t, std::vector<uint8_t*>>();
  pool->bytes = 0;
}

Pool& pool() {
  static Pool* const made = [] {
    auto* pool = new Pool;
    g_pool.store(pool, std::memory_order_release);
    // Failing to register only loses the repair in a forked child.
    pthread_atfork(nullptr, nullptr, &forget_after_fork);
    return pool;
  }();
  return *made;
}

}  // namespace

size_t class_size(size_t size) {
  // Steps of an eighth of the largest power of two not above `size`.
  const size_t step = std::bit_floor(size) / 8;
  return step == 0 ? size : (size + step - 1) / step * step;
}

uint8_t* take(size_t size) {
  if (!pooled(size)) return static_cast<uint8_t*>(::operator new(size));
  const size_t bytes = class_size(size);
  Pool& p = pool();
  {
    std::lock_guard lock(p.mutex);
    auto it = p.kept.find(bytes);
    if (it != p.kept.end() && !it->second.empty()) {
      uint8_t* buffer = it->second.back();
      it->second.pop_back();
      p.bytes -= bytes;
      ZELVAR_UNPOISON(buffer, bytes);
      return buffer;
    }
  }
  return static_cast<uint8_t*>(::operator new(bytes));
}

void give(uint8_t* buffer, size_t size) noexcept {
  if (!pooled(size)) {
    ::operator delete(buffer);
    return;
  }
  const size_t bytes = class_size(size);
  Pool& p = pool();
  {
    std::lock_guard lock(p.mutex);
    if (p.bytes + bytes <= kMaxRetained) {
      try {
        p.kept[bytes].push_back(buffer);
        p.bytes += bytes;
        ZELVAR_POISON(buffer, bytes);
        return;
      } catch (const std::bad_alloc&) {
        // Freed below.
      }
    }
  }
  ::operator delete(buffer);
}

std::shared_ptr<uint8_t> acquire(size_t size) {
  // Should the owner's own record not be made, the buffer is given back.
  return std::shared_ptr<uint8_t>(take(size), [size](uint8_t* buffer) { give(buffer, size); });
}

size_t retained_bytes() {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  return p.bytes;
}

void release_all() {
  Pool& p = pool();
  std::map<size_t, std::vector<uint8_t*>> kept;
  {
    std::lock_guard lock(p.mutex);
    kept.swap(p.kept);
    p.bytes = 0;
  }
  for (auto& [bytes, buffers] : kept) {
    for (uint8_t* buffer : buffers) {
      ZELVAR_UNPOISON(buffer, bytes);
      ::operator delete(buffer);
    }
  }
}

}  // namespace zelvar::buffer_pool
