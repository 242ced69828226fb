// Every JSON text the engine reads, through the reader that reads it.
//
// Input: one selector byte, then the text. The selector (modulo 6) picks
//   0 "schema.json"        Schema::from_json, then every lookup by name
//   1 "segments.json"      the list of identifiers, each parsed as a SegmentId
//   2 a stored document    store::deserialize_document, every value visited
//   3 a RaBitQ body        RaBitQIndex::from_json
//   4 an IVF-RaBitQ body   IVFRaBitQIndex::from_json
//   5 an IVF-PQ body       IVFPQIndex::from_bytes
// A rejection is an error value; only a crash, a sanitizer report, a hang or
// memory beyond the heap bound counts.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/dsl/document.h"
#include "core/dsl/json_record.h"
#include "core/dsl/schema.h"
#include "core/segment/segment_id.h"
#include "core/segment/store.h"
#include "core/structures/vector/index/ivf_pq.h"
#include "core/structures/vector/index/ivf_rabitq.h"
#include "core/structures/vector/quantization/rabitq.h"
#include "fuzz/support.h"

namespace zelvar::fuzz {
namespace {

enum Reader : uint8_t { kSchema, kSegments, kDocument, kRaBitQ, kIvfRaBitQ, kIvfPq, kReaders };

// Counts what a parsed value holds, so that no part of it is left unvisited
// (and a sanitizer sees every byte of it).
size_t visit(const dsl::JsonValue& value) {
  return std::visit(
      [](const auto& v) -> size_t {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, dsl::JsonValue::Array>) {
          size_t n = 1;
          for (const auto& e : v) n += visit(e);
          return n;
        } else if constexpr (std::is_same_v<V, dsl::JsonValue::Object>) {
          size_t n = 1;
          for (const auto& [k, e] : v) n += k.size() + visit(e);
          return n;
        } else if constexpr (std::is_same_v<V, std::string>) {
          return v.size();
        } else {
          return 1;
        }
      },
      value.storage());
}

size_t visit(const FieldValue& value) {
  return std::visit(
      [](const auto& v) -> size_t {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, FieldValue::Text>) {
          return v.value.size();
        } else if constexpr (std::is_same_v<V, FieldValue::Bytes>) {
          return v.value.size();
        } else if constexpr (std::is_same_v<V, FieldValue::SparseVector>) {
          return v.indices.size() + v.values.size();
        } else if constexpr (std::is_same_v<V, FieldValue::DenseVector>) {
          return v.value.size();
        } else if constexpr (std::is_same_v<V, FieldValue::Json>) {
          return visit(v.value);
        } else {
          return 1;
        }
      },
      value.value());
}

void read_schema(std::span<const uint8_t> text) {
  auto schema = Schema::from_json(text);
  if (!schema) {
    (void)schema.error().to_string();
    return;
  }
  for (const auto& numbered : schema->fields()) (void)schema->get_field(numbered.entry.name);
  for (const auto& [name, field] : schema->name_to_field()) {
    if (schema->get_field(name) != field) fail("schema: a mapped name that get_field does not find");
    (void)schema->get_field_entry(field);
  }
  (void)schema->has_dense_vector_fields();
  (void)schema->deep_copy();
}

void read_segments(std::span<const uint8_t> text) {
  auto ids = dsl::read_json<std::vector<std::string>>(text);
  if (!ids) {
    (void)ids.error().to_string();
    return;
  }
  for (const std::string& id : *ids) {
    if (auto parsed = SegmentId::from_hex(id)) (void)parsed->to_hex();
  }
}

void read_document(std::span<const uint8_t> text) {
  auto doc = store::deserialize_document(text);
  if (!doc) {
    (void)doc.error().to_string();
    return;
  }
  size_t n = 0;
  for (const auto& [field, value] : doc->field_values) n += field + visit(value);
  (void)n;
}

}  // namespace
}  // namespace zelvar::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelvar;
  using namespace zelvar::fuzz;
  if (size < 1) return 0;
  HeapWatch watch("json", size);
  const std::span<const uint8_t> text(data + 1, size - 1);
  switch (data[0] % kReaders) {
    case kSchema:
      read_schema(text);
      break;
    case kSegments:
      read_segments(text);
      break;
    case kDocument:
      read_document(text);
      break;
    case kRaBitQ:
      if (auto r = RaBitQIndex::from_json(text); !r) (void)r.error().to_string();
      break;
    case kIvfRaBitQ:
      if (auto r = IVFRaBitQIndex::from_json(text); !r) (void)r.error().to_string();
      break;
    case kIvfPq:
      if (auto r = IVFPQIndex::from_bytes(text); !r) (void)r.error().to_string();
      break;
  }
  return 0;
}
