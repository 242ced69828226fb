// Fetching stored documents by local number from a warm document store:
// documents of about 1 KiB, 16 to a block, every block already in the cache,
// so each fetch is a cache hit, a record walk and the JSON parse.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/directories/directory.h"
#include "core/segment/store.h"
#include "tests/writer/store_writer.h"

namespace zelvar {
namespace {

constexpr uint32_t kDocsPerBlock = 16;
constexpr uint32_t kBlocks = 200;  // below the default cache capacity of 256
constexpr uint32_t kDocs = kDocsPerBlock * kBlocks;

std::string make_document(uint32_t i, std::mt19937& rng) {
  static const std::vector<std::string> kWords = {
      "search", "index", "segment", "block", "store", "query", "term", "score", "field", "document",
      "engine", "reader", "posting", "cache", "bloom", "filter", "vector", "token", "stem", "merge"};
  std::string body;
  while (body.size() < 880) {
    if (!body.empty()) body += ' ';
    body += kWords[rng() % kWords.size()];
  }
  return R"({"field_values":[[0,{"text":"Document title number )" + std::to_string(i) +
         R"("}],[1,{"text":")" + body + R"("}],[2,{"u64":)" + std::to_string(i) + R"(}],[3,{"f64":)" +
         std::to_string(static_cast<double>(i) / 7.0) + "}]]}";
}

class WarmStore {
 public:
  WarmStore() {
    std::mt19937 rng(42);
    std::vector<std::string> docs;
    for (uint32_t i = 0; i < kDocs; ++i) docs.push_back(make_document(i, rng));
    test_writer::StoreOptions options;
    options.docs_per_block = kDocsPerBlock;
    const test_writer::Bytes bytes = test_writer::write_store(docs, options).bytes;
    dir_ = std::filesystem::temp_directory_path() / ("bench_store_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "seg.store", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    FsDirectory directory(dir_);
    store_ = *AsyncStoreReader::open(*directory.open_lazy("seg.store"), 256);
    for (uint32_t i = 0; i < kDocs; i += kDocsPerBlock) (void)store_->get(i);  // warm every block
  }
  ~WarmStore() { std::filesystem::remove_all(dir_); }

  const AsyncStoreReader& store() const { return *store_; }

 private:
  std::filesystem::path dir_;
  std::shared_ptr<const AsyncStoreReader> store_;
};

const WarmStore& warm_store() {
  static const WarmStore* store = new WarmStore();
  return *store;
}

void BM_GetWarmRandom(benchmark::State& state) {
  const AsyncStoreReader& store = warm_store().store();
  std::mt19937 rng(7);
  for (auto _ : state) {
    IoResult<std::optional<Document>> doc = store.get(rng() % kDocs);
    if (!doc.has_value() || !doc->has_value()) state.SkipWithError("fetch failed");
    benchmark::DoNotOptimize(doc);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetWarmRandom);

void BM_GetWarmSequential(benchmark::State& state) {
  const AsyncStoreReader& store = warm_store().store();
  uint32_t local = 0;
  for (auto _ : state) {
    IoResult<std::optional<Document>> doc = store.get(local);
    if (!doc.has_value() || !doc->has_value()) state.SkipWithError("fetch failed");
    benchmark::DoNotOptimize(doc);
    local = (local + 1) % kDocs;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetWarmSequential);

}  // namespace
}  // namespace zelvar

BENCHMARK_MAIN();
