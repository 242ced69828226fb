// OwnedBytes: an immutable view of a shared byte buffer.
//
// Copying or narrowing a view shares the buffer (the holder count is atomic);
// bytes are copied only by `to_vec`. The buffer is freed with its last view.
// Invariant: start <= end <= buffer size, established by every constructor.
//
// Thread safety: immutable; share freely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/directories/buffer_pool.h"

namespace zelvar {

class OwnedBytes {
 public:
  using Buffer = std::vector<uint8_t>;

  // An empty view.
  OwnedBytes() = default;

  // A view of the whole of `buffer`, which it takes over.
  explicit OwnedBytes(Buffer buffer) : OwnedBytes(std::make_shared<const Buffer>(std::move(buffer))) {}

  // A view of the whole of a shared buffer.
  explicit OwnedBytes(std::shared_ptr<const Buffer> buffer)
      : data_(buffer, buffer->data()), start_(0), end_(buffer->size()) {}

  // A buffer of `size` bytes whose contents are left for the caller to write
  // through `bytes` before the view is shared: unlike a vector's, they are
  // not zeroed first. A large one comes from the buffer pool, which keeps it
  // for reuse once the last view is gone.
  static OwnedBytes for_overwrite(size_t size, uint8_t*& bytes) {
    OwnedBytes out;
    if (buffer_pool::pooled(size)) {
      std::shared_ptr<uint8_t> buffer = buffer_pool::acquire(size);
      bytes = buffer.get();
      out.data_ = std::move(buffer);
    } else {
      std::shared_ptr<uint8_t[]> buffer = std::make_shared_for_overwrite<uint8_t[]>(size);
      bytes = buffer.get();
      out.data_ = std::shared_ptr<const uint8_t>(std::move(buffer), bytes);
    }
    out.end_ = size;
    return out;
  }

  std::span<const uint8_t> as_slice() const { return {data(), size()}; }
  const uint8_t* data() const { return data_.get() + start_; }
  size_t size() const { return end_ - start_; }
  bool empty() const { return start_ == end_; }
  uint8_t operator[](size_t i) const { return data_.get()[start_ + i]; }

  // A narrower view [from, to) of this one, sharing the buffer.
  // Precondition: from <= to <= size().
  OwnedBytes slice(size_t from, size_t to) const {
    OwnedBytes out = *this;
    out.start_ = start_ + from;
    out.end_ = start_ + to;
    return out;
  }

  std::vector<uint8_t> to_vec() const { return {data(), data() + size()}; }

  // How many views share the buffer (for tests of ownership).
  long use_count() const { return data_.use_count(); }

 private:
  // The buffer's first byte, owning the buffer; null for an empty view of
  // no buffer (then data() is null too, and size() is 0).
  std::shared_ptr<const uint8_t> data_;
  size_t start_ = 0;
  size_t end_ = 0;
};

}  // namespace zelvar
