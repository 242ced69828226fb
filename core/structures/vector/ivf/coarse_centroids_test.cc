#include "core/structures/vector/ivf/coarse_centroids.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/structures/vector/quantization/side_file_test_util.h"

namespace zelvar {
namespace {

using side_file_test::Bytes;
using side_file_test::expect_eof;
using side_file_test::values;

Bytes header(uint32_t version, uint32_t count_a, uint32_t count_b) {
  Bytes b;
  b.u32(kCoarseCentroidsMagic).u32(version).u64(0x1122334455667788ULL).u32(count_a).u32(count_b);
  return b;
}

TEST(CoarseCentroidsFromBytes, OldLayoutHoldsTheValuesAfterTheHeader) {
  for (uint32_t version : {0u, 1u}) {
    const Bytes file = header(version, 2, 3).f32s(6, 1.5f);
    ASSERT_EQ(file.data.size(), 48u);
    auto got = CoarseCentroids::from_bytes(file.data);
    ASSERT_TRUE(got.has_value()) << got.error().to_string();
    EXPECT_EQ(*got, (CoarseCentroids{values(6, 1.5f), 2, 3, 0x1122334455667788ULL, std::nullopt}));

    expect_eof(CoarseCentroids::from_bytes(file.cut(47).data), "one value byte short");

    Bytes longer = file;
    longer.f32s(3, 100.0f);  // ignored
    auto more = CoarseCentroids::from_bytes(longer.data);
    ASSERT_TRUE(more.has_value());
    EXPECT_EQ(more->centroids, values(6, 1.5f));
  }
}

TEST(CoarseCentroidsFromBytes, NewLayoutHasAnOptionalExtension) {
  auto plain = CoarseCentroids::from_bytes(header(2, 1, 2).u8(0).f32s(2, 4.0f).data);
  ASSERT_TRUE(plain.has_value()) << plain.error().to_string();
  EXPECT_EQ(plain->centroids, values(2, 4.0f));
  EXPECT_FALSE(plain->extension.has_value());

  // Any non-zero byte marks the extension present and a true flag.
  const Bytes with_ext = header(3, 1, 2).u8(9).u32(77).u8(5).f32(0.5f).f32s(2, 4.0f);
  auto ext = CoarseCentroids::from_bytes(with_ext.data);
  ASSERT_TRUE(ext.has_value()) << ext.error().to_string();
  EXPECT_EQ(ext->centroids, values(2, 4.0f));
  EXPECT_EQ(ext->extension, (CentroidExtension{77, true, 0.5f}));

  auto flag_off = CoarseCentroids::from_bytes(header(2, 0, 0).u8(1).u32(1).u8(0).f32(0).data);
  ASSERT_TRUE(flag_off.has_value());
  EXPECT_EQ(flag_off->extension, (CentroidExtension{1, false, 0.0f}));
}

TEST(CoarseCentroidsFromBytes, ZeroCountsGiveNoValues) {
  for (auto [a, b] : {std::pair{0u, 5u}, std::pair{5u, 0u}}) {
    auto got = CoarseCentroids::from_bytes(header(1, a, b).data);
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(got->centroids.empty());
    EXPECT_EQ(got->count_a, a);
    EXPECT_EQ(got->count_b, b);
  }
}

TEST(CoarseCentroidsFromBytes, ShortFilesAndWrongMagic) {
  const Bytes ext = header(2, 1, 1).u8(1).u32(0).u8(0).f32(0).f32(1);
  struct Case {
    std::string what;
    Bytes file;
  };
  const Case short_files[] = {
      {"empty", Bytes{}},
      {"three bytes of anything", Bytes{}.text("XYZ")},
      {"three bytes of the magic", Bytes{}.text("CVC")},
      {"magic only", Bytes{}.u32(kCoarseCentroidsMagic)},
      {"inside the counts", header(1, 1, 1).cut(23)},
      {"new layout without its extension byte", header(2, 0, 0)},
      {"inside the extension", ext.cut(33)},
      {"inside the values", ext.cut(37)},
      // Counts far beyond the file are refused before anything is reserved.
      {"counts beyond the file", header(1, 0xFFFFFFFF, 0xFFFFFFFF).f32s(4, 0)},
  };
  for (const Case& c : short_files) expect_eof(CoarseCentroids::from_bytes(c.file.data), c.what);

  for (std::string_view magic : {"KBCS", "cvch", "HCVC"}) {
    Bytes file;
    file.text(magic).u32(1).u64(0).u32(0).u32(0);
    auto got = CoarseCentroids::from_bytes(file.data);
    ASSERT_FALSE(got.has_value()) << magic;
    EXPECT_EQ(got.error().kind(), IoErrorKind::InvalidData);
    EXPECT_EQ(got.error().to_string(), "Invalid centroids file magic");
  }
}

class CoarseCentroidsLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zelvar_centroids_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const Bytes& bytes) {
    const std::string path = (dir_ / name).string();
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data.data(), 1, bytes.data.size(), f);
    std::fclose(f);
    return path;
  }

  std::filesystem::path dir_;
};

TEST_F(CoarseCentroidsLoad, ReadsTheFileAtThePath) {
  const std::string path = write("c.bin", header(1, 2, 2).f32s(4, -1.0f));
  auto got = CoarseCentroids::load(path);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(got->centroids, values(4, -1.0f));
}

TEST_F(CoarseCentroidsLoad, UnreadablePathsGiveTheSystemError) {
  auto missing = CoarseCentroids::load((dir_ / "absent.bin").string());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), IoErrorKind::NotFound);
  EXPECT_EQ(missing.error().to_string(), "No such file or directory (os error 2)");

  auto directory = CoarseCentroids::load(dir_.string());
  ASSERT_FALSE(directory.has_value());
  EXPECT_EQ(directory.error().to_string(), "Is a directory (os error 21)");
}

TEST_F(CoarseCentroidsLoad, RefusesPathsThatNameNoFileToReadToItsEnd) {
  const std::string file = write("c.bin", header(1, 0, 0));
  const std::string fifo = (dir_ / "pipe").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string path;
    std::string error;
  };
  const Case cases[] = {
      // Cut at the NUL, the path would name the valid file.
      {file + std::string(1, '\0') + "x", "path contains a NUL byte"},
      {"/dev/zero", "not a regular file"},
      {fifo, "not a regular file"},  // no writer: must not block
  };
  for (const Case& c : cases) {
    auto got = CoarseCentroids::load(c.path);
    ASSERT_FALSE(got.has_value()) << c.path;
    EXPECT_EQ(got.error().kind(), IoErrorKind::InvalidInput) << c.path;
    EXPECT_EQ(got.error().to_string(), c.error) << c.path;
  }
}

}  // namespace
}  // namespace zelvar
