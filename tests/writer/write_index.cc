// zelvar_write_index DESCRIPTION.json OUTPUT_DIR
//
// Writes a whole index folder for the Python tests from a JSON description.
// The folder is created if needed; files already in it are overwritten.
// Exit status 0 on success, 2 for a wrong command line, 1 with a message on
// standard error for any other failure.
//
// Description (every member optional):
//
// {
//   "schema": {...},                   the schema, written as "schema.json"
//   "schema_text": "...",              or the file's text verbatim (wins);
//                                      with neither, no "schema.json"
//   "segments_json": "...",            "segments.json" verbatim; default: the
//                                      JSON list of the listed segments' ids
//   "write_segments_json": true,       false: no "segments.json" at all
//   "segments": [
//     {
//       "id": "1f",                    hexadecimal identifier (names the files)
//       "listed": true,                false: files written but not listed
//       "meta_id": "ff",               id stored inside ".meta" (default: id)
//       "meta_num_docs": 5,            document count stored inside ".meta"
//                                      (default: the number of documents)
//       "omit": [".post"],             files not to write (".meta", ".terms",
//                                      ".post", ".store")
//       "terms": {                     term-dictionary knobs (defaults shown)
//         "block_entries": 64, "bloom": true, "bloom_bits_per_key": 10,
//         "bloom_hashes": 3, "sparse_every": 0, "dictionary": false,
//         "dictionary_size": 0,
//         "inline_postings": true, "posting_block": 128
//       },
//       "store": {"block_docs": 16, "dictionary": false, "dictionary_size": 0},
//                                      dictionary_size 0: the writer's small
//                                      built-in dictionary; N: one of at most
//                                      N bytes trained on the segment's data
//       "documents": [
//         {
//           "stored": {"title": "Hello", "year": 7},
//                                      stored values by field name (names go
//                                      through the schema's name_to_field; the
//                                      value's form follows the field's type:
//                                      text a string, u64/i64 an integer, f64
//                                      a number, bytes an array of 0-255,
//                                      dense_vector an array of numbers,
//                                      sparse_vector {"indices","values"},
//                                      json any value); also accepted as a
//                                      list of [name, value] pairs, which
//                                      keeps order and allows repeats
//           "stored_json": "...",      or the stored record verbatim (wins)
//           "indexed": {"title": "Hello world"}
//                                      indexed text by field name (or a list
//                                      of [name, text] pairs); default: the
//                                      stored strings of the schema's indexed
//                                      text fields
//         }
//       ]
//     }
//   ]
// }
//
// Indexed text is split on ASCII whitespace and lower-cased (ASCII only); the
// postings, term frequencies and ".meta" statistics follow from the tokens.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/dsl/json_record.h"
#include "core/dsl/json_value.h"
#include "core/dsl/schema.h"
#include "tests/writer/index_writer.h"

