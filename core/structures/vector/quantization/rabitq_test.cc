#include "core/structures/vector/quantization/rabitq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <numeric>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zelvar {
namespace {

uint64_t now_millis() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

RaBitQCodebook build(uint64_t dim, uint64_t seed) {
  auto codebook = RaBitQCodebook::create(RaBitQConfig{dim, 4, seed});
  EXPECT_TRUE(codebook.has_value());
  return codebook.value_or(RaBitQCodebook{});
}

// --- the seeded codebook --------------------------------------------------------

TEST(RaBitQCodebookCreate, SmallDimensionGivesTheSeededSignsAndShuffle) {
  const uint64_t before = now_millis();
  const RaBitQCodebook cb = build(10, 42);
  const uint64_t after = now_millis();
  EXPECT_EQ(cb.config, (RaBitQConfig{10, 4, 42}));
  EXPECT_EQ(cb.random_signs, (std::vector<int8_t>{-1, 1, -1, 1, 1, 1, 1, -1, 1, -1}));
  EXPECT_EQ(cb.random_perm, (std::vector<uint32_t>{9, 8, 0, 7, 4, 1, 5, 2, 3, 6}));
  EXPECT_GE(cb.version, before);
  EXPECT_LE(cb.version, after);
}

TEST(RaBitQCodebookCreate, LargeDimensionCrossesRefillsAndStaysAPermutation) {
  const RaBitQCodebook cb = build(1000, 42);
  ASSERT_EQ(cb.random_signs.size(), 1000u);
  ASSERT_EQ(cb.random_perm.size(), 1000u);
  EXPECT_EQ(std::accumulate(cb.random_signs.begin(), cb.random_signs.end(), 0), -2);
  EXPECT_EQ(std::vector<uint32_t>(cb.random_perm.begin(), cb.random_perm.begin() + 8),
            (std::vector<uint32_t>{258, 943, 895, 750, 276, 288, 423, 397}));
  uint64_t weighted = 0;
  for (size_t i = 0; i < cb.random_perm.size(); ++i) weighted += i * cb.random_perm[i];
  EXPECT_EQ(weighted, 252127741u);
  std::vector<uint32_t> sorted = cb.random_perm;
  std::sort(sorted.begin(), sorted.end());
  for (uint32_t i = 0; i < sorted.size(); ++i) ASSERT_EQ(sorted[i], i);
}

TEST(RaBitQCodebookCreate, DegenerateDimensions) {
  const RaBitQCodebook zero = build(0, 42);
  EXPECT_TRUE(zero.random_signs.empty());
  EXPECT_TRUE(zero.random_perm.empty());
  const RaBitQCodebook one = build(1, 42);
  EXPECT_EQ(one.random_signs, std::vector<int8_t>{-1});
  EXPECT_EQ(one.random_perm, std::vector<uint32_t>{0});
}

TEST(RaBitQCodebookCreate, EqualConfigurationsDifferOnlyInVersion) {
  const RaBitQCodebook first = build(300, 42);
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  const RaBitQCodebook second = build(300, 42);
  EXPECT_EQ(first.random_signs, second.random_signs);
  EXPECT_EQ(first.random_perm, second.random_perm);
  EXPECT_LT(first.version, second.version);

  const RaBitQCodebook other_seed = build(300, 43);
  EXPECT_NE(first.random_perm, other_seed.random_perm);
}

TEST(RaBitQCodebookCreate, RefusesADimensionBeyondTheLimit) {
  for (uint64_t dim : {kMaxRaBitQCodebookDim + 1, uint64_t{1} << 32, UINT64_MAX}) {
    auto cb = RaBitQCodebook::create(RaBitQConfig{dim, 4, 42});
    ASSERT_FALSE(cb.has_value()) << dim;
    EXPECT_EQ(cb.error().kind(), IoErrorKind::InvalidData);
    EXPECT_EQ(cb.error().to_string(), "RaBitQ codebook dimension too large");
  }
  auto at_limit = RaBitQCodebook::create(RaBitQConfig{kMaxRaBitQCodebookDim, 4, 42});
  ASSERT_TRUE(at_limit.has_value());
  EXPECT_EQ(at_limit->random_perm.size(), kMaxRaBitQCodebookDim);
}

// --- the flat index body ----------------------------------------------------------

dsl::JsonResult<RaBitQIndex> read(std::string_view text) {
  return RaBitQIndex::from_json(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

constexpr std::string_view kCodebook =
    R"({"config":{"dim":3,"query_bits":4,"seed":7},"random_signs":[1,-1,5],)"
    R"("random_perm":[2,2,9],"version":123})";

RaBitQIndex expected_index() {
  RaBitQIndex index;
  // Stored values are kept as written, even when they are no permutation.
  index.codebook = RaBitQCodebook{RaBitQConfig{3, 4, 7}, {1, -1, 5}, {2, 2, 9}, 123};
  index.centroid = {0.5f, -1.0f, 2.0f};
  index.vectors = {QuantizedVector{{1, 255}, 0.25f, 3.0f, 9},
                   QuantizedVector{{}, -1.5f, 0.0f, 0}};
  return index;
}

TEST(RaBitQIndexFromJson, ObjectAndArrayFormsReadAlike) {
  const std::string object = std::string(R"({"codebook":)") + std::string(kCodebook) +
                             R"(,"centroid":[0.5,-1,2],"vectors":[)"
                             R"({"bits":[1,255],"dist_to_centroid":0.25,"self_dot":3,"popcount":9},)"
                             R"([[],-1.5,0,0]]})";
  auto from_object = read(object);
  ASSERT_TRUE(from_object.has_value()) << from_object.error().to_string();
  EXPECT_EQ(*from_object, expected_index());

  const std::string array = R"([[[3,4,7],[1,-1,5],[2,2,9],123],[0.5,-1,2],)"
                            R"([[[1,255],0.25,3,9],[[],-1.5,0,0]],null])";
  auto from_array = read(array);
  ASSERT_TRUE(from_array.has_value()) << from_array.error().to_string();
  EXPECT_EQ(*from_array, expected_index());
}

TEST(RaBitQIndexFromJson, RawVectorsAbsentNullOrPresent) {
  const std::string head = std::string(R"({"codebook":)") + std::string(kCodebook) +
                           R"(,"centroid":[],"vectors":[])";
  struct Case {
    std::string tail;
    std::optional<std::vector<std::vector<float>>> raw;
  };
  const Case cases[] = {
      {"}", std::nullopt},
      {R"(,"raw_vectors":null})", std::nullopt},
      {R"(,"raw_vectors":[]})", std::vector<std::vector<float>>{}},
      {R"(,"raw_vectors":[[1,2.5],[]]})", std::vector<std::vector<float>>{{1.0f, 2.5f}, {}}},
  };
  for (const Case& c : cases) {
    auto index = read(head + c.tail);
    ASSERT_TRUE(index.has_value()) << c.tail << ": " << index.error().to_string();
    EXPECT_EQ(index->raw_vectors, c.raw) << c.tail;
  }
}

TEST(RaBitQIndexFromJson, UnknownMembersAnywhereAreSkipped) {
  const std::string body =
      R"({"x":[[[{}]]],"codebook":{"config":{"dim":1,"Seed":1,"query_bits":2,"seed":3},)"
      R"("random_signs":[],"extra":null,"random_perm":[],"version":0},"centroid":[],)"
      R"("vectors":[{"bits":[],"dist_to_centroid":0,"self_dot":0,"popcount":0,"more":"y"}]} )"
      "\n ";
  auto index = read(body);
  ASSERT_TRUE(index.has_value()) << index.error().to_string();
  EXPECT_EQ(index->codebook.config, (RaBitQConfig{1, 2, 3}));
  EXPECT_EQ(index->vectors.size(), 1u);
}

TEST(RaBitQIndexFromJson, ErrorsNameTheRecordAndThePosition) {
  const std::string cb(kCodebook);
  struct Case {
    std::string body;
    std::string error;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"[" + cb + ",[],[]]",
       "invalid length 3, expected struct RaBitQIndex with 4 elements at line 1 column " +
           std::to_string(cb.size() + 8)},
      {R"({"centroid":[],"vectors":[]})", "missing field `codebook` at line 1 column 28"},
      {R"({"codebook":)" + cb + R"(,"vectors":[]})",
       "missing field `centroid` at line 1 column " + std::to_string(cb.size() + 26)},
      {R"({"codebook":[[-1,2,0],[],[],0],"centroid":[],"vectors":[]})",
       "invalid value: integer `-1`, expected usize at line 1 column 16"},
      {R"({"codebook":[[1,256,0],[],[],0],"centroid":[],"vectors":[]})",
       "invalid value: integer `256`, expected u8 at line 1 column 19"},
      {R"({"codebook":[[1,2,0],[128],[],0],"centroid":[],"vectors":[]})",
       "invalid value: integer `128`, expected i8 at line 1 column 25"},
      {R"({"codebook":[[1,2,-1],[],[],0],"centroid":[],"vectors":[]})",
       "invalid value: integer `-1`, expected u64 at line 1 column 20"},
      {R"({"codebook":[[1,2,0],[],[-1],0],"centroid":[],"vectors":[]})",
       "invalid value: integer `-1`, expected u32 at line 1 column 27"},
      {R"({"codebook":[[1,2,0],[],[]],"centroid":[],"vectors":[]})",
       "invalid length 3, expected struct RaBitQCodebook with 4 elements at line 1 column 27"},
      {R"({"codebook":[[1,2],[],[],0],"centroid":[],"vectors":[]})",
       "invalid length 2, expected struct RaBitQConfig with 3 elements at line 1 column 18"},
      {R"({"codebook":[3,[],[],0],"centroid":[],"vectors":[]})",
       "invalid type: integer `3`, expected struct RaBitQConfig at line 1 column 14"},
      {R"({"codebook":)" + cb + R"(,"centroid":[],"vectors":[{"bits":"AAE="}]})",
       "invalid type: string \"AAE=\", expected a sequence at line 1 column " +
           std::to_string(cb.size() + 52)},
      {R"({"codebook":)" + cb + R"(,"centroid":[],"vectors":[[[],0,0]]})",
       "invalid length 3, expected struct QuantizedVector with 4 elements at line 1 column " +
           std::to_string(cb.size() + 46)},
      {R"({"codebook":)" + cb + R"(,"centroid":[],"vectors":[],"centroid":[]})",
       "duplicate field `centroid` at line 1 column " + std::to_string(cb.size() + 50)},
      {R"({"codebook":)" + cb + R"(,"centroid":[],"vectors":[]} {})",
       "trailing characters at line 1 column " + std::to_string(cb.size() + 42)},
      {"[]", "invalid length 0, expected struct RaBitQIndex with 4 elements at line 1 column 2"},
      {"7", "invalid type: integer `7`, expected struct RaBitQIndex at line 1 column 1"},
  };
  for (const Case& c : cases) {
    auto index = read(c.body);
    ASSERT_FALSE(index.has_value()) << c.body;
    EXPECT_EQ(index.error().to_string(), c.error) << c.body;
  }
}

}  // namespace
}  // namespace zelvar
