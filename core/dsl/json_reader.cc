// The token level of the JSON reader: whitespace, literals, numbers, strings,
// array and object punctuation, enumeration heads, skipping, and every
// message with its position. See json_reader.h for the contract.
//
// Byte layout read here (RFC 8259 JSON, UTF-8):
//   value   = ws ( object | array | string | number | "true" | "false" | "null" ) ws
//   object  = '{' [ string ':' value *( ',' string ':' value ) ] '}'
//   array   = '[' [ value *( ',' value ) ] ']'
//   number  = [ '-' ] ( '0' | [1-9] *digit ) [ '.' 1*digit ] [ ( 'e' | 'E' ) [ '+' | '-' ] 1*digit ]
//   string  = '"' *( unescaped | '\' ( '"' | '\' | '/' | 'b' | 'f' | 'n' | 'r' | 't' | 'u' 4hex ) ) '"'
//   ws      = *( ' ' | '\t' | '\n' | '\r' )
#include "core/dsl/json_reader.h"

#include "core/dsl/utf8.h"
#include "core/error/result.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelvar::dsl {
namespace {

// 10^0 .. 10^308, each the double nearest to the power.
constexpr double kPow10[309] = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16,
    1e17, 1e18, 1e19, 1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29, 1e30, 1e31,
    1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38, 1e39, 1e40, 1e41, 1e42, 1e43, 1e44, 1e45, 1e46,
    1e47, 1e48, 1e49, 1e50, 1e51, 1e52, 1e53, 1e54, 1e55, 1e56, 1e57, 1e58, 1e59, 1e60, 1e61,
    1e62, 1e63, 1e64, 1e65, 1e66, 1e67, 1e68, 1e69, 1e70, 1e71, 1e72, 1e73, 1e74, 1e75, 1e76,
    1e77, 1e78, 1e79, 1e80, 1e81, 1e82, 1e83, 1e84, 1e85, 1e86, 1e87, 1e88, 1e89, 1e90, 1e91,
    1e92, 1e93, 1e94, 1e95, 1e96, 1e97, 1e98, 1e99, 1e100, 1e101, 1e102, 1e103, 1e104, 1e105,
    1e106, 1e107, 1e108, 1e109, 1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118,
    1e119, 1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129, 1e130, 1e131,
    1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139, 1e140, 1e141, 1e142, 1e143, 1e144,
    1e145, 1e146, 1e147, 1e148, 1e149, 1e150, 1e151, 1e152, 1e153, 1e154, 1e155, 1e156, 1e157,
    1e158, 1e159, 1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168, 1e169, 1e170,
    1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179, 1e180, 1e181, 1e182, 1e183,
    1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191, 1e192, 1e193, 1e194, 1e195, 1e196,
    1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207, 1e208, 1e209,
    1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219, 1e220, 1e221, 1e222,
    1e223, 1e224, 1e225, 1e226, 1e227, 1e228, 1e229, 1e230, 1e231, 1e232, 1e233, 1e234, 1e235,
    1e236, 1e237, 1e238, 1e239, 1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248,
    1e249, 1e250, 1e251, 1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259, 1e260, 1e261,
    1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269, 1e270, 1e271, 1e272, 1e273, 1e274,
    1e275, 1e276, 1e277, 1e278, 1e279, 1e280, 1e281, 1e282, 1e283, 1e284, 1e285, 1e286, 1e287,
    1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298, 1e299, 1e300,
    1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308
};

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

bool is_ws(uint8_t c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
// True when `next` (a peek() result) can begin a number token.
bool starts_number(int next) { return next == '-' || (next >= '0' && next <= '9'); }

// Non-zero when some byte of `w` is zero (exact as to existence).
uint64_t has_zero_byte(uint64_t w) { return (w - kOnes) & ~w & kHighs; }
// Non-zero when some byte of `w` is below 0x20, a quote or a backslash: the
// bytes that end a plain run of string text.
uint64_t has_string_special(uint64_t w) {
  const uint64_t control = (w - kOnes * 0x20) & ~w & kHighs;
  return control | has_zero_byte(w ^ (kOnes * '"')) | has_zero_byte(w ^ (kOnes * '\\'));
}

bool is_string_special(uint8_t c) { return c == '"' || c == '\\' || c < 0x20; }

// Advances over plain string bytes (anything but a quote, a backslash or a
// control byte) and returns the first byte that is not plain, or `end`. Sets
// `non_ascii` when a skipped byte is 0x80 or above. This is the hot loop of
// document reading, so it looks at 16 bytes at a time where it can.
const uint8_t* skip_plain(const uint8_t* p, const uint8_t* end, bool& non_ascii) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, control_max), v);
    const __m128i special =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)), control);
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(special));
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (mask != 0) {
      const unsigned n = static_cast<unsigned>(__builtin_ctz(mask));
      if ((high & ((1u << n) - 1)) != 0) non_ascii = true;
      return p + n;
    }
    if (high != 0) non_ascii = true;
    p += 16;
  }
