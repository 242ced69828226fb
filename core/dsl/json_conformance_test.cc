// Runs the reader over a public JSON parsing suite: every y_ case must read as
// a free JSON value, every n_ case must fail with a placed reader error, and
// every i_ case must end in a value or an error (the outcomes the engine's
// rules give are listed below and checked too). The cases come from the
// suite's npm package, generated into a header at build time. The package
// carries text, so the suite's 25 files that are not UTF-8 are not among its
// cases; json_reader_test.cc reads those byte sequences.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/dsl/json_record.h"
#include "core/dsl/json_test_suite_cases.h"

namespace zelvar::dsl {
namespace {

using json_test_suite::kCases;

// The i_ files that the engine's rules reject, with their messages; every other
// i_ file is accepted.
const std::map<std::string, std::string>& rejected_implementation_defined() {
  static const std::map<std::string, std::string> kRejected = {
      {"i_number_huge_exp.json", "number out of range"},
      {"i_number_neg_int_huge_exp.json", "number out of range"},
      {"i_number_pos_double_huge_exp.json", "number out of range"},
      {"i_number_real_neg_overflow.json", "number out of range"},
      {"i_number_real_pos_overflow.json", "number out of range"},
      {"i_object_key_lone_2nd_surrogate.json", "lone leading surrogate in hex escape"},
      {"i_string_1st_valid_surrogate_2nd_invalid.json", "lone leading surrogate in hex escape"},
      {"i_string_incomplete_surrogate_pair.json", "lone leading surrogate in hex escape"},
      {"i_string_incomplete_surrogates_escape_valid.json", "lone leading surrogate in hex escape"},
      {"i_string_inverted_surrogates_U+1D11E.json", "lone leading surrogate in hex escape"},
      {"i_string_lone_second_surrogate.json", "lone leading surrogate in hex escape"},
      {"i_string_1st_surrogate_but_2nd_missing.json", "unexpected end of hex escape"},
      {"i_string_incomplete_surrogate_and_escape_valid.json", "unexpected end of hex escape"},
      {"i_string_invalid_lonely_surrogate.json", "unexpected end of hex escape"},
      {"i_string_invalid_surrogate.json", "unexpected end of hex escape"},
      {"i_structure_UTF-8_BOM_empty_object.json", "expected value"},
      {"i_structure_500_nested_arrays.json", "recursion limit exceeded"},
  };
  return kRejected;
}

// The display text of a placed error is its message and its position.
void expect_display_form(const JsonError& error, std::string_view name) {
  EXPECT_TRUE(error.is_placed()) << name;
  EXPECT_GE(error.line(), 1u) << name;
  EXPECT_EQ(error.to_string(), error.message() + " at line " + std::to_string(error.line()) +
                                   " column " + std::to_string(error.column()))
      << name;
}

// The suite's files that are not UTF-8 text. Their byte sequences are read in
// json_reader_test.cc (JsonText.Faults, JsonBytes.NotUtf8).
constexpr std::string_view kNotUtf8[] = {
    "i_string_UTF-16LE_with_BOM.json",
    "i_string_UTF-8_invalid_sequence.json",
    "i_string_UTF8_surrogate_U+D800.json",
    "i_string_invalid_utf-8.json",
    "i_string_iso_latin_1.json",
    "i_string_lone_utf8_continuation_byte.json",
    "i_string_not_in_unicode_range.json",
    "i_string_overlong_sequence_2_bytes.json",
    "i_string_overlong_sequence_6_bytes.json",
    "i_string_overlong_sequence_6_bytes_null.json",
    "i_string_truncated-utf-8.json",
    "i_string_utf16BE_no_BOM.json",
    "i_string_utf16LE_no_BOM.json",
    "n_array_a_invalid_utf8.json",
    "n_array_invalid_utf8.json",
    "n_number_invalid-utf-8-in-bigger-int.json",
    "n_number_invalid-utf-8-in-exponent.json",
    "n_number_invalid-utf-8-in-int.json",
    "n_number_real_with_invalid_utf8_after_e.json",
    "n_object_lone_continuation_byte_in_key_and_trailing_comma.json",
    "n_string_invalid-utf-8-in-escape.json",
    "n_string_invalid_utf8_after_escape.json",
    "n_structure_incomplete_UTF8_BOM.json",
    "n_structure_lone-invalid-utf-8.json",
    "n_structure_single_eacute.json",
};

TEST(JsonConformance, SuiteIsComplete) {
  size_t y = 0, n = 0, i = 0;
  for (const auto& c : kCases) {
    y += c.name[0] == 'y';
    n += c.name[0] == 'n';
    i += c.name[0] == 'i';
  }
  // The suite's 95 y_, 188 n_ and 35 i_ files, less those of kNotUtf8.
  EXPECT_EQ(y, 95u);
  EXPECT_EQ(n, 176u);
  EXPECT_EQ(i, 22u);
  EXPECT_TRUE(std::ranges::equal(json_test_suite::kNotCarried, kNotUtf8));
}

TEST(JsonConformance, AcceptedCasesRead) {
  for (const auto& c : kCases) {
    if (c.name[0] != 'y') continue;
    auto value = read_json<JsonValue>(c.input);
    EXPECT_TRUE(value.has_value()) << c.name << ": " << value.error().to_string();
  }
}

TEST(JsonConformance, RejectedCasesFail) {
  for (const auto& c : kCases) {
    if (c.name[0] != 'n') continue;
    auto value = read_json<JsonValue>(c.input);
    ASSERT_FALSE(value.has_value()) << c.name;
    expect_display_form(value.error(), c.name);
  }
}

TEST(JsonConformance, ImplementationDefinedCasesFollowTheRules) {
  const auto& rejected = rejected_implementation_defined();
  size_t rejected_seen = 0;
  for (const auto& c : kCases) {
    if (c.name[0] != 'i') continue;
    auto value = read_json<JsonValue>(c.input);
    auto it = rejected.find(std::string(c.name));
    if (it == rejected.end()) {
      EXPECT_TRUE(value.has_value()) << c.name << ": " << value.error().to_string();
      continue;
    }
    ++rejected_seen;
    ASSERT_FALSE(value.has_value()) << c.name;
    EXPECT_EQ(value.error().message(), it->second) << c.name;
    expect_display_form(value.error(), c.name);
  }
  EXPECT_EQ(rejected_seen, rejected.size());
}

TEST(JsonConformance, DeepNestingStopsAtTheLimit) {
  auto it = std::ranges::find(kCases, std::string_view("i_structure_500_nested_arrays.json"),
                              &json_test_suite::Case::name);
  ASSERT_NE(it, kCases.end());
  auto value = read_json<JsonValue>(it->input);
  ASSERT_FALSE(value.has_value());
  EXPECT_EQ(value.error().to_string(), "recursion limit exceeded at line 1 column 128");
}

// Under the declared-record path too, no suite case may crash the reader:
// each ends in a value or an error.
TEST(JsonConformance, EveryCaseEndsAsAListOfValues) {
  for (const auto& c : kCases) {
    auto value = read_json<std::vector<JsonValue>>(c.input);
    if (!value) expect_display_form(value.error(), c.name);
  }
}

}  // namespace
}  // namespace zelvar::dsl
