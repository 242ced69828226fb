// The term dictionary (".terms"): a sorted string table from byte-string keys
// (u32 field number, little-endian, then the term's bytes) to TermInfo.
//
// File layout, every region located from the footer:
//
//   [0, index_offset)            data blocks, zstd-compressed (with the file's
//                                dictionary when it has one), each one run of
//                                entries:
//                                  varint shared | varint s | s bytes suffix
//                                  | TermInfo: 0x00 varint doc_freq
//                                      varint posting_offset varint posting_len
//                                    or 0xFF u8 doc_count u8 data_len data
//   bloom_offset (if not 0)      u32 num_bits | u32 num_hashes | u32 w | w x u64
//   dict_offset (if not 0)       u32 d | d bytes raw zstd dictionary
//   [index_offset, size - 37)    u32 n | n x (varint shared | varint s | s bytes
//                                  | varint offset | varint length)
//                                | u32 m | m x (u16 k | k bytes | u32 block)
//                                | (ignored)
//   [size - 37, size)            footer: u64 index_offset | u64 (opaque)
//                                | u64 bloom_offset | u64 dict_offset
//                                | u8 (opaque) | u32 magic 0x53544233
//
// Keys are prefix-compressed against the previous key (within a block, or
// the previous block's first key in the block index) and ascend throughout.
// Opening reads the footer, the index region and the two optional sections;
// data blocks are read on lookup and kept in a BlockCache keyed by their file
// offset.
//
// Thread safety: an open reader is immutable apart from its block cache, which
// has its own lock (never held across a read or a decompression); share the
// reader freely.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/compression/block_cache.h"
#include "core/compression/block_loader.h"
#include "core/compression/zstd.h"
#include "core/directories/buffer_pool.h"
#include "core/directories/byte_cursor.h"
#include "core/directories/lazy_file.h"
#include "core/error/io_error.h"
#include "core/structures/postings/term_info.h"

namespace zelvar {

struct BlockIndexEntry {
  // Whole, rebuilt from its prefix compression. Views the key bytes of the
  // reader that read it (one buffer for all its first keys), which must
  // outlive the entry.
  std::span<const uint8_t> first_key;
  uint64_t offset = 0;  // file offset of the compressed block; its cache key
  uint32_t length = 0;  // compressed length

  friend bool operator==(const BlockIndexEntry& a, const BlockIndexEntry& b) {
    return std::ranges::equal(a.first_key, b.first_key) && a.offset == b.offset && a.length == b.length;
  }
};

// The block index and the bytes of its first keys, read at every open; their
// memory is kept for the next open once the reader is gone (see buffer_pool).
using BlockIndex = std::vector<BlockIndexEntry, buffer_pool::Allocator<BlockIndexEntry>>;
using KeyBytes = std::vector<uint8_t, buffer_pool::Allocator<uint8_t>>;

struct SparseIndexEntry {
  std::vector<uint8_t> key;  // a key at which a run of blocks starts
  uint32_t block_idx = 0;    // the block where that run starts
  friend bool operator==(const SparseIndexEntry&, const SparseIndexEntry&) = default;
};

struct BloomFilter {
  static constexpr size_t kHeaderLen = 12;

  // The stored words, each a little-endian u64: bit i = bit (i mod 64) of
  // word (i div 64). A buffer of the filter's own, holding exactly the
  // words, copied from the bytes it was read from.
  OwnedBytes bits;
  size_t num_bits = 0;    // the probe modulus
  size_t num_hashes = 0;  // probes per key

  size_t num_words() const { return bits.size() / 8; }
  uint64_t word(size_t i) const { return decode_le<uint64_t>(bits.data() + 8 * i); }

  // Header (num_bits, num_hashes, word count w) and w words; bytes after the
  // words are ignored. Errors: InvalidData "Bloom filter data too short" (under
  // 12 bytes), "Bloom filter data truncated" (fewer than w words).
  static IoResult<BloomFilter> from_bytes(const OwnedBytes& bytes);

  // Probes beyond this many are not tested (no writer uses nearly as many
  // hashes); skipping them only lets more keys through to their blocks.
  static constexpr size_t kMaxProbes = 1024;

  // False when the key is certainly absent. Probes h1 + i*h2 (mod 2^64) for i
  // in [0, min(num_hashes, kMaxProbes)), each taken mod num_bits; a probe
  // whose word is not stored counts as clear, and so does every probe of a
  // filter without bits.
  bool may_contain(std::span<const uint8_t> key) const;
};

// The term dictionary's cache: decompressed blocks keyed by their file offset.
using BlockCache = LruBlockCache<uint64_t>;

namespace sstable {

inline constexpr uint32_t kMagic = 0x53544233;
inline constexpr size_t kFooterLen = 37;

// The term dictionary's varint reader (see zelvar::read_vint).
using ::zelvar::read_vint;

// 64-bit FNV-1a of `key` (the bloom filter's first hash).
uint64_t bloom_hash1(std::span<const uint8_t> key);
// 64-bit FNV-1 of `key` from the FNV-1a offset basis with its 32-bit halves
// swapped (the bloom filter's probe step).
uint64_t bloom_hash2(std::span<const uint8_t> key);

}  // namespace sstable

class AsyncSSTableReader {
 public:
  using Block = std::vector<uint8_t>;
  using BlockPtr = SharedBlock;

