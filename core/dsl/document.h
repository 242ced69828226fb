// Document: the stored field values of one document, as the document store
// keeps them (one JSON text per document inside its compressed blocks).
//
// JSON form:
//   {"field_values": [[field, value], ...]}   or   [[[field, value], ...]]
// where `field` is a u32 and `value` is an object with exactly one key, the
// value's tag, holding its payload:
//   {"text": "..."}  {"u64": 7}  {"i64": -7}  {"f64": 1.5}  {"bytes": [0, 255]}
//   {"sparse_vector": {"indices": [u32...], "values": [f32...]}}   (or [[...], [...]])
//   {"dense_vector": [f32...]}  {"json": <any JSON value>}
// The document, its list, the pair and the value object take four nesting
// levels, so a "json" payload may nest 123 levels of arrays and objects.
//
// Pairs stay as read: in text order, not merged, not checked against any
// schema (a field number may have no entry, a value's kind may differ from its
// field's type).
//
// Thread safety: plain values; `from_json` keeps no state.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "core/dsl/json_reader.h"
#include "core/dsl/json_record.h"
#include "core/dsl/json_value.h"
#include "core/dsl/schema.h"

namespace zelvar {

// One stored value. The variants are in the order of FieldType, so
// `type()` is the FieldType with the same spelling as the value's tag.
class FieldValue {
 public:
  struct Text {
    std::string value;
    friend bool operator==(const Text&, const Text&) = default;
  };
  struct U64 {
    uint64_t value;
    friend bool operator==(const U64&, const U64&) = default;
  };
  struct I64 {
    int64_t value;
    friend bool operator==(const I64&, const I64&) = default;
  };
  struct F64 {
    double value;
    friend bool operator==(const F64&, const F64&) = default;
  };
  struct Bytes {
    std::vector<uint8_t> value;
    friend bool operator==(const Bytes&, const Bytes&) = default;
  };
  // The two lists are kept as read: their lengths are not compared and the
  // indices are not checked for order or repetition.
  struct SparseVector {
    std::vector<uint32_t> indices;
    std::vector<float> values;
    friend bool operator==(const SparseVector&, const SparseVector&) = default;
  };
  struct DenseVector {
    std::vector<float> value;
    friend bool operator==(const DenseVector&, const DenseVector&) = default;
  };
  struct Json {
    dsl::JsonValue value;
    friend bool operator==(const Json&, const Json&) = default;
  };

  using Variant = std::variant<Text, U64, I64, F64, Bytes, SparseVector, DenseVector, Json>;

  // An empty text; only a reader fills a default-constructed value.
  FieldValue() = default;
  template <class V>
    requires std::is_constructible_v<Variant, V&&>
  FieldValue(V&& value) : value_(std::forward<V>(value)) {}  // NOLINT: implicit on purpose

  const Variant& value() const { return value_; }
  FieldType type() const { return static_cast<FieldType>(value_.index()); }

  template <class T>
  bool is() const { return std::holds_alternative<T>(value_); }
  template <class T>
  const T& as() const { return std::get<T>(value_); }  // precondition: is<T>()

  friend bool operator==(const FieldValue&, const FieldValue&) = default;

 private:
  Variant value_;
};

struct Document {
  std::vector<std::pair<Field, FieldValue>> field_values;

  // Reads one whole stored document; only whitespace may follow it. The
  // error's to_string() is the reader's text with its position.
  static dsl::JsonResult<Document> from_json(std::span<const uint8_t> data);
  static dsl::JsonResult<Document> from_json(std::string_view text);

  friend bool operator==(const Document&, const Document&) = default;
};

}  // namespace zelvar

// The tag of a stored value is one of the FieldType spellings; each tag names
// the payload read below. A bare tag string names a variant without its
// payload and is refused.
template <>
struct zelvar::dsl::JsonRead<zelvar::FieldValue> {
  static JsonStatus read(JsonReader& reader, zelvar::FieldValue& out);
};

template <>
struct zelvar::dsl::JsonRecord<zelvar::FieldValue::SparseVector> {
  using V = zelvar::FieldValue::SparseVector;
  static constexpr std::string_view name = "SparseVector";
  static constexpr std::string_view expected = "struct variant FieldValue::SparseVector";
  static constexpr auto members = std::tuple{
      json_required("indices", &V::indices),
      json_required("values", &V::values),
  };
};

template <>
struct zelvar::dsl::JsonRecord<zelvar::Document> {
  using D = zelvar::Document;
  static constexpr std::string_view name = "Document";
  static constexpr auto members = std::tuple{
      json_required("field_values", &D::field_values),
  };
};
