// Schema: the fields of an index, read from the index folder's "schema.json".
//
// For each field number (its position in the entry list) the schema holds the
// field's name, type and options; besides that a map from names to numbers,
// the default search fields and the query-router rules. Nothing ties these
// together: the map is not checked against the entries, it may name numbers
// that have no entry, and entry names need not be unique. Lookups by name go
// through the map only; the name shown for a number is its entry's name.
//
// JSON form (any record may also be written as the array of its members in
// this order, members with a default left off the end):
//   Schema      {"fields": [FieldEntry...], "name_to_field": {name: u32},
//                "default_fields": [u32...] = [], "query_routers": [rule...] = []}
//   FieldEntry  {"name": s, "field_type": FieldType, "indexed": b, "stored": b,
//                "tokenizer": s|null (may be left out of the object form),
//                "multi": b = false, "sparse_vector_config": {...}|null = null,
//                "dense_vector_config": {...}|null = null}
//
// Thread safety: a Schema is immutable once read and is shared between the
// index and its segment readers as std::shared_ptr<const Schema>; any number
// of threads may read it without locks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/dsl/dense_vector_config.h"
#include "core/dsl/json_record.h"
#include "core/dsl/query_router.h"
#include "core/structures/postings/sparse_vector.h"

namespace zelvar {

// A field number: the position of the field's entry in `Schema::field_entries`.
using Field = uint32_t;

// The type of a field; stored values use the same spellings as their tags.
enum class FieldType : uint8_t {
  Text,
  U64,
  I64,
  F64,
  Bytes,
  SparseVector,
  DenseVector,
  Json,
};

// The JSON spellings, indexed by the enumerators' values.
inline constexpr std::array<std::string_view, 8> kFieldTypeNames = {
    "text", "u64", "i64", "f64", "bytes", "sparse_vector", "dense_vector", "json"};

inline std::string_view field_type_name(FieldType t) {
  return kFieldTypeNames[static_cast<size_t>(t)];
}

struct FieldEntry {
  std::string name;
  FieldType field_type = FieldType::Text;
  bool indexed = false;
  bool stored = false;
  std::optional<std::string> tokenizer;
  bool multi = false;
  std::optional<SparseVectorConfig> sparse_vector_config;
  std::optional<DenseVectorConfig> dense_vector_config;

  friend bool operator==(const FieldEntry&, const FieldEntry&) = default;
};

// Byte-exact hashing of names; the map is only ever looked up, never iterated
// in an observable way.
struct FieldNameHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
struct FieldNameEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};
using NameToField = std::unordered_map<std::string, Field, FieldNameHash, FieldNameEq>;

class Schema {
 public:
  // One entry of `fields()`: the entry's position as its field number, and
  // the entry itself (borrowed from the schema, which must outlive it).
  struct NumberedEntry {
    Field field;
    const FieldEntry& entry;
  };

  // Iteration over the entries in list order, each with its number.
  class FieldsRange {
   public:
    class iterator {
     public:
      using iterator_category = std::forward_iterator_tag;
      using value_type = NumberedEntry;
      using difference_type = std::ptrdiff_t;

      iterator() = default;
      iterator(const FieldEntry* base, size_t pos) : base_(base), pos_(pos) {}
      NumberedEntry operator*() const { return {static_cast<Field>(pos_), base_[pos_]}; }
      iterator& operator++() { ++pos_; return *this; }
      iterator operator++(int) { iterator old = *this; ++pos_; return old; }
      friend bool operator==(const iterator& a, const iterator& b) { return a.pos_ == b.pos_; }

     private:
      const FieldEntry* base_ = nullptr;
      size_t pos_ = 0;
    };

    explicit FieldsRange(std::span<const FieldEntry> entries) : entries_(entries) {}
    iterator begin() const { return {entries_.data(), 0}; }
    iterator end() const { return {entries_.data(), entries_.size()}; }
    size_t size() const { return entries_.size(); }

   private:
    std::span<const FieldEntry> entries_;
  };

  Schema() = default;
  Schema(std::vector<FieldEntry> fields, NameToField name_to_field,
         std::vector<Field> default_fields = {}, std::vector<QueryRouterRule> query_routers = {})
      : fields_(std::move(fields)),
        name_to_field_(std::move(name_to_field)),
        default_fields_(std::move(default_fields)),
        query_routers_(std::move(query_routers)) {}

  // Reads one whole "schema.json" document. The error's to_string() is the
  // reader's text with its position; opening an index reports it as a
  // serialization error.
  static dsl::JsonResult<Schema> from_json(std::span<const uint8_t> data);
  static dsl::JsonResult<Schema> from_json(std::string_view text);

  // The number that `name_to_field` maps `name` to, compared byte for byte;
  // absent when the name is not a key.
  std::optional<Field> get_field(std::string_view name) const;

  // Every entry in list order with its position as its field number.
  FieldsRange fields() const { return FieldsRange(fields_); }

  // The entry of a field number, or null when the number is at or beyond the
  // end of the entry list (such numbers have no entry).
  const FieldEntry* get_field_entry(Field field) const {
    return field < fields_.size() ? &fields_[field] : nullptr;
  }

  const std::vector<FieldEntry>& field_entries() const { return fields_; }
  size_t num_fields() const { return fields_.size(); }
  const NameToField& name_to_field() const { return name_to_field_; }
  const std::vector<Field>& default_fields() const { return default_fields_; }
  const std::vector<QueryRouterRule>& query_routers() const { return query_routers_; }

  // True if some entry carries a dense-vector configuration, whatever its
  // type; then every segment's vector file has to be read.
  bool has_dense_vector_fields() const;

  // A separate schema with the same contents, sharing no storage with this
  // one (the binding keeps such a copy for its own lookups).
  std::shared_ptr<const Schema> deep_copy() const { return std::make_shared<const Schema>(*this); }

  friend bool operator==(const Schema&, const Schema&) = default;

 private:
  friend struct dsl::JsonRecord<Schema>;

  std::vector<FieldEntry> fields_;
  NameToField name_to_field_;
  std::vector<Field> default_fields_;
  std::vector<QueryRouterRule> query_routers_;
};

}  // namespace zelvar

template <>
struct zelvar::dsl::JsonEnum<zelvar::FieldType> {
  static constexpr auto names = zelvar::kFieldTypeNames;
};

template <>
struct zelvar::dsl::JsonRecord<zelvar::FieldEntry> {
  using E = zelvar::FieldEntry;
  static constexpr std::string_view name = "FieldEntry";
  static constexpr auto members = std::tuple{
      json_required("name", &E::name),
      json_required("field_type", &E::field_type),
      json_required("indexed", &E::indexed),
      json_required("stored", &E::stored),
      json_optional("tokenizer", &E::tokenizer),
      json_defaulted("multi", &E::multi),
      json_defaulted("sparse_vector_config", &E::sparse_vector_config),
      json_defaulted("dense_vector_config", &E::dense_vector_config),
  };
};

template <>
struct zelvar::dsl::JsonRecord<zelvar::Schema> {
  using S = zelvar::Schema;
  static constexpr std::string_view name = "Schema";
  static constexpr auto members = std::tuple{
      json_required("fields", &S::fields_),
      json_required("name_to_field", &S::name_to_field_),
      json_defaulted("default_fields", &S::default_fields_),
      json_defaulted("query_routers", &S::query_routers_),
  };
};
