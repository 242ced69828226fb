// JsonReader: the one JSON reader of the engine, at the token level.
//
// Every JSON text the engine reads ("schema.json", "segments.json", stored
// documents, vector index bodies) goes through this cursor. It makes one
// forward pass over bytes already in memory and hands the caller tokens and
// primitive values; the declared-type layer on top of it (json_record.h)
// builds records, lists, maps and enumerations directly from those tokens, so
// no document tree is built except for free JSON values (json_value.h).
//
// Accepted text: exactly one JSON value, optionally surrounded by the
// whitespace bytes space, tab, line feed and carriage return. Strings must be
// UTF-8. Arrays and objects read as declared values may nest 127 deep; the
// 128th level fails with "recursion limit exceeded". Values that are skipped
// (unknown record members) may nest to any depth.
//
// Errors. A read stops at the first fault with one JsonError. An error is
// either placed (it has a line and a column, counted in bytes) or unplaced:
// errors about a whole record or pair ("missing field", "duplicate field",
// "invalid length", or a custom reader's own value errors) are created
// unplaced and the array or object that contains them places them once it has
// tried to close (end_array / end_object). read_json (json_record.h) places
// anything still unplaced at the end. JsonError::to_string() gives the text:
// "<message> at line L column C".
//
// Positions: an error is placed at a reference count i of bytes from the start
// of the document: line = 1 + line feeds among the first i bytes, column =
// bytes after the last of those line feeds. "At the next byte" uses i = bytes
// consumed + 1 (but at most the document length); "after the consumed bytes"
// uses i = bytes consumed. Nothing is tracked per byte; positions are counted
// only when an error is made.
//
// Thread safety: a JsonReader belongs to one read on one thread. The document
// bytes must outlive the reader and every std::string_view it hands out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace zelvar::dsl {

class JsonError {
 public:
  // An error about a value whose position the enclosing array or object sets
  // (see the file comment). Custom readers use this for their own value
  // errors, e.g. JsonError::unplaced("invalid type: unit variant, expected newtype variant").
  static JsonError unplaced(std::string message);
  // A placed error.
  static JsonError placed(std::string message, uint64_t line, uint64_t column);

  const std::string& message() const { return message_; }
  uint64_t line() const { return line_; }
  uint64_t column() const { return column_; }
  bool is_placed() const { return placed_; }

  // "<message> at line L column C". Only meaningful once placed.
  std::string to_string() const;

  friend bool operator==(const JsonError&, const JsonError&) = default;

 private:
  JsonError(std::string message, uint64_t line, uint64_t column, bool placed)
      : message_(std::move(message)), line_(line), column_(column), placed_(placed) {}

  std::string message_;
  uint64_t line_ = 0;
  uint64_t column_ = 0;
  bool placed_ = false;
};

template <class T>
using JsonResult = std::expected<T, JsonError>;
using JsonStatus = std::expected<void, JsonError>;

// A number as the grammar reads it: integer literals that fit stay integers
// (non-negative ones as U64, negative ones as I64); everything else, including
// "-0" and integers beyond the 64-bit ranges, is an F64 converted as the
// engine's number rule says (not always the correctly rounded double).
struct JsonNumber {
  enum class Kind : uint8_t { U64, I64, F64 };
  Kind kind = Kind::U64;
  uint64_t u = 0;
  int64_t i = 0;
  double f = 0.0;
};

// Shortest decimal text that reads back as `value` (the "floating point `...`"
// form of error messages): "1.0", "0.001", "-0.0", "1e+16", "1e-7".
std::string format_json_float(double value);

class JsonReader {
 public:
  static constexpr int kEof = -1;

  // `document` must outlive the reader.
  explicit JsonReader(std::string_view document);
  explicit JsonReader(std::span<const uint8_t> document);

  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  // --- Position -------------------------------------------------------------

  // Skips whitespace and returns the next byte (0..255) without consuming it,
  // or kEof at the end of the document.
  int peek();
  // Consumes one byte. Precondition: not at the end.
  void advance() { ++cur_; }
  // Bytes consumed so far.
  size_t offset() const { return static_cast<size_t>(cur_ - begin_); }
  size_t size() const { return static_cast<size_t>(end_ - begin_); }

