#include "core/dsl/document.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace zelvar {
namespace {

using dsl::JsonValue;

std::string read_error(std::string_view json) {
  auto document = Document::from_json(json);
  if (document.has_value()) return "<no error>";
  return document.error().to_string();
}

Document doc(std::vector<std::pair<Field, FieldValue>> values) {
  return Document{std::move(values)};
}

// --- Documents that read ------------------------------------------------------

struct DocumentCase {
  const char* name;
  std::string json;
  Document expected;
};

class DocumentReadTest : public testing::TestWithParam<DocumentCase> {};

TEST_P(DocumentReadTest, Reads) {
  auto document = Document::from_json(GetParam().json);
  ASSERT_TRUE(document.has_value()) << document.error().to_string();
  EXPECT_TRUE(*document == GetParam().expected);
}

const float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Document, DocumentReadTest,
    testing::Values(
        DocumentCase{"empty_list", R"({"field_values": []})", doc({})},
        DocumentCase{"empty_list_array_form", "[[]]", doc({})},
        DocumentCase{"other_members_skipped", R"({"id": 7, "field_values": [], "meta": {"x": [1, {}]}})",
                     doc({})},
        DocumentCase{"every_variant",
                     R"({"field_values": [
                         [0, {"text": "caf\u00e9 \"q\""}],
                         [1, {"u64": 18446744073709551615}],
                         [2, {"i64": -9223372036854775808}],
                         [3, {"f64": 3}],
                         [4, {"bytes": [0, 255]}],
                         [5, {"sparse_vector": {"indices": [1, 5, 4294967295], "values": [0.5, 1.5]}}],
                         [6, {"dense_vector": [1.5, 1e39, -2]}],
                         [7, {"json": null}]]})",
                     doc({{0, FieldValue::Text{"caf\xC3\xA9 \"q\""}},
                          {1, FieldValue::U64{18446744073709551615ull}},
                          {2, FieldValue::I64{std::numeric_limits<int64_t>::min()}},
                          {3, FieldValue::F64{3.0}},
                          {4, FieldValue::Bytes{{0, 255}}},
                          {5, FieldValue::SparseVector{{1, 5, 4294967295u}, {0.5f, 1.5f}}},
                          {6, FieldValue::DenseVector{{1.5f, kInf, -2.0f}}},
                          {7, FieldValue::Json{JsonValue()}}})},
        DocumentCase{"repeated_field_kept_in_order",
                     R"([[[3, {"text": "b"}], [3, {"text": "a"}], [0, {"u64": 0}]]])",
                     doc({{3, FieldValue::Text{"b"}}, {3, FieldValue::Text{"a"}}, {0, FieldValue::U64{0}}})},
        DocumentCase{"field_number_not_checked", R"({"field_values": [[4294967295, {"i64": 5}]]})",
                     doc({{4294967295u, FieldValue::I64{5}}})},
        DocumentCase{"whitespace_between_tokens",
                     " {\n\"field_values\" :\t[ [ 1 , { \"u64\" : 2 } ] ] }\r\n  ",
                     doc({{1, FieldValue::U64{2}}})},
        DocumentCase{"sparse_array_form_lengths_not_compared",
                     R"([[[2, {"sparse_vector": [[9, 3, 3], [1e39]]}]]])",
                     doc({{2, FieldValue::SparseVector{{9, 3, 3}, {kInf}}}})},
        DocumentCase{"sparse_unknown_member_skipped",
                     R"([[[2, {"sparse_vector": {"values": [], "norm": [[1]], "indices": []}}]]])",
                     doc({{2, FieldValue::SparseVector{{}, {}}}})},
        DocumentCase{"empty_payloads", R"([[[0, {"text": ""}], [1, {"bytes": []}], [2, {"dense_vector": []}]]])",
                     doc({{0, FieldValue::Text{""}}, {1, FieldValue::Bytes{{}}}, {2, FieldValue::DenseVector{{}}}})},
        DocumentCase{"negative_zero_f64", R"([[[0, {"f64": -0}], [1, {"f64": 1e-400}]]])",
                     doc({{0, FieldValue::F64{-0.0}}, {1, FieldValue::F64{0.0}}})}),
    [](const testing::TestParamInfo<DocumentCase>& info) { return std::string(info.param.name); });

