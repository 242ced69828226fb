// Writes the seed corpora of the fuzz targets:
//
//   zelvar_fuzz_seeds OUTDIR
//
// makes OUTDIR/<target>/ for each target (json, meta, terms, postings, store,
// vectors, index) and fills it with well-formed inputs in that target's input
// form, built with the test-only writers. The output depends on nothing but
// this program (and the zstd version), so every build writes the same seeds.
// It first checks that the sample index opens and that its documents read, so
// that the seeds start the fuzzers from inputs that reach deep.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <span>
#include <stdexcept>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/directories/directory.h"
#include "core/dsl/document.h"
#include "core/dsl/schema.h"
#include "core/index/index.h"
#include "core/index/index_config.h"
#include "core/structures/vector/index/ivf_pq.h"
#include "core/structures/vector/index/ivf_rabitq.h"
#include "core/structures/vector/quantization/rabitq.h"
#include "fuzz/samples.h"
#include "fuzz/support.h"
#include "tests/writer/meta_writer.h"
#include "tests/writer/postings_writer.h"
#include "tests/writer/sstable_writer.h"
#include "tests/writer/store_writer.h"

namespace fs = std::filesystem;
namespace tw = zelvar::test_writer;

namespace zelvar::fuzz {
namespace {

class SeedWriter {
 public:
  explicit SeedWriter(fs::path root) : root_(std::move(root)) {}

  void add(std::string_view target, std::string_view name, const Bytes& bytes) {
    const fs::path dir = root_ / target;
    fs::create_directories(dir);
    write_file(dir / name, bytes);
  }

  // The input `prefix` followed by `body`.
  void add(std::string_view target, std::string_view name, const Bytes& prefix, const Bytes& body) {
    Bytes input = prefix;
    input.insert(input.end(), body.begin(), body.end());
    add(target, name, input);
  }

