#include "core/structures/vector/quantization/pq_codebook.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/structures/vector/quantization/side_file_test_util.h"

namespace zelvar {
namespace {

using side_file_test::Bytes;
using side_file_test::expect_eof;
using side_file_test::values;

constexpr uint64_t kStamp = 0x0102030405060708ULL;

// Old layout up to the codebook (33 bytes).
Bytes old_header(uint32_t version, uint32_t dim, uint32_t subspaces, uint32_t centroids) {
  Bytes b;
  b.u32(kPQCodebookMagic).u32(version).u64(kStamp).u32(dim).u32(subspaces);
  b.u32(centroids).u8(1).f32(2.5f);
  return b;
}

// New layout up to and including the rotation byte (47 bytes).
Bytes new_header(uint32_t dim, uint32_t subspaces, uint32_t subspace_dim, uint32_t centroids,
                 uint8_t rotation) {
  Bytes b;
  b.u32(kPQCodebookMagic).u32(2).u64(kStamp).u32(dim).u32(subspaces);
  b.u32(subspace_dim).u32(centroids).u8(0).f32(0.75f).f32(-3.0f).u8(2).u32(17).u8(rotation);
  return b;
}

TEST(PQCodebookFromBytes, OldLayoutDerivesTheSubspaceWidth) {
  for (uint32_t version : {0u, 1u}) {
    // dim 10 over 3 subspaces: width 3, so 2 centroids hold 2 * 3 * 3 values.
    const Bytes file = old_header(version, 10, 3, 2).f32s(18, 1.0f).u8(1).f32s(6, 50.0f);
    auto got = PQCodebook::from_bytes(file.data);
    ASSERT_TRUE(got.has_value()) << got.error().to_string();
    PQCodebook expected;
    expected.codebook = values(18, 1.0f);
    expected.norms = values(6, 50.0f);
    expected.dim = 10;
    expected.num_subspaces = 3;
    expected.subspace_dim = 3;
    expected.num_centroids = 2;
    expected.preset = 42;
    expected.param_n = 0;
    expected.param_x = 10.0f;
    expected.param_y = 2.5f;
    expected.flag_p = true;
    expected.flag_q = false;
    expected.stamp = kStamp;
    EXPECT_EQ(*got, expected);
  }
}

TEST(PQCodebookFromBytes, NewLayoutReadsItsParametersAndRotation) {
  const Bytes file = new_header(2, 1, 2, 3, 1).f32s(4, 9.0f).f32s(6, 1.0f).u8(0);
  auto got = PQCodebook::from_bytes(file.data);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  PQCodebook expected;
  expected.codebook = values(6, 1.0f);
  expected.rotation = values(4, 9.0f);
  expected.dim = 2;
  expected.num_subspaces = 1;
  expected.subspace_dim = 2;
  expected.num_centroids = 3;
  expected.param_n = 17;
  expected.param_x = 0.75f;
  expected.param_y = -3.0f;
  expected.flag_p = false;
  expected.flag_q = true;
  expected.stamp = kStamp;
  EXPECT_EQ(*got, expected);

  // Without a rotation the codebook starts at offset 47.
  const Bytes plain = new_header(2, 1, 2, 3, 0).f32s(6, 1.0f).u8(3).f32s(3, 7.0f).u8(0xEE);
  auto no_rotation = PQCodebook::from_bytes(plain.data);
  ASSERT_TRUE(no_rotation.has_value()) << no_rotation.error().to_string();
  EXPECT_FALSE(no_rotation->rotation.has_value());
  EXPECT_EQ(no_rotation->codebook, values(6, 1.0f));
  EXPECT_EQ(no_rotation->norms, values(3, 7.0f));
}

TEST(PQCodebookFromBytes, NoCentroidsStillNeedsTheNormsByte) {
  auto empty = PQCodebook::from_bytes(old_header(1, 4, 2, 0).u8(0).data);
  ASSERT_TRUE(empty.has_value()) << empty.error().to_string();
  EXPECT_TRUE(empty->codebook.empty());
  EXPECT_FALSE(empty->norms.has_value());
  expect_eof(PQCodebook::from_bytes(old_header(1, 4, 2, 0).data), "no norms byte");
}

TEST(PQCodebookFromBytes, OldLayoutWithoutSubspacesIsRefused) {
  auto got = PQCodebook::from_bytes(old_header(1, 8, 0, 4).u8(0).data);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(got.error().to_string(), "Invalid codebook file: zero subspaces");
  // A header that is not all there is short first.
  expect_eof(PQCodebook::from_bytes(old_header(1, 8, 0, 4).cut(32).data), "short header");
  // The new layout states its width, so zero subspaces is just an empty codebook.
  auto stated = PQCodebook::from_bytes(new_header(8, 0, 8, 4, 0).u8(0).data);
  ASSERT_TRUE(stated.has_value()) << stated.error().to_string();
  EXPECT_TRUE(stated->codebook.empty());
}

TEST(PQCodebookFromBytes, ShortFilesAndWrongMagic) {
  struct Case {
    std::string what;
    Bytes file;
  };
  const Case short_files[] = {
      {"three bytes of anything", Bytes{}.text("KBC")},
      {"ends inside the common header", old_header(1, 1, 1, 1).cut(23)},
      {"old header one byte short", old_header(1, 1, 1, 1).cut(32)},
      {"new header one byte short", new_header(1, 1, 1, 1, 0).cut(46)},
      {"inside the rotation", new_header(2, 1, 2, 1, 1).f32s(3, 0)},
      {"inside the codebook", old_header(1, 4, 2, 1).f32s(3, 0)},
      {"inside the norms", old_header(1, 4, 2, 1).f32s(4, 0).u8(1).f32(0)},
      // Counts whose product is beyond the file, or beyond 64 bits.
      {"huge rotation", new_header(0xFFFFFFFF, 1, 1, 1, 1).f32s(2, 0)},
      {"huge codebook", new_header(1, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0).f32s(2, 0)},
      {"huge norms", new_header(1, 0xFFFFFFFF, 0, 0xFFFFFFFF, 0).u8(1).f32s(2, 0)},
  };
  for (const Case& c : short_files) expect_eof(PQCodebook::from_bytes(c.file.data), c.what);

  Bytes centroids_file;
  centroids_file.text("CVCH").u32(1).u64(0).u32(0).u32(0).u32(0).u8(0).f32(0).u8(0);
  auto got = PQCodebook::from_bytes(centroids_file.data);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(got.error().to_string(), "Invalid codebook file magic");
}

TEST(PQCodebookLoad, ReadsThePathOrGivesTheSystemError) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("zelvar_codebook_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "pq.bin").string();
  const Bytes file = old_header(1, 2, 1, 1).f32s(2, 3.0f).u8(0);
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(file.data.data(), 1, file.data.size(), f);
  std::fclose(f);

  auto got = PQCodebook::load(path);
  auto missing = PQCodebook::load((dir / "absent.bin").string());
  std::filesystem::remove_all(dir);

  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(got->codebook, values(2, 3.0f));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().to_string(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace zelvar
