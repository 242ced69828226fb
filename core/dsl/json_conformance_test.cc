// Runs the reader over a public JSON parsing suite: every y_ file must read as
// a free JSON value, every n_ file must fail with a placed reader error, and
// every i_ file must end in a value or an error (the outcomes the engine's
// rules give are listed below and checked too). The folder comes in through
// ZELVAR_JSON_TEST_SUITE_DIR.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "core/dsl/json_record.h"

namespace zelvar::dsl {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<fs::path> suite_files() {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(ZELVAR_JSON_TEST_SUITE_DIR)) {
    if (entry.is_regular_file() && entry.path().extension() == ".json") {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

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
      {"i_string_UTF-8_invalid_sequence.json", "invalid unicode code point"},
      {"i_string_UTF8_surrogate_U+D800.json", "invalid unicode code point"},
      {"i_string_invalid_utf-8.json", "invalid unicode code point"},
      {"i_string_iso_latin_1.json", "invalid unicode code point"},
      {"i_string_lone_utf8_continuation_byte.json", "invalid unicode code point"},
      {"i_string_not_in_unicode_range.json", "invalid unicode code point"},
      {"i_string_overlong_sequence_2_bytes.json", "invalid unicode code point"},
      {"i_string_overlong_sequence_6_bytes.json", "invalid unicode code point"},
      {"i_string_overlong_sequence_6_bytes_null.json", "invalid unicode code point"},
      {"i_string_truncated-utf-8.json", "invalid unicode code point"},
      {"i_string_UTF-16LE_with_BOM.json", "expected value"},
      {"i_string_utf16BE_no_BOM.json", "expected value"},
      {"i_string_utf16LE_no_BOM.json", "expected value"},
      {"i_structure_UTF-8_BOM_empty_object.json", "expected value"},
      {"i_structure_500_nested_arrays.json", "recursion limit exceeded"},
  };
  return kRejected;
}

// The display text of a placed error is its message and its position.
void expect_display_form(const JsonError& error, const std::string& name) {
  EXPECT_TRUE(error.is_placed()) << name;
  EXPECT_GE(error.line(), 1u) << name;
  EXPECT_EQ(error.to_string(), error.message() + " at line " + std::to_string(error.line()) +
                                   " column " + std::to_string(error.column()))
      << name;
}

TEST(JsonConformance, SuiteIsPresent) {
  size_t y = 0, n = 0, i = 0;
  for (const auto& path : suite_files()) {
    const char kind = path.filename().string()[0];
    y += kind == 'y';
    n += kind == 'n';
    i += kind == 'i';
  }
  EXPECT_EQ(y, 95u);
  EXPECT_EQ(n, 188u);
  EXPECT_EQ(i, 35u);
}

TEST(JsonConformance, AcceptedFilesRead) {
  for (const auto& path : suite_files()) {
    const std::string name = path.filename().string();
    if (name[0] != 'y') continue;
    auto value = read_json<JsonValue>(read_file(path));
    EXPECT_TRUE(value.has_value()) << name << ": " << value.error().to_string();
  }
}

TEST(JsonConformance, RejectedFilesFail) {
  for (const auto& path : suite_files()) {
    const std::string name = path.filename().string();
    if (name[0] != 'n') continue;
    auto value = read_json<JsonValue>(read_file(path));
    ASSERT_FALSE(value.has_value()) << name;
    expect_display_form(value.error(), name);
  }
}

TEST(JsonConformance, ImplementationDefinedFilesFollowTheRules) {
  const auto& rejected = rejected_implementation_defined();
  for (const auto& path : suite_files()) {
    const std::string name = path.filename().string();
    if (name[0] != 'i') continue;
    auto value = read_json<JsonValue>(read_file(path));
    auto it = rejected.find(name);
    if (it == rejected.end()) {
      EXPECT_TRUE(value.has_value()) << name << ": " << value.error().to_string();
      continue;
    }
    ASSERT_FALSE(value.has_value()) << name;
    EXPECT_EQ(value.error().message(), it->second) << name;
    expect_display_form(value.error(), name);
  }
}

TEST(JsonConformance, DeepNestingStopsAtTheLimit) {
  auto value = read_json<JsonValue>(
      read_file(fs::path(ZELVAR_JSON_TEST_SUITE_DIR) / "i_structure_500_nested_arrays.json"));
  ASSERT_FALSE(value.has_value());
  EXPECT_EQ(value.error().to_string(), "recursion limit exceeded at line 1 column 128");
}

// Under the declared-record path too, no suite file may crash the reader:
// each ends in a value or an error.
TEST(JsonConformance, EveryFileEndsAsAListOfValues) {
  for (const auto& path : suite_files()) {
    auto value = read_json<std::vector<JsonValue>>(read_file(path));
    if (!value) expect_display_form(value.error(), path.filename().string());
  }
}

}  // namespace
}  // namespace zelvar::dsl
