#include "core/directories/lazy_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string>

#include "core/directories/blocking.h"

namespace zelvar {
namespace {

IoError out_of_bounds(ByteRange range, std::string_view what, uint64_t limit) {
  return IoError(IoErrorKind::InvalidInput, "Range " + range.to_string() + " out of bounds (" +
                                                std::string(what) + ": " + std::to_string(limit) + ")");
}

// Reads [range.start, range.end) of the file at `path`: open, seek, fill.
// The descriptor is closed on every path.
IoResult<OwnedBytes> read_file_range(const std::string& path, ByteRange range) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(IoError::from_os(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (range.start > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
      ::lseek(fd, static_cast<off_t>(range.start), SEEK_SET) < 0) {
    return std::unexpected(IoError::from_os(errno ? errno : EINVAL));
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(range.end - range.start));
  size_t filled = 0;
  while (filled < buffer.size()) {
    ssize_t n = ::read(fd, buffer.data() + filled, buffer.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_os(errno));
    }
    if (n == 0) return std::unexpected(IoError(IoErrorKind::UnexpectedEof, "early eof"));
    filled += static_cast<size_t>(n);
  }
  return OwnedBytes(std::move(buffer));
}

}  // namespace

std::string ByteRange::to_string() const { return std::to_string(start) + ".." + std::to_string(end); }

std::shared_ptr<const LazyFileHandle::ReadFn> make_file_reader(std::string path) {
  return std::make_shared<const LazyFileHandle::ReadFn>([path = std::move(path)](ByteRange range) {
    return detail::on_blocking_pool([&path, range] { return read_file_range(path, range); });
  });
}

IoResult<OwnedBytes> LazyFileHandle::read_bytes_range(ByteRange range) const {
  if (range.end > file_size_) return std::unexpected(out_of_bounds(range, "file size", file_size_));
  if (range.start > range.end) {
    return std::unexpected(IoError(IoErrorKind::InvalidInput,
                                   "Invalid range " + range.to_string() + ": start is after end"));
  }
  return (*read_fn_)(range);
}

IoResult<OwnedBytes> LazyFileSlice::read_bytes_range(ByteRange range) const {
  if (range.end > len_) return std::unexpected(out_of_bounds(range, "slice len", len_));
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  if (range.end > kMax - offset_) {
    return std::unexpected(IoError(IoErrorKind::InvalidInput,
                                   "Range " + range.to_string() + " at offset " +
                                       std::to_string(offset_) + " overflows a 64-bit file offset"));
  }
  return handle_.read_bytes_range(ByteRange{offset_ + range.start, offset_ + range.end});
}

}  // namespace zelvar
