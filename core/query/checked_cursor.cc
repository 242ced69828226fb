#include "core/query/checked_cursor.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

#include "core/directories/byte_cursor.h"

namespace zelvar {
namespace {


// Eight bytes with bit 7 clear everywhere are four (gap, term frequency)
// pairs of one-byte varints, the common case by far. Their gaps sit in the
// low byte of each 16-bit lane.
constexpr uint64_t kHighBits = 0x8080808080808080ull;
constexpr uint64_t kGapBytes = 0x00FF00FF00FF00FFull;
// Added to the gap lanes, sets bit 7 of each lane exactly when its gap is not 0
// (a gap is at most 127, so nothing carries into the next lane).
constexpr uint64_t kGapNotZeroAdd = 0x007F007F007F007Full;
constexpr uint64_t kGapNotZeroBits = 0x0080008000800080ull;
// Multiplying the gap lanes by this leaves in lane k the sum of gaps 0 to k
// (at most 4 x 127, so nothing carries either); multiplying a number below
// 0x10000 by it puts the number in every lane.
constexpr uint64_t kPrefixSum = 0x0001000100010001ull;
constexpr uint64_t kLaneTops = 0x8000800080008000ull;

// The eight bytes at `p`, least significant first, in one load.
uint64_t load_word(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  return word;
}

// Added to four term frequencies of one byte each (0 to 127) in 16-bit lanes,
// sets bit 15 of a lane exactly when its frequency is above `largest`.
uint64_t above(uint32_t largest) { return largest < 0x80 ? (0x7FFFull - largest) * kPrefixSum : 0; }

// The largest of four 16-bit lanes.
uint32_t largest_lane(uint64_t lanes) {
  const uint64_t a = std::max(lanes & 0xFFFF, (lanes >> 16) & 0xFFFF);
  const uint64_t b = std::max((lanes >> 32) & 0xFFFF, lanes >> 48);
  return static_cast<uint32_t>(std::max(a, b));
}

// Decodes block b when it is sound: with kStore into `docs` and `term_freqs`,
// else only raising *max_tf to the block's largest term frequency (when the
// block is sound). Returns
// the number of postings, or 0 when the block is not sound.
template <bool kStore>
size_t decode_block(const BlockPostingList& list, size_t b, std::vector<uint32_t>* docs,
                    std::vector<uint32_t>* term_freqs, uint32_t* max_tf) {
  const SkipEntry& entry = list.skip_list[b];
  const std::vector<uint8_t>& data = list.data;
  if (entry.offset >= data.size()) return 0;
  const uint8_t* p = data.data() + entry.offset;
  const uint8_t* const end = data.data() + data.size();

  uint64_t count = 0;
  if (decode_vint(p, end, count) != VintStatus::kOk) return 0;
  // Every posting takes at least two bytes.
  if (count == 0 || count > static_cast<uint64_t>(end - p) / 2) return 0;
  uint32_t* out_docs = nullptr;
  uint32_t* out_freqs = nullptr;
  if constexpr (kStore) {
    if (docs->size() < count) {
      docs->resize(count);
      term_freqs->resize(count);
    }
    out_docs = docs->data();
    out_freqs = term_freqs->data();
  }

  // Documents are summed in 64 bits: the block is sound only if the last one
  // stays below TERMINATED, and then no sum wrapped as a u32.
  uint64_t doc = 0;
  uint64_t i = 0;
  // The largest term frequency so far, in this block or earlier ones.
  uint32_t largest = kStore ? 0 : *max_tf;
  uint64_t above_largest = above(largest);
  for (;;) {
    uint64_t value = 0;
    uint64_t term_freq = 0;
    if (decode_vint(p, end, value) != VintStatus::kOk || decode_vint(p, end, term_freq) != VintStatus::kOk) {
      return 0;
    }
    // The decoder keeps the low 32 bits of the gap (of the document itself
    // for the first posting) and of the term frequency.
    const uint32_t gap = static_cast<uint32_t>(value);
    if (i > 0 && gap == 0) return 0;
    doc += gap;
    if (doc >= TERMINATED) return 0;
    if constexpr (kStore) {
      out_docs[i] = static_cast<uint32_t>(doc);
      out_freqs[i] = static_cast<uint32_t>(term_freq);
    } else if (static_cast<uint32_t>(term_freq) > largest) {
      // Compared as kept: a frequency beyond 32 bits scores by its low bits.
      largest = static_cast<uint32_t>(term_freq);
      above_largest = above(largest);
    }
    if (i == 0 && b > 0 && doc <= list.skip_list[b - 1].last_doc) return 0;
    if (++i == count) break;

    // Then as many runs of four one-byte pairs as follow.
    const uint8_t* q = p;
    uint64_t k = i;
    const uint64_t words = std::min<uint64_t>((count - k) / 4, static_cast<uint64_t>(end - q) / 8);
    for (uint64_t w = 0; w < words; ++w) {
      const uint64_t word = load_word(q);
      if ((word & kHighBits) != 0) break;
      const uint64_t gaps = word & kGapBytes;
      if (((gaps + kGapNotZeroAdd) & kGapNotZeroBits) != kGapNotZeroBits) return 0;
      const uint64_t sums = gaps * kPrefixSum;
      if constexpr (kStore) {
        out_docs[k] = static_cast<uint32_t>(doc + (sums & 0xFFFF));
        out_docs[k + 1] = static_cast<uint32_t>(doc + ((sums >> 16) & 0xFFFF));
        out_docs[k + 2] = static_cast<uint32_t>(doc + ((sums >> 32) & 0xFFFF));
        out_docs[k + 3] = static_cast<uint32_t>(doc + (sums >> 48));
        out_freqs[k] = static_cast<uint32_t>((word >> 8) & 0xFF);
        out_freqs[k + 1] = static_cast<uint32_t>((word >> 24) & 0xFF);
        out_freqs[k + 2] = static_cast<uint32_t>((word >> 40) & 0xFF);
        out_freqs[k + 3] = static_cast<uint32_t>(word >> 56);
      } else {
        const uint64_t freqs = (word >> 8) & kGapBytes;
        if (((freqs + above_largest) & kLaneTops) != 0) {
          largest = std::max(largest, largest_lane(freqs));
          above_largest = above(largest);
        }
      }
      doc += sums >> 48;
      q += 8;
      k += 4;
    }
    p = q;
    i = k;
    if (i == count) break;
  }
  if (doc >= TERMINATED || doc != entry.last_doc) return 0;
  if constexpr (!kStore) *max_tf = largest;
  return static_cast<size_t>(count);
}

}  // namespace

std::optional<uint32_t> check_postings(const BlockPostingList& list) {
  uint32_t max_tf = 0;
  for (size_t b = 0; b < list.skip_list.size(); ++b) {
    if (decode_block<false>(list, b, nullptr, nullptr, &max_tf) == 0) return std::nullopt;
  }
  return max_tf;
}

size_t decode_sound_block(const BlockPostingList& list, size_t b, std::vector<uint32_t>* docs,
                          std::vector<uint32_t>* term_freqs) {
  if (docs == nullptr || term_freqs == nullptr) {
    uint32_t max_tf = 0;
    return decode_block<false>(list, b, nullptr, nullptr, &max_tf);
  }
  return decode_block<true>(list, b, docs, term_freqs, nullptr);
}

CheckedCursor::CheckedCursor(const BlockPostingList& list) : list_(&list) { load(0); }

std::span<const uint32_t> CheckedCursor::rest_of_block_docs() const {
  if (doc_ == TERMINATED) return {};
  return std::span<const uint32_t>(docs_).subspan(pos_, len_ - pos_);
}

std::span<const uint32_t> CheckedCursor::rest_of_block_term_freqs() const {
  if (doc_ == TERMINATED) return {};
  return std::span<const uint32_t>(term_freqs_).subspan(pos_, len_ - pos_);
}

uint32_t CheckedCursor::next_block() {
  load(block_ + 1);
  return doc_;
}

uint32_t CheckedCursor::seek_forward(uint32_t target) {
  // The first later block whose last document reaches `target`, by binary
  // search (which stays in bounds whatever order the entries are in).
  const auto& skips = list_->skip_list;
  size_t lo = block_ + 1;
  size_t hi = skips.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (skips[mid].last_doc < target) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (!load(lo)) return doc_;
  return seek(target);
}

bool CheckedCursor::load(size_t b) {
  doc_ = TERMINATED;
  if (ended_ || b >= list_->skip_list.size()) {
    ended_ = true;
    return false;
  }
  len_ = decode_sound_block(*list_, b, &docs_, &term_freqs_);
  block_ = b;
  pos_ = 0;
  if (len_ == 0) {
    ended_ = true;
    return false;
  }
  block_last_ = docs_[len_ - 1];
  doc_ = docs_[0];
  return true;
}

}  // namespace zelvar