namespace zelvar::test_writer {
namespace {

using dsl::JsonValue;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

// JSON text of a free value; object keys come out in the value's (sorted)
// order, numbers in their shortest exact form.
void serialize(const JsonValue& value, std::string& out) {
  const auto& s = value.storage();
  if (std::holds_alternative<std::nullptr_t>(s)) {
    out += "null";
  } else if (const bool* b = std::get_if<bool>(&s)) {
    out += *b ? "true" : "false";
  } else if (const uint64_t* u = std::get_if<uint64_t>(&s)) {
    out += std::to_string(*u);
  } else if (const int64_t* i = std::get_if<int64_t>(&s)) {
    out += std::to_string(*i);
  } else if (const double* d = std::get_if<double>(&s)) {
    out += json_number(*d);
  } else if (const std::string* str = std::get_if<std::string>(&s)) {
    out += json_string(*str);
  } else if (const auto* arr = std::get_if<JsonValue::Array>(&s)) {
    out += '[';
    for (size_t k = 0; k < arr->size(); ++k) {
      if (k) out += ',';
      serialize((*arr)[k], out);
    }
    out += ']';
  } else if (const auto* obj = std::get_if<JsonValue::Object>(&s)) {
    out += '{';
    for (size_t k = 0; k < obj->size(); ++k) {
      if (k) out += ',';
      out += json_string((*obj)[k].first);
      out += ':';
      serialize((*obj)[k].second, out);
    }
    out += '}';
  }
}

std::string serialize(const JsonValue& value) {
  std::string out;
  serialize(value, out);
  return out;
}

const JsonValue* member(const JsonValue& object, std::string_view key) { return object.find(key); }

bool bool_member(const JsonValue& object, std::string_view key, bool fallback) {
  const JsonValue* v = member(object, key);
  if (!v) return fallback;
  if (!v->is<bool>()) fail("\"" + std::string(key) + "\" must be a boolean");
  return v->as<bool>();
}

size_t size_member(const JsonValue& object, std::string_view key, size_t fallback) {
  const JsonValue* v = member(object, key);
  if (!v) return fallback;
  if (!v->is<uint64_t>()) fail("\"" + std::string(key) + "\" must be a non-negative integer");
  return static_cast<size_t>(v->as<uint64_t>());
}

const std::string* string_member(const JsonValue& object, std::string_view key) {
  const JsonValue* v = member(object, key);
  if (!v) return nullptr;
  if (!v->is<std::string>()) fail("\"" + std::string(key) + "\" must be a string");
  return &v->as<std::string>();
}

// (name, value) pairs of an object or of a list of [name, value] pairs.
std::vector<std::pair<std::string, const JsonValue*>> named_pairs(const JsonValue& v,
                                                                 std::string_view what) {
  std::vector<std::pair<std::string, const JsonValue*>> pairs;
  if (v.is<JsonValue::Object>()) {
    for (const auto& [k, val] : v.as<JsonValue::Object>()) pairs.emplace_back(k, &val);
  } else if (v.is<JsonValue::Array>()) {
    for (const JsonValue& p : v.as<JsonValue::Array>()) {
      if (!p.is<JsonValue::Array>() || p.as<JsonValue::Array>().size() != 2 ||
          !p.as<JsonValue::Array>()[0].is<std::string>())
        fail(std::string(what) + ": each pair must be [name, value]");
      const auto& arr = p.as<JsonValue::Array>();
      pairs.emplace_back(arr[0].as<std::string>(), &arr[1]);
    }
  } else {
    fail(std::string(what) + " must be an object or a list of pairs");
  }
  return pairs;
}

std::pair<Field, const FieldEntry*> resolve(const Schema& schema, const std::string& name) {
  std::optional<Field> field = schema.get_field(name);
  if (!field) fail("no field named \"" + name + "\" in the schema");
  return {*field, schema.get_field_entry(*field)};
}

bool is_integer(const JsonValue& v) { return v.is<uint64_t>() || v.is<int64_t>(); }
bool is_number(const JsonValue& v) { return is_integer(v) || v.is<double>(); }

bool all_of(const JsonValue& v, bool (*pred)(const JsonValue&)) {
  if (!v.is<JsonValue::Array>()) return false;
  for (const JsonValue& e : v.as<JsonValue::Array>()) {
    if (!pred(e)) return false;
  }
  return true;
}

// The stored value object for a field of the given type, e.g. {"text":"x"}.
std::string stored_value(const FieldEntry* entry, const std::string& name, const JsonValue& v) {
  FieldType type = entry ? entry->field_type : FieldType::Json;
  auto bad = [&](const char* form) { fail("stored value of \"" + name + "\" must be " + form); };
  switch (type) {
    case FieldType::Text:
      if (!v.is<std::string>()) bad("a string");
      break;
    case FieldType::U64:
      if (!v.is<uint64_t>()) bad("a non-negative integer");
      break;
    case FieldType::I64:
      if (!is_integer(v)) bad("an integer");
      break;
    case FieldType::F64:
      if (!is_number(v)) bad("a number");
      break;
    case FieldType::Bytes:
      if (!all_of(v, [](const JsonValue& e) { return e.is<uint64_t>() && e.as<uint64_t>() < 256; }))
        bad("an array of integers 0-255");
      break;
    case FieldType::DenseVector:
      if (!all_of(v, is_number)) bad("an array of numbers");
      break;
    case FieldType::SparseVector:
      if (!v.is<JsonValue::Object>() || !v.find("indices") || !v.find("values"))
        bad("an object with \"indices\" and \"values\"");
      break;
    case FieldType::Json:
      break;
  }
  return "{" + json_string(field_type_name(type)) + ":" + serialize(v) + "}";
}

DocumentSpec parse_document(const Schema& schema, const JsonValue& doc) {
  if (!doc.is<JsonValue::Object>()) fail("a document must be an object");
  DocumentSpec out;
  std::vector<std::pair<uint32_t, std::string>> stored;
  std::vector<std::pair<uint32_t, std::string>> derived_text;
  if (const JsonValue* values = member(doc, "stored")) {
    for (const auto& [name, value] : named_pairs(*values, "\"stored\"")) {
      auto [field, entry] = resolve(schema, name);
      stored.emplace_back(field, stored_value(entry, name, *value));
      if (entry && entry->indexed && entry->field_type == FieldType::Text && value->is<std::string>())
        derived_text.emplace_back(field, value->as<std::string>());
    }
  }
  out.stored_json = stored_document(stored);
  if (const std::string* raw = string_member(doc, "stored_json")) out.stored_json = *raw;

  if (const JsonValue* indexed = member(doc, "indexed")) {
    for (const auto& [name, value] : named_pairs(*indexed, "\"indexed\"")) {
      if (!value->is<std::string>()) fail("indexed text of \"" + name + "\" must be a string");
      out.indexed.emplace_back(resolve(schema, name).first, value->as<std::string>());
    }
  } else {
    out.indexed = std::move(derived_text);
  }
  return out;
}

SegmentSpec parse_segment(const Schema& schema, const JsonValue& seg) {
  if (!seg.is<JsonValue::Object>()) fail("a segment must be an object");
  SegmentSpec out;
  const std::string* id = string_member(seg, "id");
  if (!id) fail("a segment needs an \"id\"");
  out.id = *id;
  out.listed = bool_member(seg, "listed", true);
  if (const std::string* meta_id = string_member(seg, "meta_id")) out.meta_id = parse_segment_id(*meta_id);
  if (member(seg, "meta_num_docs")) {
    size_t count = size_member(seg, "meta_num_docs", 0);
    if (count > UINT32_MAX) fail("\"meta_num_docs\" must fit in 32 bits");
    out.meta_num_docs = static_cast<uint32_t>(count);
  }
  if (const JsonValue* omit = member(seg, "omit")) {
    if (!all_of(*omit, [](const JsonValue& e) { return e.is<std::string>(); }))
      fail("\"omit\" must be a list of extensions");
    for (const JsonValue& e : omit->as<JsonValue::Array>()) out.omit.push_back(e.as<std::string>());
  }
  if (const JsonValue* terms = member(seg, "terms")) {
    SegmentTermsOptions& t = out.terms;
    t.block_entries = size_member(*terms, "block_entries", t.block_entries);
    t.bloom = bool_member(*terms, "bloom", t.bloom);
    t.bloom_bits_per_key = size_member(*terms, "bloom_bits_per_key", t.bloom_bits_per_key);
    t.bloom_hashes = size_member(*terms, "bloom_hashes", t.bloom_hashes);
    t.sparse_every = size_member(*terms, "sparse_every", t.sparse_every);
    t.dictionary = bool_member(*terms, "dictionary", t.dictionary);
    t.dictionary_size = size_member(*terms, "dictionary_size", t.dictionary_size);
    t.inline_postings = bool_member(*terms, "inline_postings", t.inline_postings);
    t.posting_block = size_member(*terms, "posting_block", t.posting_block);
  }
  if (const JsonValue* store = member(seg, "store")) {
    out.store.block_docs = size_member(*store, "block_docs", out.store.block_docs);
    out.store.dictionary = bool_member(*store, "dictionary", out.store.dictionary);
    out.store.dictionary_size = size_member(*store, "dictionary_size", out.store.dictionary_size);
  }
  if (const JsonValue* docs = member(seg, "documents")) {
    if (!docs->is<JsonValue::Array>()) fail("\"documents\" must be a list");
    for (const JsonValue& d : docs->as<JsonValue::Array>()) out.docs.push_back(parse_document(schema, d));
  }
  return out;
}

IndexSpec parse_description(const JsonValue& root) {
  if (!root.is<JsonValue::Object>()) fail("the description must be a JSON object");
  IndexSpec spec;
  if (const std::string* text = string_member(root, "schema_text")) {
    spec.schema_json = *text;
  } else if (const JsonValue* schema = member(root, "schema")) {
    spec.schema_json = serialize(*schema);
  }
  // Field names resolve through the schema; a folder without a usable schema
  // can still be written as long as no document names a field.
  Schema schema;
  if (spec.schema_json) {
    auto parsed = Schema::from_json(std::string_view(*spec.schema_json));
    if (parsed) schema = std::move(*parsed);
  }
  if (const std::string* text = string_member(root, "segments_json")) spec.segments_json = *text;
  spec.write_segments_json = bool_member(root, "write_segments_json", true);
  if (const JsonValue* segs = member(root, "segments")) {
    if (!segs->is<JsonValue::Array>()) fail("\"segments\" must be a list");
    for (const JsonValue& s : segs->as<JsonValue::Array>()) spec.segments.push_back(parse_segment(schema, s));
  }
  return spec;
}

}  // namespace
}  // namespace zelvar::test_writer

int main(int argc, char** argv) {
  using namespace zelvar;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DESCRIPTION.json OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  try {
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read ") + argv[1]);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto root = dsl::read_json<dsl::JsonValue>(std::string_view(text));
    if (!root) throw std::runtime_error("description: " + root.error().to_string());
    test_writer::write_index(argv[2], test_writer::parse_description(*root));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zelvar_write_index: %s\n", e.what());
    return 1;
  }
  return 0;
}
