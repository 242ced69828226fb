#include "core/structures/vector/quantization/seeded_rng.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace zelvar {
namespace {

constexpr std::array<uint32_t, 4> kSigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

// Key bytes 00..1f, block counter 1, stream words 0x09000000 0x4a000000.
std::array<uint32_t, 16> published_input() {
  std::array<uint32_t, 16> in{};
  for (size_t i = 0; i < 4; ++i) in[i] = kSigma[i];
  for (uint32_t i = 0; i < 8; ++i) {
    const uint32_t b = 4 * i;
    in[4 + i] = b | (b + 1) << 8 | (b + 2) << 16 | (b + 3) << 24;
  }
  in[12] = 1;
  in[13] = 0x09000000;
  in[14] = 0x4a000000;
  in[15] = 0;
  return in;
}

TEST(ChaChaBlock, TwentyRoundsMatchThePublishedVector) {
  const std::array<uint32_t, 16> expected = {
      0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
      0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
      0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  EXPECT_EQ(chacha_block(published_input(), 20), expected);
}

TEST(ChaChaBlock, TwelveRoundsStopAfterSixDoubleRounds) {
  const std::array<uint32_t, 16> expected = {
      0x66138b7f, 0x9937c777, 0x7d77e7e3, 0xccd8e616, 0x39ce87c7, 0xc6904969,
      0x0287e028, 0x0b19e99c, 0x1ae34bda, 0x0221fec3, 0x7c73ada9, 0xb0a32ff8,
      0x33b6686e, 0x825cc671, 0x0a049972, 0xa0a81bde};
  EXPECT_EQ(chacha_block(published_input(), 12), expected);
}

TEST(SeededRng, SeedExpandsToTheKeyOfEightPcgSteps) {
  struct Case {
    uint64_t seed;
    std::array<uint32_t, 8> key;
  };
  const Case cases[] = {
      {42, {0x7ba18fa4, 0x0a3d3258, 0xcca1b8ea, 0xb8140169, 0x75c88c2b, 0x54f7b418, 0xa16e448d,
            0xf220dfe4}},
      {0, {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06, 0xe3a3d0d0, 0x67e71733, 0x72ea9bf2,
           0xfe7d8ad7}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SeededRng(c.seed).key(), c.key) << "seed " << c.seed;
  }
}

TEST(SeededRng, WordsFollowTheKeystreamAcrossRefills) {
  SeededRng rng(42);
  std::vector<uint32_t> words;
  for (int i = 0; i < 130; ++i) words.push_back(rng.next_u32());
  EXPECT_EQ(words[0], 0x222724a2u);
  EXPECT_EQ(words[1], 0x86cc7763u);
  EXPECT_EQ(words[2], 0x3fad517du);
  EXPECT_EQ(words[3], 0x8af00a13u);
  // The last word of the first four blocks and the first two of the next four.
  EXPECT_EQ(words[63], 0xe373bd00u);
  EXPECT_EQ(words[64], 0xee66b7a9u);
  EXPECT_EQ(words[65], 0xec0619b0u);
  EXPECT_EQ(words[128], 0xa09340afu);
}

TEST(SeededRng, AnotherSeedDiffersFromTheFirstWord) {
  SeededRng rng(7);
  EXPECT_EQ(rng.next_u32(), 0x6aa8fbbeu);
  EXPECT_EQ(rng.next_u32(), 0x07c2e0e9u);
}

TEST(SeededRng, UniformDrawTakesACorrectionWordNearTheTop) {
  // With n = 2^32 - 1 almost every draw needs the second word, and some of
  // them carry into the result.
  SeededRng rng(42);
  const std::vector<uint32_t> expected = {572990626u,  1068323197u, 3729863888u,
                                          4252381361u, 4161904617u, 2651816359u};
  std::vector<uint32_t> got;
  for (size_t i = 0; i < expected.size(); ++i) got.push_back(rng.uniform_inclusive(0xFFFFFFFEu));
  EXPECT_EQ(got, expected);
  // Twelve words were used: the next one is word 12 of the stream.
  SeededRng fresh(42);
  for (int i = 0; i < 12; ++i) fresh.next_u32();
  EXPECT_EQ(rng.next_u32(), fresh.next_u32());
}

TEST(SeededRng, UniformDrawOverTheWholeRangeIsTheWord) {
  SeededRng rng(42);
  EXPECT_EQ(rng.uniform_inclusive(0xFFFFFFFFu), 572990626u);
  EXPECT_EQ(rng.uniform_inclusive(0xFFFFFFFFu), 2261546851u);
}

}  // namespace
}  // namespace zelvar
