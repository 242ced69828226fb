// Cluster storage read over a small stand-in code record: what is accepted,
// what each fault reports, and where.
#include "core/structures/vector/ivf/cluster.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelvar {
namespace {

// Any record works as the code of a cluster; this one has a u8 member so
// that an error inside a code can be told apart.
struct TestCode {
  uint8_t tag = 0;
  friend bool operator==(const TestCode&, const TestCode&) = default;
};

}  // namespace
}  // namespace zelvar

template <>
struct zelvar::dsl::JsonRecord<zelvar::TestCode> {
  static constexpr std::string_view name = "TestCode";
  static constexpr auto members = std::tuple{json_required("tag", &zelvar::TestCode::tag)};
};

namespace zelvar {
namespace {

using Storage = ClusterStorage<TestCode>;
using Data = ClusterData<TestCode>;

Storage storage(std::map<uint32_t, Data> clusters, uint64_t total) {
  Storage s;
  s.clusters = std::move(clusters);
  s.total_vectors = total;
  return s;
}

dsl::JsonResult<Storage> read(const std::string& text) { return dsl::read_json<Storage>(text); }

struct ReadCase {
  std::string name;
  std::string input;
  Storage expected;
};

class ClusterStorageReadTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ClusterStorageReadTest, Reads) {
  auto got = read(GetParam().input);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(*got, GetParam().expected);
}

const Data kEmptyCluster{};

INSTANTIATE_TEST_SUITE_P(
    Forms, ClusterStorageReadTest,
    testing::Values(
        ReadCase{"EmptyObject", R"({"clusters":{},"total_vectors":0})", storage({}, 0)},
        ReadCase{"EmptyArrayForm", R"([{},0])", storage({}, 0)},
        ReadCase{"MembersReversedAndUnknownSkipped",
                 R"({"total_vectors":2,"extra":[[{"deep":1}]],"clusters":{"7":{"doc_ids":[1,2],"codes":[{"tag":9}]}}})",
                 storage({{7, Data{{1, 2}, {TestCode{9}}, std::nullopt}}}, 2)},
        ReadCase{"TotalTakenAsWritten",
                 R"({"clusters":{"0":[[4],[[1]],null],"9":[[5],[[2]],null]},"total_vectors":5})",
                 storage({{0, Data{{4}, {TestCode{1}}, std::nullopt}},
                          {9, Data{{5}, {TestCode{2}}, std::nullopt}}},
                         5)},
        ReadCase{"RepeatedClusterIdKeepsLast",
                 R"({"clusters":{"3":[[1],[],null],"3":[[2,3],[],null]},"total_vectors":0})",
                 storage({{3, Data{{2, 3}, {}, std::nullopt}}}, 0)},
        ReadCase{"ExtremeClusterIds",
                 R"({"clusters":{"0":[[],[],null],"4294967295":[[],[],null]},"total_vectors":0})",
                 storage({{0, kEmptyCluster}, {4294967295u, kEmptyCluster}}, 0)},
        ReadCase{"RawVectorsAbsentNullOrEmpty",
                 R"({"clusters":{"1":{"doc_ids":[],"codes":[]},"2":{"doc_ids":[],"codes":[],"raw_vectors":null},)"
                 R"("3":{"doc_ids":[],"codes":[],"raw_vectors":[]}},"total_vectors":0})",
                 storage({{1, kEmptyCluster},
                          {2, kEmptyCluster},
                          {3, Data{{}, {}, std::vector<std::vector<float>>{}}}},
                         0)},
        ReadCase{"RawVectorsIntegersAndFractions",
                 R"({"clusters":{"1":[[8],[[0]],[[2,0.5],[]]]},"total_vectors":1})",
                 storage({{1, Data{{8}, {TestCode{0}}, std::vector<std::vector<float>>{{2.0f, 0.5f}, {}}}}},
                         1)},
        ReadCase{"LengthsNeedNotAgree",
                 R"({"clusters":{"1":{"doc_ids":[1,2,3],"codes":[[5]]}},"total_vectors":0})",
                 storage({{1, Data{{1, 2, 3}, {TestCode{5}}, std::nullopt}}}, 0)},
        ReadCase{"WhitespaceEverywhere",
                 " { \"clusters\" : { \"4\" : [ [ 4294967295 ] , [ ] , null ] } ,\n\t\"total_vectors\" : 18446744073709551615 } ",
                 storage({{4, Data{{4294967295u}, {}, std::nullopt}}}, 18446744073709551615ull)}),
    [](const auto& info) { return info.param.name; });

struct ErrorCase {
  std::string name;
  std::string input;
  std::string message;  // the whole text, position included
};

class ClusterStorageErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(ClusterStorageErrorTest, Fails) {
  auto got = read(GetParam().input);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().to_string(), GetParam().message);
}