  // --- Errors ---------------------------------------------------------------

  // Placed at the next byte (call peek() first so whitespace is consumed).
  JsonError error_at_next(std::string message) const;
  // Placed after the last consumed byte.
  JsonError error_here(std::string message) const;
  // Places an unplaced error after the last consumed byte; placed errors pass.
  JsonError place(JsonError error) const;
  // "EOF while parsing a value" at the end of the document.
  JsonError eof_value() const;
  // The error for a value of the wrong JSON type where `expected` is due: the
  // value at the cursor is consumed (a literal, number or string, but not an
  // opening bracket) and "invalid type: <found>, expected <expected>" is placed
  // after it. Errors met while consuming it (a misspelled literal, a bad
  // string) are returned instead; a byte that cannot begin a value gives
  // "expected value", the end of the document "EOF while parsing a value".
  JsonError invalid_type(std::string_view expected);

  // --- Whole document -------------------------------------------------------

  // After the top-level value: skips whitespace and fails with "trailing
  // characters" if any byte remains.
  JsonStatus finish();

  // --- Primitives -----------------------------------------------------------
  // Each skips whitespace first. `out` is assigned only on success.

  // `null`, `true`, `false`.
  JsonStatus read_null(std::string_view expected);  // expected: e.g. "unit"
  JsonStatus read_bool(bool& out);                   // expected "a boolean"
  // A string value, decoded into `out` (expected "a string").
  JsonStatus read_string(std::string& out);
  // An integer literal within [min, max]; `expected` names the type ("u32").
  JsonStatus read_unsigned(uint64_t max, std::string_view expected, uint64_t& out);
  JsonStatus read_signed(int64_t min, int64_t max, std::string_view expected, int64_t& out);
  // Any number; integers convert to the nearest value of the target type.
  JsonStatus read_f64(double& out);  // expected "f64"
  JsonStatus read_f32(float& out);   // expected "f32"
  // Any number token as the grammar reads it. Precondition: peek() returned
  // '-' or a digit.
  JsonResult<JsonNumber> read_number_token();
  // Skips one value of any kind, checking only its well-formedness; no
  // nesting limit applies (unknown record members).
  JsonStatus skip_value();

  // --- Strings --------------------------------------------------------------

  // Precondition: peek() returned '"'. Consumes the string and returns its
  // decoded text: a view into the document when it has no escapes, else into
  // the reader's scratch buffer, valid until the next string is read.
  JsonResult<std::string_view> read_string_view();

  // --- Arrays ---------------------------------------------------------------
  // Protocol:
  //   ZELVAR_TRY_VOID(r.begin_array("a sequence"));
  //   JsonStatus body = [&]() -> JsonStatus {
  //     for (bool first = true;; first = false) {
  //       ZELVAR_TRY(bool more, r.has_element(first));
  //       if (!more) return {};
  //       ... read one element ...
  //     }
  //   }();
  //   return r.end_array(std::move(body));

  // Skips whitespace and consumes '[', taking one nesting level; any other
  // value fails with invalid_type(expected).
  JsonStatus begin_array(std::string_view expected);
  // True when another element follows (the cursor is then at its first byte);
  // false at ']' (not consumed). Handles the commas and their faults ("expected
  // `,` or `]`", "trailing comma", "EOF while parsing a list").
  JsonResult<bool> has_element(bool first);
  // Closes the array and gives back the nesting level. When `body` failed
  // with an unplaced error, the close is attempted (its own fault ignored) and
  // the error is placed after it; other errors pass unchanged. When `body`
  // succeeded, a ']' must follow ("trailing characters" for a further element,
  // "trailing comma" for a comma before ']').
  JsonStatus end_array(JsonStatus body);

