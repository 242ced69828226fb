// Large read buffers, kept for reuse when freed.
//
// An index open reads every segment's block index, bloom filter and store
// index into buffers of some hundred KiB each, and they are freed when the
// index is dropped. Memory the allocator has handed back to the system costs
// a page fault per 4 KiB when it is next written: at 16 segments, some 1,400
// faults and over a millisecond of each open. Buffers that come from here are
// kept when freed and handed out again, so that a later open, or the next
// segment of the same one, reads into pages already mapped.
//
// Only buffers of kMinPooled to kMaxPooled bytes are kept, and at most
// kMaxRetained bytes of them in all; any other buffer is freed as usual.
// Sizes are rounded up to a class (eight classes per doubling, so at most an
// eighth is wasted), and a request takes a kept buffer of its class. In a
// child made by fork() the pool starts empty.
//
// Thread safety: every function may be called from any thread at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace zelvar::buffer_pool {

inline constexpr size_t kMinPooled = size_t{64} << 10;
inline constexpr size_t kMaxPooled = size_t{8} << 20;
inline constexpr size_t kMaxRetained = size_t{32} << 20;

// Whether a buffer of `size` bytes is one the pool keeps.
constexpr bool pooled(size_t size) { return size >= kMinPooled && size <= kMaxPooled; }

// The bytes a pooled buffer of `size` bytes really has.
size_t class_size(size_t size);

// At least `size` bytes, uninitialised, aligned as operator new aligns; to
// be handed back with `give` and the same size, which keeps or frees it.
// Throws std::bad_alloc.
uint8_t* take(size_t size);
void give(uint8_t* buffer, size_t size) noexcept;

// As `take`, owned: given back when the last owner lets go.
std::shared_ptr<uint8_t> acquire(size_t size);

// The bytes of the buffers kept now.
size_t retained_bytes();

// Frees every kept buffer.
void release_all();

// An allocator whose large allocations go through the pool: for the vectors
// an open fills, as large as the buffers it reads.
template <class T>
struct Allocator {
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  using value_type = T;
  Allocator() = default;
  template <class U>
  explicit Allocator(const Allocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(static_cast<void*>(take(n * sizeof(T))));
  }
  void deallocate(T* p, size_t n) noexcept { give(static_cast<uint8_t*>(static_cast<void*>(p)), n * sizeof(T)); }

  template <class U>
  friend bool operator==(const Allocator&, const Allocator<U>&) {
    return true;
  }
};

}  // namespace zelvar::buffer_pool
