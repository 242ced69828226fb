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

namespace zelvar {

class OwnedBytes {
 public:
  using Buffer = std::vector<uint8_t>;

  // An empty view.
  OwnedBytes() : data_(empty_buffer()), start_(0), end_(0) {}

  // A view of the whole of `buffer`, which it takes over.
  explicit OwnedBytes(Buffer buffer)
      : data_(std::make_shared<const Buffer>(std::move(buffer))), start_(0), end_(data_->size()) {}

  // A view of the whole of a shared buffer.
  explicit OwnedBytes(std::shared_ptr<const Buffer> buffer)
      : data_(std::move(buffer)), start_(0), end_(data_->size()) {}

  std::span<const uint8_t> as_slice() const { return {data_->data() + start_, end_ - start_}; }
  const uint8_t* data() const { return data_->data() + start_; }
  size_t size() const { return end_ - start_; }
  bool empty() const { return start_ == end_; }
  uint8_t operator[](size_t i) const { return data_->data()[start_ + i]; }

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
  static const std::shared_ptr<const Buffer>& empty_buffer() {
    static const auto* empty = new std::shared_ptr<const Buffer>(std::make_shared<const Buffer>());
    return *empty;
  }

  std::shared_ptr<const Buffer> data_;
  size_t start_;
  size_t end_;
};

}  // namespace zelvar
