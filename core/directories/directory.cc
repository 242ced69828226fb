#include "core/directories/directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/directories/blocking.h"
#include "core/directories/whole_file.h"

namespace zelvar {

bool FsDirectory::exists(std::string_view name) const {
  std::string path = resolve(name).string();
  auto result = detail::on_blocking_pool([path]() -> IoResult<bool> {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
  });
  return result.value_or(false);
}

IoResult<FileSlice> FsDirectory::open_read(std::string_view name) const {
  std::string path = resolve(name).string();
  auto data = detail::on_blocking_pool([path] { return read_whole_file(path); });
  if (!data) return std::unexpected(std::move(data).error());
  OwnedBytes bytes(std::move(*data));
  uint64_t len = bytes.size();
  return FileSlice{std::move(bytes), ByteRange{0, len}};
}

IoResult<LazyFileHandle> FsDirectory::open_lazy(std::string_view name) const {
  std::string path = resolve(name).string();
  auto found = detail::on_blocking_pool([path] { return stat_file(path); });
  if (!found) return std::unexpected(std::move(found).error());
  return LazyFileHandle(make_file_reader(std::move(path), std::string(name), found->identity), found->size);
}

}  // namespace zelvar
