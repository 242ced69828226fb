// Declared JSON types: records, enumerations, lists, maps, pairs, optionals.
//
// This is the layer the format readers use. A format declares its records
// (name, members in declared order, each with key, type and presence rule)
// and its enumerations (spellings in declared order); this file gives them
// the object form and the array form of a record, defaults, unknown-member
// skipping, duplicate detection, both written forms of an enumeration and
// every message, all in one place. Everything reads in one forward pass
// straight into the caller's types.
//
// Usage:
//
//   enum class FieldType : uint8_t { Text, U64, I64 };
//   struct FieldEntry {
//     std::string name;
//     FieldType field_type{};
//     std::optional<std::string> tokenizer;
//     bool multi = false;             // a defaulted member takes this value
//   };
//
//   template <> struct zelvar::dsl::JsonEnum<FieldType> {
//     // Spellings in declared order; constant i is static_cast<FieldType>(i).
//     static constexpr std::array<std::string_view, 3> names = {"text", "u64", "i64"};
//   };
//   template <> struct zelvar::dsl::JsonRecord<FieldEntry> {
//     static constexpr std::string_view name = "FieldEntry";  // "struct FieldEntry"
//     static constexpr auto members = std::tuple{
//         json_required("name", &FieldEntry::name),
//         json_required("field_type", &FieldEntry::field_type),
//         json_optional("tokenizer", &FieldEntry::tokenizer),
//         json_defaulted("multi", &FieldEntry::multi),
//     };
//   };
//
//   JsonResult<std::vector<FieldEntry>> entries =
//       read_json<std::vector<FieldEntry>>(bytes);
//   if (!entries) return Error::serialization(entries.error().to_string());
//
// Presence rules:
//   json_required:  must be present in both forms.
//   json_optional:  member type std::optional<T>; may be left out of the
//                   object form (absent); holds its place in the array form,
//                   where it may be null.
//   json_defaulted: may be left out of either form (of the array form only at
//                   the end); keeps the value it has in a value-initialised
//                   record, so give the default as a default member initialiser.
// Each takes an optional third argument, a reader for the member used in place
// of JsonRead<Member>: any callable JsonStatus(JsonReader&, Member&), e.g.
// json_required("total_vectors", &S::total_vectors, read_usize).
//
// Record description: "struct " + name, or, when the specialisation declares
// `static constexpr std::string_view expected`, that text (e.g.
// "struct variant FieldValue::SparseVector"); the array-form length message
// appends " with K elements" (K counts every member, defaulted ones too).
//
// Types that read themselves (a tagged union such as a stored value) specialise
// JsonRead directly and use the token API of JsonReader with full positions:
//
//   template <> struct zelvar::dsl::JsonRead<FieldValue> {
//     static JsonStatus read(JsonReader& r, FieldValue& out) {
//       ZELVAR_TRY(auto head, r.read_variant_head(kTags));
//       if (head.form == JsonReader::VariantForm::Name)   // placed by the enclosing array
//         return std::unexpected(JsonError::unplaced(
//             "invalid type: unit variant, expected newtype variant"));
//       switch (head.index) { case 0: ... ZELVAR_TRY_VOID(read_value(r, text)); ... }
//       return r.end_variant_object();
//     }
//   };
//
// Readable out of the box: bool; u8/u16/u32/u64 and i8/i16/i32/i64 (expected
// "u8", ..., "i64"; read_usize for "usize"); float ("f32"), double ("f64");
// std::string ("a string"); std::optional<T> (null or T); std::vector<T>
// ("a sequence"); std::pair<A, B> and std::tuple<...> ("a tuple of size N");
// std::map / std::unordered_map with std::string keys or integer keys
// ("a map"; the last of repeated keys wins); JsonValue; declared records and
// enumerations.
//
// Contract of every reader JsonStatus read(JsonReader&, T& out): `out` is
// value-initialised on entry; on failure it may hold a partial value, which
// the caller drops. The whole read stops at the first error.
//
// Thread safety: reads are independent; the declarations are constants.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/dsl/json_reader.h"
#include "core/dsl/json_value.h"
#include "core/error/result.h"

