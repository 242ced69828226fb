#include "core/directories/directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "core/error/error.h"

namespace zelvar {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "zelvar-dir-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }
  void write(const std::string& name, const std::string& content) const {
    std::ofstream(path_ / name, std::ios::binary) << content;
  }

 private:
  fs::path path_;
};

TEST(FsDirectoryTest, Exists) {
  TempDir dir;
  dir.write("schema.json", "{}");
  FsDirectory d(dir.path());
  EXPECT_TRUE(d.exists("schema.json"));
  EXPECT_FALSE(d.exists("segments.json"));
  EXPECT_FALSE(d.exists("schema.json/inner"));  // path through a regular file
}

TEST(FsDirectoryTest, OpenReadReturnsWholeFile) {
  TempDir dir;
  dir.write("a", "hello");
  dir.write("empty", "");
  FsDirectory d(dir.path());

  auto slice = d.open_read("a");
  ASSERT_TRUE(slice.has_value());
  EXPECT_EQ(slice->range, (ByteRange{0, 5}));
  OwnedBytes bytes = slice->read_bytes();
  EXPECT_EQ(std::string(bytes.data(), bytes.data() + bytes.size()), "hello");

  auto empty = d.open_read("empty");
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->range, (ByteRange{0, 0}));
  EXPECT_TRUE(empty->read_bytes().empty());
}

TEST(FsDirectoryTest, MissingFileIsTheOsError) {
  TempDir dir;
  FsDirectory d(dir.path());
  const std::string expected = std::string(std::strerror(ENOENT)) + " (os error 2)";
  auto read = d.open_read("schema.json");
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().kind(), IoErrorKind::NotFound);
  EXPECT_EQ(read.error().to_string(), expected);
  EXPECT_EQ(Error(read.error()).to_string(), "IO error: " + expected);

  auto lazy = d.open_lazy("seg.terms");
  ASSERT_FALSE(lazy.has_value());
  EXPECT_EQ(lazy.error().kind(), IoErrorKind::NotFound);
  EXPECT_EQ(lazy.error().to_string(), expected);
}

TEST(FsDirectoryTest, OpenReadRefusesWhatIsNotARegularFile) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir.path() / "schema.json").c_str(), 0600), 0);
  FsDirectory d(dir.path());
  auto fifo = d.open_read("schema.json");  // would block, then never end
  ASSERT_FALSE(fifo.has_value());
  EXPECT_EQ(fifo.error().kind(), IoErrorKind::InvalidInput);
  EXPECT_EQ(fifo.error().to_string(), "not a regular file");

  fs::create_directory(dir.path() / "segments.json");
  auto folder = d.open_read("segments.json");
  ASSERT_FALSE(folder.has_value());
  EXPECT_EQ(folder.error().to_string(), std::string(std::strerror(EISDIR)) + " (os error 21)");
}

TEST(OwnedBytesTest, CopiesShareTheBufferAndToVecCopies) {
  OwnedBytes a(std::vector<uint8_t>{1, 2, 3, 4});
  std::vector<uint8_t> copy;
  {
    OwnedBytes b = a.slice(1, 3);
    EXPECT_EQ(a.use_count(), 2);
    EXPECT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0], 2);
    copy = b.to_vec();
  }
  EXPECT_EQ(a.use_count(), 1);
  EXPECT_EQ(copy, (std::vector<uint8_t>{2, 3}));
  EXPECT_TRUE(OwnedBytes().to_vec().empty());
}

}  // namespace
}  // namespace zelvar
