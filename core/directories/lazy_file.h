// Lazily read files and fixed windows of them.
//
// `FsDirectory::open_lazy` records a file's size and returns a LazyFileHandle;
// byte ranges are read later, each read opening the file anew, seeking and
// reading exactly the requested bytes on the runtime's blocking pool. Nothing
// is cached here; the block caches above bound the cost.
//
// A handle reads only the file it was made for: it remembers that file's
// identity (device, inode and, where the file system records one, birth
// time, which tells a new file from an old one whose inode number it was
// given again), and a read that finds another file under the name (the
// indexing program replaced it) fails with InvalidData
// "<name> was replaced since the segment was opened" instead of reading the
// new file at the old file's offsets. The file is opened without blocking, so
// a pipe put in its place cannot stall a read, and a file that was never a
// regular file (a pipe or a device) fails with InvalidInput
// "not a regular file". A file that shrank in place keeps failing with
// "early eof" for the bytes that are gone.
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
#include <optional>
#include <string>
#include <utility>

#include "core/directories/byte_cursor.h"
#include "core/directories/owned_bytes.h"
#include "core/error/io_error.h"

namespace zelvar {

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

// What identifies one file, whatever its name.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  std::optional<std::pair<int64_t, uint32_t>> birth;  // seconds, nanoseconds

  // Whether the two may be the same file: a birth time known on one side
  // only decides nothing.
  bool same_file(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && (!birth || !other.birth || *birth == *other.birth);
  }
};

// What the directory learns of a file when it makes a handle.
struct FileStatus {
  uint64_t size = 0;
  FileIdentity identity;
};

// The status of the file at `path` (symbolic links followed), or the
// operating system's error.
IoResult<FileStatus> stat_file(const std::string& path);

// The read function of a handle over the file at `path` (which it owns), the
// file named `name` in error texts, whose identity was `identity` when the
// handle was made.
std::shared_ptr<const LazyFileHandle::ReadFn> make_file_reader(std::string path, std::string name,
                                                               FileIdentity identity);

// Ranges of one file read through a buffer of its last bytes. Opening a file
// reads several small regions near its end (footers, indexes, filters); one
// read of the end serves them all. Ranges inside the buffer are sliced from
// it; any other range, valid or not, goes to the handle, so that it fails or
// succeeds exactly as a direct read would.
//
// The term dictionary and the document store read their metadata so: first
// the last kFirstRead bytes (`buffer_end`), which hold the footer and, for a
// segment of some ten thousand terms or blocks, every section the footer
// locates; then, once the footer has said where the lowest section starts,
// the file from there (`reach`) if the first read fell short of it, unless
// that is more than kMaxRead (a damaged footer, or a huge dictionary), when
// each section is read by itself.
//
// Thread safety: belongs to one open; the handle it wraps may be shared.
class TailReader {
 public:
  static constexpr uint64_t kFirstRead = uint64_t{64} << 10;
  static constexpr uint64_t kMaxRead = uint64_t{16} << 20;

  explicit TailReader(LazyFileHandle file) : file_(std::move(file)) {}

  // Reads the file's last kFirstRead bytes (all of a smaller file).
  IoResult<void> buffer_end();

  // Reads the file from `lowest` to its end, if the buffer does not reach
  // that far yet and that is at most kMaxRead bytes; otherwise nothing.
  IoResult<void> reach(uint64_t lowest);

  // Reads the file from `start` to its recorded end in one read and keeps it
  // in place of what was buffered. Precondition: start <= file_size().
  IoResult<void> buffer_from(uint64_t start);

  // Bytes [range.start, range.end) of the file.
  IoResult<OwnedBytes> read_bytes_range(ByteRange range) const;

  // Where the buffer starts (the file size while nothing is buffered).
  uint64_t buffered_from() const { return file_.file_size() - tail_.size(); }
  const LazyFileHandle& file() const { return file_; }

 private:
  LazyFileHandle file_;
  OwnedBytes tail_;  // the file's last bytes
};

}  // namespace zelvar
