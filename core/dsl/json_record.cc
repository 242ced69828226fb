// The record-level messages of the JSON reader, in one place. They are made
// unplaced; the array or object that holds the record places them once it has
// tried to close.
#include "core/dsl/json_record.h"

#include <string>

namespace zelvar::dsl {

std::string json_missing_field_message(std::string_view key) {
  return "missing field `" + std::string(key) + "`";
}

std::string json_duplicate_field_message(std::string_view key) {
  return "duplicate field `" + std::string(key) + "`";
}

std::string json_invalid_length_message(size_t present, std::string_view expected) {
  return "invalid length " + std::to_string(present) + ", expected " + std::string(expected);
}

std::string json_record_length_expected(std::string_view record_expected, size_t member_count) {
  return std::string(record_expected) + " with " + std::to_string(member_count) +
         (member_count == 1 ? " element" : " elements");
}

JsonStatus read_usize(JsonReader& reader, uint64_t& out) {
  return reader.read_unsigned(std::numeric_limits<uint64_t>::max(), "usize", out);
}

namespace json_detail {

std::string struct_expected(std::string_view name) { return "struct " + std::string(name); }

}  // namespace json_detail
}  // namespace zelvar::dsl
