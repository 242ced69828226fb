// Test-only writer of a segment's ".meta" file: the bytes the engine's
// metadata reader reads, with knobs to produce the faulty shapes it must
// refuse. Never linked into the engine. A pure function; safe from any thread.
//
// Layout: u128 id, u32 num_docs, u32 entry count, then per entry u32 field,
// u64 total_tokens, u32 doc_count; all little-endian.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace zelvar::test_writer {

struct MetaEntry {
  uint32_t field = 0;
  uint64_t total_tokens = 0;
  uint32_t doc_count = 0;
};

struct MetaFile {
  unsigned __int128 id = 0;
  uint32_t num_docs = 0;
  std::vector<MetaEntry> entries;  // written in this order; repeats allowed
  // Knobs for faulty files.
  bool omit_count = false;                // stop after num_docs (a 20-byte file)
  std::optional<uint32_t> count_override;  // entry count written instead of entries.size()
  std::vector<uint8_t> trailing;          // bytes appended after the entries
};

std::vector<uint8_t> write_meta(const MetaFile& file);

}  // namespace zelvar::test_writer