  // The most bytes one data block may decompress to. Real blocks hold a few
  // dozen keys; without a bound, a few kilobytes of crafted frames would make
  // every lookup decompress and scan hundreds of megabytes.
  static constexpr size_t kMaxBlockSize = size_t{8} << 20;

  // Reads the footer, the block and sparse indexes, the bloom filter and the
  // dictionary, in that order; the cache starts empty with room for
  // `cache_blocks` blocks (0 acts as 1). Errors: InvalidData "SSTable too
  // small", "Invalid SSTable magic: 0x%08X", "varint too long", the bloom
  // filter's errors, and for first keys that rebuild to more than 64 bytes
  // per byte of the index region (at least 1 MiB); UnexpectedEof "failed to
  // fill whole buffer" for an index region too short for its contents; the
  // file handle's range errors.
  static IoResult<std::shared_ptr<AsyncSSTableReader>> open(LazyFileHandle file,
                                                            size_t cache_blocks);

  AsyncSSTableReader(const AsyncSSTableReader&) = delete;
  AsyncSSTableReader& operator=(const AsyncSSTableReader&) = delete;

  // The TermInfo stored under `key`, absent if there is none. Reads and
  // decompresses at most one block, unless it is cached. Errors: the block
  // read and decompression errors, the entry decoding errors of
  // `search_block`, and InvalidData for a sparse index that names a block
  // beyond the block index.
  IoResult<std::optional<TermInfo>> get(std::span<const uint8_t> key) const;

  // False when the bloom filter rejects `key`, so that `get` answers absent
  // without reading; true without a filter. Reads nothing.
  bool may_contain(std::span<const uint8_t> key) const {
    return !bloom_filter_ || bloom_filter_->may_contain(key);
  }

  // The inclusive range of block numbers that may hold `key`, from the sparse
  // index; (0, n - 1) without one, (0, 0) for a dictionary without blocks. The
  // range is as the sparse index says and is not checked against the block
  // count.
  std::pair<size_t, size_t> find_block_range(std::span<const uint8_t> key) const;

  // Block `block_idx`, decompressed, from the cache or read and cached.
  // Errors: the data window's range errors, decompression errors (a block
  // beyond kMaxBlockSize: Other "Decompressed block exceeds 8388608 bytes"),
  // and InvalidInput for a block number beyond the block index.
  IoResult<BlockPtr> load_block(size_t block_idx) const;

  // Scans one decompressed block for `key`. Errors: UnexpectedEof "failed to
  // fill whole buffer" for an entry cut short, InvalidData "varint too long",
  // "Invalid TermInfo tag: N", and for an inline entry longer than 16 bytes.
  static IoResult<std::optional<TermInfo>> search_block(std::span<const uint8_t> block,
                                                        std::span<const uint8_t> key);

  // The TermInfo of one block entry, after its key: tag 0x00 and three
  // varints (document frequency, posting offset, posting length; the first
  // and last kept to 32 bits), or tag 0xFF, a document count, a length of at
  // most 16 and that many bytes. Errors as search_block's.
  static IoResult<TermInfo> read_term_info(ByteCursor& cur);

  const BlockIndex& block_index() const { return block_index_; }
  const std::vector<SparseIndexEntry>& sparse_index() const { return sparse_index_; }
  const std::optional<BloomFilter>& bloom_filter() const { return bloom_filter_; }
  const std::optional<CompressionDict>& dictionary() const { return dictionary_; }
  const LazyFileSlice& data() const { return blocks_.data(); }
  uint64_t footer_u64() const { return footer_u64_; }
  uint32_t footer_u8() const { return footer_u8_; }
  const BlockCache& cache() const { return blocks_.cache(); }

 private:
  struct Contents;
  explicit AsyncSSTableReader(Contents contents, size_t cache_blocks);

  KeyBytes first_keys_;  // the bytes block_index_'s first keys view
  BlockIndex block_index_;
  std::vector<SparseIndexEntry> sparse_index_;
  std::optional<BloomFilter> bloom_filter_;
  std::optional<CompressionDict> dictionary_;
  uint64_t footer_u64_;
  uint32_t footer_u8_;
  BlockLoader<uint64_t> blocks_;  // [0, index_offset) of the file, and its cache
};

}  // namespace zelvar
