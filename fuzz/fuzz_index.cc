// A whole index folder with one file replaced by the input.
//
// At start-up the sample index (fuzz/samples.h) is written into a private
// folder. Input: one selector byte, then the bytes of the file it picks
// (selector modulo the number of files, in the order of
// samples::write_sample_index): "schema.json", "segments.json", a segment's
// ".meta", ".terms", ".post", ".store" or ".vectors", or a side file. In a
// replaced "schema.json" the placeholder @DIR@ stands for the index folder.
// Then, as a Python caller would: open the index, run term and boolean
// searches over every segment, fetch every document (at most kMaxDocs, then
// the first, last and next number of every segment), reload, search and fetch
// once more. The file is put back afterwards. A boolean search must give
// what its generic scorer gives: the same error, or the same hits bit for bit.
// Searches and fetches stop once they have cost kWorkBytes (support.h): each
// term lookup may scan a whole term-dictionary block, and each fetch decode a
// whole store block, cached or not.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/compression/zstd.h"
#include "core/directories/directory.h"
#include "core/index/index.h"
#include "core/index/index_config.h"
#include "core/query/boolean.h"
#include "core/query/collector.h"
#include "core/query/term.h"
#include "fuzz/samples.h"
#include "fuzz/support.h"

namespace zelvar::fuzz {
namespace {

// Every document of the sample index; a damaged ".meta" may claim billions.
constexpr uint32_t kMaxDocs = 256;
constexpr size_t kLimit = 10;

struct SampleIndex {
  std::filesystem::path dir;
  std::vector<samples::SampleFile> files;  // the schema with its placeholder

  SampleIndex() : dir(scratch_dir() / "index") {
    std::filesystem::create_directories(dir);
    files = samples::write_sample_index(dir);
  }

  // The bytes to write for file `i` when the input gives `bytes`.
  Bytes resolved(size_t i, std::span<const uint8_t> bytes) const {
    if (files[i].name != "schema.json") return Bytes(bytes.begin(), bytes.end());
    const std::string text = samples::resolve_schema(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), dir);
    return Bytes(text.begin(), text.end());
  }
};

SampleIndex& sample_index() {
  static SampleIndex* index = new SampleIndex();
  return *index;
}

// Term queries on the title and body fields (and on a field number the
// schema lacks), and two boolean queries.
std::vector<std::unique_ptr<Query>> sample_queries() {
  std::vector<std::unique_ptr<Query>> queries;
  for (const std::string& term : samples::sample_terms()) {
    for (Field field : {0u, 1u}) queries.push_back(std::make_unique<TermQuery>(TermQuery::text(field, term)));
  }
  queries.push_back(std::make_unique<TermQuery>(TermQuery::text(9, "alpha")));
  queries.push_back(std::make_unique<BooleanQuery>(BooleanQuery()
                                                       .must(TermQuery::text(1, "common"))
                                                       .must(TermQuery::text(0, "alpha"))
                                                       .should(TermQuery::text(1, "beta"))
                                                       .must_not(TermQuery::text(0, "w3"))));
  queries.push_back(std::make_unique<BooleanQuery>(
      BooleanQuery().should(TermQuery::text(0, "gamma")).should(TermQuery::text(1, "delta")).must_not(TermQuery::text(1, "rarea1"))));
  return queries;
}

// The term lookups a search of `query` makes in a segment.
size_t lookups(const Query& query) {
  const auto* boolean = dynamic_cast<const BooleanQuery*>(&query);
  if (boolean == nullptr) return 1;
  return boolean->must_clauses().size() + boolean->should_clauses().size() + boolean->must_not_clauses().size();
}

void search(const Index& index, WorkBudget& work) {
  static const auto* queries = new std::vector<std::unique_ptr<Query>>(sample_queries());
  const SegmentReaders segments = index.segment_readers();
  for (const auto& query : *queries) {
    for (const auto& segment : segments) {
      if (work.spent()) return;
      auto hits = collector::search_segment(*segment, *query, kLimit);
      for (size_t i = 0; i < lookups(*query); ++i) {
        work.charge_scan(segment->term_dict().cache(), AsyncSSTableReader::kMaxBlockSize);
      }
      if (dynamic_cast<const BooleanQuery*>(query.get()) != nullptr) {
        // A boolean query of term clauses is answered from the posting lists
        // directly; the generic scorer must give the same answer, bit for bit.
        auto scorer = query->scorer(*segment);
        for (size_t i = 0; i < lookups(*query); ++i) {
          work.charge_scan(segment->term_dict().cache(), AsyncSSTableReader::kMaxBlockSize);
        }
        if (scorer.has_value() != hits.has_value()) fail("index: boolean search and its scorer disagree on failing");
        if (!scorer) {
          if (scorer.error().to_string() != hits.error().to_string()) {
            fail("index: boolean search and its scorer fail with other errors");
          }
        } else if (!same_hits(*hits, collector::collect_top_k(**scorer, kLimit))) {
          fail("index: boolean search gives other hits than its scorer");
        }
      }
      if (!hits) {
        (void)hits.error().to_string();
        break;  // an error in any segment fails the whole search
      }
      // Posting lists are not checked against the segment's document count,
      // so a damaged ".meta" or ".post" may yield hits beyond the segment.
      if (hits->size() > kLimit) fail("index: a segment search returned more hits than its limit");
    }
  }
}

void fetch(const Index& index, WorkBudget& work) {
  const SegmentReaders segments = index.segment_readers();
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < std::min(index.num_docs(), kMaxDocs); ++i) ids.push_back(i);
  for (const auto& segment : segments) {
    const uint32_t base = segment->doc_base();
    const uint32_t n = segment->num_docs();
    for (uint32_t id : {base, base + n - 1, base + n}) ids.push_back(id);
  }
  ids.push_back(index.num_docs());
  for (uint32_t id : ids) {
    if (work.spent()) return;
    auto doc = index.doc(id);
    if (!doc) (void)doc.error().to_string();
    // The segment Index::doc reads: the first whose running count passes id.
    uint32_t total = 0;
    for (const auto& segment : segments) {
      total += segment->num_docs();
      if (id < total) {
        work.charge_scan(segment->store().cache(), zstd::kMaxDecompressedSize);
        break;
      }
    }
  }
}

}  // namespace
}  // namespace zelvar::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)zelvar::fuzz::sample_index();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelvar;
  using namespace zelvar::fuzz;
  if (size < 1) return 0;
  SampleIndex& sample = sample_index();
  const size_t which = data[0] % sample.files.size();
  const std::filesystem::path path = sample.dir / sample.files[which].name;
  write_file(path, sample.resolved(which, std::span(data + 1, size - 1)));
  {
    HeapWatch watch("index", size);
    IndexConfig config = IndexConfig::default_config();
    // Two threads: few to start per input, enough for the two segments to be
    // prepared at once.
    config.num_threads = 2;
    auto index = Index::open(FsDirectory(sample.dir), std::move(config));
    if (index) {
      WorkBudget work(watch);
      search(**index, work);
      fetch(**index, work);
      if (auto reloaded = (*index)->reload(); !reloaded) (void)reloaded.error().to_string();
      search(**index, work);
      fetch(**index, work);
    } else {
      (void)index.error().to_string();
    }
  }
  write_file(path, sample.resolved(which, sample.files[which].bytes));
  return 0;
}
