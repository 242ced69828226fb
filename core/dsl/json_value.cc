// Reading of free JSON values: the one place where the reader builds a tree.
// Arrays and objects take nesting levels, so the recursion here is bounded by
// the reader's limit of 127 levels.
#include "core/dsl/json_value.h"

#include <algorithm>

#include "core/error/result.h"

namespace zelvar::dsl {
namespace {

JsonStatus read_object(JsonReader& reader, JsonValue& out) {
  ZELVAR_TRY_VOID(reader.begin_object("any valid JSON value"));
  JsonValue::Object entries;
  JsonStatus body = [&]() -> JsonStatus {
    for (bool first = true;; first = false) {
      ZELVAR_TRY(bool more, reader.has_member(first));
      if (!more) return {};
      ZELVAR_TRY(std::string_view key, reader.read_key());
      entries.emplace_back(std::string(key), JsonValue());
      ZELVAR_TRY_VOID(reader.read_colon());
      ZELVAR_TRY_VOID(read_json_value(reader, entries.back().second));
    }
  }();
  ZELVAR_TRY_VOID(reader.end_object(std::move(body)));
  // Keys in ascending byte order, one entry per key: the stable sort keeps
  // repeated keys in text order, and the last of each run wins.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  size_t kept = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && entries[i + 1].first == entries[i].first) continue;
    if (kept != i) entries[kept] = std::move(entries[i]);
    ++kept;
  }
  entries.resize(kept);
  out = JsonValue(std::move(entries));
  return {};
}

JsonStatus read_array(JsonReader& reader, JsonValue& out) {
  ZELVAR_TRY_VOID(reader.begin_array("any valid JSON value"));
  JsonValue::Array elements;
  JsonStatus body = [&]() -> JsonStatus {
    for (bool first = true;; first = false) {
      ZELVAR_TRY(bool more, reader.has_element(first));
      if (!more) return {};
      elements.emplace_back();
      ZELVAR_TRY_VOID(read_json_value(reader, elements.back()));
    }
  }();
  ZELVAR_TRY_VOID(reader.end_array(std::move(body)));
  out = JsonValue(std::move(elements));
  return {};
}

}  // namespace

const JsonValue* JsonValue::find(std::string_view key) const {
  const auto* object = std::get_if<Object>(&value_);
  if (object == nullptr) return nullptr;
  auto it = std::lower_bound(object->begin(), object->end(), key,
                             [](const auto& entry, std::string_view k) { return entry.first < k; });
  if (it == object->end() || it->first != key) return nullptr;
  return &it->second;
}

JsonStatus read_json_value(JsonReader& reader, JsonValue& out) {
  const int next = reader.peek();
  switch (next) {
    case JsonReader::kEof:
      return std::unexpected(reader.eof_value());
    case 'n':
      ZELVAR_TRY_VOID(reader.read_null("unit"));
      out = JsonValue();
      return {};
    case 't':
    case 'f': {
      bool value = false;
      ZELVAR_TRY_VOID(reader.read_bool(value));
      out = JsonValue(value);
      return {};
    }
    case '"': {
      ZELVAR_TRY(std::string_view text, reader.read_string_view());
      out = JsonValue(std::string(text));
      return {};
    }
    case '[':
      return read_array(reader, out);
    case '{':
      return read_object(reader, out);
    default:
      break;
  }
  if (next != '-' && !(next >= '0' && next <= '9')) {
    return std::unexpected(reader.error_at_next("expected value"));
  }
  ZELVAR_TRY(JsonNumber number, reader.read_number_token());
  switch (number.kind) {
    case JsonNumber::Kind::U64: out = JsonValue(number.u); break;
    case JsonNumber::Kind::I64: out = JsonValue(number.i); break;
    case JsonNumber::Kind::F64: out = JsonValue(number.f); break;
  }
  return {};
}

}  // namespace zelvar::dsl