TEST(Document, ReadsFromBytes) {
  const std::string text = R"({"field_values": [[1, {"text": "x"}]]})";
  const std::vector<uint8_t> bytes(text.begin(), text.end());
  auto document = Document::from_json(std::span<const uint8_t>(bytes));
  ASSERT_TRUE(document.has_value()) << document.error().to_string();
  EXPECT_TRUE(*document == doc({{1, FieldValue::Text{"x"}}}));
}

TEST(Document, VariantOrderFollowsFieldType) {
  auto document = Document::from_json(
      R"([[[0, {"text": ""}], [0, {"u64": 1}], [0, {"i64": 1}], [0, {"f64": 1}], [0, {"bytes": []}],
          [0, {"sparse_vector": [[], []]}], [0, {"dense_vector": []}], [0, {"json": 1}]]])");
  ASSERT_TRUE(document.has_value()) << document.error().to_string();
  ASSERT_EQ(document->field_values.size(), 8u);
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(document->field_values[i].second.type(), static_cast<FieldType>(i));
  }
  EXPECT_NE(FieldValue(FieldValue::U64{1}), FieldValue(FieldValue::I64{1}));
}

TEST(Document, ManyPairs) {
  std::string json = "[[";
  const int kPairs = 20000;
  for (int i = 0; i < kPairs; ++i) {
    if (i > 0) json += ',';
    // Appended piece by piece: g++ 12 at -O3 warns (-Wrestrict) on a chain of
    // std::string operator+ here.
    json.append("[").append(std::to_string(i)).append(",{\"u64\":");
    json.append(std::to_string(i * 3)).append("}]");
  }
  json += "]]";
  auto document = Document::from_json(json);
  ASSERT_TRUE(document.has_value()) << document.error().to_string();
  ASSERT_EQ(document->field_values.size(), static_cast<size_t>(kPairs));
  EXPECT_EQ(document->field_values[kPairs - 1].first, static_cast<Field>(kPairs - 1));
  EXPECT_EQ(document->field_values[kPairs - 1].second.as<FieldValue::U64>().value,
            static_cast<uint64_t>(kPairs - 1) * 3);
}

// --- Free JSON payloads -----------------------------------------------------------

JsonValue json_payload(std::string_view payload) {
  auto document = Document::from_json("[[[0, {\"json\": " + std::string(payload) + "}]]]");
  EXPECT_TRUE(document.has_value()) << document.error().to_string();
  if (!document.has_value() || document->field_values.size() != 1) return JsonValue();
  return document->field_values[0].second.as<FieldValue::Json>().value;
}

TEST(DocumentJson, ObjectKeysAscendingAndLastRepeatWins) {
  JsonValue value = json_payload(R"({"b": 1, "a": 2, "c": {"y": 1, "x": 2}, "a": 3})");
  ASSERT_TRUE(value.is<JsonValue::Object>());
  const auto& object = value.as<JsonValue::Object>();
  ASSERT_EQ(object.size(), 3u);
  EXPECT_EQ(object[0].first, "a");
  EXPECT_EQ(object[0].second, JsonValue(uint64_t{3}));
  EXPECT_EQ(object[1].first, "b");
  EXPECT_EQ(object[2].first, "c");
  const auto& inner = object[2].second.as<JsonValue::Object>();
  ASSERT_EQ(inner.size(), 2u);
  EXPECT_EQ(inner[0].first, "x");
  EXPECT_EQ(inner[1].first, "y");
}

