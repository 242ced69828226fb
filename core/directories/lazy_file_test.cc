#include "core/directories/lazy_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "core/directories/directory.h"

namespace zelvar {
namespace {

namespace fs = std::filesystem;

class LazyFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "zelvar-lazy-XXXXXX").string();
    root_ = mkdtemp(tmpl.data());
  }
  void TearDown() override { fs::remove_all(root_); }

  // A file of `size` bytes whose byte i is i % 251.
  LazyFileHandle make_file(const std::string& name, size_t size) {
    std::string content;
    for (size_t i = 0; i < size; ++i) content.push_back(static_cast<char>(i % 251));
    std::ofstream(root_ / name, std::ios::binary) << content;
    auto handle = FsDirectory(root_).open_lazy(name);
    EXPECT_TRUE(handle.has_value());
    return *handle;
  }

  fs::path root_;
};

struct RangeCase {
  uint64_t offset;  // window offset, or UINT64_MAX for a read through the handle
  uint64_t len;
  ByteRange range;
  std::string error;  // empty: the read succeeds
};

TEST_F(LazyFileTest, ChecksRangesAgainstFileAndWindow) {
  constexpr uint64_t kHandle = std::numeric_limits<uint64_t>::max();
  LazyFileHandle h100 = make_file("f100", 100);
  LazyFileHandle h30 = make_file("f30", 30);
  const RangeCase cases[] = {
      {kHandle, 0, {90, 100}, ""},
      {kHandle, 0, {90, 101}, "Range 90..101 out of bounds (file size: 100)"},
      {kHandle, 0, {100, 100}, ""},
      {kHandle, 0, {0, 0}, ""},
      {10, 20, {0, 20}, ""},
      {10, 20, {5, 21}, "Range 5..21 out of bounds (slice len: 20)"},
      {kHandle - 1, 10, {0, 5}, "Range 0..5 at offset 18446744073709551614 overflows a 64-bit file offset"},
      {kHandle, 0, {60, 50}, "Invalid range 60..50: start is after end"},
      {10, 20, {15, 5}, "Invalid range 25..15: start is after end"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.range.to_string());
    auto result = c.offset == kHandle ? h100.read_bytes_range(c.range)
                                      : LazyFileSlice(h100, c.offset, c.len).read_bytes_range(c.range);
    if (c.error.empty()) {
      ASSERT_TRUE(result.has_value()) << result.error().to_string();
      ASSERT_EQ(result->size(), c.range.end - c.range.start);
      uint64_t base = c.offset == kHandle ? 0 : c.offset;
      for (size_t i = 0; i < result->size(); ++i) {
        ASSERT_EQ((*result)[i], (base + c.range.start + i) % 251);
      }
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind(), IoErrorKind::InvalidInput);
      EXPECT_EQ(result.error().to_string(), c.error);
    }
  }
  auto shifted = LazyFileSlice(h30, 10, 25).read_bytes_range({0, 25});
  ASSERT_FALSE(shifted.has_value());
  EXPECT_EQ(shifted.error().to_string(), "Range 10..35 out of bounds (file size: 30)");
}

TEST_F(LazyFileTest, TruncatedFileEndsEarly) {
  LazyFileHandle h = make_file("f", 100);
  fs::resize_file(root_ / "f", 50);
  auto result = h.read_bytes_range({40, 60});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), IoErrorKind::UnexpectedEof);
  EXPECT_EQ(result.error().to_string(), "early eof");
}

TEST_F(LazyFileTest, GrownFileKeepsRecordedSize) {
  LazyFileHandle h = make_file("f", 10);
  std::ofstream(root_ / "f", std::ios::binary | std::ios::app) << "more bytes";
  EXPECT_EQ(h.file_size(), 10u);
  auto result = h.read_bytes_range({0, 11});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().to_string(), "Range 0..11 out of bounds (file size: 10)");
}

TEST_F(LazyFileTest, RemovedFileFailsEveryRead) {
  LazyFileHandle h = make_file("f", 10);
  fs::remove(root_ / "f");
  const std::string expected = std::string(std::strerror(ENOENT)) + " (os error 2)";
  for (ByteRange r : {ByteRange{0, 5}, ByteRange{0, 0}}) {
    auto result = h.read_bytes_range(r);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), IoErrorKind::NotFound);
    EXPECT_EQ(result.error().to_string(), expected);
  }
}