#endif
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if (has_string_special(w) != 0) break;
    if ((w & kHighs) != 0) non_ascii = true;
    p += 8;
  }
  while (p < end && !is_string_special(*p)) {
    if (*p >= 0x80) non_ascii = true;
    ++p;
  }
  return p;
}

int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view text) {
  const auto* const begin = reinterpret_cast<const uint8_t*>(text.data());
  const auto* p = begin;
  const auto* end = p + text.size();
  for (;;) {
    // Jump over ASCII to the next lead byte.
#if defined(__SSE2__)
    while (end - p >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
      if (high != 0) {
        p += __builtin_ctz(high);
        break;
      }
      p += 16;
    }
#endif
    while (p < end && *p < 0x80) ++p;
    if (p == end) return true;
    const Utf8Char c = decode_utf8(text, static_cast<size_t>(p - begin));
    if (c.code_point < 0) return false;
    p += c.length;
  }
}

// Code points that a found-string description writes as \u{...}: the C0 and
// C1 controls, DEL, and the invisible format and separator characters.
bool escape_in_description(uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xAD ||
         (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
         (cp >= 0x2060 && cp <= 0x2064) || cp == 0xFEFF;
}

// The text between quotes of a found-string description. `text` is valid UTF-8.
void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const uint8_t c = *p;
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (static_cast<size_t>(end - p) < len) len = static_cast<size_t>(end - p);
    uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (p[k] & 0x3F);
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case 0: out += "\\0"; break;
      default:
        if (escape_in_description(cp)) {
          char hex[16];
          auto r = std::to_chars(hex, hex + sizeof hex, cp, 16);
          out += "\\u{";
          out.append(hex, r.ptr);
          out += "}";
        } else {
          out.append(reinterpret_cast<const char*>(p), len);
        }
    }
    p += len;
  }
  out.push_back('"');
}

std::string describe_number(const JsonNumber& n) {
  switch (n.kind) {
    case JsonNumber::Kind::U64: return "integer `" + std::to_string(n.u) + "`";
    case JsonNumber::Kind::I64: return "integer `" + std::to_string(n.i) + "`";
    case JsonNumber::Kind::F64: break;
  }
  return "floating point `" + format_json_float(n.f) + "`";
}

constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kEofString = "EOF while parsing a string";

}  // namespace

// --- JsonError ------------------------------------------------------------------

JsonError JsonError::unplaced(std::string message) {
  return JsonError(std::move(message), 0, 0, false);
}

JsonError JsonError::placed(std::string message, uint64_t line, uint64_t column) {
  return JsonError(std::move(message), line, column, true);
}

std::string JsonError::to_string() const {
  return message_ + " at line " + std::to_string(line_) + " column " + std::to_string(column_);
}

// --- Float text -------------------------------------------------------------------

std::string format_json_float(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  std::string out;
  if (std::signbit(value)) out.push_back('-');
  if (value == 0) return out + "0.0";
  // Shortest round-trip digits and the decimal exponent of the first one.
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(r.ptr - buf));
  const size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  const bool negative_exp = exp_text.front() == '-';
  if (exp_text.front() == '+' || exp_text.front() == '-') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  if (negative_exp) exponent = -exponent;

  const int count = static_cast<int>(digits.size());
  if (exponent >= -5 && exponent <= 15) {
    if (exponent >= 0) {
      if (count <= exponent + 1) {
        out += digits;
        out.append(static_cast<size_t>(exponent + 1 - count), '0');
        out += ".0";
      } else {
        out.append(digits, 0, static_cast<size_t>(exponent + 1));
        out.push_back('.');
        out.append(digits, static_cast<size_t>(exponent + 1));
      }
    } else {
      out += "0.";
      out.append(static_cast<size_t>(-exponent - 1), '0');
      out += digits;
    }
    return out;
  }
  out.push_back(digits[0]);
  if (count > 1) {
    out.push_back('.');
    out.append(digits, 1);
  }
  out.push_back('e');
  out.push_back(exponent < 0 ? '-' : '+');
  out += std::to_string(exponent < 0 ? -exponent : exponent);
  return out;
}

// --- JsonReader: position and errors ------------------------------------------------

JsonReader::JsonReader(std::string_view document)
    : begin_(reinterpret_cast<const uint8_t*>(document.data())),
      cur_(begin_),
      end_(begin_ + document.size()) {}

JsonReader::JsonReader(std::span<const uint8_t> document)
    : begin_(document.data()), cur_(begin_), end_(begin_ + document.size()) {}

