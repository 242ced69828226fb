#include "core/structures/sstable/sstable.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/error/result.h"
#include "core/directories/byte_cursor.h"

namespace zelvar {
namespace {

IoError invalid_data(std::string text) { return IoError(IoErrorKind::InvalidData, std::move(text)); }

// Byte-string order: unsigned bytes, a proper prefix first.
int compare_keys(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  const size_t n = std::min(a.size(), b.size());
  if (n != 0) {
    if (int c = std::memcmp(a.data(), b.data(), n); c != 0) return c < 0 ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string hex_u32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

}  // namespace

// --- bloom filter -------------------------------------------------------------

namespace sstable {

uint64_t bloom_hash1(std::span<const uint8_t> key) {
  uint64_t h = kFnvOffset;
  for (uint8_t b : key) {
    h ^= b;
    h *= kFnvPrime;
  }
  return h;
}

uint64_t bloom_hash2(std::span<const uint8_t> key) {
  uint64_t h = kFnvOffset << 32 | kFnvOffset >> 32;
  for (uint8_t b : key) {
    h *= kFnvPrime;
    h ^= b;
  }
  return h;
}

}  // namespace sstable

IoResult<BloomFilter> BloomFilter::from_bytes(const OwnedBytes& bytes) {
  if (bytes.size() < kHeaderLen) return std::unexpected(invalid_data("Bloom filter data too short"));
  BloomFilter filter;
  filter.num_bits = decode_le<uint32_t>(bytes.data());
  filter.num_hashes = decode_le<uint32_t>(bytes.data() + 4);
  const uint64_t words = decode_le<uint32_t>(bytes.data() + 8);
  if (bytes.size() - kHeaderLen < words * 8) {
    return std::unexpected(invalid_data("Bloom filter data truncated"));
  }
  // Copied: at open `bytes` views the buffer of the file's whole end, which
  // the filter would otherwise keep alive for the reader's life.
  const size_t size = static_cast<size_t>(words * 8);
  uint8_t* bits = nullptr;
  filter.bits = OwnedBytes::for_overwrite(size, bits);
  if (size != 0) std::memcpy(bits, bytes.data() + kHeaderLen, size);
  return filter;
}

bool BloomFilter::may_contain(std::span<const uint8_t> key) const {
  if (num_hashes == 0) return true;
  // No bit can be set in a filter of 0 bits: every probe reads as clear.
  if (num_bits == 0) return false;
  uint64_t h = sstable::bloom_hash1(key);
  const uint64_t step = sstable::bloom_hash2(key);
  // The probe count comes from the file; billions of probes would stall
  // every lookup for seconds. Stopping early can only let a key through to
  // its block, whose scan gives the true answer.
  const size_t probes = std::min(num_hashes, kMaxProbes);
  for (size_t i = 0; i < probes; ++i) {
    const uint64_t bit = h % num_bits;
    const uint64_t word = bit / 64;
    if (word >= num_words() || ((this->word(static_cast<size_t>(word)) >> (bit % 64)) & 1) == 0) return false;
    h += step;
  }
  return true;
}

// --- open ---------------------------------------------------------------------

struct AsyncSSTableReader::Contents {
  KeyBytes first_keys;
  BlockIndex block_index;
  std::vector<SparseIndexEntry> sparse_index;
  std::optional<BloomFilter> bloom_filter;
  std::optional<CompressionDict> dictionary;
  LazyFileSlice data;
  uint64_t footer_u64;
  uint32_t footer_u8;
};

AsyncSSTableReader::AsyncSSTableReader(Contents c, size_t cache_blocks)
    // Moving a vector keeps its buffer, so the first keys' views stay valid.
    : first_keys_(std::move(c.first_keys)),
      block_index_(std::move(c.block_index)),
      sparse_index_(std::move(c.sparse_index)),
      bloom_filter_(std::move(c.bloom_filter)),
      dictionary_(std::move(c.dictionary)),
      footer_u64_(c.footer_u64),
      footer_u8_(c.footer_u8),
      blocks_(std::move(c.data), dictionary_, cache_blocks, kMaxBlockSize) {}

namespace {

// Smallest encodings, used to cap reservations by what the bytes can hold:
// a block index entry is four varints, a sparse entry u16 + u32.
constexpr size_t kMinBlockEntryLen = 4;
constexpr size_t kMinSparseEntryLen = 6;

// First keys are kept whole, and a few bytes of prefix compression can stand
// for a whole previous key: without a bound, a small index region of long
// shared prefixes would rebuild terabytes of keys. An entry as written takes
// about 8 bytes (two counts, a suffix, offset and length), so this bound is
// only reached by first keys averaging hundreds of bytes.
constexpr uint64_t kMaxKeyBytesPerIndexByte = 64;

constexpr uint64_t kMinKeyBudget = uint64_t{1} << 20;

// The block index's first keys, rebuilt one after another into one buffer:
// each is the first min(shared, previous key's length) bytes of the previous
// key, then its own suffix. The buffer grows by doubling (an index holds
// thousands of keys, read at every open) and keeps kSlack bytes beyond the
// keys, so that short copies move 16 bytes at once without a call.
class FirstKeyBuilder {
 public:
  static constexpr size_t kSlack = 16;

  FirstKeyBuilder(KeyBytes& bytes, uint64_t budget) : bytes_(bytes), budget_(budget) {}

  // Appends one key; false, with nothing appended, when the keys would pass
  // the budget. `suffix_has_slack` says that kSlack bytes can be read from
  // the suffix's start, whatever its length.
  bool append(uint64_t shared, std::span<const uint8_t> suffix, bool suffix_has_slack) {
    const size_t start = used_;
    const size_t prefix = static_cast<size_t>(std::min<uint64_t>(shared, start - previous_start_));
    if (start + prefix + suffix.size() > budget_) return false;
    used_ = start + prefix + suffix.size();
    if (used_ + kSlack > bytes_.size()) {
      bytes_.resize(std::max(used_ + kSlack, std::max<size_t>(4096, 2 * bytes_.size())));
    }
    uint8_t* const key = bytes_.data() + start;
    const uint8_t* const previous = bytes_.data() + previous_start_;
    // The previous key ends where this one starts, so a 16-byte move may
    // overlap it; the prefix bytes are read before any is written.
    if (prefix <= kSlack) {
      std::memmove(key, previous, kSlack);
    } else {
      std::memcpy(key, previous, prefix);
    }
    if (suffix.size() <= kSlack && suffix_has_slack) {
      std::memcpy(key + prefix, suffix.data(), kSlack);
    } else if (!suffix.empty()) {
      std::memcpy(key + prefix, suffix.data(), suffix.size());
    }
    ends_.push_back(used_);
    previous_start_ = start;
    return true;
  }

  IoError over_budget() const {
    return invalid_data("SSTable block index keys exceed " + std::to_string(budget_) + " bytes");
  }

  // Room for `keys` keys of `bytes` bytes in all, as a guess.
  void reserve(size_t keys, size_t bytes) {
    ends_.reserve(keys);
    bytes_.resize(std::min<uint64_t>(bytes, budget_) + kSlack);
  }

  // Cuts the buffer to the keys and points each entry at its key.
  void finish(BlockIndex& blocks) {
    bytes_.resize(used_);
    if (bytes_.capacity() - used_ > used_ / 8) bytes_.shrink_to_fit();
    size_t key_start = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
      blocks[i].first_key = std::span<const uint8_t>(bytes_).subspan(key_start, ends_[i] - key_start);
      key_start = ends_[i];
    }
  }

 private:
  KeyBytes& bytes_;
  const uint64_t budget_;
  std::vector<size_t> ends_;  // of each key in bytes_, which may still move as it grows
  size_t used_ = 0;           // bytes of bytes_ that hold keys
  size_t previous_start_ = 0;
};

// Reads the block index and the sparse index. The first keys go, one after
// another, into `first_keys`, which the entries' views then point into.
IoResult<void> read_index_region(std::span<const uint8_t> region, KeyBytes& first_keys, BlockIndex& blocks,
                                 std::vector<SparseIndexEntry>& sparse) {
  ByteCursor cur(region);
  ZELVAR_TRY(const uint32_t n, cur.u32());
  blocks.reserve(std::min<size_t>(n, cur.remaining() / kMinBlockEntryLen));
  FirstKeyBuilder keys(first_keys,
                       std::max<uint64_t>(kMinKeyBudget, region.size() * kMaxKeyBytesPerIndexByte));
  // The first keys, rebuilt, usually take about as many bytes as the whole
  // index region: each entry's counts and block place stand for the key's
  // shared prefix.
  keys.reserve(blocks.capacity(), region.size());

  // An entry is two varints, the suffix, and two more varints. Most entries
  // lie far enough from the region's end to be decoded without an end check
  // per byte; from the first that does not, or that holds a fault, on, each
  // is decoded again through the cursor, which reports faults in their order.
  constexpr ptrdiff_t kVintsRoom = 2 * 10;
  const uint8_t* p = cur.rest().data();
  const uint8_t* const end = p + cur.rest().size();
  uint32_t i = 0;
  for (; i < n; ++i) {
    const uint8_t* q = p;
    uint64_t shared = 0;
    uint64_t suffix_len = 0;
    uint64_t offset = 0;
    uint64_t length = 0;
    if (end - q < kVintsRoom || decode_vint_unchecked(q, shared) != VintStatus::kOk ||
        decode_vint_unchecked(q, suffix_len) != VintStatus::kOk || suffix_len > static_cast<uint64_t>(end - q)) {
      break;
    }
    const std::span<const uint8_t> suffix(q, static_cast<size_t>(suffix_len));
    q += suffix.size();
    if (end - q < kVintsRoom || decode_vint_unchecked(q, offset) != VintStatus::kOk ||
        decode_vint_unchecked(q, length) != VintStatus::kOk) {
      break;
    }
    if (!keys.append(shared, suffix, static_cast<size_t>(end - suffix.data()) >= FirstKeyBuilder::kSlack)) {
      return std::unexpected(keys.over_budget());
    }
    blocks.push_back(BlockIndexEntry{.first_key = {}, .offset = offset, .length = static_cast<uint32_t>(length)});
    p = q;
  }
  cur = ByteCursor(std::span<const uint8_t>(p, end));
  for (; i < n; ++i) {
    ZELVAR_TRY(const uint64_t shared, cur.vint());
    ZELVAR_TRY(const uint64_t suffix_len, cur.vint());
    ZELVAR_TRY(const std::span<const uint8_t> suffix, cur.take(suffix_len));
    if (!keys.append(shared, suffix, suffix.size() + cur.remaining() >= FirstKeyBuilder::kSlack)) {
      return std::unexpected(keys.over_budget());
    }
    BlockIndexEntry e;
    ZELVAR_TRY(e.offset, cur.vint());
    ZELVAR_TRY(const uint64_t length, cur.vint());
    e.length = static_cast<uint32_t>(length);
    blocks.push_back(e);
  }
  keys.finish(blocks);

  ZELVAR_TRY(const uint32_t m, cur.u32());
  sparse.reserve(std::min<size_t>(m, cur.remaining() / kMinSparseEntryLen));
  for (uint32_t k = 0; k < m; ++k) {
    ZELVAR_TRY(const uint16_t len, cur.u16());
    ZELVAR_TRY(auto bytes, cur.take(len));
    SparseIndexEntry e;
    e.key.assign(bytes.begin(), bytes.end());
    ZELVAR_TRY(e.block_idx, cur.u32());
    sparse.push_back(std::move(e));
  }
  return {};
}

}  // namespace

IoResult<std::shared_ptr<AsyncSSTableReader>> AsyncSSTableReader::open(LazyFileHandle file,
                                                                       size_t cache_blocks) {
  const uint64_t size = file.file_size();
  if (size < sstable::kFooterLen) return std::unexpected(invalid_data("SSTable too small"));
  const uint64_t footer_start = size - sstable::kFooterLen;

  // The footer and the sections after the data blocks are read through one
  // buffer of the file's end (see TailReader): usually the first read holds
  // them all, else one more read from the lowest section does.
  TailReader tail(file);
  ZELVAR_TRY_VOID(tail.buffer_end());
  ZELVAR_TRY(const OwnedBytes footer, tail.read_bytes_range({footer_start, size}));
  const uint8_t* f = footer.data();
  const uint64_t index_offset = decode_le<uint64_t>(f);
  const uint64_t footer_u64 = decode_le<uint64_t>(f + 8);
  const uint64_t bloom_offset = decode_le<uint64_t>(f + 16);
  const uint64_t dict_offset = decode_le<uint64_t>(f + 24);
  const uint32_t footer_u8 = f[32];
  const uint32_t magic = decode_le<uint32_t>(f + 33);
  if (magic != sstable::kMagic) {
    return std::unexpected(invalid_data("Invalid SSTable magic: " + hex_u32(magic)));
  }
  uint64_t lowest = index_offset;
  if (bloom_offset != 0) lowest = std::min(lowest, bloom_offset);
  if (dict_offset != 0) lowest = std::min(lowest, dict_offset);
  ZELVAR_TRY_VOID(tail.reach(lowest));

  Contents c{.first_keys = {},
             .block_index = {},
             .sparse_index = {},
             .bloom_filter = std::nullopt,
             .dictionary = std::nullopt,
             .data = LazyFileSlice(file, 0, index_offset),
             .footer_u64 = footer_u64,
             .footer_u8 = footer_u8};

  // An index_offset past the footer gives a reversed range, which the file
  // handle refuses without reading.
  {
    ZELVAR_TRY(const OwnedBytes region, tail.read_bytes_range({index_offset, footer_start}));
    ZELVAR_TRY_VOID(read_index_region(region.as_slice(), c.first_keys, c.block_index, c.sparse_index));
  }

  if (bloom_offset != 0) {
    ZELVAR_TRY(const OwnedBytes header,
               tail.read_bytes_range({bloom_offset, bloom_offset + BloomFilter::kHeaderLen}));
    const uint64_t words = decode_le<uint32_t>(header.data() + 8);
    ZELVAR_TRY(const OwnedBytes section,
               tail.read_bytes_range({bloom_offset, bloom_offset + BloomFilter::kHeaderLen + 8 * words}));
    ZELVAR_TRY(c.bloom_filter, BloomFilter::from_bytes(section));
  }

  if (dict_offset != 0) {
    ZELVAR_TRY(const OwnedBytes header, tail.read_bytes_range({dict_offset, dict_offset + 4}));
    const uint64_t len = decode_le<uint32_t>(header.data());
    ZELVAR_TRY(const OwnedBytes bytes, tail.read_bytes_range({dict_offset + 4, dict_offset + 4 + len}));
    c.dictionary = CompressionDict{bytes.to_vec()};
  }

  return std::shared_ptr<AsyncSSTableReader>(new AsyncSSTableReader(std::move(c), cache_blocks));
}

// --- lookup -------------------------------------------------------------------

std::pair<size_t, size_t> AsyncSSTableReader::find_block_range(std::span<const uint8_t> key) const {
  const size_t n = block_index_.size();
  if (sparse_index_.empty()) return {0, n == 0 ? 0 : n - 1};
  // The last sparse entry whose key is <= the lookup key, else the first.
  auto after = std::upper_bound(
      sparse_index_.begin(), sparse_index_.end(), key,
      [](std::span<const uint8_t> k, const SparseIndexEntry& e) { return compare_keys(k, e.key) < 0; });
  const size_t i = after == sparse_index_.begin() ? 0 : static_cast<size_t>(after - sparse_index_.begin()) - 1;
  const size_t start = sparse_index_[i].block_idx;
  const size_t next = i + 1 < sparse_index_.size() ? sparse_index_[i + 1].block_idx : n;
  size_t end = next == 0 ? 0 : next - 1;
  if (end < start) end = start;
  return {start, end};
}

IoResult<std::optional<TermInfo>> AsyncSSTableReader::get(std::span<const uint8_t> key) const {
  if (!may_contain(key)) return std::nullopt;

  const size_t n = block_index_.size();
  // A dictionary without blocks holds no key.
  if (n == 0) return std::nullopt;
  auto [start, end] = find_block_range(key);
  if (start >= n) {
    return std::unexpected(invalid_data("SSTable sparse index points to block " + std::to_string(start) +
                                        " of " + std::to_string(n)));
  }
  end = std::min(end, n - 1);

  // p = the number of blocks in [start, end] whose first key is below the key.
  const auto first = block_index_.begin() + static_cast<ptrdiff_t>(start);
  const auto last = block_index_.begin() + static_cast<ptrdiff_t>(end) + 1;
  const auto it = std::lower_bound(first, last, key, [](const BlockIndexEntry& e, std::span<const uint8_t> k) {
    return compare_keys(e.first_key, k) < 0;
  });
  const size_t p = static_cast<size_t>(it - first);
  size_t block_idx;
  if (it != last && compare_keys(it->first_key, key) == 0) {
    block_idx = start + p;
  } else if (p > 0) {
    block_idx = start + p - 1;
  } else if (start == 0) {
    return std::nullopt;  // below the first block's first key
  } else {
    block_idx = start;  // the scan finds nothing
  }

  ZELVAR_TRY(const BlockPtr block, load_block(block_idx));
  return search_block(*block, key);
}

IoResult<AsyncSSTableReader::BlockPtr> AsyncSSTableReader::load_block(size_t block_idx) const {
  if (block_idx >= block_index_.size()) {
    return std::unexpected(IoError(IoErrorKind::InvalidInput, "SSTable block " + std::to_string(block_idx) +
                                                                  " out of range (" +
                                                                  std::to_string(block_index_.size()) +
                                                                  " blocks)"));
  }
  const BlockIndexEntry& e = block_index_[block_idx];
  // A block whose end would pass 2^64 goes to the window reversed, and is
  // refused there without a read.
  return blocks_.load(e.offset, ByteRange::at_or_reversed(e.offset, e.length));
}

IoResult<TermInfo> AsyncSSTableReader::read_term_info(ByteCursor& cur) {
  ZELVAR_TRY(const uint8_t tag, cur.u8());
  if (tag == 0x00) {
    TermInfo::External e;
    ZELVAR_TRY(const uint64_t doc_freq, cur.vint());
    ZELVAR_TRY(e.posting_offset, cur.vint());
    ZELVAR_TRY(const uint64_t posting_len, cur.vint());
    e.doc_freq = static_cast<uint32_t>(doc_freq);
    e.posting_len = static_cast<uint32_t>(posting_len);
    return TermInfo(e);
  }
  if (tag == 0xFF) {
    TermInfo::Inline in;
    ZELVAR_TRY(auto head, cur.take(2));
    in.doc_count = head[0];
    in.data_len = head[1];
    if (in.data_len > TermInfo::kMaxInlineLen) {
      return std::unexpected(invalid_data("Inline TermInfo data too long: " +
                                          std::to_string(in.data_len) + " bytes (at most 16)"));
    }
    ZELVAR_TRY(auto bytes, cur.take(in.data_len));
    std::copy(bytes.begin(), bytes.end(), in.data.begin());
    return TermInfo(in);
  }
  return std::unexpected(invalid_data("Invalid TermInfo tag: " + std::to_string(tag)));
}

IoResult<std::optional<TermInfo>> AsyncSSTableReader::search_block(std::span<const uint8_t> block,
                                                                   std::span<const uint8_t> key) {
  if (block.empty()) return std::nullopt;
  ByteCursor cur(block);
  // The entries' keys are not rebuilt. The scan goes on only past keys below
  // `key`, and of the key it stands on it keeps two numbers: its length and
  // how many leading bytes it shares with `key` (`matched`). An entry that
  // keeps more of that key than `matched` bytes differs from `key` where that
  // key did, in the same way: it is below `key` too. Otherwise it agrees with
  // `key` up to what it keeps, and its suffix decides.
  size_t length = 0;
  size_t matched = 0;
  for (;;) {
    ZELVAR_TRY(const uint64_t shared, cur.vint());
    ZELVAR_TRY(const uint64_t suffix_len, cur.vint());
    ZELVAR_TRY(const std::span<const uint8_t> suffix, cur.take(suffix_len));
    ZELVAR_TRY(TermInfo info, read_term_info(cur));
    const size_t kept = static_cast<size_t>(std::min<uint64_t>(shared, length));
    length = kept + suffix.size();
    int c = -1;
    if (kept <= matched) {
      // The entry's key is key[0, kept) followed by the suffix.
      const std::span<const uint8_t> rest = key.subspan(kept);
      size_t same = 0;
      while (same < std::min(rest.size(), suffix.size()) && suffix[same] == rest[same]) ++same;
      matched = kept + same;
      c = compare_keys(suffix.subspan(same), rest.subspan(same));
    }
    if (c == 0) return info;
    if (c > 0 || cur.empty()) return std::nullopt;
  }
}

}  // namespace zelvar
