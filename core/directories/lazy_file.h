// Lazily read files and fixed windows of them.
//
// `FsDirectory::open_lazy` records a file's size and returns a LazyFileHandle;
// byte ranges are read later, each read opening the file anew, seeking and
// reading exactly the requested bytes on the runtime's blocking pool. Nothing
// is cached here; the block caches above bound the cost.
//
// A LazyFileSlice is a window [offset, offset + len) of a handle; its ranges
// are relative to the window and checked against both the window and the file.
//
// Thread safety: both types are immutable values sharing their read function;
// concurrent reads each use their own descriptor.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/directories/owned_bytes.h"
#include "core/error/io_error.h"

namespace zelvar {

// A byte range [start, end) of a file or window.
struct ByteRange {
  uint64_t start = 0;
  uint64_t end = 0;

  // The range as "start..end" in decimal, the form used in error texts.
  std::string to_string() const;
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

class LazyFileHandle {
 public:
  using ReadFn = std::function<IoResult<OwnedBytes>(ByteRange)>;

  LazyFileHandle(std::shared_ptr<const ReadFn> read_fn, uint64_t file_size)
      : read_fn_(std::move(read_fn)), file_size_(file_size) {}

  // Exactly range.end - range.start bytes of the file. A range ending beyond
  // the recorded size fails with InvalidInput; a range whose start is after
  // its end is refused without a read.
  IoResult<OwnedBytes> read_bytes_range(ByteRange range) const;

  uint64_t file_size() const { return file_size_; }

 private:
  std::shared_ptr<const ReadFn> read_fn_;
  uint64_t file_size_;
};

class LazyFileSlice {
 public:
  LazyFileSlice(LazyFileHandle handle, uint64_t offset, uint64_t len)
      : handle_(std::move(handle)), offset_(offset), len_(len) {}

  // Bytes [range.start, range.end) of the window, i.e. of the file shifted by
  // the window's offset. Checked against the window length, then the file.
  IoResult<OwnedBytes> read_bytes_range(ByteRange range) const;

  const LazyFileHandle& handle() const { return handle_; }
  uint64_t offset() const { return offset_; }
  uint64_t len() const { return len_; }

 private:
  LazyFileHandle handle_;
  uint64_t offset_;
  uint64_t len_;
};

// The read function of a handle over the file at `path` (which it owns).
std::shared_ptr<const LazyFileHandle::ReadFn> make_file_reader(std::string path);

}  // namespace zelvar