int JsonReader::peek() {
  while (cur_ < end_ && is_ws(*cur_)) ++cur_;
  return cur_ < end_ ? *cur_ : kEof;
}

JsonError JsonReader::error_at(size_t reference_count, std::string message) const {
  const uint8_t* limit = begin_ + reference_count;
  uint64_t line = 1;
  const uint8_t* line_start = begin_;
  for (const uint8_t* p = begin_; p < limit;) {
    const void* nl = std::memchr(p, '\n', static_cast<size_t>(limit - p));
    if (nl == nullptr) break;
    ++line;
    p = static_cast<const uint8_t*>(nl) + 1;
    line_start = p;
  }
  return JsonError::placed(std::move(message), line, static_cast<uint64_t>(limit - line_start));
}

JsonError JsonReader::error_at_next(std::string message) const {
  return error_at(std::min(offset() + 1, size()), std::move(message));
}

JsonError JsonReader::error_here(std::string message) const {
  return error_at(offset(), std::move(message));
}

JsonError JsonReader::place(JsonError error) const {
  if (error.is_placed()) return error;
  return error_here(error.message());
}

JsonError JsonReader::eof_value() const { return error_at(size(), kEofValue); }

JsonStatus JsonReader::take_level() {
  // The counter starts at 128, so 127 levels fit and the 128th is refused.
  if (remaining_depth_ == 1) return std::unexpected(error_at_next("recursion limit exceeded"));
  --remaining_depth_;
  return {};
}

JsonError JsonReader::invalid_type(std::string_view expected) {
  std::string found;
  const int next = peek();
  switch (next) {
    case kEof:
      return eof_value();
    case 'n': {
      advance();
      if (auto s = read_ident("ull"); !s) return std::move(s).error();
      found = "null";
      break;
    }
    case 't': {
      advance();
      if (auto s = read_ident("rue"); !s) return std::move(s).error();
      found = "boolean `true`";
      break;
    }
    case 'f': {
      advance();
      if (auto s = read_ident("alse"); !s) return std::move(s).error();
      found = "boolean `false`";
      break;
    }
    case '"': {
      auto text = read_string_view();
      if (!text) return std::move(text).error();
      found = "string ";
      append_quoted(found, *text);
      break;
    }
    case '[':
      found = "sequence";  // the bracket stays unconsumed
      break;
    case '{':
      found = "map";
      break;
    default: {
      if (!starts_number(next)) return error_at_next("expected value");
      auto number = read_number_token();
      if (!number) return std::move(number).error();
      found = describe_number(*number);
      break;
    }
  }
  std::string message = "invalid type: ";
  message += found;
  message += ", expected ";
  message += expected;
  return error_here(std::move(message));
}

JsonStatus JsonReader::finish() {
  if (peek() != kEof) return std::unexpected(error_at_next("trailing characters"));
  return {};
}

// --- Literals -----------------------------------------------------------------------

JsonStatus JsonReader::read_ident(const char* rest) {
  for (; *rest != '\0'; ++rest) {
    if (cur_ == end_) return std::unexpected(error_here(kEofValue));
    if (*cur_++ != static_cast<uint8_t>(*rest)) return std::unexpected(error_here("expected ident"));
  }
  return {};
}

JsonStatus JsonReader::read_null(std::string_view expected) {
  if (peek() != 'n') return std::unexpected(invalid_type(expected));
  advance();
  return read_ident("ull");
}

JsonStatus JsonReader::read_bool(bool& out) {
  const int next = peek();
  if (next == 't') {
    advance();
    ZELVAR_TRY_VOID(read_ident("rue"));
    out = true;
    return {};
  }
  if (next == 'f') {
    advance();
    ZELVAR_TRY_VOID(read_ident("alse"));
    out = false;
    return {};
  }
  return std::unexpected(invalid_type("a boolean"));
}

// --- Numbers --------------------------------------------------------------------------

JsonResult<JsonNumber> JsonReader::read_number_token() {
  if (*cur_ == '-') {
    advance();
    return parse_integer(false);
  }
  return parse_integer(true);
}

JsonResult<JsonNumber> JsonReader::parse_integer(bool positive) {
  if (cur_ == end_) return std::unexpected(error_here(kEofValue));
  const uint8_t first = *cur_++;
  if (first == '0') {
    // Only one leading zero.
    if (cur_ < end_ && is_digit(*cur_)) return std::unexpected(error_at_next("invalid number"));
    return parse_number_tail(positive, 0);
  }
  if (first < '1' || first > '9') return std::unexpected(error_here("invalid number"));
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  uint64_t significand = first - '0';
  while (cur_ < end_ && is_digit(*cur_)) {
    const uint64_t digit = *cur_ - '0';
    if (significand >= kMax / 10 && (significand > kMax / 10 || digit > kMax % 10)) {
      // Too large for 64 bits: the rest reads as a floating-point number.
      ZELVAR_TRY(double f, parse_long_integer(positive, significand));
      return JsonNumber{JsonNumber::Kind::F64, 0, 0, f};
    }
    ++cur_;
    significand = significand * 10 + digit;
  }
  return parse_number_tail(positive, significand);
}

