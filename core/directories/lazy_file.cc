#include "core/directories/lazy_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>

#include "core/directories/blocking.h"
#include "core/directories/whole_file.h"
#include "core/error/result.h"
#include "core/runtime/open_file.h"

namespace zelvar {
namespace {

FileStatus status_of(const struct statx& st) {
  FileStatus status;
  status.size = st.stx_size;
  status.identity.device = makedev(st.stx_dev_major, st.stx_dev_minor);
  status.identity.inode = st.stx_ino;
  if (st.stx_mask & STATX_BTIME) status.identity.birth = std::pair{st.stx_btime.tv_sec, st.stx_btime.tv_nsec};
  return status;
}

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

IoError out_of_bounds(ByteRange range, std::string_view what, uint64_t limit) {
  return IoError(IoErrorKind::InvalidInput, "Range " + range.to_string() + " out of bounds (" +
                                                std::string(what) + ": " + std::to_string(limit) + ")");
}

IoError reversed(ByteRange range) {
  return IoError(IoErrorKind::InvalidInput, "Invalid range " + range.to_string() + ": start is after end");
}

// Reads [range.start, range.end) of the file at `path`, which must still be
// the file `identity` names: open without blocking, check, fill. The
// descriptor is closed on every path.
IoResult<OwnedBytes> read_file_range(const std::string& path, const std::string& name, FileIdentity identity,
                                     ByteRange range) {
  int fd = runtime::open_file(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::unexpected(IoError::from_os(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct statx st {};
  if (::statx(fd, "", AT_EMPTY_PATH, kStatxMask, &st) != 0) return std::unexpected(IoError::from_os(errno));
  if (!status_of(st).identity.same_file(identity)) {
    return std::unexpected(IoError(IoErrorKind::InvalidData, name + " was replaced since the segment was opened"));
  }
  // The same file as at open, and never a regular one: reading a pipe or a
  // device could wait or go on for ever. A directory fails on its read.
  if (!S_ISREG(st.stx_mode) && !S_ISDIR(st.stx_mode)) {
    return std::unexpected(IoError(IoErrorKind::InvalidInput, std::string(kNotARegularFile)));
  }
  if (range.start > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::unexpected(IoError::from_os(EINVAL));
  }
  const size_t size = static_cast<size_t>(range.end - range.start);
  uint8_t* buffer = nullptr;
  OwnedBytes bytes = OwnedBytes::for_overwrite(size, buffer);
  size_t filled = 0;
  while (filled < size) {
    const ssize_t n = ::pread(fd, buffer + filled, size - filled, static_cast<off_t>(range.start + filled));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_os(errno));
    }
    if (n == 0) return std::unexpected(IoError(IoErrorKind::UnexpectedEof, "early eof"));
    filled += static_cast<size_t>(n);
  }
  return bytes;
}

}  // namespace

IoResult<FileStatus> stat_file(const std::string& path) {
  struct statx st {};
  if (::statx(AT_FDCWD, path.c_str(), 0, kStatxMask, &st) != 0) return std::unexpected(IoError::from_os(errno));
  return status_of(st);
}

std::shared_ptr<const LazyFileHandle::ReadFn> make_file_reader(std::string path, std::string name,
                                                               FileIdentity identity) {
  return std::make_shared<const LazyFileHandle::ReadFn>(
      [path = std::move(path), name = std::move(name), identity](ByteRange range) {
        return detail::on_blocking_pool(
            [&path, &name, identity, range] { return read_file_range(path, name, identity, range); });
      });
}

IoResult<OwnedBytes> LazyFileHandle::read_bytes_range(ByteRange range) const {
  if (range.end > file_size_) return std::unexpected(out_of_bounds(range, "file size", file_size_));
  if (range.start > range.end) return std::unexpected(reversed(range));
  return (*read_fn_)(range);
}

IoResult<OwnedBytes> LazyFileSlice::read_bytes_range(ByteRange range) const {
  if (range.end > len_) return std::unexpected(out_of_bounds(range, "slice len", len_));
  if (!ByteRange::at(offset_, range.end)) {
    return std::unexpected(IoError(IoErrorKind::InvalidInput,
                                   "Range " + range.to_string() + " at offset " +
                                       std::to_string(offset_) + " overflows a 64-bit file offset"));
  }
  // A reversed range goes to the handle shifted, which refuses it, unless
  // its start cannot be shifted at all.
  if (!ByteRange::at(offset_, range.start)) return std::unexpected(reversed(range));
  return handle_.read_bytes_range(ByteRange{offset_ + range.start, offset_ + range.end});
}

IoResult<void> TailReader::buffer_end() {
  return buffer_from(file_.file_size() - std::min(file_.file_size(), kFirstRead));
}

IoResult<void> TailReader::reach(uint64_t lowest) {
  if (lowest >= buffered_from() || file_.file_size() - lowest > kMaxRead) return {};
  return buffer_from(lowest);
}

IoResult<void> TailReader::buffer_from(uint64_t start) {
  ZELVAR_TRY(tail_, file_.read_bytes_range(ByteRange{start, file_.file_size()}));
  return {};
}

IoResult<OwnedBytes> TailReader::read_bytes_range(ByteRange range) const {
  const uint64_t from = buffered_from();
  if (range.start >= from && range.start <= range.end && range.end <= file_.file_size()) {
    return tail_.slice(static_cast<size_t>(range.start - from), static_cast<size_t>(range.end - from));
  }
  return file_.read_bytes_range(range);
}

}  // namespace zelvar
