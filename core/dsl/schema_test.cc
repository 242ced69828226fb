#include "core/dsl/schema.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace zelvar {
namespace {

FieldEntry entry(std::string name, FieldType type, bool indexed, bool stored) {
  FieldEntry e;
  e.name = std::move(name);
  e.field_type = type;
  e.indexed = indexed;
  e.stored = stored;
  return e;
}

std::string read_error(std::string_view json) {
  auto schema = Schema::from_json(json);
  if (schema.has_value()) return "<no error>";
  return schema.error().to_string();
}

// --- Whole schemas ------------------------------------------------------------

struct SchemaCase {
  const char* name;
  std::string json;
  Schema expected;
};

class SchemaReadTest : public testing::TestWithParam<SchemaCase> {};

TEST_P(SchemaReadTest, Reads) {
  const SchemaCase& c = GetParam();
  auto schema = Schema::from_json(c.json);
  ASSERT_TRUE(schema.has_value()) << schema.error().to_string();
  EXPECT_TRUE(*schema == c.expected);
  EXPECT_EQ(schema->field_entries(), c.expected.field_entries());
  EXPECT_EQ(schema->name_to_field(), c.expected.name_to_field());
  EXPECT_EQ(schema->default_fields(), c.expected.default_fields());
  EXPECT_EQ(schema->query_routers(), c.expected.query_routers());
}

Schema title_schema() {
  return Schema({entry("title", FieldType::Text, true, true)}, {{"title", 0}});
}

Schema all_types_schema() {
  std::vector<FieldEntry> entries;
  NameToField names;
  for (size_t i = 0; i < kFieldTypeNames.size(); ++i) {
    entries.push_back(entry("f" + std::to_string(i), static_cast<FieldType>(i), i % 2 == 0, true));
  }
  return Schema(std::move(entries), std::move(names));
}

Schema full_entry_schema() {
  FieldEntry e = entry("body", FieldType::Text, true, false);
  e.tokenizer = "en_stem";
  e.multi = true;
  return Schema({e}, {{"body", 0}}, {0}, {});
}

std::string nested_arrays(int depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

INSTANTIATE_TEST_SUITE_P(
    Schema, SchemaReadTest,
    testing::Values(
        SchemaCase{"empty_object", R"({"fields": [], "name_to_field": {}})", Schema()},
        SchemaCase{"empty_array_form", "[[], {}]", Schema()},
        SchemaCase{"empty_array_form_all_members", "[[], {}, [], []]", Schema()},
        SchemaCase{"surrounding_whitespace", " \t\r\n{\"fields\":[],\"name_to_field\":{}} \n\n ",
                   Schema()},
        SchemaCase{"minimal_entry",
                   R"({"fields": [{"name": "title", "field_type": "text", "indexed": true,
                       "stored": true}], "name_to_field": {"title": 0}})",
                   title_schema()},
        SchemaCase{"minimal_entry_array_form", R"([[["title", "text", true, true, null]], {"title": 0}])",
                   title_schema()},
        SchemaCase{"entry_nulls_for_optional_members",
                   R"({"fields": [{"name": "title", "field_type": "text", "indexed": true,
                       "stored": true, "tokenizer": null, "sparse_vector_config": null,
                       "dense_vector_config": null}], "name_to_field": {"title": 0}})",
                   title_schema()},
        SchemaCase{"field_type_object_form",
                   R"({"fields": [{"name": "title", "field_type": { "text" : null }, "indexed": true,
                       "stored": true}], "name_to_field": {"title": 0}})",
                   title_schema()},
        SchemaCase{"full_entry_array_form",
                   R"([[["body", "text", true, false, "en_stem", true, null, null]], {"body": 0}, [0]])",
                   full_entry_schema()},
        SchemaCase{"full_entry_object_form_any_order",
                   R"({"default_fields": [0], "name_to_field": {"body": 0}, "fields": [{"multi": true,
                       "tokenizer": "en_stem", "stored": false, "indexed": true,
                       "field_type": "text", "name": "body"}]})",
                   full_entry_schema()},
        SchemaCase{"every_field_type",
                   R"({"fields": [
                       {"name": "f0", "field_type": "text", "indexed": true, "stored": true},
                       {"name": "f1", "field_type": "u64", "indexed": false, "stored": true},
                       {"name": "f2", "field_type": "i64", "indexed": true, "stored": true},
                       {"name": "f3", "field_type": "f64", "indexed": false, "stored": true},
                       {"name": "f4", "field_type": "bytes", "indexed": true, "stored": true},
                       {"name": "f5", "field_type": "sparse_vector", "indexed": false, "stored": true},
                       {"name": "f6", "field_type": "dense_vector", "indexed": true, "stored": true},
                       {"name": "f7", "field_type": "json", "indexed": false, "stored": true}],
                       "name_to_field": {}})",
                   all_types_schema()},
        SchemaCase{"unknown_members_skipped",
                   R"({"version": 3, "fields": [{"name": "title", "fast": true, "field_type": "text",
                       "indexed": true, "options": {"a": [1, {"b": null}]}, "stored": true,
                       "fast": false}], "name_to_field": {"title": 0}, "extra": "x", "extra": 1})",
                   title_schema()},
        SchemaCase{"unknown_member_nested_beyond_the_limit",
                   R"({"fields": [], "deep": )" + nested_arrays(300) + R"(, "name_to_field": {}})",
                   Schema()},
        SchemaCase{"escaped_keys_match",
                   R"({"fi\u0065lds": [], "name\u005fto_field": {"t\u0069tle": 0}})",
                   Schema({}, {{"title", 0}})},
        SchemaCase{"repeated_map_key_keeps_last", R"({"fields": [], "name_to_field": {"a": 0, "a": 3}})",
                   Schema({}, {{"a", 3}})},
        SchemaCase{"map_not_checked_against_entries",
                   R"({"fields": [], "name_to_field": {"ghost": 4294967295, "x": 7, "y": 7}})",
                   Schema({}, {{"ghost", 4294967295u}, {"x", 7}, {"y", 7}})},
        SchemaCase{"default_fields_keep_order", R"({"fields": [], "name_to_field": {}, "default_fields": [2, 0, 2]})",
                   Schema({}, {}, {2, 0, 2})},
        SchemaCase{"duplicate_entry_names_kept",
                   R"({"fields": [{"name": "a", "field_type": "u64", "indexed": false, "stored": false},
                                  {"name": "a", "field_type": "u64", "indexed": false, "stored": false}],
                       "name_to_field": {"a": 1}})",
                   Schema({entry("a", FieldType::U64, false, false), entry("a", FieldType::U64, false, false)},
                          {{"a", 1}})},
        SchemaCase{"router_rules_in_order",
                   R"({"fields": [], "name_to_field": {}, "query_routers": [
                       {"pattern": "^a", "substitution": "b", "target_field": "t", "mode": "exclusive"},
                       ["p", "s", "f"]]})",
                   Schema({}, {}, {},
                          {{"^a", "b", "t", RoutingMode::Exclusive}, {"p", "s", "f", RoutingMode::Additional}})}),
    [](const testing::TestParamInfo<SchemaCase>& info) { return std::string(info.param.name); });

