// Throughput of the JSON reader on stored-document records: a batch of about
// 1 KiB records with text fields (a few escapes, some non-ASCII), integers and
// floats, read into a document model like the engine's, one whole record per
// read. Reports MB/s (10^6 bytes per second) over the record bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "core/dsl/json_record.h"

namespace zelvar::dsl {
namespace {

// A stored value: a tagged union written {"tag": payload}.
struct Value {
  std::variant<std::string, uint64_t, int64_t, double, std::vector<float>> v;
};
constexpr std::array<std::string_view, 5> kTags = {"text", "u64", "i64", "f64", "dense_vector"};

struct Doc {
  std::vector<std::pair<uint32_t, Value>> field_values;
};

}  // namespace

template <>
struct JsonRead<Value> {
  static JsonStatus read(JsonReader& reader, Value& out) {
    ZELVAR_TRY(JsonReader::VariantHead head, reader.read_variant_head(kTags));
    if (head.form == JsonReader::VariantForm::Name) {
      return std::unexpected(
          JsonError::unplaced("invalid type: unit variant, expected newtype variant"));
    }
    switch (head.index) {
      case 0: ZELVAR_TRY_VOID(reader.read_string(out.v.emplace<std::string>())); break;
      case 1: ZELVAR_TRY_VOID(read_value(reader, out.v.emplace<uint64_t>())); break;
      case 2: ZELVAR_TRY_VOID(read_value(reader, out.v.emplace<int64_t>())); break;
      case 3: ZELVAR_TRY_VOID(read_value(reader, out.v.emplace<double>())); break;
      default: ZELVAR_TRY_VOID(read_value(reader, out.v.emplace<std::vector<float>>())); break;
    }
    return reader.end_variant_object();
  }
};

template <>
struct JsonRecord<Doc> {
  static constexpr std::string_view name = "Document";
  static constexpr auto members = std::tuple{json_required("field_values", &Doc::field_values)};
};

namespace {

std::string words(std::mt19937& rng, size_t bytes) {
  static const char* const kWords[] = {
      "search", "engine", "segment", "posting", "index", "query", "document", "field",
      "token",  "score",  "block",   "caf\xC3\xA9", "na\xC3\xAFve", "stream", "merge", "term"};
  std::string out;
  while (out.size() < bytes) {
    if (!out.empty()) out += ' ';
    out += kWords[rng() % 16];
  }
  return out;
}

std::vector<std::string> make_records(size_t count) {
  std::mt19937 rng(42);
  std::vector<std::string> records;
  for (size_t i = 0; i < count; ++i) {
    std::string r = "{\"field_values\":[";
    r += "[0,{\"text\":\"" + words(rng, 60) + "\"}],";
    r += "[1,{\"text\":\"" + words(rng, 300) + " \\\"quoted\\\" " + words(rng, 250) +
         "\\nsecond line\\t" + words(rng, 200) + "\"}],";
    r += "[2,{\"u64\":" + std::to_string(rng()) + std::to_string(rng() % 1000) + "}],";
    r += "[3,{\"i64\":-" + std::to_string(rng() % 100000) + "}],";
    r += "[4,{\"f64\":" + std::to_string(rng() % 100000) + "." + std::to_string(rng() % 1000) + "}],";
    r += "[5,{\"text\":\"" + words(rng, 40) + "\"}],";
    r += "[6,{\"dense_vector\":[0.125,-1.5,3.25e-2,7]}],";
    r += "[7,{\"text\":\"https://example.org/doc/" + std::to_string(i) + "\"}]";
    r += "]}";
    records.push_back(std::move(r));
  }
  return records;
}

template <class T>
void read_batch(benchmark::State& state) {
  const std::vector<std::string> records = make_records(1000);
  size_t bytes = 0;
  for (const auto& r : records) bytes += r.size();
  for (auto _ : state) {
    for (const auto& r : records) {
      auto doc = read_json<T>(r);
      if (!doc) {
        state.SkipWithError(doc.error().to_string().c_str());
        return;
      }
      benchmark::DoNotOptimize(doc);
    }
  }
  const double total = static_cast<double>(bytes) * static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(total));
  state.counters["MB/s"] = benchmark::Counter(total / 1e6, benchmark::Counter::kIsRate);
  state.counters["record_bytes"] = static_cast<double>(bytes) / static_cast<double>(records.size());
}

void BM_StoredDocuments(benchmark::State& state) { read_batch<Doc>(state); }
void BM_StoredDocumentsAsFreeValues(benchmark::State& state) { read_batch<JsonValue>(state); }

BENCHMARK(BM_StoredDocuments);
BENCHMARK(BM_StoredDocumentsAsFreeValues);

}  // namespace
}  // namespace zelvar::dsl

BENCHMARK_MAIN();
