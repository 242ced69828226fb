// Test-only writer of term-dictionary (".terms") files: the exact bytes the
// engine's term dictionary reader reads. Never linked into the engine.
//
// `write_sstable` builds a whole, well-formed file from sorted entries, with
// knobs for the block size, bloom filter, sparse index and zstd dictionary.
// The encode_* pieces let a test lay out a file by hand, including the faulty
// shapes the reader must refuse.
//
// Layout written by `write_sstable`:
//   [pad byte if there are no blocks] data blocks | bloom section
//   | dictionary section | index region | 37-byte footer
// (a section never starts at offset 0, which would mean "absent").
//
// Failures (unsorted keys, a dictionary zstd cannot use) throw
// std::runtime_error: this is test code. Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/structures/postings/term_info.h"
#include "tests/writer/bytes.h"

namespace zelvar::test_writer {

// The key of (field, term): u32 field little-endian, then the term's bytes.
Bytes term_key(uint32_t field, std::string_view term);

struct TermEntry {
  Bytes key;
  TermInfo info;
};

struct SSTableOptions {
  size_t block_entries = 64;  // entries per data block (at least 1)
  bool bloom = true;
  size_t bloom_bits_per_key = 10;  // num_bits = max(64, keys * this)
  size_t bloom_hashes = 3;
  size_t sparse_every = 0;  // a sparse entry at every N-th block (0, N, 2N, ...); 0: none
  // Raw zstd dictionary; when set, blocks are compressed against it and it is
  // stored in the dictionary section. `sample_dictionary()` gives one.
  std::optional<Bytes> dictionary;
  int level = 3;
  uint64_t footer_u64 = 0;
  uint8_t footer_u8 = 0;
};

// A whole ".terms" file of `entries`, which must be sorted by key and unique.
Bytes write_sstable(std::span<const TermEntry> entries, const SSTableOptions& options = {});

// A raw-content zstd dictionary (plain bytes resembling term-dictionary
// blocks), usable for compression and decompression alike.
Bytes sample_dictionary();

// A zstd dictionary of at most `max_size` bytes trained on `samples` (zstd's
// own trainer; it needs samples totalling many times `max_size`).
Bytes train_zstd_dictionary(std::span<const Bytes> samples, size_t max_size);

// The decompressed data blocks `write_sstable` would compress for `entries`.
std::vector<Bytes> encode_blocks(std::span<const TermEntry> entries, size_t block_entries);

// --- pieces for hand-made files ---------------------------------------------

// The entry encoding of one TermInfo (tag and fields).
void encode_term_info(Bytes& out, const TermInfo& info);

// One decompressed data block: entries prefix-compressed within the block.
Bytes encode_block(std::span<const TermEntry> entries);

// zstd-compress `raw` (one frame), against `dictionary` when given.
Bytes compress(std::span<const uint8_t> raw, const Bytes* dictionary = nullptr, int level = 3);

struct IndexEntrySpec {
  Bytes first_key;
  uint64_t offset = 0;
  uint64_t length = 0;  // written as a varint, so it may exceed 32 bits
};
struct SparseEntrySpec {
  Bytes key;
  uint32_t block_idx = 0;
};

// Block index (prefix-compressed first keys) then sparse index.
Bytes encode_index_region(std::span<const IndexEntrySpec> blocks, std::span<const SparseEntrySpec> sparse);

// Bloom section holding `keys` with the engine's probe scheme.
Bytes encode_bloom_section(std::span<const Bytes> keys, uint32_t num_bits, uint32_t num_hashes);
// Bloom section from explicit fields (word count written = words.size()
// unless overridden).
Bytes encode_bloom_raw(uint32_t num_bits, uint32_t num_hashes, std::span<const uint64_t> words,
                       std::optional<uint32_t> word_count = std::nullopt);

struct Footer {
  uint64_t index_offset = 0;
  uint64_t footer_u64 = 0;
  uint64_t bloom_offset = 0;
  uint64_t dict_offset = 0;
  uint8_t footer_u8 = 0;
  uint32_t magic = 0x53544233;
};
Bytes encode_footer(const Footer& footer);

// The bloom filter's two hashes, written independently of the engine.
uint64_t fnv1a_64(std::span<const uint8_t> key);
uint64_t fnv1_64_swapped_basis(std::span<const uint8_t> key);

}  // namespace zelvar::test_writer
