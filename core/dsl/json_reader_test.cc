// Tables of (input, declared type, expected value or exact message with its
// position) for the JSON reader.
#include "core/dsl/json_record.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

namespace zelvar::dsl {
namespace {

// --- Declared types used by the tables ------------------------------------------

enum class Kind : uint8_t { Text, U64, I64, F64, Bytes, SparseVector, DenseVector, Json };
enum class Solo : uint8_t { Only };
enum class Duo : uint8_t { Left, Right };

struct Limits {
  uint32_t low = 0;
  uint32_t high = 0;
};

struct FieldEntry {
  std::string name;
  Kind field_type{};
  bool indexed = false;
  bool stored = false;
  std::optional<std::string> tokenizer;
  bool multi = false;
  std::optional<Limits> limits;
  uint64_t budget = 7;  // a defaulted member with a non-zero default
};

struct Schema {
  std::vector<FieldEntry> fields;
  std::unordered_map<std::string, uint32_t> name_to_field;
  std::vector<uint32_t> default_fields;
  std::vector<std::string> query_routers;
};

struct Counted {
  uint64_t total = 0;
};

struct Single {
  std::vector<uint32_t> items;
};

}  // namespace

template <>
struct JsonEnum<Kind> {
  static constexpr std::array<std::string_view, 8> names = {
      "text", "u64", "i64", "f64", "bytes", "sparse_vector", "dense_vector", "json"};
};
template <>
struct JsonEnum<Solo> {
  static constexpr std::array<std::string_view, 1> names = {"only"};
};
template <>
struct JsonEnum<Duo> {
  static constexpr std::array<std::string_view, 2> names = {"left", "right"};
};
template <>
struct JsonRecord<Limits> {
  static constexpr std::string_view expected = "struct variant Range::Limits";
  static constexpr auto members = std::tuple{
      json_required("low", &Limits::low),
      json_required("high", &Limits::high),
  };
};
template <>
struct JsonRecord<FieldEntry> {
  static constexpr std::string_view name = "FieldEntry";
  static constexpr auto members = std::tuple{
      json_required("name", &FieldEntry::name),
      json_required("field_type", &FieldEntry::field_type),
      json_required("indexed", &FieldEntry::indexed),
      json_required("stored", &FieldEntry::stored),
      json_optional("tokenizer", &FieldEntry::tokenizer),
      json_defaulted("multi", &FieldEntry::multi),
      json_defaulted("limits", &FieldEntry::limits),
      json_defaulted("budget", &FieldEntry::budget),
  };
};
template <>
struct JsonRecord<Schema> {
  static constexpr std::string_view name = "Schema";
  static constexpr auto members = std::tuple{
      json_required("fields", &Schema::fields),
      json_required("name_to_field", &Schema::name_to_field),
      json_defaulted("default_fields", &Schema::default_fields),
      json_defaulted("query_routers", &Schema::query_routers),
  };
};
template <>
struct JsonRecord<Counted> {
  static constexpr std::string_view name = "Counted";
  static constexpr auto members = std::tuple{
      json_required("total", &Counted::total, read_usize),
  };
};
template <>
struct JsonRecord<Single> {
  static constexpr std::string_view name = "Single";
  static constexpr auto members = std::tuple{json_required("items", &Single::items)};
};

namespace {

// A tagged value with data, read by a custom reader the way stored values are.
struct Tagged {
  std::variant<std::string, uint64_t, Limits> value;
};
constexpr std::array<std::string_view, 3> kTaggedNames = {"text", "u64", "limits"};

}  // namespace

template <>
struct JsonRead<Tagged> {
  static JsonStatus read(JsonReader& reader, Tagged& out) {
    ZELVAR_TRY(JsonReader::VariantHead head, reader.read_variant_head(kTaggedNames));
    if (head.form == JsonReader::VariantForm::Name) {
      return std::unexpected(JsonError::unplaced(
          head.index == 2 ? "invalid type: unit variant, expected struct variant"
                          : "invalid type: unit variant, expected newtype variant"));
    }
    switch (head.index) {
      case 0: {
        std::string text;
        ZELVAR_TRY_VOID(read_value(reader, text));
        out.value = std::move(text);
        break;
      }
      case 1: {
        uint64_t number = 0;
        ZELVAR_TRY_VOID(read_value(reader, number));
        out.value = number;
        break;
      }
      default: {
        Limits limits;
        ZELVAR_TRY_VOID(read_value(reader, limits));
        out.value = limits;
        break;
      }
    }
    return reader.end_variant_object();
  }
};

namespace {

using Pairs = std::vector<std::pair<uint32_t, Tagged>>;

// "" on success, else the error's display text.
template <class T>
std::string error_of(std::string_view input) {
  auto result = read_json<T>(input);
  if (result) return "";
  EXPECT_TRUE(result.error().is_placed()) << input;
  return result.error().to_string();
}

template <class T>
T value_of(std::string_view input) {
  auto result = read_json<T>(input);
  EXPECT_TRUE(result.has_value()) << input << ": " << result.error().to_string();
  return result ? std::move(*result) : T{};
}

struct ErrorCase {
  std::string input;
  std::string (*read)(std::string_view);
  std::string expected;  // "" for success
};

void run_error_cases(const std::vector<ErrorCase>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(c.read(c.input), c.expected) << "input: " << c.input;
  }
}

std::string nested(size_t depth, std::string_view inner = "") {
  return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

// --- Grammar and syntax errors ---------------------------------------------------------

TEST(JsonGrammar, SyntaxErrorsWithPositions) {
  constexpr auto any = &error_of<JsonValue>;
  run_error_cases({
      {"", any, "EOF while parsing a value at line 1 column 0"},
      {"  \n ", any, "EOF while parsing a value at line 2 column 1"},
      {"1 2", any, "trailing characters at line 1 column 3"},
      {"{} \n\t\r ", any, ""},
      {"\xEF\xBB\xBF{}", any, "expected value at line 1 column 1"},
      {"nul", any, "EOF while parsing a value at line 1 column 3"},
      {"nulL", any, "expected ident at line 1 column 4"},
      {"tru", any, "EOF while parsing a value at line 1 column 3"},
      {"trUe", any, "expected ident at line 1 column 3"},
      {"fals", any, "EOF while parsing a value at line 1 column 4"},
      {"False", any, "expected value at line 1 column 1"},
      {"NaN", any, "expected value at line 1 column 1"},
      {"+1", any, "expected value at line 1 column 1"},
      {".5", any, "expected value at line 1 column 1"},
      {"01", any, "invalid number at line 1 column 2"},
      {"-", any, "EOF while parsing a value at line 1 column 1"},
      {"-x", any, "invalid number at line 1 column 2"},
      {"1.", any, "EOF while parsing a value at line 1 column 2"},
      {"1.e3", any, "invalid number at line 1 column 3"},
      {"1e", any, "EOF while parsing a value at line 1 column 2"},
      {"1e+", any, "EOF while parsing a value at line 1 column 3"},
      {"1ex", any, "invalid number at line 1 column 3"},
      {"[1,]", any, "trailing comma at line 1 column 4"},
      {"[1 2]", any, "expected `,` or `]` at line 1 column 4"},
      {"[1,", any, "EOF while parsing a value at line 1 column 3"},
      {"[1", any, "EOF while parsing a list at line 1 column 2"},
      {"[,1]", any, "expected value at line 1 column 2"},
      {"{\"a\":1,}", any, "trailing comma at line 1 column 8"},
      {"{\"a\" 1}", any, "expected `:` at line 1 column 6"},
      {"{\"a\":1 \"b\":2}", any, "expected `,` or `}` at line 1 column 8"},
      {"{1:2}", any, "key must be a string at line 1 column 2"},
      {"{,}", any, "key must be a string at line 1 column 2"},
      {"{\"a\"", any, "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":1,", any, "EOF while parsing a value at line 1 column 7"},
      {"{", any, "EOF while parsing an object at line 1 column 1"},
      {"{\"a\":", any, "EOF while parsing a value at line 1 column 5"},
      {"]", any, "expected value at line 1 column 1"},
  });
}

TEST(JsonGrammar, PositionsCountLineFeedsAndBytes) {
  constexpr auto any = &error_of<JsonValue>;
  run_error_cases({
      // Two lines ending in CR LF: the error is on line 3; CR counts as a byte.
      {"[1,\r\n2,\r\nx]", any, "expected value at line 3 column 1"},
      {"[\r\n  1\r\n  x]", any, "expected `,` or `]` at line 3 column 3"},
      // "é" is two bytes, so the column after it counts both.
      {"[\"\xC3\xA9\" x]", any, "expected `,` or `]` at line 1 column 7"},
      {"\n\n\n", any, "EOF while parsing a value at line 4 column 0"},
  });
}

// --- Nesting --------------------------------------------------------------------------

TEST(JsonNesting, LimitIs127Levels) {
  EXPECT_EQ(error_of<JsonValue>(nested(127)), "");
  EXPECT_EQ(error_of<JsonValue>(nested(128)), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(error_of<JsonValue>(std::string(100000, '[')),
            "recursion limit exceeded at line 1 column 128");
  // Objects count the same as arrays.
  std::string objects;
  for (int i = 0; i < 128; ++i) objects += "{\"a\":";
  EXPECT_EQ(error_of<JsonValue>(objects), "recursion limit exceeded at line 1 column 636");
  // Declared containers take levels too: a list of lists of ... of u32.
  EXPECT_EQ(error_of<std::vector<std::vector<uint32_t>>>("[[1]]"), "");
  // A level that was closed is given back.
  std::string siblings = "[" + nested(126) + "," + nested(126) + "]";
  EXPECT_EQ(error_of<JsonValue>(siblings), "");
}

TEST(JsonNesting, SkippedMembersNestToAnyDepth) {
  const std::string deep = nested(5000, "{\"k\":[1,\"s\",null]}");
  EXPECT_EQ(error_of<Counted>("{\"junk\":" + deep + ",\"total\":3}"), "");
  EXPECT_EQ(value_of<Counted>("{\"junk\":" + nested(128) + ",\"total\":3}").total, 3u);
  // Skipping still checks well-formedness, with its own texts.
  run_error_cases({
      {"{\"x\":[1,],\"total\":1}", &error_of<Counted>, "expected value at line 1 column 9"},
      {"{\"x\":{\"a\":1,},\"total\":1}", &error_of<Counted>,
       "key must be a string at line 1 column 13"},
      {"{\"x\":[1 2]}", &error_of<Counted>, "expected `,` or `]` at line 1 column 9"},
      {"{\"x\":{\"a\" 1}}", &error_of<Counted>, "expected `:` at line 1 column 11"},
      {"{\"x\":[", &error_of<Counted>, "EOF while parsing a list at line 1 column 6"},
      {"{\"x\":{\"a\":1", &error_of<Counted>, "EOF while parsing an object at line 1 column 11"},
      {"{\"x\":1e", &error_of<Counted>, "invalid number at line 1 column 7"},
      {"{\"x\":-", &error_of<Counted>, "invalid number at line 1 column 6"},
      {"{\"x\":01}", &error_of<Counted>, "invalid number at line 1 column 7"},
      {"{\"x\":1.}", &error_of<Counted>, "invalid number at line 1 column 8"},
      {"{\"x\":\"\\q\"}", &error_of<Counted>, "invalid escape at line 1 column 8"},
      {"{\"x\":\"\\u12\"}", &error_of<Counted>, "invalid escape at line 1 column 12"},
      {"{\"x\":\"\\u12", &error_of<Counted>, "EOF while parsing a string at line 1 column 10"},
      {"{\"x\":\"\t\"}", &error_of<Counted>,
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 7"},
      {"{\"x\":nope}", &error_of<Counted>, "expected ident at line 1 column 7"},
      // Neither pairing nor UTF-8 are checked in skipped text; numbers have no range.
      {"{\"x\":[\"\\uDC00\",\"\xFF\",1e999999999999,-0],\"total\":1}", &error_of<Counted>, ""},
  });
}

// --- Integers -------------------------------------------------------------------------

TEST(JsonIntegers, RangesAndFoundDescriptions) {
  run_error_cases({
      {"0", &error_of<uint32_t>, ""},
      {"4294967295", &error_of<uint32_t>, ""},
      {"4294967296", &error_of<uint32_t>,
       "invalid value: integer `4294967296`, expected u32 at line 1 column 10"},
      {"-1", &error_of<uint32_t>, "invalid value: integer `-1`, expected u32 at line 1 column 2"},
      {"-0", &error_of<uint32_t>,
       "invalid type: floating point `-0.0`, expected u32 at line 1 column 2"},
      {"1.0", &error_of<uint32_t>,
       "invalid type: floating point `1.0`, expected u32 at line 1 column 3"},
      {"1e2", &error_of<uint32_t>,
       "invalid type: floating point `100.0`, expected u32 at line 1 column 3"},
      {"\"7\"", &error_of<uint32_t>, "invalid type: string \"7\", expected u32 at line 1 column 3"},
      {"true", &error_of<uint32_t>, "invalid type: boolean `true`, expected u32 at line 1 column 4"},
      {"null", &error_of<uint32_t>, "invalid type: null, expected u32 at line 1 column 4"},
      {"[1]", &error_of<uint32_t>, "invalid type: sequence, expected u32 at line 1 column 0"},
      {" {}", &error_of<uint32_t>, "invalid type: map, expected u32 at line 1 column 1"},
      {"256", &error_of<uint8_t>, "invalid value: integer `256`, expected u8 at line 1 column 3"},
      {"128", &error_of<int8_t>, "invalid value: integer `128`, expected i8 at line 1 column 3"},
      {"-129", &error_of<int8_t>, "invalid value: integer `-129`, expected i8 at line 1 column 4"},
      {"-128", &error_of<int8_t>, ""},
      {"18446744073709551615", &error_of<uint64_t>, ""},
      {"18446744073709551616", &error_of<uint64_t>,
       "invalid type: floating point `1.8446744073709552e+19`, expected u64 at line 1 column 20"},
      {"9223372036854775808", &error_of<int64_t>,
       "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 19"},
      {"-9223372036854775808", &error_of<int64_t>, ""},
      {"-9223372036854775809", &error_of<int64_t>,
       "invalid type: floating point `-9.223372036854776e+18`, expected i64 at line 1 column 20"},
      {"-9223372036854775809", &error_of<uint64_t>,
       "invalid type: floating point `-9.223372036854776e+18`, expected u64 at line 1 column 20"},
      {"{\"total\":-3}", &error_of<Counted>,
       "invalid value: integer `-3`, expected usize at line 1 column 11"},
      {"{\"total\":0.5}", &error_of<Counted>,
       "invalid type: floating point `0.5`, expected usize at line 1 column 12"},
  });
  EXPECT_EQ(value_of<uint64_t>("18446744073709551615"), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(value_of<int64_t>("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(value_of<int8_t>("-128"), -128);
  EXPECT_EQ(value_of<uint32_t>(" 42 "), 42u);
}

// --- Floating point ---------------------------------------------------------------------

TEST(JsonFloats, Conversions) {
  struct Case {
    const char* input;
    double expected;
  };
  const std::vector<Case> f64_cases = {
      {"0", 0.0},
      {"1.5", 1.5},
      {"-2.25e2", -225.0},
      {"1e-400", 0.0},
      {"123456789012345678901234567890", 1.2345678901234568e29},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"5e-324", 5e-324},
      {"0.1", 0.1},
      {"18446744073709551615", 18446744073709551615.0},
      {"-9223372036854775808", -9223372036854775808.0},
      {"1E2", 100.0},
      {"1e+2", 100.0},
      {"0e99999999999", 0.0},
      {"1e-99999999999", 0.0},
  };
  for (const auto& c : f64_cases) {
    EXPECT_EQ(std::bit_cast<uint64_t>(value_of<double>(c.input)), std::bit_cast<uint64_t>(c.expected))
        << c.input;
  }
  // Negative zero stays negative, from "-0" and from "-0.0".
  EXPECT_TRUE(std::signbit(value_of<double>("-0")));
  EXPECT_TRUE(std::signbit(value_of<double>("-0.0")));
  EXPECT_TRUE(std::signbit(value_of<double>("-1e-400")));
  // The engine's conversion: significand times the nearest power of ten,
  // which is not always the correctly rounded double.
  // (The correctly rounded results would be 2.225073858507201e-308 and
  // 9007199254740992.0.)
  EXPECT_EQ(value_of<double>("2.2250738585072011e-308"), 2.2250738585072014e-308);
  EXPECT_EQ(value_of<double>("9007199254740993.0"), 9007199254740994.0);
  // Integer literals convert directly, so the same digits without a point do round correctly.
  EXPECT_EQ(value_of<double>("9007199254740993"), 9007199254740992.0);
  // f32: from the f64, or straight from the integer; beyond range is infinity.
  EXPECT_EQ(value_of<float>("1.5"), 1.5f);
  EXPECT_EQ(value_of<float>("1e39"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(value_of<float>("-1e39"), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(value_of<float>("16777217"), 16777216.0f);
  EXPECT_EQ(value_of<float>("0.1"), 0.1f);

  run_error_cases({
      {"1e400", &error_of<double>, "number out of range at line 1 column 5"},
      {"-1e309", &error_of<double>, "number out of range at line 1 column 6"},
      {"1e99999999999", &error_of<double>, "number out of range at line 1 column 13"},
      {"[1.8e308]", &error_of<std::vector<float>>, "number out of range at line 1 column 8"},
      {"\"1\"", &error_of<double>, "invalid type: string \"1\", expected f64 at line 1 column 3"},
      {"null", &error_of<float>, "invalid type: null, expected f32 at line 1 column 4"},
  });
}

TEST(JsonFloats, ShortestRoundTripText) {
  struct Case {
    double value;
    const char* text;
  };
  const std::vector<Case> cases = {
      {1.0, "1.0"},       {100.0, "100.0"},   {0.001, "0.001"},
      {-0.0, "-0.0"},     {0.0, "0.0"},       {1.5, "1.5"},
      {1e16, "1e+16"},    {1e15, "1000000000000000.0"},
      {1.8446744073709552e19, "1.8446744073709552e+19"},
      {1e-7, "1e-7"},     {1e-5, "0.00001"},  {1.25e-6, "1.25e-6"},
      {0.1, "0.1"},       {-123.456, "-123.456"}, {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {123456789012345680.0, "1.2345678901234568e+17"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_json_float(c.value), c.text) << c.text;
}

// --- Text -------------------------------------------------------------------------------

TEST(JsonText, EscapesDecode) {
  struct Case {
    const char* input;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {R"("plain")", "plain"},
      {R"("")", ""},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u0041\u00e9\u20AC")", "A\xC3\xA9\xE2\x82\xAC"},
      {R"("\uD834\uDD1E")", "\xF0\x9D\x84\x9E"},
      {R"("\u0000")", std::string(1, '\0')},
      {"\"caf\xC3\xA9 \\n \xF0\x9F\x98\x80\"", "caf\xC3\xA9 \n \xF0\x9F\x98\x80"},
      {"\"a long run of plain text, longer than one word at a time\"",
       "a long run of plain text, longer than one word at a time"},
  };
  for (const auto& c : cases) EXPECT_EQ(value_of<std::string>(c.input), c.expected) << c.input;
}

TEST(JsonText, Faults) {
  constexpr auto text = &error_of<std::string>;
  run_error_cases({
      {"\"abc", text, "EOF while parsing a string at line 1 column 4"},
      {"\"abc\\", text, "EOF while parsing a string at line 1 column 5"},
      {"\"\\u00", text, "EOF while parsing a string at line 1 column 5"},
      {"\"a\tb\"", text,
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"a\nb\"", text,
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {R"("\x")", text, "invalid escape at line 1 column 3"},
      {R"("\u12G4")", text, "invalid escape at line 1 column 7"},
      {R"("\uDC00")", text, "lone leading surrogate in hex escape at line 1 column 7"},
      {R"("\uD800\u0041")", text, "lone leading surrogate in hex escape at line 1 column 13"},
      {R"("\uD800\uD800")", text, "lone leading surrogate in hex escape at line 1 column 13"},
      {R"("\uD800x")", text, "unexpected end of hex escape at line 1 column 8"},
      {R"("\uD800\n")", text, "unexpected end of hex escape at line 1 column 9"},
      {R"("\uD800)", text, "EOF while parsing a string at line 1 column 7"},
      {"\"\xFF\"", text, "invalid unicode code point at line 1 column 3"},
      {"\"ab\xC3\"", text, "invalid unicode code point at line 1 column 5"},
      {"\"\xED\xA0\x80\"", text, "invalid unicode code point at line 1 column 5"},
      {"\"\xC0\xAF\"", text, "invalid unicode code point at line 1 column 4"},
      {"\"\xF4\x90\x80\x80\"", text, "invalid unicode code point at line 1 column 6"},
      // A fault later in the string comes first: UTF-8 is checked at the quote.
      {"\"\xFF\\q\"", text, "invalid escape at line 1 column 4"},
      // A raw lead byte is not completed by an escape.
      {"\"\xC3\\u00A9\"", text, "invalid unicode code point at line 1 column 9"},
      {"5", text, "invalid type: integer `5`, expected a string at line 1 column 1"},
  });
}

// Inputs that are not UTF-8 text, as found in the public JSON parsing suite
// (file names in the comments): inside a string the fault is reported at the
// closing quote; outside one a stray byte is a grammar error at that byte.
// The suite's other such files are read as bare strings in JsonText.Faults:
// i_string_invalid_utf-8, i_string_UTF8_surrogate_U+D800,
// i_string_overlong_sequence_2_bytes and i_string_not_in_unicode_range.
TEST(JsonBytes, NotUtf8) {
  using namespace std::string_literals;
  constexpr auto any = &error_of<JsonValue>;
  run_error_cases({
      // i_string_UTF-8_invalid_sequence: valid characters, then a lead byte 0xFA.
      {"[\"\xE6\x97\xA5\xD1\x88\xFA\"]", any, "invalid unicode code point at line 1 column 9"},
      // i_string_iso_latin_1: a three-byte lead cut short by the quote.
      {"[\"\xE9\"]", any, "invalid unicode code point at line 1 column 4"},
      // i_string_lone_utf8_continuation_byte
      {"[\"\x81\"]", any, "invalid unicode code point at line 1 column 4"},
      // i_string_overlong_sequence_6_bytes, i_string_overlong_sequence_6_bytes_null
      {"[\"\xFC\x83\xBF\xBF\xBF\xBF\"]", any, "invalid unicode code point at line 1 column 9"},
      {"[\"\xFC\x80\x80\x80\x80\x80\"]", any, "invalid unicode code point at line 1 column 9"},
      // i_string_truncated-utf-8: a lead byte followed by one that continues nothing.
      {"[\"\xE0\xFF\"]", any, "invalid unicode code point at line 1 column 5"},
      // i_string_UTF-16LE_with_BOM, i_string_utf16BE_no_BOM, i_string_utf16LE_no_BOM
      {"\xFF\xFE[\0\"\0\xE9\0\"\0]\0"s, any, "expected value at line 1 column 1"},
      {"\0[\0\"\0\xE9\0\"\0]"s, any, "expected value at line 1 column 1"},
      {"[\0\"\0\xE9\0\"\0]\0"s, any, "expected value at line 1 column 2"},
      // n_array_a_invalid_utf8, n_array_invalid_utf8
      {"[a\xE5]", any, "expected value at line 1 column 2"},
      {"[\xFF]", any, "expected value at line 1 column 2"},
      // n_number_invalid-utf-8-in-bigger-int, n_number_invalid-utf-8-in-exponent,
      // n_number_invalid-utf-8-in-int, n_number_real_with_invalid_utf8_after_e
      {"[123\xE5]", any, "expected `,` or `]` at line 1 column 5"},
      {"[1e1\xE5]", any, "expected `,` or `]` at line 1 column 5"},
      {"[0\xE5]\n", any, "expected `,` or `]` at line 1 column 3"},
      {"[1e\xE5]", any, "invalid number at line 1 column 4"},
      // n_object_lone_continuation_byte_in_key_and_trailing_comma: the key's
      // fault comes before the trailing comma.
      {"{\"\xB9\":\"0\",}", any, "invalid unicode code point at line 1 column 4"},
      // n_string_invalid-utf-8-in-escape: fewer than four bytes left for \u.
      {"[\"\\u\xE5\"]", any, "EOF while parsing a string at line 1 column 7"},
      // n_string_invalid_utf8_after_escape
      {"[\"\\\xE5\"]", any, "invalid escape at line 1 column 4"},
      // n_structure_incomplete_UTF8_BOM, n_structure_lone-invalid-utf-8,
      // n_structure_single_eacute
      {"\xEF\xBB{}", any, "expected value at line 1 column 1"},
      {"\xE5", any, "expected value at line 1 column 1"},
      {"\xE9", any, "expected value at line 1 column 1"},
  });
}

TEST(JsonText, FoundStringsAreEscaped) {
  run_error_cases({
      {R"("a\"b\\c\nd\re\tf\u0000g")", &error_of<bool>,
       R"(invalid type: string "a\"b\\c\nd\re\tf\0g", expected a boolean at line 1 column 25)"},
      {R"("\u0007\u007f\u00ad")", &error_of<bool>,
       R"(invalid type: string "\u{7}\u{7f}\u{ad}", expected a boolean at line 1 column 20)"},
      {"\"caf\xC3\xA9\"", &error_of<bool>,
       "invalid type: string \"caf\xC3\xA9\", expected a boolean at line 1 column 7"},
  });
}

// --- Records ------------------------------------------------------------------------------

TEST(JsonRecords, ObjectAndArrayForms) {
  const Schema object_form = value_of<Schema>(R"({
    "fields": [{"name": "title", "field_type": "text", "indexed": true, "stored": true},
               {"stored": false, "indexed": false, "field_type": {"u64": null}, "name": "n",
                "tokenizer": "default", "multi": true, "limits": {"low": 1, "high": 2},
                "budget": 9, "fast": {"deep": [[[]]]}}],
    "name_to_field": {"title": 0, "n": 1, "title": 5},
    "extra": null
  })");
  ASSERT_EQ(object_form.fields.size(), 2u);
  const FieldEntry& title = object_form.fields[0];
  EXPECT_EQ(title.name, "title");
  EXPECT_EQ(title.field_type, Kind::Text);
  EXPECT_TRUE(title.indexed);
  EXPECT_FALSE(title.tokenizer.has_value());
  EXPECT_FALSE(title.multi);
  EXPECT_FALSE(title.limits.has_value());
  EXPECT_EQ(title.budget, 7u);  // the declared default
  const FieldEntry& n = object_form.fields[1];
  EXPECT_EQ(n.field_type, Kind::U64);
  EXPECT_EQ(n.tokenizer, "default");
  EXPECT_TRUE(n.multi);
  ASSERT_TRUE(n.limits.has_value());
  EXPECT_EQ(n.limits->high, 2u);
  EXPECT_EQ(n.budget, 9u);
  EXPECT_EQ(object_form.name_to_field.at("title"), 5u);  // the last repeated key wins
  EXPECT_TRUE(object_form.default_fields.empty());

  const Schema array_form =
      value_of<Schema>(R"([[["title", "text", true, true, null], ["n", "i64", false, true, "x", true]],
                           {"title": 0}, [2, 0]])");
  ASSERT_EQ(array_form.fields.size(), 2u);
  EXPECT_FALSE(array_form.fields[0].tokenizer.has_value());
  EXPECT_EQ(array_form.fields[0].budget, 7u);
  EXPECT_EQ(array_form.fields[1].tokenizer, "x");
  EXPECT_TRUE(array_form.fields[1].multi);
  EXPECT_EQ(array_form.default_fields, (std::vector<uint32_t>{2, 0}));
  EXPECT_TRUE(array_form.query_routers.empty());

  // Undeclared keys may repeat; declared ones may not.
  EXPECT_EQ(value_of<Counted>(R"({"x": 1, "total": 2, "x": [3]})").total, 2u);
  // A key written with escapes matches the declared key.
  EXPECT_EQ(value_of<Counted>(R"({"tot\u0061l": 4})").total, 4u);
}

TEST(JsonRecords, Errors) {
  constexpr auto schema = &error_of<Schema>;
  constexpr auto entry = &error_of<FieldEntry>;
  run_error_cases({
      {"{}", schema, "missing field `fields` at line 1 column 2"},
      {"[]", schema, "invalid length 0, expected struct Schema with 4 elements at line 1 column 2"},
      {"[[]]", schema, "invalid length 1, expected struct Schema with 4 elements at line 1 column 4"},
      {"[[], {}]", schema, ""},
      {"[[], {}, [], [], 5]", schema, "trailing characters at line 1 column 18"},
      {"[[], {}, [], [],]", schema, "trailing comma at line 1 column 17"},
      {"[[], {}, [], [],", schema, "trailing characters at line 1 column 16"},
      {"[[], {}, [], []", schema, "EOF while parsing a list at line 1 column 15"},
      {"{\"name_to_field\": {}}", schema, "missing field `fields` at line 1 column 21"},
      {"{\"fields\": [], \"fields\": []}", schema, "duplicate field `fields` at line 1 column 23"},
      {"{\"fields\": [], \"fields\"  : []}", schema, "duplicate field `fields` at line 1 column 25"},
      {"{\"fields\": {}}", schema,
       "invalid type: map, expected a sequence at line 1 column 11"},
      {"{\"fields\": [\"x\"]}", schema,
       "invalid type: string \"x\", expected struct FieldEntry at line 1 column 15"},
      {"{\"fields\": [], \"name_to_field\": []}", schema,
       "invalid type: sequence, expected a map at line 1 column 32"},
      {"{\"fields\": [], \"name_to_field\": {\"a\": -1}}", schema,
       "invalid value: integer `-1`, expected u32 at line 1 column 40"},
      {"5", schema, "invalid type: integer `5`, expected struct Schema at line 1 column 1"},
      {"{\"name\": \"a\", \"field_type\": \"text\", \"indexed\": true}", entry,
       "missing field `stored` at line 1 column 52"},
      {"{\"name\": \"a\", \"field_type\": \"text\", \"indexed\": \"true\", \"stored\": true}", entry,
       "invalid type: string \"true\", expected a boolean at line 1 column 53"},
      {"[\"a\", \"text\", true, true]", entry,
       "invalid length 4, expected struct FieldEntry with 8 elements at line 1 column 25"},
      {"[\"a\", \"text\", true, true, null]", entry, ""},
      {"[\"a\", \"text\", true, true, null, false, null, 3]", entry, ""},
      {"[\"a\", \"text\", true, true, null, false, null, 3, 4]", entry,
       "trailing characters at line 1 column 49"},
      {"{\"name\": \"a\", \"field_type\": \"text\", \"indexed\": true, \"stored\": true, "
       "\"limits\": {\"low\": 1}}",
       entry, "missing field `high` at line 1 column 89"},
      {"{\"name\": \"a\", \"field_type\": \"text\", \"indexed\": true, \"stored\": true, "
       "\"limits\": [1]}",
       entry,
       "invalid length 1, expected struct variant Range::Limits with 2 elements at line 1 column 82"},
      {"{\"name\": \"a\", \"field_type\": \"text\", \"indexed\": true, \"stored\": true, "
       "\"limits\": 4}",
       entry, "invalid type: integer `4`, expected struct variant Range::Limits at line 1 column 80"},
      {"{\"name\": \"a\", \"field_type\": \"text\", \"indexed\": true, \"stored\": true, "
       "\"tokenizer\": null, \"tokenizer\": null}",
       entry, "duplicate field `tokenizer` at line 1 column 99"},
      {"{\"Name\": \"a\"}", entry, "missing field `name` at line 1 column 13"},
      {"{\"items\": [1]", &error_of<Single>, "EOF while parsing an object at line 1 column 13"},
      {"{\"items\": [1]]", &error_of<Single>, "expected `,` or `}` at line 1 column 14"},
      {"[[1]]", &error_of<Single>, ""},
      {"[]", &error_of<Single>, "invalid length 0, expected struct Single with 1 element at line 1 column 2"},
  });
}

// --- Enumerations ------------------------------------------------------------------------------

TEST(JsonEnums, BothFormsAndErrors) {
  EXPECT_EQ(value_of<Kind>("\"json\""), Kind::Json);
  EXPECT_EQ(value_of<Kind>("{\"text\": null}"), Kind::Text);
  EXPECT_EQ(value_of<Kind>(" { \"dense_vector\" : null } "), Kind::DenseVector);
  EXPECT_EQ(value_of<Kind>("\"\\u0075\\u0036\\u0034\""), Kind::U64);
  constexpr auto kind = &error_of<Kind>;
  run_error_cases({
      {"\"string\"", kind,
       "unknown variant `string`, expected one of `text`, `u64`, `i64`, `f64`, `bytes`, "
       "`sparse_vector`, `dense_vector`, `json` at line 1 column 8"},
      {"\"Text\"", kind,
       "unknown variant `Text`, expected one of `text`, `u64`, `i64`, `f64`, `bytes`, "
       "`sparse_vector`, `dense_vector`, `json` at line 1 column 6"},
      {"\"x\"", &error_of<Solo>, "unknown variant `x`, expected `only` at line 1 column 3"},
      {"\"x\"", &error_of<Duo>, "unknown variant `x`, expected `left` or `right` at line 1 column 3"},
      {"{\"x\": null}", &error_of<Duo>,
       "unknown variant `x`, expected `left` or `right` at line 1 column 4"},
      {"5", kind, "expected value at line 1 column 1"},
      {"null", kind, "expected value at line 1 column 1"},
      {"[\"text\"]", kind, "expected value at line 1 column 1"},
      {"", kind, "EOF while parsing a value at line 1 column 0"},
      {"{\"text\": null, \"u64\": null}", kind, "expected value at line 1 column 13"},
      {"{\"text\": null x}", kind, "expected value at line 1 column 14"},
      {"{\"text\": null", kind, "EOF while parsing an object at line 1 column 13"},
      {"{\"text\": 1}", kind, "invalid type: integer `1`, expected unit at line 1 column 10"},
      {"{\"text\": \"\"}", kind, "invalid type: string \"\", expected unit at line 1 column 11"},
      {"{\"text\" null}", kind, "expected `:` at line 1 column 9"},
      {"{\"text\"", kind, "EOF while parsing an object at line 1 column 7"},
      {"{}", kind, "expected value at line 1 column 2"},
      {"{1: null}", kind, "invalid type: integer `1`, expected variant identifier at line 1 column 2"},
      {"{[]: null}", kind, "invalid type: sequence, expected variant identifier at line 1 column 1"},
  });
  using Deep = std::vector<std::vector<std::vector<Kind>>>;
  EXPECT_EQ(error_of<Deep>("[[[{\"text\":null}]]]"), "");
}

// --- Lists, pairs, maps, optionals ----------------------------------------------------------------

TEST(JsonContainers, ListsPairsMaps) {
  EXPECT_TRUE(value_of<std::vector<uint32_t>>("[]").empty());
  EXPECT_EQ(value_of<std::vector<uint32_t>>("[1, 2 ,3]"), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(value_of<std::vector<bool>>("[true,false]"), (std::vector<bool>{true, false}));
  EXPECT_EQ(value_of<std::vector<uint8_t>>("[0,255]"), (std::vector<uint8_t>{0, 255}));
  EXPECT_EQ((value_of<std::pair<uint32_t, std::string>>("[3, \"x\"]")),
            (std::pair<uint32_t, std::string>{3, "x"}));
  EXPECT_EQ((value_of<std::vector<std::optional<uint32_t>>>("[null, 4]")),
            (std::vector<std::optional<uint32_t>>{std::nullopt, 4}));
  auto map = value_of<std::map<std::string, uint32_t>>("{\"b\": 1, \"a\": 2, \"b\": 3}");
  EXPECT_EQ(map, (std::map<std::string, uint32_t>{{"a", 2}, {"b", 3}}));
  auto ids = value_of<std::unordered_map<uint32_t, std::string>>(
      "{\"0\": \"a\", \"4294967295\": \"b\", \"3\": \"c\", \"3\": \"d\"}");
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_EQ(ids.at(3), "d");
  EXPECT_EQ(ids.at(4294967295u), "b");

  using Pair = std::pair<uint32_t, uint32_t>;
  using IdMap = std::unordered_map<uint32_t, uint32_t>;
  run_error_cases({
      {"[1,]", &error_of<std::vector<uint32_t>>, "trailing comma at line 1 column 4"},
      {"{}", &error_of<std::vector<uint32_t>>,
       "invalid type: map, expected a sequence at line 1 column 0"},
      {"[]", &error_of<Pair>, "invalid length 0, expected a tuple of size 2 at line 1 column 2"},
      {"[1]", &error_of<Pair>, "invalid length 1, expected a tuple of size 2 at line 1 column 3"},
      {"[1, 2, 3]", &error_of<Pair>, "trailing characters at line 1 column 8"},
      {"[1, 2,]", &error_of<Pair>, "trailing comma at line 1 column 7"},
      {"{\"a\": 1}", &error_of<Pair>,
       "invalid type: map, expected a tuple of size 2 at line 1 column 0"},
      {"[1, 2]", &error_of<std::map<std::string, uint32_t>>,
       "invalid type: sequence, expected a map at line 1 column 0"},
      {"{\"\": 1}", &error_of<IdMap>,
       "invalid value: expected key to be a number in quotes at line 1 column 2"},
      {"{\" 1\": 1}", &error_of<IdMap>,
       "invalid value: expected key to be a number in quotes at line 1 column 2"},
      {"{\"+1\": 1}", &error_of<IdMap>,
       "invalid value: expected key to be a number in quotes at line 1 column 2"},
      {"{\"\\u0031\": 1}", &error_of<IdMap>,
       "invalid value: expected key to be a number in quotes at line 1 column 2"},
      {"{\"03\": 1}", &error_of<IdMap>, "invalid number at line 1 column 4"},
      {"{\"-1\": 1}", &error_of<IdMap>,
       "invalid value: integer `-1`, expected u32 at line 1 column 4"},
      {"{\"4294967296\": 1}", &error_of<IdMap>,
       "invalid value: integer `4294967296`, expected u32 at line 1 column 12"},
      {"{\"1.5\": 1}", &error_of<IdMap>,
       "invalid type: floating point `1.5`, expected u32 at line 1 column 5"},
      {"{\"-0\": 1}", &error_of<IdMap>,
       "invalid type: floating point `-0.0`, expected u32 at line 1 column 4"},
      {"{\"1a\": 1}", &error_of<IdMap>, "expected `\"` at line 1 column 4"},
      {"{\"1 \": 1}", &error_of<IdMap>, "expected `\"` at line 1 column 4"},
      {"{\"1\" 1}", &error_of<IdMap>, "expected `:` at line 1 column 6"},
      {"{1: 1}", &error_of<IdMap>, "key must be a string at line 1 column 2"},
      {"[]", &error_of<IdMap>, "invalid type: sequence, expected a map at line 1 column 0"},
      {"nul", &error_of<std::optional<uint32_t>>, "EOF while parsing a value at line 1 column 3"},
      {"\"a\"", &error_of<std::optional<uint32_t>>,
       "invalid type: string \"a\", expected u32 at line 1 column 3"},
  });
}

// --- Free JSON values ------------------------------------------------------------------------------

TEST(JsonValues, KeepTheirReading) {
  const JsonValue value = value_of<JsonValue>(
      R"({"b": [5, -5, 5.0, 18446744073709551616, -0, "s", true, null], "a": 1, "a": {"z": 0, "y": 1}})");
  ASSERT_TRUE(value.is<JsonValue::Object>());
  const auto& object = value.as<JsonValue::Object>();
  ASSERT_EQ(object.size(), 2u);
  EXPECT_EQ(object[0].first, "a");
  EXPECT_EQ(object[1].first, "b");
  const JsonValue* a = value.find("a");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(a->is<JsonValue::Object>());
  EXPECT_EQ(a->as<JsonValue::Object>()[0].first, "y");  // sorted, the later value kept
  EXPECT_EQ(value.find("c"), nullptr);
  const auto& b = value.find("b")->as<JsonValue::Array>();
  ASSERT_EQ(b.size(), 8u);
  EXPECT_EQ(b[0], JsonValue(uint64_t{5}));
  EXPECT_EQ(b[1], JsonValue(int64_t{-5}));
  EXPECT_EQ(b[2], JsonValue(5.0));
  EXPECT_EQ(b[3], JsonValue(18446744073709551616.0));
  ASSERT_TRUE(b[4].is<double>());
  EXPECT_TRUE(std::signbit(b[4].as<double>()));
  EXPECT_EQ(b[5], JsonValue(std::string("s")));
  EXPECT_EQ(b[6], JsonValue(true));
  EXPECT_TRUE(b[7].is_null());

  // Byte order, not character order: "é" (0xC3 0xA9) sorts after "z".
  const auto keys = value_of<JsonValue>("{\"\xC3\xA9\": 1, \"z\": 2, \"Z\": 3}").as<JsonValue::Object>();
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[0].first, "Z");
  EXPECT_EQ(keys[1].first, "z");
  EXPECT_EQ(keys[2].first, "\xC3\xA9");
}

// --- A custom reader and the placing of its unplaced errors -------------------------------------------

TEST(JsonCustomReaders, TaggedValuesInPairs) {
  const Pairs pairs = value_of<Pairs>(
      R"([[0, {"text": "hi"}], [1, {"u64": 9}], [2, {"limits": [1, 2]}], [3, {"limits": {"high": 4, "low": 3}}]])");
  ASSERT_EQ(pairs.size(), 4u);
  EXPECT_EQ(std::get<std::string>(pairs[0].second.value), "hi");
  EXPECT_EQ(std::get<uint64_t>(pairs[1].second.value), 9u);
  EXPECT_EQ(std::get<Limits>(pairs[3].second.value).low, 3u);

  constexpr auto read = &error_of<std::vector<Pairs>>;
  run_error_cases({
      // The bare name's error stands after the pair's closing bracket ...
      {"[[[0,\"text\"]]]", read,
       "invalid type: unit variant, expected newtype variant at line 1 column 12"},
      // ... or after the comma and the whitespace that follows it.
      {"[[[0,\"limits\" ,  1]]]", read,
       "invalid type: unit variant, expected struct variant at line 1 column 17"},
      {"[[[0,\"text\" x]]]", read,
       "invalid type: unit variant, expected newtype variant at line 1 column 12"},
      {"[[[0,\"txt\"]]]", read,
       "unknown variant `txt`, expected one of `text`, `u64`, `limits` at line 1 column 10"},
      {"[[[0,{\"text\": \"a\", \"u64\": 1}]]]", read, "expected value at line 1 column 17"},
      {"[[[0,{\"u64\": -1}]]]", read,
       "invalid value: integer `-1`, expected u64 at line 1 column 15"},
      {"[[[0,{}]]]", read, "expected value at line 1 column 7"},
      {"[[[0]]]", read, "invalid length 1, expected a tuple of size 2 at line 1 column 5"},
      {"[[[4294967296, {\"u64\": 1}]]]", read,
       "invalid value: integer `4294967296`, expected u32 at line 1 column 13"},
  });
  // A bare name as the whole document is placed at the end of what was read.
  EXPECT_EQ(error_of<Tagged>("\"text\""),
            "invalid type: unit variant, expected newtype variant at line 1 column 6");
}

// --- Robustness: any bytes end in a value or one placed error -------------------------------------------

TEST(JsonRobustness, MutatedDocumentsNeverCrash) {
  const std::vector<std::string> seeds = {
      R"({"fields": [{"name": "t", "field_type": {"text": null}, "indexed": true, "stored": true, "tokenizer": "x\u00e9"}], "name_to_field": {"t": 0}, "default_fields": [0]})",
      R"([[0, {"text": "a\nb"}], [1, {"u64": 18446744073709551615}], [2, {"limits": [1, 2]}]])",
      R"({"k": [1.5e300, -0, "\uD834\uDD1E", {"a": [[[]]]}, true, false, null]})",
  };
  std::mt19937 rng(12345);
  const std::string alphabet = "{}[]\",:\\0123456789.-+eEnulltruefalse \n\t\x01\x80\xC3\xFF";
  for (int round = 0; round < 20000; ++round) {
    std::string doc = seeds[rng() % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !doc.empty(); ++e) {
      const size_t at = rng() % doc.size();
      switch (rng() % 4) {
        case 0: doc[at] = alphabet[rng() % alphabet.size()]; break;
        case 1: doc.erase(at, 1); break;
        case 2: doc.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
        case 3: doc.resize(at); break;
      }
    }
    for (const std::string& result :
         {error_of<JsonValue>(doc), error_of<Schema>(doc), error_of<std::vector<Pairs>>(doc)}) {
      if (!result.empty()) {
        EXPECT_NE(result.find(" at line "), std::string::npos) << doc;
      }
    }
  }
}

}  // namespace
}  // namespace zelvar::dsl
