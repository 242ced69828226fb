// Test-only writer of a segment's ".store" file: exactly the bytes the
// engine's document store reads, with knobs for block sizes, the zstd
// dictionary, and the faulty shapes the reader must refuse. Never linked into
// the engine.
//
// Two levels:
//   - write_store: documents (their JSON texts) packed `docs_per_block` to a
//     block, compressed with or without a dictionary, the index and footer
//     computed;
//   - assemble_store: blocks and index entries given verbatim (gaps, odd first
//     numbers, unsorted or out-of-range entries), the footer computed unless
//     overridden.
// Both return the file with its layout, so a test can patch single fields.
// Pure functions on their arguments; safe from any thread. Failures throw:
// this is test code.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tests/writer/bytes.h"

namespace zelvar::test_writer {

struct StoreFooter {
  uint64_t data_end_offset = 0;
  uint64_t dict_offset = 0;
  uint32_t num_docs = 0;
  uint32_t has_dict = 0;
  uint32_t version = 2;
  uint32_t magic = 0x53544F52;
};

struct StoreEntry {
  uint32_t first_doc = 0;
  uint64_t offset = 0;
  uint32_t length = 0;
  uint32_t num_docs = 0;
};

struct StoreFile {
  Bytes bytes;
  StoreFooter footer;
  std::vector<StoreEntry> index;
  uint64_t index_offset = 0;  // file offset of the index region's count
};

// The decompressed form of a block: u32 length + JSON text per document.
Bytes encode_records(std::span<const std::string> documents);

// One zstd frame of `raw`, against `dictionary` when given.
Bytes compress_block(std::span<const uint8_t> raw, const Bytes* dictionary = nullptr, int level = 3);

// A zstd dictionary built from `samples` (at most `max_size` bytes) with the
// id `dict_id`, which frames compressed with it record.
Bytes train_dictionary(std::span<const std::string> samples, size_t max_size = 4096, uint32_t dict_id = 0x5A454C);

struct StoreOptions {
  uint32_t docs_per_block = 16;    // 0 is taken as 1
  std::optional<Bytes> dictionary;  // compress every block with it and store it
  int level = 3;
};

StoreFile write_store(std::span<const std::string> documents, const StoreOptions& options = {});

// A block given as its compressed bytes and the entry values to record.
struct RawBlock {
  uint32_t first_doc = 0;
  uint32_t num_docs = 0;
  Bytes compressed;
};

// Blocks laid out back to back from offset 0, entries recording their offsets
// and lengths; then the dictionary section (if given), the index and the
// footer with num_docs = `num_docs`. `extra_entries` are appended to the
// index after the blocks' own entries, verbatim.
StoreFile assemble_store(const std::vector<RawBlock>& blocks, const std::optional<Bytes>& dictionary,
                         uint32_t num_docs, const std::vector<StoreEntry>& extra_entries = {});

// Rewrites the footer (the last 32 bytes) of `file` from `footer`.
void patch_footer(Bytes& file, const StoreFooter& footer);

// Rewrites the index region of `file` at `index_offset`: count `count`, then
// `entries` (which must fit before the footer).
void patch_index(Bytes& file, uint64_t index_offset, uint32_t count, const std::vector<StoreEntry>& entries);

}  // namespace zelvar::test_writer
