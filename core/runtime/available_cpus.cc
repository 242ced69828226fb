// The CPUs a process may use: its affinity mask, limited by the CPU quota of
// its control groups.
//
// /proc/self/cgroup names the process's group in each hierarchy, one line
// "<id>:<controllers>:<path>": cgroup v2 has id 0 and no controllers, a v1
// hierarchy lists its controllers ("cpu,cpuacct"). /proc/self/mountinfo says
// where each hierarchy is mounted and which of its groups the mount shows as
// its top ("<id> <parent> <dev> <root> <mount point> <options> [tags] -
// <type> <source> <super options>", with blanks in paths written \040). The
// group's folder is the mount point joined with the group path below the
// mount's root; its quota and that of every folder above it, up to the mount
// point, limit the process, and the smallest wins.
//
//   v2: cpu.max              "max <period>" (no limit) or "<quota> <period>"
//   v1: cpu.cfs_quota_us     -1 (no limit) or the quota
//       cpu.cfs_period_us    the period
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/runtime/open_file.h"
#include "core/runtime/runtime.h"

namespace zelvar::runtime {
namespace {

namespace fs = std::filesystem;

enum class Version { kV1, kV2 };

// The text of a small kernel file, at most kMaxFileBytes of it; empty if it
// cannot be read. It is read until read() returns 0: the kernel hands out a
// /proc table a page or so per read (a mount table of 120 lines came in reads
// of 4,092 and 4,063 bytes), so a read that returns less than asked for says
// nothing about the end.
constexpr size_t kMaxFileBytes = 1 << 20;

std::string read_file(const std::string& path, ReadCall read) {
  std::string text;
  const int fd = open_file(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char chunk[16384];
  while (text.size() < kMaxFileBytes) {
    const ssize_t n = read(fd, chunk, std::min(sizeof chunk, kMaxFileBytes - text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) text.clear();  // a number cut short would read as another
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

bool has_item(std::string_view list, std::string_view item) {
  for (std::string_view part : split(list, ',')) {
    if (part == item) return true;
  }
  return false;
}

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// A mountinfo path with its octal escapes (\040 for a blank) undone.
std::string unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && is_octal(text[i + 1]) && is_octal(text[i + 2]) &&
        is_octal(text[i + 3])) {
      out.push_back(static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) |
                                      (text[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::optional<uint64_t> parse_u64(std::string_view text) {
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string first_line(const fs::path& path, ReadCall read) {
  std::string text = read_file(path.string(), read);
  return text.substr(0, text.find('\n'));
}

// quota / period rounded up, at least 1; none for a zero period or quota.
std::optional<size_t> cpus_of(uint64_t quota, uint64_t period) {
  if (quota == 0 || period == 0) return std::nullopt;
  uint64_t cpus = quota / period + (quota % period != 0 ? 1 : 0);
  return static_cast<size_t>(std::max<uint64_t>(cpus, 1));
}

// The CPU limit set in one group folder, if any.
std::optional<size_t> folder_limit(const fs::path& folder, Version version, ReadCall read) {
  if (version == Version::kV2) {
    std::string line = first_line(folder / "cpu.max", read);
    std::istringstream in(line);
    std::string quota;
    std::string period;
    if (!(in >> quota >> period) || quota == "max") return std::nullopt;
    std::optional<uint64_t> q = parse_u64(quota);
    std::optional<uint64_t> p = parse_u64(period);
    if (!q || !p) return std::nullopt;
    return cpus_of(*q, *p);
  }
  // A quota of -1 means none, and does not parse as unsigned; the period is
  // read only for a quota.
  std::optional<uint64_t> q = parse_u64(first_line(folder / "cpu.cfs_quota_us", read));
  if (!q) return std::nullopt;
  std::optional<uint64_t> p = parse_u64(first_line(folder / "cpu.cfs_period_us", read));
  if (!p) return std::nullopt;
  return cpus_of(*q, *p);
}

struct Mount {
  std::string root;         // the group the mount shows at its top
  std::string mount_point;  // absolute
};

// The cgroup mounts of `version` (v1: only hierarchies with the cpu
// controller) that `mountinfo` lists.
std::vector<Mount> cgroup_mounts(std::string_view mountinfo, Version version) {
  std::vector<Mount> mounts;
  for (std::string_view line : split(mountinfo, '\n')) {
    std::vector<std::string_view> fields = split(line, ' ');
    auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 6 || dash == fields.end() || fields.end() - dash < 4) continue;
    std::string_view type = dash[1];
    std::string_view super_options = dash[3];
    bool wanted = version == Version::kV2 ? type == "cgroup2"
                                          : type == "cgroup" && has_item(super_options, "cpu");
    if (wanted) mounts.push_back(Mount{unescape(fields[3]), unescape(fields[4])});
  }
  return mounts;
}

// `path` below `top`, component by component; none if it is not below it or
// climbs with "..".
std::optional<fs::path> below(const fs::path& path, const fs::path& top) {
  auto p = path.begin();
  for (const fs::path& part : top) {
    if (part.empty()) continue;  // a trailing separator
    if (p == path.end() || *p != part) return std::nullopt;
    ++p;
  }
  fs::path rest;
  for (; p != path.end(); ++p) {
    if (*p == "..") return std::nullopt;
    if (p->empty() || *p == "." || *p == "/") continue;
    rest /= *p;
  }
  return rest;
}

// The smallest limit on the way from the folder of `group` up to the mount
// point of the first of `mounts` that shows it.
std::optional<size_t> hierarchy_limit(const std::string& root, Version version,
                                      const std::vector<Mount>& mounts, std::string_view group,
                                      ReadCall read) {
  for (const Mount& mount : mounts) {
    std::optional<fs::path> rest = below(fs::path(group), fs::path(mount.root));
    if (!rest) continue;
    const fs::path top(root + mount.mount_point);
    fs::path folder = top / *rest;
    std::optional<size_t> limit;
    // One folder per component of `rest`, then the mount point itself.
    const auto levels = std::distance(rest->begin(), rest->end());
    for (std::ptrdiff_t level = 0; level <= levels; ++level) {
      std::optional<size_t> here = folder_limit(folder, version, read);
      if (here && (!limit || *here < *limit)) limit = here;
      folder = folder.parent_path();
    }
    return limit;
  }
  return std::nullopt;
}

// The smallest CPU limit the process's control groups set, if any.
std::optional<size_t> cgroup_limit(const std::string& root, ReadCall read) {
  std::optional<size_t> smallest;
  const std::string cgroups = read_file(root + "/proc/self/cgroup", read);
  if (cgroups.empty()) return smallest;
  const std::string mountinfo = read_file(root + "/proc/self/mountinfo", read);
  for (std::string_view line : split(cgroups, '\n')) {
    // The path may itself hold ':'; the first two separate the fields.
    const size_t first = line.find(':');
    const size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view group = line.substr(second + 1);
    std::optional<size_t> limit;
    if (id == "0" && controllers.empty()) {
      limit = hierarchy_limit(root, Version::kV2, cgroup_mounts(mountinfo, Version::kV2), group, read);
    } else if (has_item(controllers, "cpu")) {
      limit = hierarchy_limit(root, Version::kV1, cgroup_mounts(mountinfo, Version::kV1), group, read);
    }
    if (limit && (!smallest || *limit < *smallest)) smallest = limit;
  }
  return smallest;
}

// This process's control-group limit, read again once it is a second old:
// reading it takes a handful of files and the whole mount table, which the
// kernel writes out afresh at every read, and every index open
// asks for the CPU count. A new quota, or a move to another group, is seen
// within that second.
constexpr auto kLimitRefresh = std::chrono::seconds(1);

std::optional<size_t> own_cgroup_limit() {
  static std::mutex mutex;
  static std::optional<size_t> limit;
  static std::optional<std::chrono::steady_clock::time_point> read_at;
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex);
  if (!read_at || now - *read_at >= kLimitRefresh) {
    limit = cgroup_limit("", ::read);
    read_at = now;
  }
  return limit;
}

size_t limited(size_t affinity_cpus, std::optional<size_t> limit) {
  const size_t cpus = std::max<size_t>(affinity_cpus, 1);
  return limit ? std::min(cpus, *limit) : cpus;
}

}  // namespace

size_t available_cpus(const std::string& root, size_t affinity_cpus, ReadCall read) {
  return limited(affinity_cpus, cgroup_limit(root, read));
}

size_t available_cpus() {
  size_t affinity = 0;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    affinity = static_cast<size_t>(CPU_COUNT(&set));
  } else {
    affinity = std::thread::hardware_concurrency();
  }
  return limited(affinity, own_cgroup_limit());
}

bool under_cpu_quota() { return own_cgroup_limit().has_value(); }

}  // namespace zelvar::runtime
