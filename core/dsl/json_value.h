// JsonValue: a free JSON value, the content of a "json" document field.
//
// The only JSON tree the engine builds. Numbers keep their reading: integer
// literals 0..2^64-1 as u64, negative integer literals down to -2^63 as i64,
// every other number as f64 (so "-0" is a negative-zero f64). An object holds
// one entry per key, in ascending byte order of the keys; when a key is
// repeated in the text the last value wins.
//
// Reading: JsonRead<JsonValue> (json_record.h), or read_json_value below.
// Arrays and objects take nesting levels like every declared value.
//
// Thread safety: a plain value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/dsl/json_reader.h"

namespace zelvar::dsl {

class JsonValue {
 public:
  using Array = std::vector<JsonValue>;
  // Sorted by key (byte order), keys unique.
  using Object = std::vector<std::pair<std::string, JsonValue>>;
  // Alternative order: null, bool, u64, i64, f64, string, array, object.
  using Storage = std::variant<std::nullptr_t, bool, uint64_t, int64_t, double, std::string,
                               Array, Object>;

  JsonValue() : value_(nullptr) {}
  template <class V>
    requires std::is_constructible_v<Storage, V&&>
  JsonValue(V&& value) : value_(std::forward<V>(value)) {}  // NOLINT: implicit on purpose

  const Storage& storage() const { return value_; }
  Storage& storage() { return value_; }

  bool is_null() const { return std::holds_alternative<std::nullptr_t>(value_); }
  template <class T>
  bool is() const { return std::holds_alternative<T>(value_); }
  template <class T>
  const T& as() const { return std::get<T>(value_); }  // precondition: is<T>()

  // The value of `key` in an object, or nullptr (also for non-objects).
  const JsonValue* find(std::string_view key) const;

  friend bool operator==(const JsonValue&, const JsonValue&) = default;

 private:
  Storage value_;
};

// Reads one free JSON value at the cursor (whitespace first).
JsonStatus read_json_value(JsonReader& reader, JsonValue& out);

}  // namespace zelvar::dsl
