// A file held in memory behind a LazyFileHandle, for the engine's tests and
// fuzz targets: no folder, and every read is seen.
//
// It records every range read through its handles. Its bytes can be cut
// short after a handle was made, as a file that shrank (a read past the new
// end fails with UnexpectedEof "early eof", as such a file's read does), and
// a fault can replace the result of chosen reads. Copies share one file.
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
      return OwnedBytes(std::vector<uint8_t>(state->bytes.begin() + static_cast<ptrdiff_t>(r.start),
                                             state->bytes.begin() + static_cast<ptrdiff_t>(r.end)));
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
  };
  std::shared_ptr<State> state_;
};

}  // namespace zelvar::test_writer