  // --- Objects --------------------------------------------------------------
  // Protocol:
  //   ZELVAR_TRY_VOID(r.begin_object("a map"));
  //   JsonStatus body = [&]() -> JsonStatus {
  //     for (bool first = true;; first = false) {
  //       ZELVAR_TRY(bool more, r.has_member(first));
  //       if (!more) return {};
  //       ZELVAR_TRY(std::string_view key, r.read_key());
  //       ZELVAR_TRY_VOID(r.read_colon());
  //       ... read or skip the value ...
  //     }
  //   }();
  //   return r.end_object(std::move(body));

  JsonStatus begin_object(std::string_view expected);
  // True when another member follows (the cursor is then at its key's opening
  // quote); false at '}' (not consumed). Faults: "expected `,` or `}`",
  // "trailing comma", "key must be a string", "EOF while parsing an object".
  JsonResult<bool> has_member(bool first);
  // The key as decoded text (view valid until the next string is read).
  JsonResult<std::string_view> read_key();
  // A key that holds an integer between its quotes (maps with integer keys):
  // "invalid value: expected key to be a number in quotes", the integer
  // rules, then "expected `\"`" unless the closing quote follows at once.
  JsonStatus read_unsigned_key(uint64_t max, std::string_view expected, uint64_t& out);
  JsonStatus read_signed_key(int64_t min, int64_t max, std::string_view expected, int64_t& out);
  // ':' after optional whitespace ("expected `:`", "EOF while parsing an object").
  JsonStatus read_colon();
  JsonStatus end_object(JsonStatus body);

  // --- Enumerations -----------------------------------------------------------
  // An enumeration value is written as its name, "name", or as an object with
  // one member whose key is the name, {"name": value}; constants without data
  // have the value null. read_variant_name reads either opening and returns
  // the index of the name in `names` (declared order); unknown names fail with
  // "unknown variant `x`, expected ...". For the object form the cursor is
  // left after the colon: read the value, then call end_variant_object.
  enum class VariantForm : uint8_t { Name, Object };
  struct VariantHead {
    VariantForm form;
    size_t index;
  };
  JsonResult<VariantHead> read_variant_head(std::span<const std::string_view> names);
  // After the value of an object-form variant: whitespace, then '}' (any other
  // byte: "expected value"; the end: "EOF while parsing an object"); gives back
  // the nesting level.
  JsonStatus end_variant_object();

  // "unknown variant `name`, expected one of `a`, `b`, `c`" (unplaced).
  static std::string unknown_variant_message(std::string_view name,
                                             std::span<const std::string_view> names);

 private:
  JsonError error_at(size_t reference_count, std::string message) const;
  JsonStatus take_level();  // the nesting check before an opening bracket
  // Consumes `open` ('[' or '{') and takes one nesting level; any other value
  // fails with invalid_type(expected).
  JsonStatus begin_container(uint8_t open, std::string_view expected);
  // Consumes the closing bracket and gives back its nesting level.
  void close_level();
  JsonStatus read_ident(const char* rest);
  JsonResult<JsonNumber> parse_integer(bool positive);
  JsonResult<JsonNumber> parse_number_tail(bool positive, uint64_t significand);
  JsonResult<double> parse_long_integer(bool positive, uint64_t significand);
  JsonResult<double> parse_decimal(bool positive, uint64_t significand, int64_t exponent);
  JsonResult<double> parse_decimal_overflow(bool positive, uint64_t significand, int64_t exponent);
  JsonResult<double> parse_exponent(bool positive, uint64_t significand, int64_t starting_exponent);
  JsonResult<double> f64_from_parts(bool positive, uint64_t significand, int64_t exponent);
  JsonStatus decode_escape();  // after a backslash; appends to scratch_
  JsonResult<uint16_t> decode_hex4();  // four hex digits of a \u escape
  JsonStatus skip_string_body();
  JsonStatus skip_number();
  JsonStatus integer_key_prefix();
  JsonStatus integer_key_suffix();
  JsonError number_mismatch(const JsonNumber& n, std::string_view expected, bool range) const;

  const uint8_t* begin_;
  const uint8_t* cur_;
  const uint8_t* end_;
  uint8_t remaining_depth_ = 128;
  std::string scratch_;  // decoded text of strings with escapes
};

}  // namespace zelvar::dsl
