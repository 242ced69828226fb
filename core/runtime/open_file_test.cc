#include "core/runtime/open_file.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace zelvar::runtime {
namespace {

namespace fs = std::filesystem;

void on_signal(int) {}

// Opening a FIFO for reading waits for a writer; a signal whose handler does
// not ask for restarts (as CPython's do not) interrupts that wait.
TEST(OpenFileTest, AnOpenInterruptedByASignalIsMadeAgain) {
  std::string pattern = (fs::temp_directory_path() / "zelvar-open-XXXXXX").string();
  const fs::path folder = mkdtemp(pattern.data());
  const std::string fifo = (folder / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  constexpr int kWaiting = -2;
  std::atomic<int> opened{kWaiting};
  int error = 0;
  std::thread reader([&] {
    const int fd = open_file(fifo.c_str(), O_RDONLY | O_CLOEXEC);
    error = errno;
    opened.store(fd);
  });
  for (int i = 0; i < 5 && opened.load() == kWaiting; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pthread_kill(reader.native_handle(), SIGUSR1);
  }
  // A writer ends the wait; without a reader waiting, its open fails at once.
  int writer = -1;
  while (opened.load() == kWaiting) {
    writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  reader.join();
  EXPECT_GE(opened.load(), 0) << "errno " << error;
  if (opened.load() >= 0) ::close(opened.load());
  if (writer >= 0) ::close(writer);
  sigaction(SIGUSR1, &previous, nullptr);
  fs::remove_all(folder);
}

}  // namespace
}  // namespace zelvar::runtime
