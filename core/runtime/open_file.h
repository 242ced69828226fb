// Opening a file descriptor, the one way the engine does it.
//
// A signal caught while open() waits (on a FIFO, a device, a network or
// user-space file system) makes it fail with EINTR unless the handler asked
// for restarts, and CPython installs its handlers without that; the open is
// then simply made again, as reads are.
//
// Thread safety: a plain system call; callable from any thread.
#pragma once

#include <fcntl.h>

#include <cerrno>

namespace zelvar::runtime {

// ::open(path, flags), repeated while it fails with EINTR: the descriptor, or
// -1 with errno set.
inline int open_file(const char* path, int flags) {
  for (;;) {
    const int fd = ::open(path, flags);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

}  // namespace zelvar::runtime