// What a handle reads once the name it was made for names something else. The
// replacements are made while the old file still exists, as an indexing
// program replaces a file, so that the new one cannot reuse its inode number.
TEST_F(LazyFileTest, ReadsOnlyTheFileItWasMadeFor) {
  struct Case {
    const char* name;
    void (*change)(const fs::path&);
    IoErrorKind kind;
    std::string error;
  };
  const Case cases[] = {
      {"renamed over",
       [](const fs::path& p) {
         std::ofstream(p.string() + ".new", std::ios::binary) << std::string(100, 'y');
         fs::rename(p.string() + ".new", p);
       },
       IoErrorKind::InvalidData, "f was replaced since the segment was opened"},
      {"replaced by a pipe",
       [](const fs::path& p) {
         ASSERT_EQ(::mkfifo((p.string() + ".fifo").c_str(), 0600), 0);
         fs::rename(p.string() + ".fifo", p);
       },
       IoErrorKind::InvalidData, "f was replaced since the segment was opened"},
      {"rewritten in place", [](const fs::path& p) { std::ofstream(p, std::ios::binary) << std::string(100, 'z'); },
       IoErrorKind::Other, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LazyFileHandle h = make_file("f", 100);
    c.change(root_ / "f");
    for (ByteRange r : {ByteRange{0, 10}, ByteRange{5, 5}}) {
      auto result = h.read_bytes_range(r);
      if (c.error.empty()) {
        ASSERT_TRUE(result.has_value()) << result.error().to_string();
        EXPECT_EQ(result->size(), r.end - r.start);
      } else {
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind(), c.kind);
        EXPECT_EQ(result.error().to_string(), c.error);
      }
    }
    fs::remove(root_ / "f");
  }
}

// A pipe under a segment file's name from the start is never read (a read
// would wait for a writer for ever).
TEST_F(LazyFileTest, PipeIsNotRead) {
  ASSERT_EQ(::mkfifo((root_ / "p").c_str(), 0600), 0);
  auto handle = FsDirectory(root_).open_lazy("p");
  ASSERT_TRUE(handle.has_value()) << handle.error().to_string();
  EXPECT_EQ(handle->file_size(), 0u);
  auto result = handle->read_bytes_range({0, 0});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), IoErrorKind::InvalidInput);
  EXPECT_EQ(result.error().to_string(), "not a regular file");
}

TEST_F(LazyFileTest, TailReaderServesTheEndFromOneRead) {
  auto reads = std::make_shared<std::vector<ByteRange>>();
  LazyFileHandle file = make_file("f", 100);
  LazyFileHandle counted(std::make_shared<const LazyFileHandle::ReadFn>([reads, file](ByteRange r) {
                           reads->push_back(r);
                           return file.read_bytes_range(r);
                         }),
                         100);
  TailReader tail(counted);
  EXPECT_EQ(tail.buffered_from(), 100u);
  ASSERT_TRUE(tail.buffer_from(60).has_value());
  EXPECT_EQ(tail.buffered_from(), 60u);
  struct Case {
    ByteRange range;
    std::string error;  // empty: succeeds
    bool read;          // whether it reaches the file
  };
  const Case cases[] = {
      {{60, 100}, "", false},
      {{95, 100}, "", false},
      {{100, 100}, "", false},
      {{59, 70}, "", true},
      {{0, 10}, "", true},
      {{90, 101}, "Range 90..101 out of bounds (file size: 100)", false},
      {{80, 70}, "Invalid range 80..70: start is after end", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.range.to_string());
    reads->clear();
    auto result = tail.read_bytes_range(c.range);
    if (c.error.empty()) {
      ASSERT_TRUE(result.has_value()) << result.error().to_string();
      ASSERT_EQ(result->size(), c.range.end - c.range.start);
      for (size_t i = 0; i < result->size(); ++i) ASSERT_EQ((*result)[i], (c.range.start + i) % 251);
      EXPECT_EQ(reads->size(), c.read ? 1u : 0u);
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().to_string(), c.error);
      EXPECT_TRUE(reads->empty());
    }
  }
}

// A file's metadata read: the end first, then from the lowest section when
// the end did not reach it, within the bound. A fake file of the given size
// records the ranges read.
TEST(TailReaderTest, ReadsTheEndThenReachesTheLowestSectionWithinTheBound) {
  constexpr uint64_t kFirst = TailReader::kFirstRead;
  constexpr uint64_t kMax = TailReader::kMaxRead;
  struct Case {
    const char* name;
    uint64_t size;
    uint64_t lowest;
    std::vector<ByteRange> reads;  // after the first read
  };
  const std::vector<Case> cases = {
      {"a small file is read whole", 1000, 10, {}},
      {"the first read holds the lowest section", 10 * kFirst, 10 * kFirst - 100, {}},
      {"the lowest section lies further back", 10 * kFirst, kFirst, {{kFirst, 10 * kFirst}}},
      {"as far back as the bound", kMax + kFirst, kFirst, {{kFirst, kMax + kFirst}}},
      {"beyond the bound: each section read by itself", kMax + kFirst + 1, kFirst, {}},
      {"a lowest section past the file's end", 10 * kFirst, 20 * kFirst, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto reads = std::make_shared<std::vector<ByteRange>>();
    LazyFileHandle file(std::make_shared<const LazyFileHandle::ReadFn>([reads](ByteRange r) -> IoResult<OwnedBytes> {
                          reads->push_back(r);
                          return OwnedBytes(std::vector<uint8_t>(r.end - r.start));
                        }),
                        c.size);
    TailReader tail(file);
    ASSERT_TRUE(tail.buffer_end().has_value());
    ASSERT_EQ(reads->size(), 1u);
    EXPECT_EQ((*reads)[0], (ByteRange{c.size - std::min(c.size, kFirst), c.size}));
    reads->clear();
    ASSERT_TRUE(tail.reach(c.lowest).has_value());
    EXPECT_EQ(*reads, c.reads);
  }
}

}  // namespace
}  // namespace zelvar
