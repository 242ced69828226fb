// The seeded generator behind the RaBitQ codebook.
//
// Codebooks of IVF-RaBitQ indexes are not stored: every segment open rebuilds
// them from a seed, so this generator's word sequence is part of the on-disk
// contract and must stay bit for bit what it is:
//
// - Seed expansion: the u64 seed drives eight steps of a PCG32 generator
//   (64-bit LCG, multiplier 6364136223846793005, increment
//   11634580027462260723, XSH RR output; the state advances before each
//   output); the eight 32-bit outputs, little-endian, are the 256-bit key.
// - Keystream: a ChaCha block function with 12 rounds (six double rounds) over
//   the state layout with a 64-bit block counter in words 12-13 (low word
//   first, starting at 0) and a 64-bit stream number in words 14-15 (here 0).
// - Words are handed out in keystream order, as little-endian u32, 64 at a
//   time: four consecutive blocks are produced together when the first of
//   their words is drawn.
//
// Thread safety: a SeededRng belongs to one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zelvar {

// One ChaCha block: `rounds` rounds (even) over `input`, then the input added
// word by word.
std::array<uint32_t, 16> chacha_block(const std::array<uint32_t, 16>& input, int rounds);

class SeededRng {
 public:
  explicit SeededRng(uint64_t seed);

  // The next keystream word not yet handed out.
  uint32_t next_u32();

  // A uniform draw from 0 .. bound_inclusive, one multiplication with at most
  // one correction word (two words at most, one in most draws).
  uint32_t uniform_inclusive(uint32_t bound_inclusive);

  // The 256-bit key the seed expands to, as eight words.
  const std::array<uint32_t, 8>& key() const { return key_; }

 private:
  void refill();

  std::array<uint32_t, 8> key_{};
  uint64_t counter_ = 0;             // block counter of the next refill
  std::array<uint32_t, 64> words_{};  // four blocks of keystream
  size_t next_ = 64;                  // index of the next word; 64: empty
};

}  // namespace zelvar
