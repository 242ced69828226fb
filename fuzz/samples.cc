#include "fuzz/samples.h"

#include <bit>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "tests/writer/bytes.h"
#include "tests/writer/index_writer.h"

namespace zelvar::fuzz::samples {

namespace tw = zelvar::test_writer;

namespace {

constexpr std::string_view kSegmentA = "a1";
constexpr std::string_view kSegmentB = "b2";
constexpr std::string_view kCentroidsName = "centroids.cvch";
constexpr std::string_view kCodebookName = "codebook.kbcs";

void put_f32(Bytes& out, float v) { tw::put_u32(out, std::bit_cast<uint32_t>(v)); }

void put_f32s(Bytes& out, uint64_t n, float first) {
  for (uint64_t i = 0; i < n; ++i) put_f32(out, first + static_cast<float>(i) * 0.5f);
}

Bytes to_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Document `i` of a segment: indexed title and body words from a small
// vocabulary (so that terms repeat across documents and within one), and a
// stored record with a value of every kind now and then.
tw::DocumentSpec sample_document(std::string_view segment, int i) {
  static constexpr std::string_view kWords[] = {"alpha", "beta", "gamma", "delta", "epsilon"};
  std::string title = std::string(kWords[i % 5]) + " common w" + std::to_string(i % 7);
  std::string body = "common";
  for (int k = 0; k <= i % 4; ++k) body += " " + std::string(kWords[(i + k) % 5]);
  if (i % 3 == 0) body += " rare" + std::string(segment);

  std::vector<std::pair<uint32_t, std::string>> stored = {
      {0, tw::text_value(title)}, {1, tw::text_value(body)}, {2, tw::u64_value(static_cast<uint64_t>(i))}};
  if (i % 4 == 1) stored.emplace_back(2, tw::f64_value(i * 0.25));
  if (i % 5 == 2) stored.emplace_back(1, R"({"bytes":[0,)" + std::to_string(i) + R"(,255]})");
  if (i % 6 == 3) stored.emplace_back(3, R"({"dense_vector":[0.5,-1.25]})");
  if (i % 7 == 4) stored.emplace_back(4, R"({"json":{"k":[1,-2,3.5,null,true,"s"],"a":{}}})");

  tw::DocumentSpec doc;
  doc.stored_json = tw::stored_document(stored);
  doc.indexed = {{0, title}, {1, body}};
  return doc;
}

tw::SegmentSpec sample_segment(std::string_view id, int docs) {
  tw::SegmentSpec spec;
  spec.id = std::string(id);
  for (int i = 0; i < docs; ++i) spec.docs.push_back(sample_document(id, i));
  return spec;
}

}  // namespace

std::string schema_json() {
  const std::string dir(kDirPlaceholder);
  const std::string paths = R"("coarse_centroids_path":")" + dir + "/" + std::string(kCentroidsName) +
                            R"(","pq_codebook_path":")" + dir + "/" + std::string(kCodebookName) + R"(")";
  return R"({"fields":[)"
         R"({"name":"title","field_type":"text","indexed":true,"stored":true,"tokenizer":"default"},)"
         R"({"name":"body","field_type":"text","indexed":true,"stored":true},)"
         R"({"name":"count","field_type":"u64","indexed":false,"stored":true,"multi":true},)"
         R"({"name":"vec","field_type":"dense_vector","indexed":true,"stored":false,)"
         R"("dense_vector_config":{"dim":2,"index_type":"ivf_ra_bit_q",)" +
         paths +
         R"(}},)"
         R"(["pq","dense_vector",true,false,null,false,null,[2,"sca_n_n",true,)" +
         R"(")" + dir + "/" + std::string(kCentroidsName) + R"(",")" + dir + "/" + std::string(kCodebookName) +
         R"(",8,null]],)"
         R"({"name":"tags","field_type":"sparse_vector","indexed":true,"stored":false,)"
         R"("sparse_vector_config":{"index_size":"U32","weight_quantization":"UInt8","weight_threshold":0.5}}],)"
         R"("name_to_field":{"title":0,"body":1,"count":2,"vec":3,"pq":4,"tags":5},)"
         R"("default_fields":[0,1],)"
         R"("query_routers":[]})";
}

std::string resolve_schema(std::string_view schema, const std::filesystem::path& dir) {
  std::string out;
  const std::string replacement = dir.string();
  size_t from = 0;
  for (;;) {
    const size_t at = schema.find(kDirPlaceholder, from);
    if (at == std::string_view::npos) break;
    out.append(schema.substr(from, at - from));
    out += replacement;
    from = at + kDirPlaceholder.size();
  }
  out.append(schema.substr(from));
  return out;
}

std::vector<std::string> stored_documents() {
  return {
      R"({"field_values":[]})",
      R"([[]])",
      tw::stored_document({{0, tw::text_value("Hello \"world\" \u00e9\\n")}, {2, tw::u64_value(18446744073709551615ULL)},
                           {7, tw::i64_value(-9223372036854775807LL)}, {1, tw::f64_value(-1.5e-300)}}),
      R"({"id":7,"field_values":[[4,{"bytes":[0,1,255]}],[5,{"sparse_vector":{"indices":[1,5,9],"values":[0.5,1e39]}}],)"
      R"([5,{"sparse_vector":[[2],[0.25]]}],[3,{"dense_vector":[1,2.5,-0.0]}]]})",
      R"({"field_values":[[6,{"json":{"b":[1,-2,3.0,18446744073709551616],"a":{"x":null,"x":true},"s":"\ud83d\ude00"}}]]})",
  };
}