TEST(DocumentJson, NumberKinds) {
  struct Case {
    const char* text;
    JsonValue expected;
  };
  const Case cases[] = {
      {"5", JsonValue(uint64_t{5})},
      {"18446744073709551615", JsonValue(uint64_t{18446744073709551615ull})},
      {"-5", JsonValue(int64_t{-5})},
      {"-9223372036854775808", JsonValue(std::numeric_limits<int64_t>::min())},
      {"5.0", JsonValue(5.0)},
      {"18446744073709551616", JsonValue(18446744073709551616.0)},
      {"-9223372036854775809", JsonValue(-9223372036854775809.0)},
      {"1e2", JsonValue(100.0)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(json_payload(c.text), c.expected) << c.text;
  }
  JsonValue negative_zero = json_payload("-0");
  ASSERT_TRUE(negative_zero.is<double>());
  EXPECT_TRUE(std::signbit(negative_zero.as<double>()));
}

TEST(DocumentJson, ArraysAndScalarsKeptAsWritten) {
  JsonValue value = json_payload(R"([null, true, false, "s\n", [], {}])");
  const JsonValue::Array expected = {JsonValue(), JsonValue(true), JsonValue(false),
                                     JsonValue(std::string("s\n")), JsonValue(JsonValue::Array{}),
                                     JsonValue(JsonValue::Object{})};
  EXPECT_EQ(value, JsonValue(expected));
}

// The document, its list, the pair and the value object take four of the 127
// levels, leaving 123 for a "json" payload.
TEST(DocumentJson, NestingBudget) {
  const std::string object_prefix = R"({"field_values":[[0,{"json":)";
  const std::string array_prefix = R"([[[0,{"json":)";
  auto nested = [](int depth, bool objects) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += objects ? "{\"k\":" : "[";
    s += "1";
    for (int i = 0; i < depth; ++i) s += objects ? "}" : "]";
    return s;
  };
  for (const std::string& prefix : {object_prefix, array_prefix}) {
    const std::string suffix = prefix[0] == '{' ? "}]]}" : "}]]]";
    for (bool objects : {false, true}) {
      EXPECT_TRUE(Document::from_json(prefix + nested(123, objects) + suffix).has_value())
          << prefix << " objects=" << objects;
      // The 124th opening bracket is refused where it stands.
      const size_t column = prefix.size() + (objects ? 5 * 123 + 1 : 124);
      EXPECT_EQ(read_error(prefix + nested(124, objects) + suffix),
                "recursion limit exceeded at line 1 column " + std::to_string(column))
          << prefix << " objects=" << objects;
    }
  }
}

TEST(DocumentJson, SkippedMemberNestsAnyDepth) {
  const std::string deep = std::string(500, '[') + std::string(500, ']');
  auto document = Document::from_json(R"({"extra": )" + deep + R"(, "field_values": []})");
  EXPECT_TRUE(document.has_value()) << document.error().to_string();
}

// --- Texts cut short ----------------------------------------------------------------

// A stored block or a "schema.json" cut at any byte must fail, never read as
// something shorter, and the error must stand at the end of what is there:
// an end-of-input error, or "invalid number" for a skipped number cut short.
TEST(TruncatedText, EveryCutFailsAtItsEnd) {
  using Read = bool (*)(std::string_view, std::string&);
  struct Case {
    const char* name;
    Read read;
    std::string text;
  };
  auto read_document = [](std::string_view text, std::string& message) {
    auto result = Document::from_json(text);
    if (!result) message = result.error().to_string();
    return result.has_value();
  };
  auto read_schema = [](std::string_view text, std::string& message) {
    auto result = Schema::from_json(text);
    if (!result) message = result.error().to_string();
    return result.has_value();
  };
  const Case cases[] = {
      {"document", read_document,
       "{\"field_values\": [[0, {\"text\": \"caf\xC3\xA9 \\uD834\\uDD1E \\\"\"}], [1, {\"u64\": 18446744073709551615}],\n"
       " [2, {\"i64\": -42}], [3, {\"f64\": -1.5e-300}], [4, {\"bytes\": [0, 255]}],\n"
       " [5, {\"sparse_vector\": {\"indices\": [1], \"values\": [0.5]}}], [6, {\"dense_vector\": [1e39]}],\n"
       " [7, {\"json\": {\"b\": [null, true, false, \"s\"], \"a\": {}}}]], \"id\": [12.5e3, \"\xF0\x9F\x98\x80\"]}"},
      {"schema", read_schema,
       "{\"fields\": [{\"name\": \"t\\u00e9\", \"field_type\": {\"text\": null}, \"indexed\": true, \"stored\": true,\n"
       " \"tokenizer\": \"x\", \"sparse_vector_config\": [\"U32\", \"UInt8\", 0.5],\n"
       " \"dense_vector_config\": {\"dim\": 8, \"index_type\": \"sca_n_n\", \"mrl_dim\": null, \"x\": [1e5, -0.5]}},\n"
       " [\"n\", \"u64\", false, true, null, true]], \"name_to_field\": {\"t\\u00e9\": 0, \"n\": 1},\n"
       " \"default_fields\": [1, 0], \"query_routers\": [[\"a\", \"b\", \"c\", {\"exclusive\": null}]]}"},
  };
  const std::string kEndKinds[] = {"EOF while parsing a value", "EOF while parsing a list",
                                   "EOF while parsing an object", "EOF while parsing a string",
                                   "invalid number"};
  for (const Case& c : cases) {
    std::string message;
    ASSERT_TRUE(c.read(c.text, message)) << c.name << ": " << message;
    for (size_t cut = 0; cut < c.text.size(); ++cut) {
      const std::string_view prefix = std::string_view(c.text).substr(0, cut);
      ASSERT_FALSE(c.read(prefix, message)) << c.name << " cut at " << cut;
      const size_t line = 1 + static_cast<size_t>(std::count(prefix.begin(), prefix.end(), '\n'));
      const size_t last_feed = prefix.rfind('\n');
      const size_t column = last_feed == std::string_view::npos ? cut : cut - last_feed - 1;
      const std::string suffix = " at line " + std::to_string(line) + " column " + std::to_string(column);
      bool known = false;
      for (const std::string& kind : kEndKinds) known = known || message == kind + suffix;
      EXPECT_TRUE(known) << c.name << " cut at " << cut << ": " << message;
    }
  }
}

