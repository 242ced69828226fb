#include "core/segment/segment_id.h"

namespace zelvar {
namespace {

std::optional<unsigned> hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return std::nullopt;
}

}  // namespace

std::optional<SegmentId> SegmentId::from_hex(std::string_view text) {
  if (text.empty()) return std::nullopt;
  // A lone sign is no number; a leading "+" is skipped once, while "-" is
  // simply not a digit (the value is unsigned).
  if (text.size() == 1 && (text[0] == '+' || text[0] == '-')) return std::nullopt;
  if (text[0] == '+') text.remove_prefix(1);

  constexpr SegmentIdValue kMax = ~SegmentIdValue{0};
  SegmentIdValue value = 0;
  for (char c : text) {
    std::optional<unsigned> digit = hex_digit(c);
    if (!digit) return std::nullopt;
    // value * 16 + digit must not exceed 2^128 - 1.
    if (value > (kMax - *digit) / 16) return std::nullopt;
    value = value * 16 + *digit;
  }
  return SegmentId(value);
}

std::string SegmentId::to_hex() const {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(32, '0');
  SegmentIdValue v = value_;
  for (int i = 31; i >= 0; --i) {
    out[static_cast<size_t>(i)] = kDigits[static_cast<unsigned>(v & 0xF)];
    v >>= 4;
  }
  return out;
}

SegmentFiles::SegmentFiles(SegmentId id) {
  const std::string base = "seg_" + id.to_hex();
  terms = base + ".terms";
  postings = base + ".post";
  store = base + ".store";
  meta = base + ".meta";
  vectors = base + ".vectors";
}

}  // namespace zelvar