JsonResult<JsonNumber> JsonReader::parse_number_tail(bool positive, uint64_t significand) {
  if (cur_ < end_ && (*cur_ == '.' || *cur_ == 'e' || *cur_ == 'E')) {
    JsonResult<double> f = *cur_ == '.' ? parse_decimal(positive, significand, 0)
                                        : parse_exponent(positive, significand, 0);
    if (!f) return std::unexpected(std::move(f).error());
    return JsonNumber{JsonNumber::Kind::F64, 0, 0, *f};
  }
  if (positive) return JsonNumber{JsonNumber::Kind::U64, significand, 0, 0.0};
  // Two's-complement negation; a non-negative result means the magnitude is
  // beyond -2^63 or the literal is "-0", and both read as floating point.
  const auto negated = static_cast<int64_t>(~significand + 1);
  if (negated >= 0) {
    return JsonNumber{JsonNumber::Kind::F64, 0, 0, -static_cast<double>(significand)};
  }
  return JsonNumber{JsonNumber::Kind::I64, 0, negated, 0.0};
}

JsonResult<double> JsonReader::parse_long_integer(bool positive, uint64_t significand) {
  int64_t exponent = 0;
  while (cur_ < end_) {
    const uint8_t c = *cur_;
    if (is_digit(c)) {
      ++cur_;
      ++exponent;  // a digit beyond 64 bits scales the kept ones
    } else if (c == '.') {
      return parse_decimal(positive, significand, exponent);
    } else if (c == 'e' || c == 'E') {
      return parse_exponent(positive, significand, exponent);
    } else {
      break;
    }
  }
  return f64_from_parts(positive, significand, exponent);
}

JsonResult<double> JsonReader::parse_decimal(bool positive, uint64_t significand,
                                             int64_t exponent) {
  ++cur_;  // '.'
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  int64_t after_point = 0;
  while (cur_ < end_ && is_digit(*cur_)) {
    const uint64_t digit = *cur_ - '0';
    if (significand >= kMax / 10 && (significand > kMax / 10 || digit > kMax % 10)) {
      return parse_decimal_overflow(positive, significand, exponent + after_point);
    }
    ++cur_;
    significand = significand * 10 + digit;
    --after_point;
  }
  if (after_point == 0) {
    return std::unexpected(error_at_next(cur_ < end_ ? "invalid number" : kEofValue));
  }
  const int64_t final_exponent = exponent + after_point;
  if (cur_ < end_ && (*cur_ == 'e' || *cur_ == 'E')) {
    return parse_exponent(positive, significand, final_exponent);
  }
  return f64_from_parts(positive, significand, final_exponent);
}

JsonResult<double> JsonReader::parse_decimal_overflow(bool positive, uint64_t significand,
                                                      int64_t exponent) {
  // Further digits after the point cannot change the kept significand.
  while (cur_ < end_ && is_digit(*cur_)) ++cur_;
  if (cur_ < end_ && (*cur_ == 'e' || *cur_ == 'E')) {
    return parse_exponent(positive, significand, exponent);
  }
  return f64_from_parts(positive, significand, exponent);
}

JsonResult<double> JsonReader::parse_exponent(bool positive, uint64_t significand,
                                              int64_t starting_exponent) {
  ++cur_;  // 'e' or 'E'
  bool positive_exp = true;
  if (cur_ < end_ && (*cur_ == '+' || *cur_ == '-')) {
    positive_exp = *cur_ == '+';
    ++cur_;
  }
  if (cur_ == end_) return std::unexpected(error_here(kEofValue));
  const uint8_t first = *cur_++;
  if (!is_digit(first)) return std::unexpected(error_here("invalid number"));
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  int32_t exp = first - '0';
  while (cur_ < end_ && is_digit(*cur_)) {
    const int32_t digit = *cur_ - '0';
    ++cur_;
    if (exp >= kMax / 10 && (exp > kMax / 10 || digit > kMax % 10)) {
      // A written exponent beyond 32 bits: zero, or out of range.
      while (cur_ < end_ && is_digit(*cur_)) ++cur_;
      if (significand != 0 && positive_exp) {
        return std::unexpected(error_here("number out of range"));
      }
      return positive ? 0.0 : -0.0;
    }
    exp = exp * 10 + digit;
  }
  const int64_t final_exponent = positive_exp ? starting_exponent + exp : starting_exponent - exp;
  return f64_from_parts(positive, significand, final_exponent);
}