// --- Errors -------------------------------------------------------------------------

struct ErrorCase {
  const char* name;
  std::string json;
  std::string message;
};

class DocumentErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(DocumentErrorTest, Fails) {
  EXPECT_EQ(read_error(GetParam().json), GetParam().message);
}

const std::string kVariants =
    "expected one of `text`, `u64`, `i64`, `f64`, `bytes`, `sparse_vector`, `dense_vector`, `json`";

INSTANTIATE_TEST_SUITE_P(
    Document, DocumentErrorTest,
    testing::Values(
        ErrorCase{"empty_input", "", "EOF while parsing a value at line 1 column 0"},
        ErrorCase{"trailing_characters", "[[]] x", "trailing characters at line 1 column 6"},
        ErrorCase{"not_a_record", R"("x")", "invalid type: string \"x\", expected struct Document at line 1 column 3"},
        ErrorCase{"number_not_a_record", "5", "invalid type: integer `5`, expected struct Document at line 1 column 1"},
        ErrorCase{"empty_object", "{}", "missing field `field_values` at line 1 column 2"},
        ErrorCase{"list_twice", R"({"field_values":[],"field_values":[]})",
                  "duplicate field `field_values` at line 1 column 33"},
        ErrorCase{"empty_array_form", "[]",
                  "invalid length 0, expected struct Document with 1 element at line 1 column 2"},
        ErrorCase{"array_form_second_element", "[[],[]]", "trailing characters at line 1 column 5"},
        ErrorCase{"list_as_object", R"({"field_values":{}})",
                  "invalid type: map, expected a sequence at line 1 column 16"},
        ErrorCase{"pair_as_number", R"({"field_values":[5]})",
                  "invalid type: integer `5`, expected a tuple of size 2 at line 1 column 18"},
        ErrorCase{"pair_as_object", R"({"field_values":[{}]})",
                  "invalid type: map, expected a tuple of size 2 at line 1 column 17"},
        ErrorCase{"pair_empty", R"({"field_values":[[]]})",
                  "invalid length 0, expected a tuple of size 2 at line 1 column 19"},
        ErrorCase{"pair_one_element", R"({"field_values":[[0]]})",
                  "invalid length 1, expected a tuple of size 2 at line 1 column 20"},
        ErrorCase{"pair_three_elements", R"([[[0,{"u64":1},2]]])", "trailing characters at line 1 column 16"},
        ErrorCase{"pair_trailing_comma", R"([[[0,{"u64":1},]]])", "trailing comma at line 1 column 16"},
        ErrorCase{"field_too_large", R"([[[4294967296,{"u64":1}]]])",
                  "invalid value: integer `4294967296`, expected u32 at line 1 column 13"},
        ErrorCase{"field_negative", R"([[[-1,{"u64":1}]]])",
                  "invalid value: integer `-1`, expected u32 at line 1 column 5"},
        ErrorCase{"field_fraction", R"([[[1.0,{"u64":1}]]])",
                  "invalid type: floating point `1.0`, expected u32 at line 1 column 6"},
        ErrorCase{"field_string", R"([[["0",{"u64":1}]]])",
                  "invalid type: string \"0\", expected u32 at line 1 column 6"},
        // A bare tag names a variant without its payload; the error stands
        // where the pair's attempt to close ends.
        ErrorCase{"bare_text_tag", R"({"field_values":[[0,"text"]]})",
                  "invalid type: unit variant, expected newtype variant at line 1 column 27"},
        ErrorCase{"bare_sparse_tag", R"([[[0,"sparse_vector"]]])",
                  "invalid type: unit variant, expected struct variant at line 1 column 21"},
        ErrorCase{"bare_tag_space_then_bracket", R"([[[0,"json" ]]])",
                  "invalid type: unit variant, expected newtype variant at line 1 column 13"},
        ErrorCase{"bare_tag_comma_and_space", R"([[[0,"u64" , 1]]])",
                  "invalid type: unit variant, expected newtype variant at line 1 column 13"},
        ErrorCase{"bare_tag_other_byte", R"([[[0,"u64"x]]])",
                  "invalid type: unit variant, expected newtype variant at line 1 column 10"},
        ErrorCase{"bare_tag_line_feed_then_bracket", "[[[0,\"u64\"\n]]]",
                  "invalid type: unit variant, expected newtype variant at line 2 column 1"},
        ErrorCase{"bare_tag_at_end_of_input", R"([[[0,"f64")",
                  "invalid type: unit variant, expected newtype variant at line 1 column 10"},
        ErrorCase{"bare_unknown_tag", R"([[[0,"string"]]])",
                  "unknown variant `string`, " + kVariants + " at line 1 column 13"},
        ErrorCase{"unknown_tag_key", R"([[[0,{"Text":"a"}]]])",
                  "unknown variant `Text`, " + kVariants + " at line 1 column 12"},
        ErrorCase{"value_number", R"([[[0,5]]])", "expected value at line 1 column 6"},
        ErrorCase{"value_null", R"([[[0,null]]])", "expected value at line 1 column 6"},
        ErrorCase{"value_array", R"([[[0,["text","a"]]]])", "expected value at line 1 column 6"},
        ErrorCase{"value_object_empty", R"([[[0,{}]]])", "expected value at line 1 column 7"},
        ErrorCase{"value_key_not_string", R"([[[0,{5:1}]]])",
                  "invalid type: integer `5`, expected variant identifier at line 1 column 7"},
        ErrorCase{"value_second_key", R"([[[0,{"text":"a","u64":1}]]])", "expected value at line 1 column 16"},
        ErrorCase{"value_missing_colon", R"([[[0,{"text" "a"}]]])", "expected `:` at line 1 column 14"},
        ErrorCase{"value_ends_before_colon", R"([[[0,{"text")", "EOF while parsing an object at line 1 column 12"},
        ErrorCase{"value_ends_before_brace", R"([[[0,{"text":"a")",
                  "EOF while parsing an object at line 1 column 16"}),
    [](const testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

// Payload faults; each value stands on a line of its own so the columns count
// from the value's first byte.
class PayloadErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(PayloadErrorTest, Fails) {
  EXPECT_EQ(read_error("{\"field_values\":[[0,\n" + GetParam().json + "\n]]}"), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    FieldValue, PayloadErrorTest,
    testing::Values(
        ErrorCase{"text_number", R"({"text":5})", "invalid type: integer `5`, expected a string at line 2 column 9"},
        ErrorCase{"u64_negative", R"({"u64":-1})", "invalid value: integer `-1`, expected u64 at line 2 column 9"},
        ErrorCase{"u64_fraction", R"({"u64":1.0})",
                  "invalid type: floating point `1.0`, expected u64 at line 2 column 10"},
        ErrorCase{"u64_above_range", R"({"u64":18446744073709551616})",
                  "invalid type: floating point `1.8446744073709552e+19`, expected u64 at line 2 column 27"},
        ErrorCase{"u64_below_i64_range", R"({"u64":-9223372036854775809})",
                  "invalid type: floating point `-9.223372036854776e+18`, expected u64 at line 2 column 27"},
        ErrorCase{"u64_negative_zero", R"({"u64":-0})",
                  "invalid type: floating point `-0.0`, expected u64 at line 2 column 9"},
        ErrorCase{"i64_above_range", R"({"i64":9223372036854775808})",
                  "invalid value: integer `9223372036854775808`, expected i64 at line 2 column 26"},
        ErrorCase{"i64_exponent", R"({"i64":1e3})",
                  "invalid type: floating point `1000.0`, expected i64 at line 2 column 10"},
        ErrorCase{"f64_string", R"({"f64":"1"})", "invalid type: string \"1\", expected f64 at line 2 column 10"},
        ErrorCase{"f64_out_of_range", R"({"f64":1e400})", "number out of range at line 2 column 12"},
        ErrorCase{"bytes_as_string", R"({"bytes":"AAE="})",
                  "invalid type: string \"AAE=\", expected a sequence at line 2 column 15"},
        ErrorCase{"byte_too_large", R"({"bytes":[256]})", "invalid value: integer `256`, expected u8 at line 2 column 13"},
        ErrorCase{"byte_negative", R"({"bytes":[-1]})", "invalid value: integer `-1`, expected u8 at line 2 column 12"},
        ErrorCase{"byte_fraction", R"({"bytes":[1.5]})",
                  "invalid type: floating point `1.5`, expected u8 at line 2 column 13"},
        ErrorCase{"dense_element_boolean", R"({"dense_vector":[true]})",
                  "invalid type: boolean `true`, expected f32 at line 2 column 21"},
        ErrorCase{"dense_as_object", R"({"dense_vector":{}})",
                  "invalid type: map, expected a sequence at line 2 column 16"},
        ErrorCase{"dense_element_out_of_range", R"({"dense_vector":[1e400]})",
                  "number out of range at line 2 column 22"},
        ErrorCase{"sparse_as_number", R"({"sparse_vector":5})",
                  "invalid type: integer `5`, expected struct variant FieldValue::SparseVector at line 2 column 18"},
        ErrorCase{"sparse_empty_object", R"({"sparse_vector":{}})", "missing field `indices` at line 2 column 19"},
        ErrorCase{"sparse_missing_values", R"({"sparse_vector":{"indices":[]}})",
                  "missing field `values` at line 2 column 31"},
        ErrorCase{"sparse_missing_both_after_values", R"({"sparse_vector":{"values":[]}})",
                  "missing field `indices` at line 2 column 30"},
        ErrorCase{"sparse_values_twice", R"({"sparse_vector":{"values":[],"values":[]}})",
                  "duplicate field `values` at line 2 column 38"},
        ErrorCase{"sparse_empty_array", R"({"sparse_vector":[]})",
                  "invalid length 0, expected struct variant FieldValue::SparseVector with 2 elements "
                  "at line 2 column 19"},
        ErrorCase{"sparse_array_one_list", R"({"sparse_vector":[[]]})",
                  "invalid length 1, expected struct variant FieldValue::SparseVector with 2 elements "
                  "at line 2 column 21"},
        ErrorCase{"sparse_array_three_lists", R"({"sparse_vector":[[],[],[]]})",
                  "trailing characters at line 2 column 25"},
        ErrorCase{"sparse_index_too_large", R"({"sparse_vector":[[4294967296],[]]})",
                  "invalid value: integer `4294967296`, expected u32 at line 2 column 29"},
        ErrorCase{"sparse_value_string", R"({"sparse_vector":[[],["x"]]})",
                  "invalid type: string \"x\", expected f32 at line 2 column 25"},
        ErrorCase{"sparse_indices_as_object", R"({"sparse_vector":{"indices":{},"values":[]}})",
                  "invalid type: map, expected a sequence at line 2 column 28"},
        ErrorCase{"json_trailing_comma", R"({"json":[1,]})", "trailing comma at line 2 column 12"},
        ErrorCase{"json_bad_escape", R"({"json":"\x"})", "invalid escape at line 2 column 11"}),
    [](const testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelvar
