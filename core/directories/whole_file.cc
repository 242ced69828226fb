#include "core/directories/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/runtime/open_file.h"

namespace zelvar {

IoResult<std::vector<uint8_t>> read_whole_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(IoError(IoErrorKind::InvalidInput, std::string(kPathWithNul)));
  }
  const std::string name(path);
  // Non-blocking, so that opening a FIFO without a writer cannot stall.
  const int fd = runtime::open_file(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::unexpected(IoError::from_os(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(IoError::from_os(errno));
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    return std::unexpected(IoError(IoErrorKind::InvalidInput, std::string(kNotARegularFile)));
  }
  std::vector<uint8_t> data;
  uint8_t chunk[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_os(errno));
    }
    if (n == 0) break;
    data.insert(data.end(), chunk, chunk + n);
  }
  return data;
}

}  // namespace zelvar