JsonResult<double> JsonReader::f64_from_parts(bool positive, uint64_t significand,
                                              int64_t exponent) {
  double f = static_cast<double>(significand);
  for (;;) {
    const uint64_t magnitude =
        exponent < 0 ? static_cast<uint64_t>(0) - static_cast<uint64_t>(exponent)
                     : static_cast<uint64_t>(exponent);
    if (magnitude <= 308) {
      if (exponent >= 0) {
        f *= kPow10[magnitude];
        if (std::isinf(f)) return std::unexpected(error_here("number out of range"));
      } else {
        f /= kPow10[magnitude];
      }
      break;
    }
    if (f == 0) break;
    if (exponent >= 0) return std::unexpected(error_here("number out of range"));
    f /= 1e308;
    exponent += 308;
  }
  return positive ? f : -f;
}

JsonError JsonReader::number_mismatch(const JsonNumber& n, std::string_view expected,
                                      bool range) const {
  std::string message = range ? "invalid value: " : "invalid type: ";
  message += describe_number(n);
  message += ", expected ";
  message += expected;
  return error_here(std::move(message));
}

JsonStatus JsonReader::read_unsigned(uint64_t max, std::string_view expected, uint64_t& out) {
  const int next = peek();
  if (!starts_number(next)) return std::unexpected(invalid_type(expected));
  ZELVAR_TRY(JsonNumber n, read_number_token());
  switch (n.kind) {
    case JsonNumber::Kind::U64:
      if (n.u > max) return std::unexpected(number_mismatch(n, expected, true));
      out = n.u;
      return {};
    case JsonNumber::Kind::I64:
      return std::unexpected(number_mismatch(n, expected, true));
    case JsonNumber::Kind::F64:
      break;
  }
  return std::unexpected(number_mismatch(n, expected, false));
}

JsonStatus JsonReader::read_signed(int64_t min, int64_t max, std::string_view expected,
                                   int64_t& out) {
  const int next = peek();
  if (!starts_number(next)) return std::unexpected(invalid_type(expected));
  ZELVAR_TRY(JsonNumber n, read_number_token());
  switch (n.kind) {
    case JsonNumber::Kind::U64:
      if (n.u > static_cast<uint64_t>(max)) return std::unexpected(number_mismatch(n, expected, true));
      out = static_cast<int64_t>(n.u);
      return {};
    case JsonNumber::Kind::I64:
      if (n.i < min || n.i > max) return std::unexpected(number_mismatch(n, expected, true));
      out = n.i;
      return {};
    case JsonNumber::Kind::F64:
      break;
  }
  return std::unexpected(number_mismatch(n, expected, false));
}

JsonStatus JsonReader::read_f64(double& out) {
  const int next = peek();
  if (!starts_number(next)) return std::unexpected(invalid_type("f64"));
  ZELVAR_TRY(JsonNumber n, read_number_token());
  switch (n.kind) {
    case JsonNumber::Kind::U64: out = static_cast<double>(n.u); break;
    case JsonNumber::Kind::I64: out = static_cast<double>(n.i); break;
    case JsonNumber::Kind::F64: out = n.f; break;
  }
  return {};
}

JsonStatus JsonReader::read_f32(float& out) {
  const int next = peek();
  if (!starts_number(next)) return std::unexpected(invalid_type("f32"));
  ZELVAR_TRY(JsonNumber n, read_number_token());
  // Integers convert straight to the nearest float, not through a double.
  switch (n.kind) {
    case JsonNumber::Kind::U64: out = static_cast<float>(n.u); break;
    case JsonNumber::Kind::I64: out = static_cast<float>(n.i); break;
    case JsonNumber::Kind::F64: out = static_cast<float>(n.f); break;
  }
  return {};
}

// --- Strings --------------------------------------------------------------------------

JsonResult<uint16_t> JsonReader::decode_hex4() {
  if (end_ - cur_ < 4) {
    cur_ = end_;
    return std::unexpected(error_here(kEofString));
  }
  int value = 0;
  bool valid = true;
  for (int k = 0; k < 4; ++k) {
    const int h = hex_value(cur_[k]);
    valid = valid && h >= 0;
    value = (value << 4) | (h & 0xF);
  }
  cur_ += 4;
  if (!valid) return std::unexpected(error_here("invalid escape"));
  return static_cast<uint16_t>(value);
}

