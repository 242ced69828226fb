#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/runtime.h"

namespace zelvar::runtime {
namespace {

namespace fs = std::filesystem;

// A folder standing in for the file-system root.
class FakeRoot {
 public:
  FakeRoot() {
    std::string pattern = (fs::temp_directory_path() / "zelvar-cpus-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~FakeRoot() { fs::remove_all(path_); }

  void write(const std::string& absolute, const std::string& content) const {
    fs::path file = path_ / fs::path(absolute).relative_path();
    fs::create_directories(file.parent_path());
    std::ofstream(file) << content;
  }
  std::string path() const { return path_.string(); }

 private:
  fs::path path_;
};

const std::string kV1Mount =
    "33 25 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:11 - cgroup cgroup rw,cpu,cpuacct\n";
const std::string kV2Mount =
    "29 23 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
const std::string kV1Dir = "/sys/fs/cgroup/cpu,cpuacct";

// A container's mount table: `lines` mounts ahead of the control-group ones,
// some 80 bytes each.
std::string long_mount_table(int lines) {
  std::string table;
  for (int i = 0; i < lines; ++i) {
    table += std::to_string(100 + i) + " 23 0:" + std::to_string(50 + i) +
             " / /var/lib/containers/overlay/" + std::to_string(i) +
             "/merged rw,relatime - overlay overlay rw,lowerdir=/l,upperdir=/u\n";
  }
  return table;
}

struct Case {
  const char* name;
  std::map<std::string, std::string> files;
  size_t affinity;
  size_t expected;
};

const std::vector<Case>& quota_cases() {
  static const std::vector<Case> cases = {
      {"no control-group files", {}, 8, 8},
      {"an affinity of 0 counts as 1", {}, 0, 1},
      {"v1 quota 150000 / period 100000 in the own group",
       {{"/proc/self/cgroup", "5:cpu,cpuacct:/box\n2:memory:/box\n"},
        {"/proc/self/mountinfo", kV1Mount},
        {kV1Dir + "/box/cpu.cfs_quota_us", "150000\n"},
        {kV1Dir + "/box/cpu.cfs_period_us", "100000\n"},
        {kV1Dir + "/cpu.cfs_quota_us", "-1\n"},
        {kV1Dir + "/cpu.cfs_period_us", "100000\n"}},
       8, 2},
      {"v1 without a quota",
       {{"/proc/self/cgroup", "5:cpu,cpuacct:/box\n"},
        {"/proc/self/mountinfo", kV1Mount},
        {kV1Dir + "/box/cpu.cfs_quota_us", "-1\n"},
        {kV1Dir + "/box/cpu.cfs_period_us", "100000\n"}},
       8, 8},
      {"v1 hierarchy mounted with the own group at its top",
       {{"/proc/self/cgroup", "3:cpu:/docker/abc\n"},
        {"/proc/self/mountinfo",
         "40 32 0:35 /docker/abc /sys/fs/cgroup/cpu ro,nosuid - cgroup cgroup rw,cpu\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "250000\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"}},
       8, 3},
      {"a mount root written with a trailing separator",
       {{"/proc/self/cgroup", "3:cpu:/docker/abc/inner\n"},
        {"/proc/self/mountinfo",
         "40 32 0:35 /docker/ /sys/fs/cgroup/cpu ro,nosuid - cgroup cgroup rw,cpu\n"},
        {"/sys/fs/cgroup/cpu/abc/inner/cpu.cfs_quota_us", "250000\n"},
        {"/sys/fs/cgroup/cpu/abc/inner/cpu.cfs_period_us", "100000\n"}},
       8, 3},
      {"v2 \"max\" is no limit",
       {{"/proc/self/cgroup", "0::/box\n"},
        {"/proc/self/mountinfo", kV2Mount},
        {"/sys/fs/cgroup/box/cpu.max", "max 100000\n"}},
       8, 8},
      {"v2 quota of a parent group is the smallest",
       {{"/proc/self/cgroup", "0::/a/b\n"},
        {"/proc/self/mountinfo", kV2Mount},
        {"/sys/fs/cgroup/a/b/cpu.max", "300000 100000\n"},
        {"/sys/fs/cgroup/a/cpu.max", "150000 100000\n"}},
       8, 2},
      {"v2 half a CPU rounds up to 1",
       {{"/proc/self/cgroup", "0::/a/b\n"},
        {"/proc/self/mountinfo", kV2Mount},
        {"/sys/fs/cgroup/a/b/cpu.max", "50000 100000\n"},
        {"/sys/fs/cgroup/a/cpu.max", "max 100000\n"}},
       8, 1},
      {"a quota above the affinity count leaves the affinity count",
       {{"/proc/self/cgroup", "0::/box\n"},
        {"/proc/self/mountinfo", kV2Mount},
        {"/sys/fs/cgroup/box/cpu.max", "1600000 100000\n"}},
       4, 4},
      {"hybrid: the cpu controller on v1, v2 mounted elsewhere without it",
       {{"/proc/self/cgroup", "1:cpu:/\n0::/\n"},
        {"/proc/self/mountinfo",
         "33 32 0:30 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"
         "42 32 0:39 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "200000\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"}},
       8, 2},
      {"a mount point with a blank in it",
       {{"/proc/self/cgroup", "0::/box\n"},
        {"/proc/self/mountinfo",
         "29 23 0:26 / /sys/fs/my\\040cgroup rw - cgroup2 cgroup2 rw\n"},
        {"/sys/fs/my cgroup/box/cpu.max", "300000 100000\n"}},
       8, 3},
      {"a group outside the mount's view is not read",
       {{"/proc/self/cgroup", "0::/../elsewhere\n"},
        {"/proc/self/mountinfo", kV2Mount},
        {"/sys/fs/cgroup/cpu.max", "100000 100000\n"},
        {"/sys/fs/elsewhere/cpu.max", "100000 100000\n"}},
       8, 8},
      {"folders above the mount point are not read",
       {{"/proc/self/cgroup", "0::/box\n"},
        {"/proc/self/mountinfo",
         "29 23 0:26 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"},
        {"/sys/fs/cgroup/cpu.max", "100000 100000\n"}},
       8, 8},
      {"malformed quota files are ignored",
       {{"/proc/self/cgroup", "0::/a/b/c\n"},
        {"/proc/self/mountinfo", kV2Mount},
        {"/sys/fs/cgroup/a/b/c/cpu.max", "150000\n"},
        {"/sys/fs/cgroup/a/b/cpu.max", "lots 100000\n"},
        {"/sys/fs/cgroup/a/cpu.max", "100000 0\n"}},
       8, 8},
      {"malformed cgroup and mountinfo lines are skipped",
       {{"/proc/self/cgroup", "garbage\n::\n0::/box\n"},
        {"/proc/self/mountinfo", "short line\n1 2 3 4 5 6 - cgroup2\n" + kV2Mount},
        {"/sys/fs/cgroup/box/cpu.max", "200000 100000\n"}},
       8, 2},
      {"the cgroup mount after 22 KiB of other mounts",
       {{"/proc/self/cgroup", "0::/box\n"},
        {"/proc/self/mountinfo", long_mount_table(200) + kV2Mount},
        {"/sys/fs/cgroup/box/cpu.max", "300000 100000\n"}},
       8, 3},
  };
  return cases;
}

void write_files(const FakeRoot& root, const Case& c) {
  for (const auto& [path, content] : c.files) root.write(path, content);
}

TEST(AvailableCpusTest, AffinityLimitedByTheSmallestQuotaOfTheGroupAndItsParents) {
  for (const Case& c : quota_cases()) {
    SCOPED_TRACE(c.name);
    FakeRoot root;
    write_files(root, c);
    EXPECT_EQ(available_cpus(root.path(), c.affinity), c.expected);
  }
}

// Reads as the kernel makes them of a /proc table: some 4 KiB at a time
// (a mount table of 120 lines came in reads of 4,092 and 4,063 bytes).
ssize_t read_4092(int fd, void* buffer, size_t count) {
  return ::read(fd, buffer, std::min<size_t>(count, 4092));
}

// 1 to 7 bytes at a time, by the position in the file.
ssize_t read_1_to_7(int fd, void* buffer, size_t count) {
  const off_t at = ::lseek(fd, 0, SEEK_CUR);
  return ::read(fd, buffer, std::min<size_t>(count, 1 + static_cast<size_t>(at % 7)));
}

// Every other call is interrupted by a signal before it reads anything.
ssize_t read_interrupted(int fd, void* buffer, size_t count) {
  static thread_local bool interrupt = false;
  interrupt = !interrupt;
  if (interrupt) {
    errno = EINTR;
    return -1;
  }
  return ::read(fd, buffer, std::min<size_t>(count, 100));
}

TEST(AvailableCpusTest, FilesAreReadToTheEndThroughShortAndInterruptedReads) {
  const std::vector<std::pair<const char*, ReadCall>> readers = {
      {"4,092 bytes a read", read_4092},
      {"1 to 7 bytes a read", read_1_to_7},
      {"every other read interrupted", read_interrupted},
  };
  for (const Case& c : quota_cases()) {
    SCOPED_TRACE(c.name);
    FakeRoot root;
    write_files(root, c);
    for (const auto& [name, read] : readers) {
      SCOPED_TRACE(name);
      EXPECT_EQ(available_cpus(root.path(), c.affinity, read), c.expected);
    }
  }
}

// A v1 quota file fails to read once its first byte is read.
ssize_t read_quota_failing(int fd, void* buffer, size_t count) {
  const fs::path file = fs::read_symlink("/proc/self/fd/" + std::to_string(fd));
  if (file.filename() != "cpu.cfs_quota_us") return ::read(fd, buffer, count);
  if (::lseek(fd, 0, SEEK_CUR) == 0) return ::read(fd, buffer, 1);
  errno = EIO;
  return -1;
}

TEST(AvailableCpusTest, AFileWhoseReadFailsPartwayIsNotRead) {
  FakeRoot root;
  root.write("/proc/self/cgroup", "5:cpu,cpuacct:/box\n");
  root.write("/proc/self/mountinfo", kV1Mount);
  root.write(kV1Dir + "/box/cpu.cfs_quota_us", "150000\n");
  root.write(kV1Dir + "/box/cpu.cfs_period_us", "100000\n");
  // Not 1, from a quota of "1" CPU-microsecond.
  EXPECT_EQ(available_cpus(root.path(), 8, read_quota_failing), 8u);
}

TEST(AvailableCpusTest, ThisProcessHasAtLeastOne) {
  const size_t cpus = available_cpus();
  EXPECT_GE(cpus, 1u);
  EXPECT_LE(cpus, static_cast<size_t>(std::max(1u, std::thread::hardware_concurrency())));
}

}  // namespace
}  // namespace zelvar::runtime
