#include "core/structures/vector/quantization/seeded_rng.h"

#include <bit>

namespace zelvar {
namespace {

constexpr std::array<uint32_t, 4> kSigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

constexpr uint64_t kPcgMultiplier = 6364136223846793005ULL;
constexpr uint64_t kPcgIncrement = 11634580027462260723ULL;

inline void quarter_round(std::array<uint32_t, 16>& x, int a, int b, int c, int d) {
  x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace

std::array<uint32_t, 16> chacha_block(const std::array<uint32_t, 16>& input, int rounds) {
  std::array<uint32_t, 16> x = input;
  for (int r = 0; r < rounds; r += 2) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (size_t i = 0; i < 16; ++i) x[i] += input[i];
  return x;
}

SeededRng::SeededRng(uint64_t seed) {
  uint64_t s = seed;
  for (uint32_t& word : key_) {
    s = s * kPcgMultiplier + kPcgIncrement;
    const uint32_t xorshifted = static_cast<uint32_t>(((s >> 18) ^ s) >> 27);
    const int rot = static_cast<int>(s >> 59);
    word = std::rotr(xorshifted, rot);
  }
}

void SeededRng::refill() {
  std::array<uint32_t, 16> state{};
  for (size_t i = 0; i < 4; ++i) state[i] = kSigma[i];
  for (size_t i = 0; i < 8; ++i) state[4 + i] = key_[i];
  // Words 14-15, the stream number, stay 0.
  for (size_t block = 0; block < 4; ++block) {
    const uint64_t counter = counter_ + block;
    state[12] = static_cast<uint32_t>(counter);
    state[13] = static_cast<uint32_t>(counter >> 32);
    const std::array<uint32_t, 16> out = chacha_block(state, 12);
    for (size_t i = 0; i < 16; ++i) words_[block * 16 + i] = out[i];
  }
  counter_ += 4;
  next_ = 0;
}

uint32_t SeededRng::next_u32() {
  if (next_ == words_.size()) refill();
  return words_[next_++];
}

uint32_t SeededRng::uniform_inclusive(uint32_t bound_inclusive) {
  if (bound_inclusive == UINT32_MAX) return next_u32();
  const uint64_t n = uint64_t{bound_inclusive} + 1;
  const uint64_t m = uint64_t{next_u32()} * n;
  uint64_t hi = m >> 32;
  const uint64_t lo = m & 0xFFFFFFFFULL;
  // The low half is close enough to overflow that the next word's share can
  // carry into the result: one more word decides it.
  if (lo > (uint64_t{1} << 32) - n) {
    const uint64_t t = (uint64_t{next_u32()} * n) >> 32;
    if (lo + t >= (uint64_t{1} << 32)) hi += 1;
  }
  return static_cast<uint32_t>(hi);
}

}  // namespace zelvar
