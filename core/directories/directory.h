// The engine's read-only view of one index folder.
//
// Three things can be done with a file name: test that it exists, read the
// whole file (`open_read`, for the small JSON and ".meta" files), or open it
// lazily to read byte ranges later (`open_lazy`, for the large segment files).
// Every file-system call runs on the runtime's blocking pool while the caller
// waits. Nothing here writes, lists or memory-maps a file.
//
// Thread safety: FsDirectory is immutable; share it freely.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "core/directories/lazy_file.h"
#include "core/directories/owned_bytes.h"
#include "core/error/io_error.h"

namespace zelvar {

// The result of `open_read`: the whole file, read at once.
struct FileSlice {
  OwnedBytes bytes;  // the whole file
  ByteRange range;   // always 0..file length here

  // The bytes the slice stands for; cannot fail.
  OwnedBytes read_bytes() const {
    return bytes.slice(static_cast<size_t>(range.start), static_cast<size_t>(range.end));
  }
};

class FsDirectory {
 public:
  explicit FsDirectory(std::filesystem::path root) : root_(std::move(root)) {}

  // True if the file exists (symbolic links followed); any failure is false.
  bool exists(std::string_view name) const;

  // The whole file as one buffer. Fails with the operating system's error, or
  // Other "background task failed" if the blocking task did not complete.
  IoResult<FileSlice> open_read(std::string_view name) const;

  // A handle that records the file's current size and identity; opens
  // nothing yet.
  IoResult<LazyFileHandle> open_lazy(std::string_view name) const;

  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path resolve(std::string_view name) const { return root_ / name; }

  std::filesystem::path root_;
};

// The text of the error for a blocking task that did not complete.
inline constexpr std::string_view kBackgroundTaskFailed = "background task failed";

}  // namespace zelvar