namespace zelvar::dsl {

// --- Traits that formats specialise -------------------------------------------

// Record declaration: `name` (or `expected`) and `members` (see above).
template <class T>
struct JsonRecord {};

// Enumeration declaration: `names`, the spellings in declared order; the
// constant with index i is static_cast<E>(i).
template <class E>
struct JsonEnum {};

// How a T is read. Specialise for types with custom reading.
template <class T>
struct JsonRead;

template <class T>
JsonStatus read_value(JsonReader& reader, T& out) {
  return JsonRead<T>::read(reader, out);
}

// Reads one whole document as a T: whitespace, the value, whitespace, and
// nothing else. Every error it returns is placed.
template <class T>
JsonResult<T> read_json(std::string_view document);
template <class T>
JsonResult<T> read_json(std::span<const uint8_t> document) {
  return read_json<T>(
      std::string_view(reinterpret_cast<const char*>(document.data()), document.size()));
}

// --- Members ----------------------------------------------------------------------

enum class JsonPresence : uint8_t { Required, Optional, Defaulted };

struct JsonDefaultReader {
  template <class V>
  JsonStatus operator()(JsonReader& reader, V& out) const {
    return JsonRead<V>::read(reader, out);
  }
};

template <class Record, class Value, class Reader>
struct JsonMember {
  using record_type = Record;
  using value_type = Value;
  std::string_view key;
  Value Record::*field;
  JsonPresence presence;
  Reader reader;
};

template <class R, class V, class F = JsonDefaultReader>
constexpr JsonMember<R, V, F> json_required(std::string_view key, V R::*field, F reader = {}) {
  return {key, field, JsonPresence::Required, reader};
}
template <class R, class V, class F = JsonDefaultReader>
constexpr JsonMember<R, V, F> json_optional(std::string_view key, V R::*field, F reader = {}) {
  return {key, field, JsonPresence::Optional, reader};
}
template <class R, class V, class F = JsonDefaultReader>
constexpr JsonMember<R, V, F> json_defaulted(std::string_view key, V R::*field, F reader = {}) {
  return {key, field, JsonPresence::Defaulted, reader};
}

// --- Readers for members whose type does not say everything ---------------------

// A usize-wide unsigned integer (expected "usize").
JsonStatus read_usize(JsonReader& reader, uint64_t& out);

// A list whose elements are read by `element` (JsonStatus(JsonReader&, T&)).
template <class T, class A, class F>
JsonStatus read_list(JsonReader& reader, std::vector<T, A>& out, F&& element);

// --- Messages (unplaced; the record's closing bracket places them) ---------------

std::string json_missing_field_message(std::string_view key);
std::string json_duplicate_field_message(std::string_view key);
// "invalid length {present}, expected {expected}"
std::string json_invalid_length_message(size_t present, std::string_view expected);
// "<record expected> with K element(s)"
std::string json_record_length_expected(std::string_view record_expected, size_t member_count);

// =================================================================================
// Implementation.
// =================================================================================

namespace json_detail {

template <class T>
constexpr bool kDependentFalse = false;

template <class T>
concept DeclaredRecord = requires { JsonRecord<T>::members; };
template <class T>
concept DeclaredEnum = std::is_enum_v<T> && requires { JsonEnum<T>::names; };

std::string struct_expected(std::string_view name);

template <class T>
std::string record_description() {
  if constexpr (requires { JsonRecord<T>::expected; }) {
    return std::string(JsonRecord<T>::expected);
  } else {
    return struct_expected(JsonRecord<T>::name);
  }
}

template <class T>
std::string_view integer_name() {
  constexpr bool s = std::is_signed_v<T>;
  switch (sizeof(T)) {
    case 1: return s ? "i8" : "u8";
    case 2: return s ? "i16" : "u16";
    case 4: return s ? "i32" : "u32";
    default: return s ? "i64" : "u64";
  }
}

template <class Tuple, size_t... I>
constexpr auto member_keys(const Tuple& members, std::index_sequence<I...>) {
  return std::array<std::string_view, sizeof...(I)>{std::get<I>(members).key...};
}
template <class Tuple, size_t... I>
constexpr auto member_presence(const Tuple& members, std::index_sequence<I...>) {
  return std::array<JsonPresence, sizeof...(I)>{std::get<I>(members).presence...};
}

template <class T, size_t I>
JsonStatus read_member(JsonReader& reader, T& out) {
  const auto& member = std::get<I>(JsonRecord<T>::members);
  return member.reader(reader, out.*(member.field));
}

template <class T, size_t... I>
JsonStatus read_member_at(JsonReader& reader, T& out, size_t index, std::index_sequence<I...>) {
  JsonStatus status;
  (void)((index == I ? (status = read_member<T, I>(reader, out), true) : false) || ...);
  return status;
}

// The key table, presence rules and description of record T, built once.
template <class T>
struct RecordShape {
  using Members = std::remove_cvref_t<decltype(JsonRecord<T>::members)>;
  static constexpr size_t kCount = std::tuple_size_v<Members>;
  static_assert(kCount <= 64, "a record has at most 64 members");
  using Seq = std::make_index_sequence<kCount>;
  static constexpr auto kKeys = member_keys(JsonRecord<T>::members, Seq{});
  static constexpr auto kPresence = member_presence(JsonRecord<T>::members, Seq{});
};

// The object form: members in any order, unknown ones skipped, each known
// one at most once, every required one present.
template <class T>
JsonStatus read_record_object(JsonReader& reader, T& out, std::string_view expected) {
  using Shape = RecordShape<T>;
  constexpr size_t kCount = Shape::kCount;
  ZELVAR_TRY_VOID(reader.begin_object(expected));
  JsonStatus body = [&]() -> JsonStatus {
    uint64_t seen = 0;
    for (bool first = true;; first = false) {
      ZELVAR_TRY(bool more, reader.has_member(first));
      if (!more) break;
      ZELVAR_TRY(std::string_view key, reader.read_key());
      size_t index = 0;
      while (index < kCount && Shape::kKeys[index] != key) ++index;
      if (index == kCount) {
        ZELVAR_TRY_VOID(reader.read_colon());
        ZELVAR_TRY_VOID(reader.skip_value());
        continue;
      }
      if (seen & (uint64_t{1} << index)) {
        return std::unexpected(
            JsonError::unplaced(json_duplicate_field_message(Shape::kKeys[index])));
      }
      seen |= uint64_t{1} << index;
      ZELVAR_TRY_VOID(reader.read_colon());
      ZELVAR_TRY_VOID(read_member_at(reader, out, index, typename Shape::Seq{}));
    }
    for (size_t i = 0; i < kCount; ++i) {
      if (!(seen & (uint64_t{1} << i)) && Shape::kPresence[i] == JsonPresence::Required) {
        return std::unexpected(JsonError::unplaced(json_missing_field_message(Shape::kKeys[i])));
      }
    }
    return {};
  }();
  return reader.end_object(std::move(body));
}

// The array form: members in declared order; only defaulted ones may be
// missing, and only at the end.
template <class T>
JsonStatus read_record_array(JsonReader& reader, T& out, std::string_view expected) {
  using Shape = RecordShape<T>;
  constexpr size_t kCount = Shape::kCount;
  ZELVAR_TRY_VOID(reader.begin_array(expected));
  JsonStatus body = [&]() -> JsonStatus {
    for (size_t i = 0; i < kCount; ++i) {
      ZELVAR_TRY(bool more, reader.has_element(i == 0));
      if (!more) {
        if (Shape::kPresence[i] == JsonPresence::Defaulted) continue;
        return std::unexpected(JsonError::unplaced(
            json_invalid_length_message(i, json_record_length_expected(expected, kCount))));
      }
      ZELVAR_TRY_VOID(read_member_at(reader, out, i, typename Shape::Seq{}));
    }
    return {};
  }();
  return reader.end_array(std::move(body));
}

template <class T>
JsonStatus read_record(JsonReader& reader, T& out) {
  // Built once per record type: "struct Name" unless declared in full.
  static const std::string kExpected = record_description<T>();
  const int next = reader.peek();
  if (next == '{') return read_record_object(reader, out, kExpected);
  if (next == '[') return read_record_array(reader, out, kExpected);
  return std::unexpected(reader.invalid_type(kExpected));
}

template <class E>
JsonStatus read_enum(JsonReader& reader, E& out) {
  static constexpr auto kNames = JsonEnum<E>::names;
  ZELVAR_TRY(JsonReader::VariantHead head,
             reader.read_variant_head(std::span<const std::string_view>(kNames)));
  if (head.form == JsonReader::VariantForm::Object) {
    ZELVAR_TRY_VOID(reader.read_null("unit"));
    ZELVAR_TRY_VOID(reader.end_variant_object());
  }
  out = static_cast<E>(head.index);
  return {};
}

template <class Tuple, size_t... I>
JsonStatus read_tuple(JsonReader& reader, Tuple& out, std::index_sequence<I...>) {
  constexpr size_t kCount = sizeof...(I);
  static const std::string kExpected = "a tuple of size " + std::to_string(kCount);
  ZELVAR_TRY_VOID(reader.begin_array(kExpected));
  JsonStatus body = [&]() -> JsonStatus {
    JsonStatus status;
    auto one = [&](auto index_constant) -> bool {
      constexpr size_t kIndex = decltype(index_constant)::value;
      auto more = reader.has_element(kIndex == 0);
      if (!more) {
        status = std::unexpected(std::move(more).error());
        return false;
      }
      if (!*more) {
        status = std::unexpected(JsonError::unplaced(json_invalid_length_message(kIndex, kExpected)));
        return false;
      }
      status = read_value(reader, std::get<kIndex>(out));
      return status.has_value();
    };
    (void)(one(std::integral_constant<size_t, I>{}) && ...);
    return status;
  }();
  return reader.end_array(std::move(body));
}

template <class Map>
JsonStatus read_map(JsonReader& reader, Map& out) {
  using Key = typename Map::key_type;
  using Value = typename Map::mapped_type;
  ZELVAR_TRY_VOID(reader.begin_object("a map"));
  JsonStatus body = [&]() -> JsonStatus {
    for (bool first = true;; first = false) {
      ZELVAR_TRY(bool more, reader.has_member(first));
      if (!more) return {};
      Key key{};
      if constexpr (std::is_same_v<Key, std::string>) {
        ZELVAR_TRY(std::string_view text, reader.read_key());
        key.assign(text);
      } else if constexpr (std::is_integral_v<Key> && std::is_unsigned_v<Key>) {
        uint64_t number = 0;
        ZELVAR_TRY_VOID(reader.read_unsigned_key(std::numeric_limits<Key>::max(),
                                                 integer_name<Key>(), number));
        key = static_cast<Key>(number);
      } else if constexpr (std::is_integral_v<Key> && std::is_signed_v<Key>) {
        int64_t number = 0;
        ZELVAR_TRY_VOID(reader.read_signed_key(std::numeric_limits<Key>::min(),
                                               std::numeric_limits<Key>::max(),
                                               integer_name<Key>(), number));
        key = static_cast<Key>(number);
      } else {
        static_assert(kDependentFalse<Key>, "map keys are text or integers");
      }
      ZELVAR_TRY_VOID(reader.read_colon());
      Value value{};
      ZELVAR_TRY_VOID(read_value(reader, value));
      out.insert_or_assign(std::move(key), std::move(value));
    }
  }();
  return reader.end_object(std::move(body));
}

}  // namespace json_detail

// --- JsonRead for the built-in types --------------------------------------------

template <class T>
struct JsonRead {
  static JsonStatus read(JsonReader& reader, T& out) {
    if constexpr (json_detail::DeclaredRecord<T>) {
      return json_detail::read_record(reader, out);
    } else if constexpr (json_detail::DeclaredEnum<T>) {
      return json_detail::read_enum(reader, out);
    } else {
      static_assert(json_detail::kDependentFalse<T>,
                    "no JSON reading declared for this type: declare JsonRecord<T> or "
                    "JsonEnum<T>, or specialise JsonRead<T>");
      return {};
    }
  }
};

template <>
struct JsonRead<bool> {
  static JsonStatus read(JsonReader& reader, bool& out) { return reader.read_bool(out); }
};

template <std::integral T>
  requires(!std::is_same_v<T, bool>)
struct JsonRead<T> {
  static JsonStatus read(JsonReader& reader, T& out) {
    if constexpr (std::is_signed_v<T>) {
      int64_t value = 0;
      ZELVAR_TRY_VOID(reader.read_signed(std::numeric_limits<T>::min(),
                                         std::numeric_limits<T>::max(),
                                         json_detail::integer_name<T>(), value));
      out = static_cast<T>(value);
    } else {
      uint64_t value = 0;
      ZELVAR_TRY_VOID(reader.read_unsigned(std::numeric_limits<T>::max(),
                                           json_detail::integer_name<T>(), value));
      out = static_cast<T>(value);
    }
    return {};
  }
};

template <>
struct JsonRead<float> {
  static JsonStatus read(JsonReader& reader, float& out) { return reader.read_f32(out); }
};

template <>
struct JsonRead<double> {
  static JsonStatus read(JsonReader& reader, double& out) { return reader.read_f64(out); }
};

template <>
struct JsonRead<std::string> {
  static JsonStatus read(JsonReader& reader, std::string& out) { return reader.read_string(out); }
};

template <>
struct JsonRead<JsonValue> {
  static JsonStatus read(JsonReader& reader, JsonValue& out) { return read_json_value(reader, out); }
};

template <class T>
struct JsonRead<std::optional<T>> {
  static JsonStatus read(JsonReader& reader, std::optional<T>& out) {
    if (reader.peek() == 'n') return reader.read_null("unit");  // the literal only: stays absent
    out.emplace();
    return read_value(reader, *out);
  }
};

template <class T, class A>
struct JsonRead<std::vector<T, A>> {
  static JsonStatus read(JsonReader& reader, std::vector<T, A>& out) {
    return read_list(reader, out, JsonDefaultReader{});
  }
};

template <class A, class B>
struct JsonRead<std::pair<A, B>> {
  static JsonStatus read(JsonReader& reader, std::pair<A, B>& out) {
    return json_detail::read_tuple(reader, out, std::make_index_sequence<2>{});
  }
};

template <class... Ts>
struct JsonRead<std::tuple<Ts...>> {
  static JsonStatus read(JsonReader& reader, std::tuple<Ts...>& out) {
    return json_detail::read_tuple(reader, out, std::index_sequence_for<Ts...>{});
  }
};

template <class K, class V, class C, class A>
struct JsonRead<std::map<K, V, C, A>> {
  static JsonStatus read(JsonReader& reader, std::map<K, V, C, A>& out) {
    return json_detail::read_map(reader, out);
  }
};

template <class K, class V, class H, class E, class A>
struct JsonRead<std::unordered_map<K, V, H, E, A>> {
  static JsonStatus read(JsonReader& reader, std::unordered_map<K, V, H, E, A>& out) {
    return json_detail::read_map(reader, out);
  }
};

// --- Template definitions ---------------------------------------------------------

template <class T, class A, class F>
JsonStatus read_list(JsonReader& reader, std::vector<T, A>& out, F&& element) {
  ZELVAR_TRY_VOID(reader.begin_array("a sequence"));
  JsonStatus body = [&]() -> JsonStatus {
    for (bool first = true;; first = false) {
      ZELVAR_TRY(bool more, reader.has_element(first));
      if (!more) return {};
      // Elements arrive one by one; nothing is reserved from the input.
      if constexpr (std::is_same_v<T, bool>) {
        bool value = false;
        ZELVAR_TRY_VOID(element(reader, value));
        out.push_back(value);
      } else {
        out.emplace_back();
        ZELVAR_TRY_VOID(element(reader, out.back()));
      }
    }
  }();
  return reader.end_array(std::move(body));
}

template <class T>
JsonResult<T> read_json(std::string_view document) {
  JsonReader reader(document);
  T value{};
  JsonStatus status = read_value(reader, value);
  if (!status) return std::unexpected(reader.place(std::move(status).error()));
  ZELVAR_TRY_VOID(reader.finish());
  return value;
}

}  // namespace zelvar::dsl
