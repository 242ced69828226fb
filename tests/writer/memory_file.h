// A file held in memory behind a LazyFileHandle, for the engine's tests and
// fuzz targets: no folder, and every read is seen.
//
// It records every range read through its handles. Its bytes can be cut
// short after a handle was made, as a file that shrank (a read past the new
// end fails with UnexpectedEof "early eof", as such a file's read does), and
// a fault can replace the result of chosen reads. It can keep the buffers it
// hands out, so that a test sees whether a reader still holds any of them.
// Copies share one file.
//
// Thread safety: handles may read from any number of threads; the other
// members may be called at any time too (one lock guards the state).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/directories/lazy_file.h"

namespace zelvar::test_writer {

class MemoryFile {
 public:
  // Consulted before each read; a value replaces the read's result.
  using Fault = std::function<std::optional<IoResult<OwnedBytes>>(ByteRange)>;

  MemoryFile() : MemoryFile(std::vector<uint8_t>{}) {}
  explicit MemoryFile(std::vector<uint8_t> bytes) : state_(std::make_shared<State>()) {
    state_->bytes = std::move(bytes);
  }
  explicit MemoryFile(std::span<const uint8_t> bytes) : MemoryFile(std::vector<uint8_t>(bytes.begin(), bytes.end())) {}

  // A handle that records the file's size as it is now.
  LazyFileHandle handle() const {
    auto state = state_;
    auto read = std::make_shared<const LazyFileHandle::ReadFn>([state](ByteRange r) -> IoResult<OwnedBytes> {
      Fault fault;
      {
        std::lock_guard lock(state->mutex);
        state->reads.push_back(r);
        fault = state->fault;
      }
      if (fault) {
        if (auto replaced = fault(r)) return std::move(*replaced);
      }
      std::lock_guard lock(state->mutex);
      if (r.end > state->bytes.size()) return std::unexpected(IoError(IoErrorKind::UnexpectedEof, "early eof"));
      OwnedBytes read(std::vector<uint8_t>(state->bytes.begin() + static_cast<ptrdiff_t>(r.start),
                                           state->bytes.begin() + static_cast<ptrdiff_t>(r.end)));
      if (state->keep_buffers) state->kept.push_back(read);
      return read;
    });
    std::lock_guard lock(state_->mutex);
    return LazyFileHandle(std::move(read), state_->bytes.size());
  }

  // Every range read so far, in order.
  std::vector<ByteRange> reads() const {
    std::lock_guard lock(state_->mutex);
    return state_->reads;
  }
  void clear_reads() {
    std::lock_guard lock(state_->mutex);
    state_->reads.clear();
  }

  // Replaces the bytes (handles made before keep their recorded size).
  void assign(std::vector<uint8_t> bytes) {
    std::lock_guard lock(state_->mutex);
    state_->bytes = std::move(bytes);
  }
  void truncate(size_t size) {
    std::lock_guard lock(state_->mutex);
    state_->bytes.resize(std::min(size, state_->bytes.size()));
  }
  // From now on, keeps every buffer a read hands out (faults' results aside).
  void keep_buffers() {
    std::lock_guard lock(state_->mutex);
    state_->keep_buffers = true;
  }
  // For each buffer kept, in read order, how many holders it has besides
  // this file (views of it count, whatever part they view).
  std::vector<long> other_holders() const {
    std::lock_guard lock(state_->mutex);
    std::vector<long> holders;
    for (const OwnedBytes& buffer : state_->kept) holders.push_back(buffer.use_count() - 1);
    return holders;
  }

  void set_fault(Fault fault) {
    std::lock_guard lock(state_->mutex);
    state_->fault = std::move(fault);
  }

 private:
  struct State {
    std::mutex mutex;
    std::vector<uint8_t> bytes;     // guarded by mutex
    std::vector<ByteRange> reads;   // guarded by mutex
    Fault fault;                    // guarded by mutex
    bool keep_buffers = false;      // guarded by mutex
    std::vector<OwnedBytes> kept;   // guarded by mutex
  };
  std::shared_ptr<State> state_;
};

}  // namespace zelvar::test_writer