JsonStatus JsonReader::decode_escape() {
  if (cur_ == end_) return std::unexpected(error_here(kEofString));
  switch (*cur_++) {
    case '"': scratch_.push_back('"'); return {};
    case '\\': scratch_.push_back('\\'); return {};
    case '/': scratch_.push_back('/'); return {};
    case 'b': scratch_.push_back('\b'); return {};
    case 'f': scratch_.push_back('\f'); return {};
    case 'n': scratch_.push_back('\n'); return {};
    case 'r': scratch_.push_back('\r'); return {};
    case 't': scratch_.push_back('\t'); return {};
    case 'u': break;
    default: return std::unexpected(error_here("invalid escape"));
  }
  ZELVAR_TRY(uint16_t lead, decode_hex4());
  if (lead >= 0xDC00 && lead <= 0xDFFF) {
    return std::unexpected(error_here("lone leading surrogate in hex escape"));
  }
  if (lead < 0xD800 || lead > 0xDBFF) {
    append_utf8(scratch_, lead);
    return {};
  }
  // A leading surrogate: a trailing one must follow as the next escape.
  for (const uint8_t expected : {uint8_t{'\\'}, uint8_t{'u'}}) {
    if (cur_ == end_) return std::unexpected(error_here(kEofString));
    if (*cur_++ != expected) return std::unexpected(error_here("unexpected end of hex escape"));
  }
  ZELVAR_TRY(uint16_t trail, decode_hex4());
  if (trail < 0xDC00 || trail > 0xDFFF) {
    return std::unexpected(error_here("lone leading surrogate in hex escape"));
  }
  append_utf8(scratch_, 0x10000 + ((static_cast<uint32_t>(lead - 0xD800) << 10) |
                                   static_cast<uint32_t>(trail - 0xDC00)));
  return {};
}

JsonResult<std::string_view> JsonReader::read_string_view() {
  ++cur_;  // opening quote
  const uint8_t* const start = cur_;
  const uint8_t* p = cur_;
  const uint8_t* run = p;  // first byte not yet copied to the scratch buffer
  bool escaped = false;
  bool non_ascii = false;  // UTF-8 must be checked
  for (;;) {
    p = skip_plain(p, end_, non_ascii);
    if (p == end_) {
      cur_ = end_;
      return std::unexpected(error_here(kEofString));
    }
    const uint8_t c = *p;
    if (c == '"') break;
    if (c == '\\') {
      if (!escaped) {
        scratch_.clear();
        escaped = true;
      }
      scratch_.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
      cur_ = p + 1;
      ZELVAR_TRY_VOID(decode_escape());
      p = run = cur_;
      continue;
    }
    cur_ = p + 1;
    return std::unexpected(
        error_here("control character (\\u0000-\\u001F) found while parsing a string"));
  }
  std::string_view text;
  if (escaped) {
    scratch_.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
    text = scratch_;
  } else {
    text = std::string_view(reinterpret_cast<const char*>(start), static_cast<size_t>(p - start));
  }
  cur_ = p + 1;  // closing quote
  // Escapes produce whole characters, so only raw bytes can break UTF-8.
  if (non_ascii && !valid_utf8(text)) {
    return std::unexpected(error_here("invalid unicode code point"));
  }
  return text;
}

JsonStatus JsonReader::read_string(std::string& out) {
  if (peek() != '"') return std::unexpected(invalid_type("a string"));
  ZELVAR_TRY(std::string_view text, read_string_view());
  out.assign(text);
  return {};
}

// --- Skipping ---------------------------------------------------------------------------

JsonStatus JsonReader::skip_string_body() {
  ++cur_;  // opening quote
  const uint8_t* p = cur_;
  bool non_ascii = false;  // not checked in skipped text
  for (;;) {
    p = skip_plain(p, end_, non_ascii);
    if (p == end_) {
      cur_ = end_;
      return std::unexpected(error_here(kEofString));
    }
    const uint8_t c = *p;
    if (c == '"') {
      cur_ = p + 1;
      return {};
    }
    if (c == '\\') {
      cur_ = p + 1;
      if (cur_ == end_) return std::unexpected(error_here(kEofString));
      switch (*cur_++) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
          break;
        case 'u': {
          // Pairing and UTF-8 are not checked in skipped text.
          ZELVAR_TRY_VOID(decode_hex4());
          break;
        }
        default:
          return std::unexpected(error_here("invalid escape"));
      }
      p = cur_;
      continue;
    }
    cur_ = p + 1;
    return std::unexpected(
        error_here("control character (\\u0000-\\u001F) found while parsing a string"));
  }
}

