// UTF-8, decoded one way for the whole engine: the JSON reader checks its
// strings with it, the query term makes its text well-formed with it, and the
// tokenizers walk their text with it.
//
// Decoding follows the well-formed byte ranges of UTF-8, so overlong forms,
// surrogates and values past U+10FFFF are ill-formed. An ill-formed sequence
// is reported with the length of its maximal ill-formed subpart (at least one
// byte), which is also what a decoder that substitutes U+FFFD replaces.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelvar {

// One decoded character: its code point, or -1 for an ill-formed sequence,
// and the number of bytes it takes.
struct Utf8Char {
  int32_t code_point;
  size_t length;
};

// The character at `at`. Precondition: at < text.size().
inline Utf8Char decode_utf8(std::string_view text, size_t at) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(text[at + k]); };
  const uint8_t lead = byte(0);
  if (lead < 0x80) return {lead, 1};
  size_t trail;
  int32_t code_point;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    code_point = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;  // overlong below
    if (lead == 0xED) high = 0x9F;  // surrogates above
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    code_point = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong below
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF above
  } else {
    return {-1, 1};
  }
  size_t length = 1;
  for (size_t k = 0; k < trail; ++k) {
    if (at + length >= text.size()) return {-1, length};
    const uint8_t next = byte(length);
    if (next < low || next > high) return {-1, length};
    code_point = (code_point << 6) | (next & 0x3F);
    low = 0x80;
    high = 0xBF;
    ++length;
  }
  return {code_point, length};
}

// Appends the UTF-8 form of `code_point` (at most U+10FFFF, no surrogate).
inline void append_utf8(std::string& out, uint32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// `bytes` with each maximal ill-formed subpart replaced by U+FFFD.
inline std::string utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  for (size_t at = 0; at < bytes.size();) {
    const Utf8Char c = decode_utf8(bytes, at);
    if (c.code_point < 0) {
      out += kReplacement;
    } else {
      out.append(bytes.substr(at, c.length));
    }
    at += c.length;
  }
  return out;
}

}  // namespace zelvar
