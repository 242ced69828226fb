// Reading a whole file on the calling thread.
//
// Used by the directory's `open_read` (on the blocking pool) and by the
// readers of files named by path outside the index folder (the dense-vector
// side files, read on the calling thread).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error/io_error.h"

namespace zelvar {

// The file's bytes. Only regular files are read: a device or a pipe could be
// read forever, so it fails with InvalidInput kNotARegularFile (a directory is
// left to fail on its first read with the system's own error). A path holding
// a NUL byte would silently name another file and fails with InvalidInput
// kPathWithNul. The buffer grows with what is read, never with a size reported
// up front. Operating-system errors are returned as they are.
IoResult<std::vector<uint8_t>> read_whole_file(std::string_view path);

inline constexpr std::string_view kPathWithNul = "path contains a NUL byte";
inline constexpr std::string_view kNotARegularFile = "not a regular file";

}  // namespace zelvar