std::string rabitq_body() {
  return R"({"codebook":{"config":{"dim":2,"query_bits":1,"seed":3},"random_signs":[1,-1],)"
         R"("random_perm":[1,0],"version":5},"centroid":[0.5,0.25],)"
         R"("vectors":[{"bits":[1,0],"dist_to_centroid":0.5,"self_dot":1.0,"popcount":1}],)"
         R"("raw_vectors":[[0.5,0.75]]})";
}

std::string ivf_body(uint64_t dim) {
  return R"({"config":{"dim":)" + std::to_string(dim) +
         R"(,"default_nprobe":1,"store_raw":true,"rerank_factor":2},"centroids_version":0,)"
         R"("codebook_version":0,"clusters":{"clusters":{"0":[[7],[],null],)"
         R"("3":{"doc_ids":[1,2],"codes":[],"raw_vectors":[[0.5,1.5],[2,3]]}},"total_vectors":3}})";
}

std::string ivf_pq_body() {
  return R"([[2,4,false,1],11,12,{"clusters":{"1":{"doc_ids":[0,5],)"
         R"("codes":[{"codes":[0,255],"norm":2},[[7,8],0.5]]}},"total_vectors":2}])";
}

Bytes vectors_file(const std::vector<VectorEntry>& entries) {
  Bytes out;
  tw::put_u32(out, static_cast<uint32_t>(entries.size()));
  uint64_t offset = 4 + 21 * entries.size();
  for (const VectorEntry& e : entries) {
    tw::put_u32(out, e.field_id);
    tw::put_u8(out, e.index_type);
    tw::put_u64(out, offset);
    tw::put_u64(out, e.body.size());
    offset += e.body.size();
  }
  for (const VectorEntry& e : entries) out.insert(out.end(), e.body.begin(), e.body.end());
  return out;
}

Bytes sample_vectors_file() {
  return vectors_file({{3, 0, rabitq_body()}, {3, 1, ivf_body(2)}, {4, 2, ivf_pq_body()}});
}

Bytes centroid_file(uint32_t version) {
  Bytes out;
  tw::put_u32(out, 0x48435643);  // "CVCH"
  tw::put_u32(out, version);
  tw::put_u64(out, 77);  // stamp
  tw::put_u32(out, 2);   // count_a
  tw::put_u32(out, 2);   // count_b
  if (version >= 2) {
    tw::put_u8(out, 1);  // extension present
    tw::put_u32(out, 3);
    tw::put_u8(out, 1);
    put_f32(out, 0.5f);
  }
  put_f32s(out, 4, 1.0f);
  return out;
}

Bytes codebook_file(uint32_t version) {
  Bytes out;
  tw::put_u32(out, 0x5343424B);  // "KBCS"
  tw::put_u32(out, version);
  tw::put_u64(out, 78);  // stamp
  tw::put_u32(out, 2);   // dim
  tw::put_u32(out, 2);   // num_subspaces
  if (version >= 2) {
    tw::put_u32(out, 1);  // subspace_dim
    tw::put_u32(out, 3);  // num_centroids
    tw::put_u8(out, 1);   // flag_p
    put_f32(out, 10.0f);  // param_x
    put_f32(out, 0.5f);   // param_y
    tw::put_u8(out, 0);   // flag_q
    tw::put_u32(out, 9);  // param_n
    tw::put_u8(out, 1);   // rotation present
    put_f32s(out, 4, -1.0f);
  } else {
    tw::put_u32(out, 3);  // num_centroids
    tw::put_u8(out, 0);   // flag_p
    put_f32(out, 0.5f);   // param_y
  }
  put_f32s(out, 3 * 2 * 1, 2.0f);  // codebook
  tw::put_u8(out, 1);              // norms present
  put_f32s(out, 3 * 2, 0.25f);
  return out;
}

std::vector<SampleFile> write_sample_index(const std::filesystem::path& dir) {
  tw::SegmentSpec a = sample_segment(kSegmentA, 40);
  a.terms.block_entries = 4;
  a.terms.sparse_every = 2;
  a.terms.dictionary = true;
  a.terms.inline_postings = false;
  a.terms.posting_block = 16;
  a.store.block_docs = 8;
  a.store.dictionary = true;

  tw::SegmentSpec b = sample_segment(kSegmentB, 12);
  b.terms.bloom = false;

  tw::IndexSpec spec;
  const std::string schema = schema_json();
  spec.schema_json = resolve_schema(schema, dir);
  spec.segments = {a, b};
  tw::write_index(dir, spec);

  const Bytes vectors = sample_vectors_file();
  const Bytes centroids = centroid_file(2);
  const Bytes codebook = codebook_file(2);
  std::vector<SampleFile> files = {{"schema.json", to_bytes(schema)},
                                   {"segments.json", read_file(dir / "segments.json")}};
  for (std::string_view id : {kSegmentA, kSegmentB}) {
    const std::string base = tw::segment_base(id);
    for (std::string_view ext : {".meta", ".terms", ".post", ".store"}) {
      const std::string name = base + std::string(ext);
      files.push_back({name, read_file(dir / name)});
    }
    write_file(dir / (base + ".vectors"), vectors);
    files.push_back({base + ".vectors", vectors});
    if (id == kSegmentA) {
      write_file(dir / kCentroidsName, centroids);
      write_file(dir / kCodebookName, codebook);
      files.push_back({std::string(kCentroidsName), centroids});
      files.push_back({std::string(kCodebookName), codebook});
    }
  }
  return files;
}

std::vector<std::string> sample_terms() {
  return {"alpha", "common", "W3", "rarea1", "rareb2", "absent"};
}

}  // namespace zelvar::fuzz::samples
