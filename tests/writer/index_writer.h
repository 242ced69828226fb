// Test-only writer of whole index folders: "schema.json", "segments.json" and
// every segment's ".meta", ".terms", ".post" and ".store" files, built from a
// compact description of the documents. Never linked into the engine.
//
// Indexed text is tokenised by splitting on ASCII whitespace and lower-casing
// ASCII letters. From the tokens the writer derives, consistently, each
// term's postings (local document, term frequency), the ".meta" statistics
// (per field: tokens summed over the segment, documents that have the field)
// and the document count.
//
// Every format knob the readers must cope with is exposed: term-dictionary
// block size, bloom filter, sparse index, compression dictionaries, inline or
// external postings, store block size with or without a dictionary. Faulty
// folders are made by leaving files out, overriding "segments.json", or by
// editing the written files afterwards.
//
// Failures (an unwritable folder, an identifier that cannot name files) throw
// std::runtime_error: this is test code. The string builders are pure; two
// writers must not write the same folder at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelvar::test_writer {

// The term dictionary of a segment.
struct SegmentTermsOptions {
  size_t block_entries = 64;  // terms per compressed block (at least 1)
  bool bloom = true;          // write a bloom filter
  size_t bloom_bits_per_key = 10;
  size_t bloom_hashes = 3;
  size_t sparse_every = 0;    // a sparse-index entry every N blocks; 0: none
  bool dictionary = false;    // compress the blocks against a zstd dictionary
  // With `dictionary`: 0 uses sample_dictionary(); N trains a dictionary of at
  // most N bytes on the segment's own decompressed blocks.
  size_t dictionary_size = 0;
  // Keep a term's postings inside its dictionary entry when they fit (at
  // most 255 postings in 16 bytes); false puts every list in ".post".
  bool inline_postings = true;
  size_t posting_block = 128;  // postings per block of an external list (1 to 128)
};

// The document store of a segment.
struct SegmentStoreOptions {
  size_t block_docs = 16;     // documents per compressed block (at least 1)
  bool dictionary = false;    // compress the blocks against a zstd dictionary
  // With `dictionary`: 0 finalizes a 4 KiB dictionary around the documents'
  // first bytes (train_dictionary); N trains one of at most N bytes on the
  // documents (train_zstd_dictionary).
  size_t dictionary_size = 0;
};

struct DocumentSpec {
  // The document's stored record, written into the store verbatim (so that
  // tests can store malformed JSON too); see stored_document() below.
  std::string stored_json = R"({"field_values":[]})";
  // Indexed text per field number; a field may appear more than once.
  std::vector<std::pair<uint32_t, std::string>> indexed;
};

struct SegmentSpec {
  // The identifier as listed in "segments.json": hexadecimal, an optional
  // leading "+", at most 128 bits. It also names the files.
  std::string id;
  std::vector<DocumentSpec> docs;
  SegmentTermsOptions terms;
  SegmentStoreOptions store;
  // Listed in the generated "segments.json" (an unlisted segment's files are
  // still written, ready for a later reload).
  bool listed = true;
  // Extensions (".meta", ".terms", ".post", ".store") not to write.
  std::vector<std::string> omit;
  // The id stored inside ".meta"; defaults to the identifier's value.
  std::optional<unsigned __int128> meta_id;
  // The document count stored inside ".meta"; defaults to docs.size(). Lets
  // a segment claim more (or fewer) documents than its store holds.
  std::optional<uint32_t> meta_num_docs;
};

struct IndexSpec {
  // "schema.json" verbatim; absent: the file is not written.
  std::optional<std::string> schema_json;
  std::vector<SegmentSpec> segments;
  // "segments.json" verbatim; absent: a JSON list of the listed segments'
  // identifiers, in order.
  std::optional<std::string> segments_json;
  bool write_segments_json = true;  // false: no "segments.json" at all
};

// Writes the whole folder (creating it if needed; existing files are
// overwritten, other files left alone).
void write_index(const std::filesystem::path& dir, const IndexSpec& spec);

// The block counts and decompressed sizes of what write_segment wrote, for
// callers that size caches from them.
struct SegmentSizes {
  size_t term_blocks = 0;
  size_t term_block_bytes = 0;   // decompressed, summed over the blocks
  size_t store_blocks = 0;
  size_t store_block_bytes = 0;  // decompressed, summed over the blocks
};

// Writes one segment's files into `dir`. Segments with different identifiers
// may be written into one folder from several threads at once.
SegmentSizes write_segment(const std::filesystem::path& dir, const SegmentSpec& spec);

// Writes `text` to `dir / name`.
void write_file(const std::filesystem::path& dir, std::string_view name, std::string_view text);

// The value of a hexadecimal identifier (optional "+", at most 128 bits);
// throws for any other text.
unsigned __int128 parse_segment_id(std::string_view id);

// "seg_" + the identifier's 32 lower-case hexadecimal digits (throws for a
// text that is no identifier).
std::string segment_base(std::string_view id);

// The JSON list of `ids`, as "segments.json" holds it.
std::string segments_json(const std::vector<std::string>& ids);

// Lower-cased ASCII tokens of `text`, split on ASCII whitespace.
std::vector<std::string> tokenize(std::string_view text);

// Stored-record builders: stored_document({{0, text_value("Hello")},
// {1, u64_value(7)}}) is {"field_values":[[0,{"text":"Hello"}],[1,{"u64":7}]]}.
std::string stored_document(const std::vector<std::pair<uint32_t, std::string>>& values);
std::string json_string(std::string_view text);  // quoted and escaped
std::string json_number(double value);          // shortest exact form, finite only
std::string text_value(std::string_view text);
std::string u64_value(uint64_t value);
std::string i64_value(int64_t value);
std::string f64_value(double value);

// A document whose stored text fields are also its indexed text.
DocumentSpec text_document(const std::vector<std::pair<uint32_t, std::string>>& fields);

}  // namespace zelvar::test_writer