JsonStatus JsonReader::skip_number() {
  if (*cur_ == '-') ++cur_;
  if (cur_ == end_) return std::unexpected(error_here("invalid number"));
  const uint8_t first = *cur_++;
  if (first == '0') {
    if (cur_ < end_ && is_digit(*cur_)) return std::unexpected(error_at_next("invalid number"));
  } else if (first >= '1' && first <= '9') {
    while (cur_ < end_ && is_digit(*cur_)) ++cur_;
  } else {
    return std::unexpected(error_here("invalid number"));
  }
  if (cur_ < end_ && *cur_ == '.') {
    ++cur_;
    if (cur_ == end_ || !is_digit(*cur_)) return std::unexpected(error_at_next("invalid number"));
    while (cur_ < end_ && is_digit(*cur_)) ++cur_;
  }
  if (cur_ < end_ && (*cur_ == 'e' || *cur_ == 'E')) {
    ++cur_;
    if (cur_ < end_ && (*cur_ == '+' || *cur_ == '-')) ++cur_;
    if (cur_ == end_) return std::unexpected(error_here("invalid number"));
    if (!is_digit(*cur_++)) return std::unexpected(error_here("invalid number"));
    while (cur_ < end_ && is_digit(*cur_)) ++cur_;
  }
  return {};
}

JsonStatus JsonReader::skip_value() {
  // Iterative, with the open brackets on a heap stack, so that any depth is
  // skipped without recursion; the stack grows by one byte per bracket of
  // input at most.
  std::string frames;
  for (;;) {
    // A value is due.
    int next = peek();
    bool opened = false;
    switch (next) {
      case kEof:
        return std::unexpected(eof_value());
      case 'n': advance(); ZELVAR_TRY_VOID(read_ident("ull")); break;
      case 't': advance(); ZELVAR_TRY_VOID(read_ident("rue")); break;
      case 'f': advance(); ZELVAR_TRY_VOID(read_ident("alse")); break;
      case '"': ZELVAR_TRY_VOID(skip_string_body()); break;
      case '[':
      case '{':
        frames.push_back(static_cast<char>(next));
        advance();
        opened = true;
        break;
      default:
        if (!starts_number(next)) {
          return std::unexpected(error_at_next("expected value"));
        }
        ZELVAR_TRY_VOID(skip_number());
    }
    if (frames.empty()) return {};
    // After a value (or just after an opening bracket): close brackets until
    // a comma or a new member is due.
    bool accept_comma = !opened;
    for (;;) {
      const char frame = frames.back();
      next = peek();
      if (next == kEof) return std::unexpected(error_at_next(frame == '[' ? kEofList : kEofObject));
      if (accept_comma && next == ',') {
        advance();
        break;
      }
      if ((frame == '[' && next == ']') || (frame == '{' && next == '}')) {
        advance();
        frames.pop_back();
        if (frames.empty()) return {};
        accept_comma = true;
        continue;
      }
      if (accept_comma) {
        return std::unexpected(
            error_at_next(frame == '[' ? "expected `,` or `]`" : "expected `,` or `}`"));
      }
      break;
    }
    if (frames.back() == '{') {
      next = peek();
      if (next == kEof) return std::unexpected(error_at_next(kEofObject));
      if (next != '"') return std::unexpected(error_at_next("key must be a string"));
      ZELVAR_TRY_VOID(skip_string_body());
      ZELVAR_TRY_VOID(read_colon());
    }
  }
}

// --- Arrays and objects -----------------------------------------------------------------

JsonStatus JsonReader::begin_container(uint8_t open, std::string_view expected) {
  if (peek() != open) return std::unexpected(invalid_type(expected));
  ZELVAR_TRY_VOID(take_level());
  advance();
  return {};
}

void JsonReader::close_level() {
  advance();
  ++remaining_depth_;
}

JsonStatus JsonReader::begin_array(std::string_view expected) {
  return begin_container('[', expected);
}

JsonResult<bool> JsonReader::has_element(bool first) {
  int next = peek();
  if (next == ']') return false;
  if (next == kEof) return std::unexpected(error_at_next(kEofList));
  if (next == ',' && !first) {
    advance();
    next = peek();
    if (next == ']') return std::unexpected(error_at_next("trailing comma"));
    if (next == kEof) return std::unexpected(error_at_next(kEofValue));
    return true;
  }
  if (!first) return std::unexpected(error_at_next("expected `,` or `]`"));
  return true;
}

JsonStatus JsonReader::end_array(JsonStatus body) {
  if (!body) {
    JsonError error = std::move(body).error();
    if (error.is_placed()) return std::unexpected(std::move(error));
    // Try to close first, so that the error stands after the bracket.
    const int next = peek();
    if (next == ']') {
      advance();
    } else if (next == ',') {
      advance();
      peek();
    }
    return std::unexpected(place(std::move(error)));
  }
  const int next = peek();
  if (next == ']') {
    close_level();
    return {};
  }
  if (next == kEof) return std::unexpected(error_at_next(kEofList));
  if (next == ',') {
    advance();
    if (peek() == ']') return std::unexpected(error_at_next("trailing comma"));
  }
  return std::unexpected(error_at_next("trailing characters"));
}

JsonStatus JsonReader::begin_object(std::string_view expected) {
  return begin_container('{', expected);
}