// `{"clusters":{` + key + a valid cluster: the key's opening quote is byte 14.
std::string with_key(const std::string& key) {
  return R"({"clusters":{)" + key + R"(:[[],[],null]},"total_vectors":0})";
}

// A storage whose one cluster, under key "1", is `data` (which starts at byte 18).
std::string with_cluster(const std::string& data) {
  return R"({"clusters":{"1":)" + data + R"(},"total_vectors":0})";
}

INSTANTIATE_TEST_SUITE_P(
    Storage, ClusterStorageErrorTest,
    testing::Values(
        ErrorCase{"NothingAtAll", "", "EOF while parsing a value at line 1 column 0"},
        ErrorCase{"EmptyObject", "{}", "missing field `clusters` at line 1 column 2"},
        ErrorCase{"MissingClusters", R"({"total_vectors":0})",
                  "missing field `clusters` at line 1 column 19"},
        ErrorCase{"MissingTotal", R"({"clusters":{}})",
                  "missing field `total_vectors` at line 1 column 15"},
        ErrorCase{"DuplicateClusters", R"({"clusters":{},"clusters":{}})",
                  "duplicate field `clusters` at line 1 column 25"},
        ErrorCase{"ShortArray", "[{}]",
                  "invalid length 1, expected struct ClusterStorage with 2 elements at line 1 column 4"},
        ErrorCase{"LongArray", "[{},0,1]", "trailing characters at line 1 column 7"},
        ErrorCase{"TrailingCommaInArray", "[{},0,]", "trailing comma at line 1 column 7"},
        ErrorCase{"NotARecord", "5",
                  "invalid type: integer `5`, expected struct ClusterStorage at line 1 column 1"},
        ErrorCase{"ClustersAnArray", R"({"clusters":[],"total_vectors":0})",
                  "invalid type: sequence, expected a map at line 1 column 12"},
        ErrorCase{"TotalNegative", R"({"clusters":{},"total_vectors":-1})",
                  "invalid value: integer `-1`, expected usize at line 1 column 33"},
        ErrorCase{"TotalFractional", R"({"clusters":{},"total_vectors":1.5})",
                  "invalid type: floating point `1.5`, expected usize at line 1 column 34"},
        ErrorCase{"SecondValueAfterBody", R"({"clusters":{},"total_vectors":0} {})",
                  "trailing characters at line 1 column 35"}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    ClusterIds, ClusterStorageErrorTest,
    testing::Values(
        ErrorCase{"Empty", with_key(R"("")"),
                  "invalid value: expected key to be a number in quotes at line 1 column 14"},
        ErrorCase{"LeadingBlank", with_key(R"(" 1")"),
                  "invalid value: expected key to be a number in quotes at line 1 column 14"},
        ErrorCase{"Plus", with_key(R"("+1")"),
                  "invalid value: expected key to be a number in quotes at line 1 column 14"},
        ErrorCase{"Letter", with_key(R"("a")"),
                  "invalid value: expected key to be a number in quotes at line 1 column 14"},
        ErrorCase{"EscapedDigit", with_key(R"("\u0031")"),
                  "invalid value: expected key to be a number in quotes at line 1 column 14"},
        ErrorCase{"LeadingZero", with_key(R"("03")"), "invalid number at line 1 column 16"},
        ErrorCase{"Negative", with_key(R"("-1")"),
                  "invalid value: integer `-1`, expected u32 at line 1 column 16"},
        ErrorCase{"AboveU32", with_key(R"("4294967296")"),
                  "invalid value: integer `4294967296`, expected u32 at line 1 column 24"},
        ErrorCase{"Fraction", with_key(R"("1.5")"),
                  "invalid type: floating point `1.5`, expected u32 at line 1 column 17"},
        ErrorCase{"Exponent", with_key(R"("1e3")"),
                  "invalid type: floating point `1000.0`, expected u32 at line 1 column 17"},
        ErrorCase{"NegativeZero", with_key(R"("-0")"),
                  "invalid type: floating point `-0.0`, expected u32 at line 1 column 16"},
        ErrorCase{"Beyond64Bits", with_key(R"("18446744073709551616")"),
                  "invalid type: floating point `1.8446744073709552e+19`, expected u32 at line 1 column 34"},
        ErrorCase{"LetterAfterNumber", with_key(R"("1a")"), "expected `\"` at line 1 column 16"},
        ErrorCase{"BlankAfterNumber", with_key(R"("1 ")"), "expected `\"` at line 1 column 16"},
        ErrorCase{"NotAString", with_key("1"), "key must be a string at line 1 column 14"}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Clusters, ClusterStorageErrorTest,
    testing::Values(
        ErrorCase{"EmptyObject", with_cluster("{}"), "missing field `doc_ids` at line 1 column 19"},
        ErrorCase{"MissingCodes", with_cluster(R"({"doc_ids":[]})"),
                  "missing field `codes` at line 1 column 31"},
        ErrorCase{"ShortArray", with_cluster("[[],[]]"),
                  "invalid length 2, expected struct ClusterData with 3 elements at line 1 column 24"},
        ErrorCase{"LongArray", with_cluster("[[],[],null,null]"),
                  "trailing characters at line 1 column 30"},
        ErrorCase{"RawVectorsTwiceEvenIfNull",
                  with_cluster(R"({"doc_ids":[],"codes":[],"raw_vectors":null,"raw_vectors":null})"),
                  "duplicate field `raw_vectors` at line 1 column 74"},
        ErrorCase{"NotARecord", with_cluster("7"),
                  "invalid type: integer `7`, expected struct ClusterData at line 1 column 18"},
        ErrorCase{"DocIdsAnObject", with_cluster(R"({"doc_ids":{},"codes":[]})"),
                  "invalid type: map, expected a sequence at line 1 column 28"},
        ErrorCase{"DocIdNegative", with_cluster(R"({"doc_ids":[-1],"codes":[]})"),
                  "invalid value: integer `-1`, expected u32 at line 1 column 31"},
        ErrorCase{"DocIdAString", with_cluster(R"({"doc_ids":["7"],"codes":[]})"),
                  "invalid type: string \"7\", expected u32 at line 1 column 32"},
        ErrorCase{"CodesNotAList", with_cluster(R"({"doc_ids":[],"codes":7})"),
                  "invalid type: integer `7`, expected a sequence at line 1 column 40"},
        ErrorCase{"ErrorInsideACode", with_cluster(R"({"doc_ids":[],"codes":[{"tag":256}]})"),
                  "invalid value: integer `256`, expected u8 at line 1 column 50"},
        ErrorCase{"RawVectorsNotAList", with_cluster(R"({"doc_ids":[],"codes":[],"raw_vectors":5})"),
                  "invalid type: integer `5`, expected a sequence at line 1 column 57"},
        ErrorCase{"RawVectorNotAList", with_cluster(R"({"doc_ids":[],"codes":[],"raw_vectors":[1]})"),
                  "invalid type: integer `1`, expected a sequence at line 1 column 58"},
        ErrorCase{"RawElementNotANumber",
                  with_cluster(R"({"doc_ids":[],"codes":[],"raw_vectors":[[1,"x"]]})"),
                  "invalid type: string \"x\", expected f32 at line 1 column 63"}),
    [](const auto& info) { return info.param.name; });

// The map of clusters takes a nesting level of its own: a storage at the
// deepest accepted level has no room left for its map.
TEST(ClusterStorageDepthTest, MapCountsOneLevel) {
  // 127 levels are the limit: 125 lists + the storage + its map fit,
  // 126 lists + the storage + its map do not.
  auto deep = [](int lists) {
    std::string text(static_cast<size_t>(lists), '[');
    text += R"({"clusters":{},"total_vectors":0})";
    text += std::string(static_cast<size_t>(lists), ']');
    return text;
  };
  struct Level {
    static dsl::JsonStatus read(dsl::JsonReader& r, int lists, Storage& out) {
      if (lists == 0) return dsl::read_value(r, out);
      ZELVAR_TRY_VOID(r.begin_array("a sequence"));
      dsl::JsonStatus body = [&]() -> dsl::JsonStatus {
        ZELVAR_TRY(bool more, r.has_element(true));
        if (!more) return {};
        return read(r, lists - 1, out);
      }();
      return r.end_array(std::move(body));
    }
  };
  auto read_deep = [&](int lists) -> dsl::JsonResult<Storage> {
    std::string text = deep(lists);
    dsl::JsonReader r(text);
    Storage out;
    dsl::JsonStatus status = Level::read(r, lists, out);
    if (!status) return std::unexpected(r.place(std::move(status).error()));
    ZELVAR_TRY_VOID(r.finish());
    return out;
  };
  EXPECT_TRUE(read_deep(125).has_value());
  auto too_deep = read_deep(126);
  ASSERT_FALSE(too_deep.has_value());
  EXPECT_EQ(too_deep.error().to_string(), "recursion limit exceeded at line 1 column 139");
}

}  // namespace
}  // namespace zelvar