// --- Errors of whole schemas ------------------------------------------------------

struct ErrorCase {
  const char* name;
  std::string json;
  std::string message;
};

class SchemaErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(SchemaErrorTest, Fails) {
  EXPECT_EQ(read_error(GetParam().json), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Schema, SchemaErrorTest,
    testing::Values(
        ErrorCase{"empty_object", "{}", "missing field `fields` at line 1 column 2"},
        ErrorCase{"missing_map", R"({"fields":[]})", "missing field `name_to_field` at line 1 column 13"},
        ErrorCase{"missing_fields_after_map", R"({"name_to_field":{}})",
                  "missing field `fields` at line 1 column 20"},
        ErrorCase{"empty_array_form", "[]",
                  "invalid length 0, expected struct Schema with 4 elements at line 1 column 2"},
        ErrorCase{"array_form_one_value", "[[]]",
                  "invalid length 1, expected struct Schema with 4 elements at line 1 column 4"},
        ErrorCase{"array_form_extra_value", "[[],{},[],[],5]", "trailing characters at line 1 column 14"},
        ErrorCase{"array_form_trailing_comma", "[[],{},[],[],]", "trailing comma at line 1 column 14"},
        ErrorCase{"not_a_record", R"("schema")",
                  "invalid type: string \"schema\", expected struct Schema at line 1 column 8"},
        ErrorCase{"fields_as_object", R"({"fields":{},"name_to_field":{}})",
                  "invalid type: map, expected a sequence at line 1 column 10"},
        ErrorCase{"map_as_array", R"({"fields":[],"name_to_field":[]})",
                  "invalid type: sequence, expected a map at line 1 column 29"},
        ErrorCase{"fields_twice", R"({"fields":[],"fields":[],"name_to_field":{}})",
                  "duplicate field `fields` at line 1 column 21"},
        ErrorCase{"entry_as_string", R"({"fields":["title"],"name_to_field":{}})",
                  "invalid type: string \"title\", expected struct FieldEntry at line 1 column 18"},
        ErrorCase{"map_number_negative", R"({"fields":[],"name_to_field":{"a":-1}})",
                  "invalid value: integer `-1`, expected u32 at line 1 column 36"},
        ErrorCase{"map_number_too_large", R"({"fields":[],"name_to_field":{"a":4294967296}})",
                  "invalid value: integer `4294967296`, expected u32 at line 1 column 44"},
        ErrorCase{"map_number_as_string", R"({"fields":[],"name_to_field":{"a":"0"}})",
                  "invalid type: string \"0\", expected u32 at line 1 column 37"},
        ErrorCase{"default_field_fraction", R"({"fields":[],"name_to_field":{},"default_fields":[1.5]})",
                  "invalid type: floating point `1.5`, expected u32 at line 1 column 53"},
        ErrorCase{"default_fields_trailing_comma", R"({"fields":[],"name_to_field":{},"default_fields":[1,]})",
                  "trailing comma at line 1 column 53"},
        ErrorCase{"trailing_characters", R"({"fields":[],"name_to_field":{}} x)",
                  "trailing characters at line 1 column 34"},
        ErrorCase{"two_documents", R"({"fields":[],"name_to_field":{}}{})",
                  "trailing characters at line 1 column 33"},
        ErrorCase{"empty_input", "", "EOF while parsing a value at line 1 column 0"},
        ErrorCase{"whitespace_only", " \n ", "EOF while parsing a value at line 2 column 1"},
        ErrorCase{"byte_order_mark", "\xEF\xBB\xBF{\"fields\":[],\"name_to_field\":{}}",
                  "expected value at line 1 column 1"},
        ErrorCase{"cut_short", R"({"fields":[],"name_to_field":{)", "EOF while parsing an object at line 1 column 30"},
        ErrorCase{"position_counts_line_feeds_and_bytes",
                  "{\r\n\"fields\": [],\r\n\"name_to_field\": {\"\xC3\xA9\": x}}",
                  "expected value at line 3 column 25"}),
    [](const testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

// --- Field entries ----------------------------------------------------------------
// Each case is one entry on a line of its own, so the expected columns count
// from the entry's first byte.

std::string with_entry(std::string_view entry_json) {
  return "{\"name_to_field\": {}, \"fields\": [\n" + std::string(entry_json) + "\n]}";
}

class FieldEntryErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(FieldEntryErrorTest, Fails) {
  EXPECT_EQ(read_error(with_entry(GetParam().json)), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    FieldEntry, FieldEntryErrorTest,
    testing::Values(
        ErrorCase{"missing_stored", R"({"name":"a","field_type":"text","indexed":true})",
                  "missing field `stored` at line 2 column 47"},
        ErrorCase{"missing_all_names_first", "{}", "missing field `name` at line 2 column 2"},
        ErrorCase{"unknown_type", R"({"name":"a","field_type":"string","indexed":true,"stored":true})",
                  "unknown variant `string`, expected one of `text`, `u64`, `i64`, `f64`, `bytes`, "
                  "`sparse_vector`, `dense_vector`, `json` at line 2 column 33"},
        ErrorCase{"type_case_matters", R"({"name":"a","field_type":"Text","indexed":true,"stored":true})",
                  "unknown variant `Text`, expected one of `text`, `u64`, `i64`, `f64`, `bytes`, "
                  "`sparse_vector`, `dense_vector`, `json` at line 2 column 31"},
        ErrorCase{"type_null", R"({"name":"a","field_type":null,"indexed":true,"stored":true})",
                  "expected value at line 2 column 26"},
        ErrorCase{"type_number", R"({"name":"a","field_type":5,"indexed":true,"stored":true})",
                  "expected value at line 2 column 26"},
        ErrorCase{"type_object_with_value", R"({"name":"a","field_type":{"text":1},"indexed":true,"stored":true})",
                  "invalid type: integer `1`, expected unit at line 2 column 34"},
        ErrorCase{"type_object_two_names",
                  R"({"name":"a","field_type":{"text":null,"u64":null},"indexed":true,"stored":true})",
                  "expected value at line 2 column 37"},
        ErrorCase{"indexed_as_string", R"({"name":"a","field_type":"u64","indexed":"true","stored":true})",
                  "invalid type: string \"true\", expected a boolean at line 2 column 47"},
        ErrorCase{"multi_as_number",
                  R"({"name":"a","field_type":"u64","indexed":true,"stored":true,"multi":1})",
                  "invalid type: integer `1`, expected a boolean at line 2 column 69"},
        ErrorCase{"tokenizer_as_number",
                  R"({"name":"a","field_type":"u64","indexed":true,"stored":true,"tokenizer":5})",
                  "invalid type: integer `5`, expected a string at line 2 column 73"},
        ErrorCase{"name_as_array", R"({"name":[],"field_type":"u64","indexed":true,"stored":true})",
                  "invalid type: sequence, expected a string at line 2 column 8"},
        ErrorCase{"name_twice", R"({"name":"a","name":"b","field_type":"u64","indexed":true,"stored":true})",
                  "duplicate field `name` at line 2 column 18"},
        ErrorCase{"array_form_four_values", R"(["a","text",true,true])",
                  "invalid length 4, expected struct FieldEntry with 8 elements at line 2 column 22"},
        ErrorCase{"array_form_nine_values", R"(["a","text",true,true,null,false,null,null,0])",
                  "trailing characters at line 2 column 44"},
        ErrorCase{"vector_config_as_string",
                  R"({"name":"a","field_type":"u64","indexed":true,"stored":true,"sparse_vector_config":"x"})",
                  "invalid type: string \"x\", expected struct SparseVectorConfig at line 2 column 86"}),
    [](const testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

// --- Query-router rules -----------------------------------------------------------

std::string with_rule(std::string_view rule_json) {
  return "{\"fields\": [], \"name_to_field\": {}, \"query_routers\": [\n" + std::string(rule_json) +
         "\n]}";
}

struct RuleCase {
  const char* name;
  std::string json;
  QueryRouterRule expected;
};

class QueryRouterReadTest : public testing::TestWithParam<RuleCase> {};

TEST_P(QueryRouterReadTest, Reads) {
  auto schema = Schema::from_json(with_rule(GetParam().json));
  ASSERT_TRUE(schema.has_value()) << schema.error().to_string();
  ASSERT_EQ(schema->query_routers().size(), 1u);
  EXPECT_EQ(schema->query_routers()[0], GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    QueryRouterRule, QueryRouterReadTest,
    testing::Values(
        RuleCase{"mode_defaults_to_additional", R"({"pattern": "p", "substitution": "s", "target_field": "f"})",
                 {"p", "s", "f", RoutingMode::Additional}},
        RuleCase{"array_form_without_mode", R"(["p", "s", "f"])", {"p", "s", "f", RoutingMode::Additional}},
        RuleCase{"array_form_with_mode", R"(["p", "s", "f", "exclusive"])",
                 {"p", "s", "f", RoutingMode::Exclusive}},
        RuleCase{"mode_object_form", R"({"mode": {"exclusive": null}, "target_field": "f", "substitution": "s",
                  "pattern": "p"})",
                 {"p", "s", "f", RoutingMode::Exclusive}},
        RuleCase{"texts_kept_as_written",
                 R"({"pattern": "([a-z", "substitution": "$1\\\"\u00e9", "target_field": "no such field",
                  "mode": "additional", "priority": [1, {"x": 2}]})",
                 {"([a-z", "$1\\\"\xC3\xA9", "no such field", RoutingMode::Additional}}),
    [](const testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });

class QueryRouterErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(QueryRouterErrorTest, Fails) {
  EXPECT_EQ(read_error(with_rule(GetParam().json)), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    QueryRouterRule, QueryRouterErrorTest,
    testing::Values(
        ErrorCase{"mode_case_matters", R"({"pattern":"p","substitution":"s","target_field":"f","mode":"Exclusive"})",
                  "unknown variant `Exclusive`, expected `exclusive` or `additional` at line 2 column 71"},
        ErrorCase{"missing_substitution", R"({"pattern": "p", "target_field": "f"})",
                  "missing field `substitution` at line 2 column 37"},
        ErrorCase{"missing_all_names_pattern", "{}", "missing field `pattern` at line 2 column 2"},
        ErrorCase{"missing_target_field", R"({"substitution":"s","pattern":"p"})",
                  "missing field `target_field` at line 2 column 34"},
        ErrorCase{"array_form_two_values", R"(["p", "s"])",
                  "invalid length 2, expected struct QueryRouterRule with 4 elements at line 2 column 10"},
        ErrorCase{"array_form_five_values", R"(["p","s","f","additional","x"])",
                  "trailing characters at line 2 column 27"},
        ErrorCase{"pattern_twice", R"({"pattern":"p","pattern":"q","substitution":"s","target_field":"f"})",
                  "duplicate field `pattern` at line 2 column 24"},
        ErrorCase{"rule_as_string", R"("p")",
                  "invalid type: string \"p\", expected struct QueryRouterRule at line 2 column 3"},
        ErrorCase{"pattern_as_number", R"({"pattern":1,"substitution":"s","target_field":"f"})",
                  "invalid type: integer `1`, expected a string at line 2 column 12"},
        ErrorCase{"mode_key_not_a_string",
                  R"({"pattern":"p","substitution":"s","target_field":"f","mode":{5:null}})",
                  "invalid type: integer `5`, expected variant identifier at line 2 column 62"},
        ErrorCase{"mode_null", R"({"pattern":"p","substitution":"s","target_field":"f","mode":null})",
                  "expected value at line 2 column 61"}),
    [](const testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

TEST(QueryRouterRule, ListMustBeAnArray) {
  EXPECT_EQ(read_error(R"({"fields":[],"name_to_field":{},"query_routers":{}})"),
            "invalid type: map, expected a sequence at line 1 column 48");
}

// --- Vector configurations --------------------------------------------------------

std::string with_config(std::string_view member, std::string_view config_json) {
  return "{\"fields\": [{\"name\": \"v\", \"field_type\": \"dense_vector\", \"indexed\": false, "
         "\"stored\": false, \"" +
         std::string(member) + "\":\n" + std::string(config_json) + "\n}], \"name_to_field\": {\"v\": 0}}";
}

DenseVectorConfig dense(uint64_t dim) {
  DenseVectorConfig c;
  c.dim = dim;
  return c;
}

struct DenseCase {
  const char* name;
  std::string json;
  std::optional<DenseVectorConfig> expected;
};

class DenseVectorConfigReadTest : public testing::TestWithParam<DenseCase> {};

TEST_P(DenseVectorConfigReadTest, Reads) {
  auto schema = Schema::from_json(with_config("dense_vector_config", GetParam().json));
  ASSERT_TRUE(schema.has_value()) << schema.error().to_string();
  ASSERT_EQ(schema->num_fields(), 1u);
  EXPECT_EQ(schema->field_entries()[0].dense_vector_config, GetParam().expected);
  EXPECT_FALSE(schema->field_entries()[0].sparse_vector_config.has_value());
  EXPECT_EQ(schema->has_dense_vector_fields(), GetParam().expected.has_value());
}

DenseVectorConfig dense_full() {
  DenseVectorConfig c;
  c.dim = 768;
  c.index_type = VectorIndexType::ScaNN;
  c.store_raw = false;
  c.coarse_centroids_path = "/data/centroids.bin";
  c.pq_codebook_path = "codebook.bin";
  c.nprobe = 0;
  c.mrl_dim = 64;
  return c;
}

DenseVectorConfig dense_ivf(uint64_t dim) {
  DenseVectorConfig c = dense(dim);
  c.index_type = VectorIndexType::IvfRaBitQ;
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    DenseVectorConfig, DenseVectorConfigReadTest,
    testing::Values(
        DenseCase{"object_with_dim_only", R"({"dim": 128})", dense(128)},
        DenseCase{"array_with_dim_only", "[128]", dense(128)},
        DenseCase{"null_is_no_config", "null", std::nullopt},
        DenseCase{"every_member_object",
                  R"({"mrl_dim": 64, "nprobe": 0, "pq_codebook_path": "codebook.bin",
                   "coarse_centroids_path": "/data/centroids.bin", "store_raw": false,
                   "index_type": "sca_n_n", "dim": 768})",
                  dense_full()},
        DenseCase{"every_member_array",
                  R"([768, "sca_n_n", false, "/data/centroids.bin", "codebook.bin", 0, 64])", dense_full()},
        DenseCase{"null_paths_are_none", R"({"dim": 8, "coarse_centroids_path": null, "pq_codebook_path": null,
                   "mrl_dim": null})",
                  dense(8)},
        DenseCase{"index_type_object_form", R"({"dim": 8, "index_type": {"ivf_ra_bit_q": null}})", dense_ivf(8)},
        DenseCase{"index_type_spelled", R"([8, "ivf_ra_bit_q"])", dense_ivf(8)},
        DenseCase{"largest_dim", R"({"dim": 18446744073709551615})", dense(18446744073709551615ull)},
        DenseCase{"unknown_member_skipped", R"({"future": {"a": [1, 2, {"b": null}]}, "dim": 3})", dense(3)}),
    [](const testing::TestParamInfo<DenseCase>& info) { return std::string(info.param.name); });

struct SparseCase {
  const char* name;
  std::string json;
  SparseVectorConfig expected;
};

class SparseVectorConfigReadTest : public testing::TestWithParam<SparseCase> {};

TEST_P(SparseVectorConfigReadTest, Reads) {
  auto schema = Schema::from_json(with_config("sparse_vector_config", GetParam().json));
  ASSERT_TRUE(schema.has_value()) << schema.error().to_string();
  const auto& config = schema->field_entries()[0].sparse_vector_config;
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(config->index_size, GetParam().expected.index_size);
  EXPECT_EQ(config->weight_quantization, GetParam().expected.weight_quantization);
  EXPECT_EQ(config->weight_threshold, GetParam().expected.weight_threshold);
  EXPECT_FALSE(schema->has_dense_vector_fields());
}

INSTANTIATE_TEST_SUITE_P(
    SparseVectorConfig, SparseVectorConfigReadTest,
    testing::Values(
        SparseCase{"object_without_threshold", R"({"index_size": "U32", "weight_quantization": "UInt8"})",
                   {IndexSize::U32, WeightQuantization::UInt8, 0.0f}},
        SparseCase{"array_without_threshold", R"(["U32", "UInt8"])",
                   {IndexSize::U32, WeightQuantization::UInt8, 0.0f}},
        SparseCase{"array_with_threshold", R"(["U16", "Float16", 0.25])",
                   {IndexSize::U16, WeightQuantization::Float16, 0.25f}},
        SparseCase{"integer_threshold", R"({"weight_threshold": 1, "index_size": {"U16": null},
                    "weight_quantization": "UInt4"})",
                   {IndexSize::U16, WeightQuantization::UInt4, 1.0f}},
        SparseCase{"threshold_beyond_f32_is_infinite", R"(["U16", "Float32", -1e39])",
                   {IndexSize::U16, WeightQuantization::Float32, -std::numeric_limits<float>::infinity()}}),
    [](const testing::TestParamInfo<SparseCase>& info) { return std::string(info.param.name); });

struct ConfigErrorCase {
  const char* name;
  const char* member;
  std::string json;
  std::string message;
};

class VectorConfigErrorTest : public testing::TestWithParam<ConfigErrorCase> {};

TEST_P(VectorConfigErrorTest, Fails) {
  EXPECT_EQ(read_error(with_config(GetParam().member, GetParam().json)), GetParam().message);
}

constexpr const char* kDense = "dense_vector_config";
constexpr const char* kSparse = "sparse_vector_config";

INSTANTIATE_TEST_SUITE_P(
    VectorConfig, VectorConfigErrorTest,
    testing::Values(
        ConfigErrorCase{"dense_empty_array", kDense, "[]",
                        "invalid length 0, expected struct DenseVectorConfig with 7 elements at line 2 column 2"},
        ConfigErrorCase{"dense_missing_dim", kDense, R"({"nprobe": 4})", "missing field `dim` at line 2 column 13"},
        ConfigErrorCase{"dense_value_name_instead_of_spelling", kDense, R"({"dim":8,"index_type":"RaBitQ"})",
                        "unknown variant `RaBitQ`, expected one of `ra_bit_q`, `ivf_ra_bit_q`, `sca_n_n` "
                        "at line 2 column 30"},
        ConfigErrorCase{"dense_scann_value_name", kDense, R"({"dim":8,"index_type":"ScaNN"})",
                        "unknown variant `ScaNN`, expected one of `ra_bit_q`, `ivf_ra_bit_q`, `sca_n_n` "
                        "at line 2 column 29"},
        ConfigErrorCase{"dense_hyphens", kDense, R"({"dim":8,"index_type":"ra-bit-q"})",
                        "unknown variant `ra-bit-q`, expected one of `ra_bit_q`, `ivf_ra_bit_q`, `sca_n_n` "
                        "at line 2 column 32"},
        ConfigErrorCase{"dense_index_type_null", kDense, R"({"dim":8,"index_type":null})",
                        "expected value at line 2 column 23"},
        ConfigErrorCase{"dense_index_type_ordinal", kDense, R"({"dim":8,"index_type":0})",
                        "expected value at line 2 column 23"},
        ConfigErrorCase{"dense_negative_dim", kDense, R"({"dim":-1})",
                        "invalid value: integer `-1`, expected usize at line 2 column 9"},
        ConfigErrorCase{"dense_nprobe_negative", kDense, R"({"dim":8,"nprobe":-1})",
                        "invalid value: integer `-1`, expected usize at line 2 column 20"},
        ConfigErrorCase{"dense_nprobe_float", kDense, R"({"dim":8,"nprobe":32.0})",
                        "invalid type: floating point `32.0`, expected usize at line 2 column 22"},
        ConfigErrorCase{"dense_mrl_dim_negative", kDense, R"({"dim":8,"mrl_dim":-1})",
                        "invalid value: integer `-1`, expected usize at line 2 column 21"},
        ConfigErrorCase{"dense_mrl_dim_string", kDense, R"({"dim":8,"mrl_dim":"4"})",
                        "invalid type: string \"4\", expected usize at line 2 column 22"},
        ConfigErrorCase{"dense_store_raw_number", kDense, R"({"dim":8,"store_raw":1})",
                        "invalid type: integer `1`, expected a boolean at line 2 column 22"},
        ConfigErrorCase{"dense_path_number", kDense, R"({"dim":8,"pq_codebook_path":5})",
                        "invalid type: integer `5`, expected a string at line 2 column 29"},
        ConfigErrorCase{"dense_dim_twice", kDense, R"({"dim":8,"dim":9})",
                        "duplicate field `dim` at line 2 column 14"},
        ConfigErrorCase{"dense_not_a_record", kDense, "5",
                        "invalid type: integer `5`, expected struct DenseVectorConfig at line 2 column 1"},
        ConfigErrorCase{"dense_array_eight_values", kDense, R"([8,"ra_bit_q",true,null,null,32,null,1])",
                        "trailing characters at line 2 column 38"},
        ConfigErrorCase{"sparse_array_one_value", kSparse, R"(["U32"])",
                        "invalid length 1, expected struct SparseVectorConfig with 3 elements at line 2 column 7"},
        ConfigErrorCase{"sparse_empty_array", kSparse, "[]",
                        "invalid length 0, expected struct SparseVectorConfig with 3 elements at line 2 column 2"},
        ConfigErrorCase{"sparse_missing_both", kSparse, R"({"weight_threshold": 0.5})",
                        "missing field `index_size` at line 2 column 25"},
        ConfigErrorCase{"sparse_missing_quantization", kSparse, R"({"index_size": "U16"})",
                        "missing field `weight_quantization` at line 2 column 21"},
        ConfigErrorCase{"sparse_quantization_lower_case", kSparse,
                        R"({"index_size":"U16","weight_quantization":"uint8"})",
                        "unknown variant `uint8`, expected one of `Float32`, `Float16`, `UInt8`, `UInt4` "
                        "at line 2 column 49"},
        ConfigErrorCase{"sparse_index_size_lower_case", kSparse, R"(["u16","UInt8"])",
                        "unknown variant `u16`, expected `U16` or `U32` at line 2 column 6"},
        ConfigErrorCase{"sparse_threshold_string", kSparse, R"(["U16","UInt8","0.5"])",
                        "invalid type: string \"0.5\", expected f32 at line 2 column 20"},
        ConfigErrorCase{"sparse_enum_key_not_string", kSparse, R"([{1:null},"UInt8"])",
                        "invalid type: integer `1`, expected variant identifier at line 2 column 3"},
        ConfigErrorCase{"sparse_not_a_record", kSparse, "true",
                        "invalid type: boolean `true`, expected struct SparseVectorConfig at line 2 column 4"}),
    [](const testing::TestParamInfo<ConfigErrorCase>& info) { return std::string(info.param.name); });

TEST(VectorConfig, TextFieldWithDenseConfigCountsAsVectorField) {
  auto schema = Schema::from_json(R"({"fields": [
      {"name": "a", "field_type": "text", "indexed": true, "stored": true},
      {"name": "b", "field_type": "text", "indexed": true, "stored": true, "dense_vector_config": [4]}],
      "name_to_field": {}})");
  ASSERT_TRUE(schema.has_value()) << schema.error().to_string();
  EXPECT_TRUE(schema->has_dense_vector_fields());
  EXPECT_FALSE(Schema().has_dense_vector_fields());
}