 private:
  fs::path root_;
};

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes byte(uint8_t b) { return Bytes{b}; }

const Bytes& file_named(const std::vector<samples::SampleFile>& files, std::string_view suffix) {
  for (const auto& f : files) {
    if (f.name.ends_with(suffix)) return f.bytes;
  }
  throw std::runtime_error("no sample file " + std::string(suffix));
}

// The sample index must open and serve its documents, or the seeds that come
// from it would stop at the first check.
void check_sample_index(const fs::path& dir) {
  IndexConfig config = IndexConfig::default_config();
  config.num_threads = 1;
  auto index = Index::open(FsDirectory(dir), std::move(config));
  if (!index) throw std::runtime_error("the sample index does not open: " + index.error().to_string());
  if ((*index)->num_segments() != 2) throw std::runtime_error("the sample index lost a segment");
  for (const auto& segment : (*index)->segment_readers()) {
    if (segment->vector_indexes().size() != 2 || segment->coarse_centroids() == nullptr) {
      throw std::runtime_error("the sample index's vector indexes did not load");
    }
  }
  for (uint32_t id = 0; id < (*index)->num_docs(); ++id) {
    auto doc = (*index)->doc(id);
    if (!doc || !*doc) throw std::runtime_error("sample document " + std::to_string(id) + " does not read");
  }
}

// The texts of the json seeds must read, each by its own reader.
void check_json_samples() {
  auto fails = [](const auto& result) { return !result.has_value(); };
  if (fails(Schema::from_json(samples::schema_json()))) throw std::runtime_error("the sample schema does not read");
  for (const std::string& doc : samples::stored_documents()) {
    if (fails(Document::from_json(doc))) throw std::runtime_error("a sample document does not read: " + doc);
  }
  const auto bytes = [](const std::string& t) { return std::span(reinterpret_cast<const uint8_t*>(t.data()), t.size()); };
  if (fails(RaBitQIndex::from_json(bytes(samples::rabitq_body())))) throw std::runtime_error("rabitq body");
  if (fails(IVFRaBitQIndex::from_json(bytes(samples::ivf_body(2))))) throw std::runtime_error("ivf body");
  if (fails(IVFPQIndex::from_bytes(bytes(samples::ivf_pq_body())))) throw std::runtime_error("ivf-pq body");
}

void json_seeds(SeedWriter& out, const std::vector<samples::SampleFile>& files) {
  check_json_samples();
  out.add("json", "schema", byte(0), text(samples::schema_json()));
  out.add("json", "schema-array", byte(0),
          text(R"([[["t","text",true,true,null]],{"t":0,"t":0},[0],[]])"));
  out.add("json", "segments", byte(1), file_named(files, "segments.json"));
  out.add("json", "segments-odd", byte(1), text(R"(["+ff", "0", "ffffffffffffffffffffffffffffffff"])"));
  int n = 0;
  for (const std::string& doc : samples::stored_documents()) {
    out.add("json", "document-" + std::to_string(n++), byte(2), text(doc));
  }
  out.add("json", "rabitq", byte(3), text(samples::rabitq_body()));
  out.add("json", "ivf-rabitq", byte(4), text(samples::ivf_body(2)));
  out.add("json", "ivf-rabitq-dim0", byte(4), text(samples::ivf_body(0)));
  out.add("json", "ivf-pq", byte(5), text(samples::ivf_pq_body()));
  out.add("json", "ivf-pq-object", byte(5), text(samples::ivf_body(8)));
}

void meta_seeds(SeedWriter& out, const std::vector<samples::SampleFile>& files) {
  out.add("meta", "a1", file_named(files, "a1.meta"));
  out.add("meta", "b2", file_named(files, "b2.meta"));
  tw::MetaFile file;
  file.id = 5;
  file.num_docs = 3;
  file.entries = {{0, 9, 3}, {2, 1, 1}, {0, 5, 2}};
  file.trailing = {1, 2, 3};
  out.add("meta", "repeated-field", tw::write_meta(file));
  file.omit_count = true;
  out.add("meta", "no-count", tw::write_meta(file));
}

// The key section of a terms input: the count and cache nibbles, then keys.
Bytes key_section(uint8_t cache_nibble, const std::vector<Bytes>& keys) {
  Bytes out{static_cast<uint8_t>((cache_nibble << 4) | keys.size())};
  for (const Bytes& k : keys) {
    out.push_back(static_cast<uint8_t>(k.size()));
    out.insert(out.end(), k.begin(), k.end());
  }
  return out;
}

void terms_seeds(SeedWriter& out, const std::vector<samples::SampleFile>& files) {
  const Bytes keys = key_section(1, {tw::term_key(0, "alpha"), tw::term_key(1, "common"), tw::term_key(1, "rarea1"),
                                     tw::term_key(0, "zzz"), tw::term_key(7, "")});
  out.add("terms", "a1", keys, file_named(files, "a1.terms"));
  out.add("terms", "b2", keys, file_named(files, "b2.terms"));

  std::vector<tw::TermEntry> entries;
  std::vector<uint8_t> post;
  for (int i = 0; i < 40; ++i) {
    const std::string term = "term" + std::to_string(100 + i);
    std::vector<tw::DocTf> postings;
    for (uint32_t d = 0; d <= static_cast<uint32_t>(i % 5); ++d) postings.emplace_back(d * 3 + 1, d + 1);
    auto info = i % 2 == 0 ? tw::inline_term_info(postings) : std::nullopt;
    entries.push_back({tw::term_key(i % 3, term), info ? *info : tw::append_posting_list(post, postings)});
  }
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
  const Bytes probe = key_section(0, {entries[5].key, tw::term_key(1, "term999")});

  tw::SSTableOptions small_blocks;
  small_blocks.block_entries = 3;
  small_blocks.sparse_every = 2;
  out.add("terms", "sparse", probe, tw::write_sstable(entries, small_blocks));
  tw::SSTableOptions with_dict;
  with_dict.dictionary = tw::sample_dictionary();
  with_dict.bloom = false;
  out.add("terms", "dictionary", probe, tw::write_sstable(entries, with_dict));
  tw::SSTableOptions one_block;
  one_block.block_entries = 64;
  one_block.bloom_hashes = 7;
  out.add("terms", "one-block", probe, tw::write_sstable(entries, one_block));
  out.add("terms", "empty", key_section(0, {tw::term_key(0, "a")}), tw::write_sstable({}));
}

void postings_seeds(SeedWriter& out, const std::vector<samples::SampleFile>& files) {
  const Bytes control = {3, 0, 0, 0, 40, 0, 0, 0};  // stride 3, 40 documents
  out.add("postings", "a1", control, file_named(files, "a1.post"));

  std::vector<tw::DocTf> dense, sparse, short_list, tail;
  for (uint32_t d = 0; d < 300; ++d) dense.emplace_back(d, 1 + d % 4);
  for (uint32_t d = 0; d < 300; d += 7) sparse.emplace_back(d, 2);
  short_list = {{5, 1}, {64, 3}, {299, 9}};
  for (uint32_t d = 150; d < 300; d += 2) tail.emplace_back(d, 1);
  Bytes lists;
  for (const auto& [postings, block] : std::vector<std::pair<std::vector<tw::DocTf>, size_t>>{
           {dense, 128}, {sparse, 8}, {short_list, 1}, {tail, 32}}) {
    const auto list = tw::encode_posting_list(postings, block);
    lists.insert(lists.end(), list.begin(), list.end());
  }
  out.add("postings", "four-lists", Bytes{0, 0, 0, 0, 44, 1, 0, 0}, lists);
  out.add("postings", "four-lists-stride", Bytes{17, 0, 0, 0, 0, 0, 1, 0}, lists);
  const auto inline_info = tw::inline_term_info(short_list);
  const auto& in = *inline_info->as_inline();
  Bytes inline_bytes = {in.doc_count, in.data_len};
  inline_bytes.insert(inline_bytes.end(), in.data.begin(), in.data.begin() + in.data_len);
  out.add("postings", "inline", control, inline_bytes);
}

void store_seeds(SeedWriter& out, const std::vector<samples::SampleFile>& files) {
  out.add("store", "a1", byte(1), file_named(files, "a1.store"));
  out.add("store", "b2", byte(7), file_named(files, "b2.store"));
  const std::vector<std::string> docs = samples::stored_documents();
  tw::StoreOptions options;
  options.docs_per_block = 2;
  options.dictionary = tw::train_dictionary(docs);
  out.add("store", "dictionary", byte(0), tw::write_store(docs, options).bytes);
  const auto gapped = tw::assemble_store(
      {{0, 2, tw::compress_block(tw::encode_records(std::vector<std::string>(docs.begin(), docs.begin() + 2)))},
       {10, 3, tw::compress_block(tw::encode_records(std::vector<std::string>(docs.begin() + 2, docs.end())))}},
      std::nullopt, 13);
  out.add("store", "gap", byte(2), gapped.bytes);
}

void vectors_seeds(SeedWriter& out) {
  const Bytes vectors = samples::sample_vectors_file();
  out.add("vectors", "full-v2", byte(0xFF), join_parts({vectors, samples::centroid_file(2), samples::codebook_file(2)}));
  out.add("vectors", "full-v1", byte(0x7E), join_parts({vectors, samples::centroid_file(1), samples::codebook_file(1)}));
  out.add("vectors", "no-side-files", byte(0x15), vectors);
  out.add("vectors", "odd-types", byte(0x3B),
          join_parts({samples::vectors_file({{0, 9, samples::ivf_body(4)},
                                             {1, 7, samples::rabitq_body()},
                                             {2, 2, samples::ivf_pq_body()},
                                             {9, 1, samples::ivf_body(3)}}),
                      samples::centroid_file(0), samples::codebook_file(2)}));
}

void index_seeds(SeedWriter& out, const std::vector<samples::SampleFile>& files) {
  for (size_t i = 0; i < files.size(); ++i) {
    out.add("index", std::to_string(i) + "-" + files[i].name, byte(static_cast<uint8_t>(i)), files[i].bytes);
  }
}

}  // namespace
}  // namespace zelvar::fuzz

int main(int argc, char** argv) {
  using namespace zelvar::fuzz;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
    return 2;
  }
  try {
    const fs::path index_dir = scratch_dir() / "index";
    fs::create_directories(index_dir);
    const auto files = samples::write_sample_index(index_dir);
    check_sample_index(index_dir);

    SeedWriter out{fs::path(argv[1])};
    json_seeds(out, files);
    meta_seeds(out, files);
    terms_seeds(out, files);
    postings_seeds(out, files);
    store_seeds(out, files);
    vectors_seeds(out);
    index_seeds(out, files);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zelvar_fuzz_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