JsonResult<bool> JsonReader::has_member(bool first) {
  int next = peek();
  if (next == '}') return false;
  if (next == kEof) return std::unexpected(error_at_next(kEofObject));
  if (next == ',' && !first) {
    advance();
    next = peek();
    if (next == kEof) return std::unexpected(error_at_next(kEofValue));
  } else if (!first) {
    return std::unexpected(error_at_next("expected `,` or `}`"));
  }
  if (next == '"') return true;
  if (next == '}') return std::unexpected(error_at_next("trailing comma"));
  return std::unexpected(error_at_next("key must be a string"));
}

JsonResult<std::string_view> JsonReader::read_key() { return read_string_view(); }

JsonStatus JsonReader::integer_key_prefix() {
  ++cur_;  // opening quote
  if (cur_ == end_ || !(*cur_ == '-' || is_digit(*cur_))) {
    return std::unexpected(error_here("invalid value: expected key to be a number in quotes"));
  }
  return {};
}

JsonStatus JsonReader::integer_key_suffix() {
  // The closing quote must follow the number at once; no whitespace.
  if (cur_ == end_ || *cur_ != '"') return std::unexpected(error_at_next("expected `\"`"));
  ++cur_;
  return {};
}

JsonStatus JsonReader::read_unsigned_key(uint64_t max, std::string_view expected, uint64_t& out) {
  ZELVAR_TRY_VOID(integer_key_prefix());
  ZELVAR_TRY_VOID(read_unsigned(max, expected, out));
  return integer_key_suffix();
}

JsonStatus JsonReader::read_signed_key(int64_t min, int64_t max, std::string_view expected,
                                       int64_t& out) {
  ZELVAR_TRY_VOID(integer_key_prefix());
  ZELVAR_TRY_VOID(read_signed(min, max, expected, out));
  return integer_key_suffix();
}

JsonStatus JsonReader::read_colon() {
  const int next = peek();
  if (next == ':') {
    advance();
    return {};
  }
  if (next == kEof) return std::unexpected(error_at_next(kEofObject));
  return std::unexpected(error_at_next("expected `:`"));
}

JsonStatus JsonReader::end_object(JsonStatus body) {
  if (!body) {
    JsonError error = std::move(body).error();
    if (error.is_placed()) return std::unexpected(std::move(error));
    // Skip to the brace when it is next, so that the error stands after it
    // (or after the whitespace that follows a repeated key).
    if (peek() == '}') advance();
    return std::unexpected(place(std::move(error)));
  }
  const int next = peek();
  if (next == '}') {
    close_level();
    return {};
  }
  if (next == kEof) return std::unexpected(error_at_next(kEofObject));
  if (next == ',') return std::unexpected(error_at_next("trailing comma"));
  return std::unexpected(error_at_next("trailing characters"));
}

// --- Enumerations ------------------------------------------------------------------------

std::string JsonReader::unknown_variant_message(std::string_view name,
                                                std::span<const std::string_view> names) {
  std::string message = "unknown variant `";
  message += name;
  if (names.empty()) return message + "`, there are no variants";
  message += "`, expected ";
  if (names.size() == 1) {
    message += "`" + std::string(names[0]) + "`";
  } else if (names.size() == 2) {
    message += "`" + std::string(names[0]) + "` or `" + std::string(names[1]) + "`";
  } else {
    message += "one of ";
    for (size_t i = 0; i < names.size(); ++i) {
      if (i > 0) message += ", ";
      message += "`";
      message += names[i];
      message += "`";
    }
  }
  return message;
}

JsonResult<JsonReader::VariantHead> JsonReader::read_variant_head(
    std::span<const std::string_view> names) {
  const int next = peek();
  VariantForm form;
  if (next == '"') {
    form = VariantForm::Name;
  } else if (next == '{') {
    ZELVAR_TRY_VOID(take_level());
    advance();
    const int key = peek();
    if (key != '"') return std::unexpected(invalid_type("variant identifier"));
    form = VariantForm::Object;
  } else if (next == kEof) {
    return std::unexpected(eof_value());
  } else {
    return std::unexpected(error_at_next("expected value"));
  }
  ZELVAR_TRY(std::string_view name, read_string_view());
  size_t index = 0;
  while (index < names.size() && names[index] != name) ++index;
  if (index == names.size()) return std::unexpected(error_here(unknown_variant_message(name, names)));
  if (form == VariantForm::Object) ZELVAR_TRY_VOID(read_colon());
  return VariantHead{form, index};
}

JsonStatus JsonReader::end_variant_object() {
  const int next = peek();
  if (next == '}') {
    close_level();
    return {};
  }
  if (next == kEof) return std::unexpected(error_here(kEofObject));
  return std::unexpected(error_here("expected value"));
}

}  // namespace zelvar::dsl