// --- Lookups ------------------------------------------------------------------------

class SchemaLookupTest : public testing::Test {
 protected:
  void SetUp() override {
    auto schema = Schema::from_json(R"({"fields": [
        {"name": "title", "field_type": "text", "indexed": true, "stored": true},
        {"name": "body", "field_type": "text", "indexed": true, "stored": false},
        {"name": "n", "field_type": "u64", "indexed": false, "stored": true}],
        "name_to_field": {"title": 0, "body": 1, "beyond": 9, "caf\u00e9": 2, "": 1}})");
    ASSERT_TRUE(schema.has_value()) << schema.error().to_string();
    schema_ = std::move(*schema);
  }
  Schema schema_;
};

TEST_F(SchemaLookupTest, GetFieldIsExact) {
  struct Case {
    std::string name;
    std::optional<Field> expected;
  };
  const Case cases[] = {
      {"title", 0},        {"body", 1},           {"beyond", 9},       {"caf\xC3\xA9", 2},
      {"", 1},             {"Title", std::nullopt}, {"title ", std::nullopt}, {"titl", std::nullopt},
      {"n", std::nullopt},  // an entry's name is not a key of the map
      {std::string("title\0", 6), std::nullopt},
      {"cafe", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(schema_.get_field(c.name), c.expected) << "name: " << c.name;
  }
  EXPECT_EQ(Schema().get_field("title"), std::nullopt);
  EXPECT_EQ(Schema().get_field(""), std::nullopt);
}

TEST_F(SchemaLookupTest, FieldsYieldsPositionsInListOrder) {
  std::vector<std::pair<Field, std::string>> seen;
  for (auto [field, entry] : schema_.fields()) seen.emplace_back(field, entry.name);
  const std::vector<std::pair<Field, std::string>> expected = {{0, "title"}, {1, "body"}, {2, "n"}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(schema_.fields().size(), 3u);
  EXPECT_EQ(Schema().fields().begin(), Schema().fields().end());
}

TEST_F(SchemaLookupTest, EntryOfANumber) {
  ASSERT_NE(schema_.get_field_entry(2), nullptr);
  EXPECT_EQ(schema_.get_field_entry(2)->name, "n");
  EXPECT_EQ(schema_.get_field_entry(3), nullptr);
  EXPECT_EQ(schema_.get_field_entry(9), nullptr);  // named by the map, but no entry
  EXPECT_EQ(schema_.get_field_entry(0xFFFFFFFFu), nullptr);
}

TEST_F(SchemaLookupTest, DeepCopyOutlivesAndSharesNothing) {
  auto original = std::make_shared<Schema>(schema_);
  std::shared_ptr<const Schema> copy = original->deep_copy();
  const std::string* original_name = &original->field_entries()[0].name;
  ASSERT_TRUE(*copy == *original);
  EXPECT_NE(&copy->field_entries()[0].name, original_name);
  original.reset();  // the copy must not borrow from the original
  EXPECT_EQ(copy->get_field("body"), 1u);
  EXPECT_EQ(copy->field_entries()[0].name, "title");
  EXPECT_EQ(copy->num_fields(), 3u);
}

TEST(SchemaCopy, KeepsEveryMember) {
  auto schema = Schema::from_json(R"({"fields": [
      {"name": "v", "field_type": "dense_vector", "indexed": false, "stored": true, "tokenizer": "t",
       "multi": true, "sparse_vector_config": ["U32", "UInt4", 0.5],
       "dense_vector_config": [16, "ivf_ra_bit_q", false, "c.bin", "p.bin", 8, 4]}],
      "name_to_field": {"v": 0}, "default_fields": [0], "query_routers": [["a", "b", "v", "exclusive"]]})");
  ASSERT_TRUE(schema.has_value()) << schema.error().to_string();
  std::shared_ptr<const Schema> copy = schema->deep_copy();
  EXPECT_TRUE(*copy == *schema);
  EXPECT_EQ(copy->field_entries()[0].dense_vector_config->coarse_centroids_path, "c.bin");
  EXPECT_EQ(copy->field_entries()[0].sparse_vector_config->weight_quantization, WeightQuantization::UInt4);
  EXPECT_EQ(copy->query_routers()[0].mode, RoutingMode::Exclusive);
  EXPECT_EQ(copy->default_fields(), std::vector<Field>{0});
}

TEST(SchemaNames, SpellingsFollowTheEnumerators) {
  EXPECT_EQ(field_type_name(FieldType::SparseVector), "sparse_vector");
  EXPECT_EQ(field_type_name(FieldType::Json), "json");
  EXPECT_EQ(vector_index_type_name(VectorIndexType::ScaNN), "sca_n_n");
  EXPECT_EQ(static_cast<int>(VectorIndexType::ScaNN), 2);
  EXPECT_EQ(routing_mode_name(RoutingMode::Exclusive), "exclusive");
  EXPECT_EQ(index_size_name(IndexSize::U32), "U32");
  EXPECT_EQ(weight_quantization_name(WeightQuantization::UInt8), "UInt8");
}

}  // namespace
}  // namespace zelvar
