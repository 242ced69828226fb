#include "core/structures/sstable/sstable.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/directories/directory.h"
#include "core/directories/byte_cursor.h"
#include "core/error/result.h"
#include "tests/writer/memory_file.h"
#include "tests/writer/postings_writer.h"
#include "tests/writer/sstable_writer.h"

namespace zelvar {
namespace {

using test_writer::Bytes;
using test_writer::to_bytes;

using test_writer::MemoryFile;

TermInfo external(uint32_t doc_freq, uint64_t offset, uint32_t len) {
  return TermInfo(TermInfo::External{doc_freq, offset, len});
}

TermInfo inline_info(std::vector<test_writer::DocTf> postings) {
  return *test_writer::inline_term_info(postings);
}

Bytes with_footer(Bytes body, test_writer::Footer footer) {
  test_writer::put_bytes(body, test_writer::encode_footer(footer));
  return body;
}

// A file of `data` at offset 0, then `index` as the index region.
Bytes layout(const Bytes& data, const Bytes& index, test_writer::Footer footer = {}) {
  Bytes file = data;
  footer.index_offset = file.size();
  test_writer::put_bytes(file, index);
  return with_footer(std::move(file), footer);
}

Bytes empty_index() {
  Bytes out;
  test_writer::put_u32(out, 0);
  test_writer::put_u32(out, 0);
  return out;
}

// --- open --------------------------------------------------------------------

struct OpenErrorCase {
  const char* name;
  Bytes file;
  IoErrorKind kind;
  std::string text;
};

std::vector<OpenErrorCase> open_error_cases() {
  using namespace test_writer;
  std::vector<OpenErrorCase> cases;
  cases.push_back({"36 bytes", Bytes(36, 0), IoErrorKind::InvalidData, "SSTable too small"});
  cases.push_back({"footer only", encode_footer({}), IoErrorKind::UnexpectedEof, "failed to fill whole buffer"});
  {
    Bytes f = encode_footer({});
    std::copy_n(Bytes{1, 2, 3, 4}.begin(), 4, f.end() - 4);
    cases.push_back({"magic 01020304", f, IoErrorKind::InvalidData, "Invalid SSTable magic: 0x04030201"});
    std::fill(f.end() - 4, f.end(), 0);
    cases.push_back({"magic zero", f, IoErrorKind::InvalidData, "Invalid SSTable magic: 0x00000000"});
  }
  {
    Bytes idx;
    put_u32(idx, 0);
    put_u8(idx, 0);  // sparse count cut short
    cases.push_back({"sparse count cut", layout({}, idx), IoErrorKind::UnexpectedEof, "failed to fill whole buffer"});
  }
  {
    Bytes idx;
    put_u32(idx, 0xFFFFFFFF);  // far more entries than bytes
    cases.push_back({"huge block count", layout({}, idx), IoErrorKind::UnexpectedEof, "failed to fill whole buffer"});
  }
  {
    Bytes idx;
    put_u32(idx, 1);
    put_vint(idx, 0);
    put_vint(idx, 0xFFFFFFFFFFFFULL);  // suffix length beyond the region
    put_bytes(idx, to_bytes("abc"));
    cases.push_back({"huge suffix", layout({}, idx), IoErrorKind::UnexpectedEof, "failed to fill whole buffer"});
  }
  {
    Bytes idx;
    put_u32(idx, 0);
    put_u32(idx, 0xFFFFFFFF);
    cases.push_back({"huge sparse count", layout({}, idx), IoErrorKind::UnexpectedEof, "failed to fill whole buffer"});
  }
  {
    Bytes idx;
    put_u32(idx, 0);
    put_u32(idx, 1);
    put_u16(idx, 9);
    put_bytes(idx, to_bytes("abc"));
    cases.push_back({"sparse key cut", layout({}, idx), IoErrorKind::UnexpectedEof, "failed to fill whole buffer"});
  }
  {
    Bytes idx;
    put_u32(idx, 1);
    put_bytes(idx, Bytes(10, 0x80));
    cases.push_back({"varint too long", layout({}, idx), IoErrorKind::InvalidData, "varint too long"});
  }
  {
    Bytes idx;
    put_u32(idx, 1);
    put_vint(idx, 0);
    put_vint(idx, 1);
    put_u8(idx, 'a');
    put_vint(idx, 0);  // offset, then the length is missing
    cases.push_back({"entry cut", layout({}, idx), IoErrorKind::UnexpectedEof, "failed to fill whole buffer"});
  }
  {
    // bloom_offset 5 bytes before the end of a 45-byte file.
    Footer footer;
    footer.bloom_offset = 40;
    Bytes f = layout({}, empty_index(), footer);
    cases.push_back({"bloom near the end", f, IoErrorKind::InvalidInput, "Range 40..52 out of bounds (file size: 45)"});
  }
  {
    Footer footer;
    footer.bloom_offset = 1;
    Bytes data = {0};
    put_bytes(data, encode_bloom_raw(64, 1, std::vector<uint64_t>{}, 1000));
    Bytes f = layout(data, empty_index(), footer);
    cases.push_back({"bloom words beyond the file", f, IoErrorKind::InvalidInput,
                     "Range 1..8013 out of bounds (file size: " + std::to_string(f.size()) + ")"});
  }
  {
    Footer footer;
    footer.dict_offset = 1;
    Bytes data = {0};
    put_u32(data, 500);
    Bytes f = layout(data, empty_index(), footer);
    cases.push_back({"dictionary beyond the file", f, IoErrorKind::InvalidInput,
                     "Range 5..505 out of bounds (file size: " + std::to_string(f.size()) + ")"});
  }
  {
    Footer footer;
    footer.dict_offset = 1000;
    Bytes f = layout({}, empty_index(), footer);
    cases.push_back({"dictionary header beyond the file", f, IoErrorKind::InvalidInput,
                     "Range 1000..1004 out of bounds (file size: 45)"});
  }
  return cases;
}

TEST(SSTableOpen, RefusesMalformedFiles) {
  for (const auto& c : open_error_cases()) {
    SCOPED_TRACE(c.name);
    auto r = AsyncSSTableReader::open(MemoryFile(c.file).handle(), 16);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), c.text);
    EXPECT_EQ(r.error().kind(), c.kind);
  }
}

TEST(SSTableOpen, ReversedIndexRegionFailsWithoutReadingIt) {
  test_writer::Footer footer;
  footer.index_offset = 100;  // past the footer of a 45-byte file
  Bytes file = with_footer(empty_index(), footer);
  MemoryFile mem(file);
  auto r = AsyncSSTableReader::open(mem.handle(), 16);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), IoErrorKind::InvalidInput);
  ASSERT_EQ(mem.reads().size(), 1u);  // the file's end only
  EXPECT_EQ(mem.reads()[0], (ByteRange{0, 45}));
}

TEST(SSTableOpen, FileThatShrankFailsWithEarlyEof) {
  const std::vector<test_writer::TermEntry> entries = {{to_bytes("k"), external(1, 2, 3)}};
  MemoryFile mem(test_writer::write_sstable(entries));
  LazyFileHandle handle = mem.handle();
  mem.truncate(10);
  auto r = AsyncSSTableReader::open(handle, 16);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "early eof");
}

TEST(SSTableOpen, ReadsItsSectionsFromTheFilesEnd) {
  std::vector<test_writer::TermEntry> entries = {{to_bytes("k"), external(1, 2, 3)}};
  test_writer::SSTableOptions opts;
  opts.dictionary = test_writer::sample_dictionary();
  opts.footer_u64 = 0x1122334455667788ULL;
  opts.footer_u8 = 0xAB;
  const Bytes file = test_writer::write_sstable(entries, opts);
  MemoryFile mem(file);
  auto r = AsyncSSTableReader::open(mem.handle(), 16);
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  const auto& reader = **r;
  // One read of the file's end holds the footer, the index region, the
  // bloom filter and the dictionary.
  ASSERT_EQ(mem.reads().size(), 1u);
  EXPECT_EQ(mem.reads()[0], (ByteRange{0, file.size()}));
  EXPECT_EQ(reader.footer_u64(), 0x1122334455667788ULL);
  EXPECT_EQ(reader.footer_u8(), 0xABu);
  ASSERT_TRUE(reader.dictionary().has_value());
  EXPECT_EQ(reader.dictionary()->bytes, *opts.dictionary);
  ASSERT_TRUE(reader.bloom_filter().has_value());
  EXPECT_EQ(reader.data().offset(), 0u);
  EXPECT_EQ(reader.cache().max_blocks(), 16u);
  EXPECT_EQ(reader.cache().size(), 0u);  // no block is read at open
}

// Sections reaching further back than the first read are taken by a second
// read from the lowest of them; data blocks before them are not read.
TEST(SSTableOpen, LargeSectionsTakeOneMoreRead) {
  std::vector<test_writer::TermEntry> entries;
  for (int i = 0; i < 3000; ++i) {
    entries.push_back({test_writer::term_key(0, "term" + std::to_string(100000 + i)), external(1, 2, 3)});
  }
  test_writer::SSTableOptions opts;
  opts.bloom_bits_per_key = 300;  // a bloom filter of about 110 KiB
  const Bytes file = test_writer::write_sstable(entries, opts);
  MemoryFile mem(file);
  auto r = AsyncSSTableReader::open(mem.handle(), 16);
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  const uint64_t size = file.size();
  const uint64_t bloom_offset = decode_le<uint64_t>(file.data() + size - sstable::kFooterLen + 16);
  ASSERT_LT(bloom_offset, size - (64 << 10));
  ASSERT_EQ(mem.reads().size(), 2u);
  EXPECT_EQ(mem.reads()[0], (ByteRange{size - (64 << 10), size}));
  EXPECT_EQ(mem.reads()[1], (ByteRange{bloom_offset, size}));
  for (const auto& e : entries) {
    auto got = (*r)->get(e.key);
    ASSERT_TRUE(got.has_value() && got->has_value());
  }
}

// What the open keeps (block index, sparse index, bloom filter, dictionary)
// is its own: no buffer read at open outlives it, whether one read of the
// file's end held every section or a second read was needed.
TEST(SSTableOpen, KeepsNoBufferItRead) {
  std::vector<test_writer::TermEntry> entries;
  for (int i = 0; i < 3000; ++i) {
    entries.push_back({test_writer::term_key(0, "term" + std::to_string(100000 + i)), external(1, 2, 3)});
  }
  struct Case {
    const char* name;
    size_t bloom_bits_per_key;
    size_t reads;
  };
  for (const Case& c : {Case{"one read", 10, 1}, Case{"two reads", 300, 2}}) {
    SCOPED_TRACE(c.name);
    test_writer::SSTableOptions opts;
    opts.bloom_bits_per_key = c.bloom_bits_per_key;
    opts.sparse_every = 4;
    opts.dictionary = test_writer::sample_dictionary();
    MemoryFile mem(test_writer::write_sstable(entries, opts));
    mem.keep_buffers();
    auto r = AsyncSSTableReader::open(mem.handle(), 16);
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
    ASSERT_TRUE((*r)->bloom_filter().has_value());
    ASSERT_FALSE((*r)->sparse_index().empty());
    ASSERT_TRUE((*r)->dictionary().has_value());
    EXPECT_EQ(mem.other_holders(), std::vector<long>(c.reads, 0));
  }
}

TEST(SSTableOpen, EmptyIndexRegionGivesNoBlocks) {
  MemoryFile mem(layout({}, empty_index()));
  auto r = AsyncSSTableReader::open(mem.handle(), 16);
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  const auto& reader = **r;
  EXPECT_TRUE(reader.block_index().empty());
  EXPECT_TRUE(reader.sparse_index().empty());
  EXPECT_FALSE(reader.bloom_filter().has_value());
  EXPECT_FALSE(reader.dictionary().has_value());
  EXPECT_EQ(reader.find_block_range(to_bytes("x")), (std::pair<size_t, size_t>{0, 0}));
  mem.clear_reads();
  auto got = reader.get(to_bytes("x"));
  ASSERT_TRUE(got.has_value());
  EXPECT_FALSE(got->has_value());
  EXPECT_TRUE(mem.reads().empty());
}

TEST(SSTableOpen, EmptyDictionarySectionIsPresent) {
  test_writer::Footer footer;
  footer.dict_offset = 1;
  Bytes data = {0};
  test_writer::put_u32(data, 0);
  auto r = AsyncSSTableReader::open(MemoryFile(layout(data, empty_index(), footer)).handle(), 4);
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  ASSERT_TRUE((*r)->dictionary().has_value());
  EXPECT_TRUE((*r)->dictionary()->bytes.empty());
}

TEST(SSTableOpen, RebuildsPrefixCompressedFirstKeys) {
  using namespace test_writer;
  std::vector<IndexEntrySpec> blocks = {
      {to_bytes("apple"), 0, 1}, {to_bytes("apricot"), 1, 2}, {to_bytes("banana"), 3, 0x100000005ULL}};
  Bytes idx = encode_index_region(blocks, {});
  // The writer's encoding: (0, apple), (2, ricot), (0, banana).
  Bytes expected;
  put_u32(expected, 3);
  for (auto [shared, suffix, offset, length] :
       {std::tuple<int, const char*, uint64_t, uint64_t>{0, "apple", 0, 1}, {2, "ricot", 1, 2},
        {0, "banana", 3, 0x100000005ULL}}) {
    put_vint(expected, shared);
    put_vint(expected, std::string_view(suffix).size());
    put_bytes(expected, to_bytes(suffix));
    put_vint(expected, offset);
    put_vint(expected, length);
  }
  put_u32(expected, 0);
  ASSERT_EQ(idx, expected);
  // A fourth entry whose shared count exceeds the previous key takes all of
  // it; bytes after the sparse entries are ignored.
  idx.resize(idx.size() - 4);
  idx[0] = 4;
  put_vint(idx, 200);  // shared 200 > |banana|
  put_vint(idx, 1);
  put_u8(idx, 's');
  put_vint(idx, 7);
  put_vint(idx, 1);
  put_u32(idx, 1);
  put_u16(idx, 5);
  put_bytes(idx, to_bytes("apple"));
  put_u32(idx, 0);
  put_bytes(idx, to_bytes("trailing"));

  auto r = AsyncSSTableReader::open(MemoryFile(layout(Bytes(10, 0), idx)).handle(), 4);
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  const auto& bi = (*r)->block_index();
  ASSERT_EQ(bi.size(), 4u);
  EXPECT_EQ(Bytes(bi[0].first_key.begin(), bi[0].first_key.end()), to_bytes("apple"));
  EXPECT_EQ(Bytes(bi[1].first_key.begin(), bi[1].first_key.end()), to_bytes("apricot"));
  EXPECT_EQ(Bytes(bi[2].first_key.begin(), bi[2].first_key.end()), to_bytes("banana"));
  EXPECT_EQ(bi[2].length, 5u);  // low 32 bits of the varint
  EXPECT_EQ(Bytes(bi[3].first_key.begin(), bi[3].first_key.end()), to_bytes("bananas"));
  EXPECT_EQ(bi[3].offset, 7u);
  ASSERT_EQ((*r)->sparse_index().size(), 1u);
  EXPECT_EQ((*r)->sparse_index()[0], (SparseIndexEntry{to_bytes("apple"), 0}));
}

// A shared count can stand for the whole previous key, so a few bytes per
// entry could rebuild a long key again and again; the open must refuse such
// an index instead of exhausting memory, and still accept honest long keys.
TEST(SSTableOpen, BoundsTheRebuiltFirstKeys) {
  using namespace test_writer;
  Bytes idx;
  const uint32_t repeats = 20000;  // 20 GB of keys if each were rebuilt
  put_u32(idx, repeats + 1);
  put_vint(idx, 0);
  put_vint(idx, 1 << 20);
  idx.resize(idx.size() + (1 << 20), 'k');
  put_vint(idx, 0);
  put_vint(idx, 1);
  for (uint32_t i = 0; i < repeats; ++i) {
    put_vint(idx, 1 << 21);  // shared: the whole previous key
    put_vint(idx, 0);
    put_vint(idx, 0);
    put_vint(idx, 1);
  }
  put_u32(idx, 0);
  const uint64_t budget = 64 * idx.size();
  auto r = AsyncSSTableReader::open(MemoryFile(layout({}, idx)).handle(), 4);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(r.error().to_string(), "SSTable block index keys exceed " + std::to_string(budget) + " bytes");

  // 5000 blocks whose 300-byte first keys differ only in their last bytes
  // rebuild to 1.5 MB from about 35 KB of index.
  std::vector<IndexEntrySpec> blocks;
  for (uint32_t i = 0; i < 5000; ++i) {
    Bytes key(296, 'p');
    put_u32(key, __builtin_bswap32(i));  // big-endian, so the keys ascend
    blocks.push_back({key, i, 1});
  }
  auto honest = AsyncSSTableReader::open(
      MemoryFile(layout(Bytes(5000, 0), encode_index_region(blocks, {}))).handle(), 4);
  ASSERT_TRUE(honest.has_value()) << honest.error().to_string();
  EXPECT_EQ((*honest)->block_index().size(), 5000u);
  const auto& last_key = (*honest)->block_index()[4999].first_key;
  EXPECT_EQ(Bytes(last_key.begin(), last_key.end()), blocks[4999].first_key);
}

// One block index entry, and one sparse index entry, as a line of text.
std::string entry_line(std::span<const uint8_t> key, uint64_t offset, uint32_t length) {
  return std::string(key.begin(), key.end()) + "@" + std::to_string(offset) + "+" + std::to_string(length) + "\n";
}
std::string sparse_line(std::span<const uint8_t> key, uint32_t block) {
  return "sparse " + std::string(key.begin(), key.end()) + " " + std::to_string(block) + "\n";
}

// The index region read entry by entry through a cursor, every key rebuilt by
// itself: what the open must make of any region, as text ("error: ..." or
// every entry and sparse entry).
std::string region_as_read_in_turn(std::span<const uint8_t> region) {
  auto read = [&]() -> IoResult<std::string> {
    ByteCursor cur(region);
    std::string out;
    ZELVAR_TRY(const uint32_t n, cur.u32());
    const uint64_t budget = std::max<uint64_t>(uint64_t{1} << 20, 64 * region.size());
    uint64_t total = 0;
    Bytes key;
    for (uint32_t i = 0; i < n; ++i) {
      ZELVAR_TRY(const uint64_t shared, cur.vint());
      ZELVAR_TRY(const uint64_t suffix_len, cur.vint());
      ZELVAR_TRY(auto suffix, cur.take(suffix_len));
      key.resize(static_cast<size_t>(std::min<uint64_t>(shared, key.size())));
      key.insert(key.end(), suffix.begin(), suffix.end());
      total += key.size();
      if (total > budget) {
        return std::unexpected(IoError(IoErrorKind::InvalidData, "SSTable block index keys exceed " +
                                                                     std::to_string(budget) + " bytes"));
      }
      ZELVAR_TRY(const uint64_t offset, cur.vint());
      ZELVAR_TRY(const uint64_t length, cur.vint());
      out += entry_line(key, offset, static_cast<uint32_t>(length));
    }
    ZELVAR_TRY(const uint32_t m, cur.u32());
    for (uint32_t i = 0; i < m; ++i) {
      ZELVAR_TRY(const uint16_t k, cur.u16());
      ZELVAR_TRY(auto bytes, cur.take(k));
      ZELVAR_TRY(const uint32_t block, cur.u32());
      out += sparse_line(bytes, block);
    }
    return out;
  };
  auto out = read();
  return out.has_value() ? *out : "error: " + out.error().to_string();
}

std::string region_as_opened(const Bytes& region) {
  auto r = AsyncSSTableReader::open(MemoryFile(layout({}, region)).handle(), 4);
  if (!r.has_value()) return "error: " + r.error().to_string();
  std::string out;
  for (const BlockIndexEntry& e : (*r)->block_index()) out += entry_line(e.first_key, e.offset, e.length);
  for (const SparseIndexEntry& e : (*r)->sparse_index()) out += sparse_line(e.key, e.block_idx);
  return out;
}

// Regions of many entries, honest and then damaged anywhere (bytes changed,
// varints made too long, counts and shares made huge, the end cut off), open
// exactly as reading them entry by entry does: the same entries, or the same
// error.
TEST(SSTableOpen, IndexRegionOpensAsReadEntryByEntry) {
  using namespace test_writer;
  std::mt19937_64 rng(11);
  auto below = [&](uint64_t n) { return n == 0 ? 0 : rng() % n; };
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE(round);
    Bytes region;
    const uint32_t n = static_cast<uint32_t>(below(300));
    put_u32(region, n);
    // Keys share prefixes of any length with the one before, and suffixes
    // run from empty to longer than any short copy; now and then one key
    // is shared whole by many, to reach the budget.
    const bool repeat_long_key = below(8) == 0;
    size_t previous_length = 0;
    for (uint32_t i = 0; i < n; ++i) {
      uint64_t shared = below(previous_length + 3);
      uint64_t suffix_len = below(4) == 0 ? below(40) : below(6);
      if (repeat_long_key) {
        shared = i == 0 ? 0 : 1 << 20;
        suffix_len = i == 0 ? 4000 : 0;
      }
      put_vint(region, shared);
      put_vint(region, suffix_len);
      for (uint64_t k = 0; k < suffix_len; ++k) region.push_back(static_cast<uint8_t>('a' + below(26)));
      previous_length = static_cast<size_t>(std::min<uint64_t>(shared, previous_length) + suffix_len);
      put_vint(region, below(4) == 0 ? rng() : below(1000));
      put_vint(region, below(4) == 0 ? rng() : below(5000));
    }
    const uint32_t m = static_cast<uint32_t>(below(3));
    put_u32(region, m);
    for (uint32_t i = 0; i < m; ++i) {
      put_u16(region, 3);
      put_bytes(region, to_bytes("key"));
      put_u32(region, i);
    }
    switch (below(6)) {
      case 0:  // honest
        break;
      case 1:  // a few bytes changed
        for (uint64_t k = 1 + below(3); k > 0 && region.size() > 4; --k) {
          region[4 + below(region.size() - 4)] = static_cast<uint8_t>(rng());
        }
        break;
      case 2: {  // a too-long varint in place of some bytes
        const size_t at = 4 + below(region.size() - 3);
        region.insert(region.begin() + static_cast<ptrdiff_t>(std::min(at, region.size())), 10, 0xFF);
        break;
      }
      case 3:  // bytes with the continuation bit, as a huge count or share
        if (region.size() > 4) {
          const size_t at = 4 + below(region.size() - 4);
          for (size_t k = at; k < std::min(region.size(), at + 1 + below(9)); ++k) region[k] |= 0x80;
        }
        break;
      case 4:  // the end cut off
        region.resize(static_cast<size_t>(below(region.size() + 1)));
        break;
      default:  // more entries claimed than written
        region[0] = static_cast<uint8_t>(region[0] + 1 + below(5));
        break;
    }
    ASSERT_EQ(region_as_opened(region), region_as_read_in_turn(region));
  }
}

// --- bloom filter --------------------------------------------------------------

TEST(BloomFilter, FromBytes) {
  using test_writer::encode_bloom_raw;
  struct Case {
    const char* name;
    Bytes bytes;
    std::string error;  // empty: success
  };
  const uint64_t words[] = {0x0123456789ABCDEFULL, 42};
  Bytes extra = encode_bloom_raw(100, 3, words);
  extra.push_back(0xEE);
  const Case cases[] = {
      {"empty", {}, "Bloom filter data too short"},
      {"11 bytes", Bytes(11, 0), "Bloom filter data too short"},
      {"header only, no words", encode_bloom_raw(0, 0, std::span<const uint64_t>{}), ""},
      {"one word missing", encode_bloom_raw(100, 3, std::span(words, 1), 2), "Bloom filter data truncated"},
      {"trailing bytes", extra, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = BloomFilter::from_bytes(OwnedBytes(c.bytes));
    if (c.error.empty()) {
      ASSERT_TRUE(r.has_value()) << r.error().to_string();
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind(), IoErrorKind::InvalidData);
      EXPECT_EQ(r.error().to_string(), c.error);
    }
  }
  const OwnedBytes read(extra);
  auto r = BloomFilter::from_bytes(read);
  EXPECT_EQ(r->num_bits, 100u);
  EXPECT_EQ(r->num_hashes, 3u);
  ASSERT_EQ(r->num_words(), 2u);
  EXPECT_EQ(r->word(0), words[0]);
  EXPECT_EQ(r->word(1), words[1]);
  // A copy of exactly the words, sharing nothing with the bytes read.
  EXPECT_EQ(r->bits.to_vec(), Bytes(extra.begin() + BloomFilter::kHeaderLen, extra.end() - 1));
  EXPECT_EQ(r->bits.use_count(), 1);
  EXPECT_EQ(read.use_count(), 1);
}

TEST(BloomFilter, HashValues) {
  struct Case {
    Bytes key;
    uint64_t h1;
    uint64_t h2;
  };
  const Case cases[] = {
      {{}, 0xcbf29ce484222325ULL, 0x84222325cbf29ce4ULL},
      {{'a'}, 0xaf63dc4c8601ec8cULL, 0x789e9d398d40970dULL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sstable::bloom_hash1(c.key), c.h1);
    EXPECT_EQ(sstable::bloom_hash2(c.key), c.h2);
    EXPECT_EQ(test_writer::fnv1a_64(c.key), c.h1);
    EXPECT_EQ(test_writer::fnv1_64_swapped_basis(c.key), c.h2);
  }
}

// A filter over `words`, stored as a file stores them.
BloomFilter filter_of_words(size_t num_bits, size_t num_hashes, const std::vector<uint64_t>& words) {
  BloomFilter f;
  f.num_bits = num_bits;
  f.num_hashes = num_hashes;
  const Bytes section = test_writer::encode_bloom_raw(0, 0, words);
  f.bits = OwnedBytes(Bytes(section.begin() + BloomFilter::kHeaderLen, section.end()));
  return f;
}

BloomFilter filter_with_bits(size_t num_bits, size_t num_hashes, std::vector<size_t> set, size_t words) {
  std::vector<uint64_t> bits(words, 0);
  for (size_t b : set) bits[b / 64] |= uint64_t{1} << (b % 64);
  return filter_of_words(num_bits, num_hashes, bits);
}

TEST(BloomFilter, ProbesTheDocumentedBits) {
  const Bytes a = {'a'};
  // Key "a" with 1000 bits and 3 hashes probes 996, 481, 582.
  const std::vector<size_t> probed = {996, 481, 582};
  EXPECT_TRUE(filter_with_bits(1000, 3, probed, 16).may_contain(a));
  for (size_t drop = 0; drop < probed.size(); ++drop) {
    auto set = probed;
    set.erase(set.begin() + static_cast<ptrdiff_t>(drop));
    EXPECT_FALSE(filter_with_bits(1000, 3, set, 16).may_contain(a)) << "without bit " << probed[drop];
  }
  // The probe of bit 996 lies in word 15: a filter of 15 words rejects.
  EXPECT_FALSE(filter_with_bits(1000, 3, {481, 582}, 15).may_contain(a));
  // No hashes lets everything through, even without words; no bits lets
  // nothing through.
  EXPECT_TRUE(filter_with_bits(1000, 0, {}, 0).may_contain(a));
  EXPECT_FALSE(filter_with_bits(0, 3, {}, 0).may_contain(a));
}

// A probe count from the file is followed up to BloomFilter::kMaxProbes: a
// clear bit at the last tested probe still rejects, one past it does not, and
// four billion probes over a full filter end at once instead of stalling.
TEST(BloomFilter, TestsAtMostMaxProbes) {
  const Bytes key = test_writer::term_key(1, "x");
  const size_t num_bits = size_t{1} << 20;
  // Every bit set but the one of probe `clear`.
  auto all_but_probe = [&](size_t num_hashes, size_t clear) {
    std::vector<uint64_t> words(num_bits / 64, ~uint64_t{0});
    const uint64_t bit = (test_writer::fnv1a_64(key) + clear * test_writer::fnv1_64_swapped_basis(key)) % num_bits;
    words[bit / 64] &= ~(uint64_t{1} << (bit % 64));
    return filter_of_words(num_bits, num_hashes, words);
  };
  const size_t last = BloomFilter::kMaxProbes - 1;
  EXPECT_FALSE(all_but_probe(BloomFilter::kMaxProbes, last).may_contain(key));
  EXPECT_FALSE(all_but_probe(0xFFFFFFFF, last).may_contain(key));
  EXPECT_TRUE(all_but_probe(BloomFilter::kMaxProbes + 1, last + 1).may_contain(key));
  EXPECT_FALSE(filter_with_bits(64, 0xFFFFFFFF, {}, 0).may_contain(key));  // no word stored
  EXPECT_TRUE(filter_of_words(64, 0xFFFFFFFF, {~uint64_t{0}}).may_contain(key));
}

// --- block choice -------------------------------------------------------------

// A reader over 12 placeholder blocks named by their first keys, with sparse
// entries as given; only the in-memory indexes are exercised.
std::shared_ptr<AsyncSSTableReader> reader_over_index(std::vector<std::string> first_keys,
                                                      std::vector<std::pair<std::string, uint32_t>> sparse) {
  std::vector<test_writer::IndexEntrySpec> blocks;
  for (size_t i = 0; i < first_keys.size(); ++i) blocks.push_back({to_bytes(first_keys[i]), i, 1});
  std::vector<test_writer::SparseEntrySpec> sp;
  for (auto& [k, b] : sparse) sp.push_back({to_bytes(k), b});
  auto r = AsyncSSTableReader::open(
      MemoryFile(layout(Bytes(first_keys.size(), 0), test_writer::encode_index_region(blocks, sp))).handle(), 4);
  EXPECT_TRUE(r.has_value());
  return *r;
}

TEST(SSTableLookup, FindBlockRange) {
  std::vector<std::string> twelve;
  for (char c = 'b'; twelve.size() < 12; c = static_cast<char>(c + 1)) twelve.push_back(std::string(1, c));
  auto sparse = reader_over_index(twelve, {{"K0", 0}, {"K5", 5}, {"K9", 9}});
  auto none = reader_over_index(twelve, {});
  struct Case {
    const AsyncSSTableReader* reader;
    const char* key;
    std::pair<size_t, size_t> range;
  };
  const Case cases[] = {
      {sparse.get(), "A", {0, 4}},  {sparse.get(), "K0", {0, 4}}, {sparse.get(), "K5", {5, 8}},
      {sparse.get(), "K7", {5, 8}}, {sparse.get(), "K9", {9, 11}}, {sparse.get(), "Z", {9, 11}},
      {none.get(), "anything", {0, 11}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.reader->find_block_range(to_bytes(c.key)), c.range) << c.key;
  }
  // Sparse block numbers that go backwards give a one-block range.
  auto backwards = reader_over_index(twelve, {{"a", 6}, {"m", 2}});
  EXPECT_EQ(backwards->find_block_range(to_bytes("b")), (std::pair<size_t, size_t>{6, 6}));
  auto at_zero = reader_over_index(twelve, {{"a", 0}, {"m", 0}});
  EXPECT_EQ(at_zero->find_block_range(to_bytes("b")), (std::pair<size_t, size_t>{0, 0}));
}

TEST(SSTableLookup, SparseEntryBeyondTheBlocksIsAnErrorWithoutARead) {
  auto reader = reader_over_index({"b", "d"}, {{"a", 0}, {"c", 7}});
  auto r = reader->get(to_bytes("x"));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(r.error().to_string(), "SSTable sparse index points to block 7 of 2");
  EXPECT_EQ(reader->cache().size(), 0u);
  // A range whose end alone lies beyond the blocks is clamped.
  auto clamped = reader_over_index({"b", "d"}, {{"a", 1}, {"c", 9}});
  EXPECT_EQ(clamped->find_block_range(to_bytes("b")), (std::pair<size_t, size_t>{1, 8}));
  EXPECT_FALSE(clamped->load_block(5).has_value());
}

// Three real blocks with first keys b, d, f.
class ThreeBlocks : public ::testing::Test {
 protected:
  void SetUp() override {
    entries_ = {{to_bytes("b"), external(1, 0, 10)}, {to_bytes("c"), external(2, 10, 10)},
                {to_bytes("d"), inline_info({{3, 1}})}, {to_bytes("e"), external(4, 20, 10)},
                {to_bytes("f"), external(5, 30, 10)},  {to_bytes("g"), inline_info({{1, 2}, {9, 1}})}};
    test_writer::SSTableOptions opts;
    opts.block_entries = 2;
    opts.bloom = false;
    mem_ = std::make_unique<MemoryFile>(test_writer::write_sstable(entries_, opts));
    auto r = AsyncSSTableReader::open(mem_->handle(), 8);
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
    reader_ = *r;
    mem_->clear_reads();
  }

  std::optional<size_t> cached_block() const {
    std::optional<size_t> out;
    for (size_t i = 0; i < reader_->block_index().size(); ++i) {
      if (reader_->cache().contains(reader_->block_index()[i].offset)) out = i;
    }
    return out;
  }

  std::vector<test_writer::TermEntry> entries_;
  std::unique_ptr<MemoryFile> mem_;
  std::shared_ptr<AsyncSSTableReader> reader_;
};

TEST_F(ThreeBlocks, ChoosesTheBlockByFirstKey) {
  ASSERT_EQ(reader_->block_index().size(), 3u);
  struct Case {
    const char* key;
    std::optional<size_t> block;  // absent: rejected before any read
    bool found;
  };
  const Case cases[] = {{"a", std::nullopt, false}, {"b", 0, true}, {"c", 0, true}, {"ca", 0, false},
                        {"d", 1, true},             {"f", 2, true}, {"g", 2, true}, {"z", 2, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    SetUp();
    auto r = reader_->get(to_bytes(c.key));
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
    EXPECT_EQ(r->has_value(), c.found);
    EXPECT_EQ(cached_block(), c.block);
    EXPECT_EQ(mem_->reads().size(), c.block ? 1u : 0u);
  }
}

TEST_F(ThreeBlocks, FindsEveryEntryWithItsInfo) {
  for (const auto& e : entries_) {
    auto r = reader_->get(e.key);
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
    ASSERT_TRUE(r->has_value());
    EXPECT_EQ(**r, e.info);
  }
  EXPECT_EQ(mem_->reads().size(), 3u);  // each block read once, then cached
}

TEST_F(ThreeBlocks, CapacityOneEvictsTheOtherBlock) {
  auto r = AsyncSSTableReader::open(mem_->handle(), 1);
  ASSERT_TRUE(r.has_value());
  auto reader = *r;
  mem_->clear_reads();
  for (const char* key : {"b", "c", "f", "b", "b"}) ASSERT_TRUE(reader->get(to_bytes(key)).value().has_value());
  // b (read), c (hit), f (read, evicts block 0), b (read again), b (hit)
  EXPECT_EQ(mem_->reads().size(), 3u);
  EXPECT_EQ(reader->cache().size(), 1u);
}

TEST_F(ThreeBlocks, LoadBlockSharesTheCachedBlock) {
  auto first = reader_->load_block(1);
  ASSERT_TRUE(first.has_value());
  auto second = reader_->load_block(1);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(first->get(), second->get());
  EXPECT_EQ(mem_->reads().size(), 1u);
  auto beyond = reader_->load_block(3);
  ASSERT_FALSE(beyond.has_value());
  EXPECT_EQ(beyond.error().kind(), IoErrorKind::InvalidInput);
  EXPECT_EQ(beyond.error().to_string(), "SSTable block 3 out of range (3 blocks)");
}

TEST_F(ThreeBlocks, ConcurrentLookupsAgree) {
  auto r = AsyncSSTableReader::open(mem_->handle(), 1);  // constant eviction
  ASSERT_TRUE(r.has_value());
  auto reader = *r;
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const auto& e = entries_[static_cast<size_t>(i + t) % entries_.size()];
        auto got = reader->get(e.key);
        ASSERT_TRUE(got.has_value());
        ASSERT_TRUE(got->has_value());
        EXPECT_EQ(**got, e.info);
      }
    });
  }
  for (auto& th : threads) th.join();
}

// --- block reads --------------------------------------------------------------

// One block whose index entry and bytes are given; key "k" chooses it.
std::shared_ptr<AsyncSSTableReader> one_block_reader(const Bytes& data, uint64_t offset, uint64_t length,
                                                     const Bytes* dict = nullptr) {
  using namespace test_writer;
  Bytes body = data;
  Footer footer;
  if (dict) {
    footer.dict_offset = body.size();
    put_u32(body, static_cast<uint32_t>(dict->size()));
    put_bytes(body, *dict);
  }
  std::vector<IndexEntrySpec> blocks = {{to_bytes("k"), offset, length}};
  auto r = AsyncSSTableReader::open(MemoryFile(layout(body, encode_index_region(blocks, {}), footer)).handle(), 4);
  EXPECT_TRUE(r.has_value());
  return *r;
}

TEST(SSTableBlocks, ReadAndDecompressionFailuresAreNotCached) {
  using namespace test_writer;
  const Bytes dict = sample_dictionary();
  Bytes good = compress(encode_block(std::vector<TermEntry>{{to_bytes("k"), external(1, 2, 3)}}));
  Bytes good_dict = compress(encode_block(std::vector<TermEntry>{{to_bytes("k"), external(1, 2, 3)}}), &dict);
  Bytes cut = good_dict;
  cut.resize(cut.size() - 3);
  // A few kilobytes that would decompress to 9 MiB; no real block comes near.
  const Bytes huge = compress(Bytes(9 << 20, 0));
  struct Case {
    const char* name;
    std::shared_ptr<AsyncSSTableReader> reader;
    IoErrorKind kind;
    std::string text;  // empty: only the kind is checked (the library's wording)
  };
  const Case cases[] = {
      {"beyond the data window", one_block_reader(good, 0, good.size() + 5), IoErrorKind::InvalidInput,
       "Range 0.." + std::to_string(good.size() + 5) + " out of bounds (slice len: " +
           std::to_string(good.size()) + ")"},
      {"not zstd", one_block_reader(Bytes(20, 0x11), 0, 20), IoErrorKind::Other, ""},
      {"offset + length wraps around", one_block_reader(good, ~uint64_t{0}, 5), IoErrorKind::InvalidInput, ""},
      {"frame cut with a dictionary", one_block_reader(cut, 0, cut.size(), &dict), IoErrorKind::UnexpectedEof,
       "incomplete frame"},
      {"decompresses beyond the block bound", one_block_reader(huge, 0, huge.size()), IoErrorKind::Other,
       "Decompressed block exceeds 8388608 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = c.reader->get(to_bytes("k"));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), c.kind);
    if (!c.text.empty()) {
      EXPECT_EQ(r.error().to_string(), c.text);
    }
    EXPECT_EQ(c.reader->cache().size(), 0u);
  }
  // The same blocks, whole, are found.
  EXPECT_EQ(one_block_reader(good, 0, good.size())->get(to_bytes("k")).value(), external(1, 2, 3));
  EXPECT_EQ(one_block_reader(good_dict, 0, good_dict.size(), &dict)->get(to_bytes("k")).value(),
            external(1, 2, 3));
}

TEST(SSTableBlocks, BlockThatFailsToScanStaysCached) {
  Bytes raw;
  test_writer::put_vint(raw, 0);
  test_writer::put_vint(raw, 1);
  test_writer::put_u8(raw, 'k');
  test_writer::put_u8(raw, 7);  // bad tag
  Bytes block = test_writer::compress(raw);
  auto reader = one_block_reader(block, 0, block.size());
  auto r = reader->get(to_bytes("k"));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "Invalid TermInfo tag: 7");
  EXPECT_EQ(reader->cache().size(), 1u);
}

// A dictionary holding "k" in one block, with the given bloom section.
struct BloomedFile {
  Bytes file;
  explicit BloomedFile(const Bytes& bloom_section) {
    using namespace test_writer;
    Bytes data = compress(encode_block(std::vector<TermEntry>{{to_bytes("k"), external(1, 2, 3)}}));
    const uint64_t block_len = data.size();
    Footer footer;
    footer.bloom_offset = data.size();
    put_bytes(data, bloom_section);
    std::vector<IndexEntrySpec> blocks = {{to_bytes("k"), 0, block_len}};
    file = layout(data, encode_index_region(blocks, {}), footer);
  }
};

TEST(SSTableBloom, NegativeTestReadsNoBlock) {
  const Bytes k = to_bytes("k");
  const Bytes section = test_writer::encode_bloom_section(std::vector<Bytes>{k}, 1024, 3);
  MemoryFile mem(BloomedFile(section).file);
  auto reader = AsyncSSTableReader::open(mem.handle(), 4).value();
  // A key the filter rejects: the filter must say so without touching a block.
  Bytes rejected;
  for (char c = 'a'; c <= 'z' && rejected.empty(); ++c) {
    if (!reader->bloom_filter()->may_contain(Bytes{static_cast<uint8_t>(c)})) rejected = {static_cast<uint8_t>(c)};
  }
  ASSERT_FALSE(rejected.empty());
  mem.clear_reads();
  EXPECT_EQ(reader->get(rejected).value(), std::nullopt);
  EXPECT_TRUE(mem.reads().empty());
  EXPECT_EQ(reader->get(k).value(), external(1, 2, 3));
  EXPECT_EQ(mem.reads().size(), 1u);
}

TEST(SSTableBloom, FilterWithoutBitsRejectsWithoutReading) {
  MemoryFile mem(BloomedFile(test_writer::encode_bloom_raw(0, 3, std::span<const uint64_t>{})).file);
  auto reader = AsyncSSTableReader::open(mem.handle(), 4).value();
  mem.clear_reads();
  EXPECT_EQ(reader->get(to_bytes("k")).value(), std::nullopt);
  EXPECT_TRUE(mem.reads().empty());
  // No hashes: every key passes to the block.
  MemoryFile pass(BloomedFile(test_writer::encode_bloom_raw(0, 0, std::span<const uint64_t>{})).file);
  EXPECT_EQ(AsyncSSTableReader::open(pass.handle(), 4).value()->get(to_bytes("k")).value(), external(1, 2, 3));
}

// --- block scan ---------------------------------------------------------------

TEST(SSTableSearchBlock, StopsAtTheKeysPlace) {
  const std::vector<test_writer::TermEntry> entries = {{to_bytes("b"), external(1, 2, 3)},
                                                       {to_bytes("d"), inline_info({{5, 1}})}};
  const Bytes block = test_writer::encode_block(entries);
  struct Case {
    const char* key;
    std::optional<TermInfo> info;
  };
  const Case cases[] = {{"a", std::nullopt},
                        {"b", entries[0].info},
                        {"c", std::nullopt},
                        {"d", entries[1].info},
                        {"e", std::nullopt},
                        {"", std::nullopt},
                        {"bb", std::nullopt}};
  for (const Case& c : cases) {
    auto r = AsyncSSTableReader::search_block(block, to_bytes(c.key));
    ASSERT_TRUE(r.has_value()) << c.key << ": " << r.error().to_string();
    EXPECT_EQ(*r, c.info) << c.key;
  }
  EXPECT_EQ(AsyncSSTableReader::search_block({}, to_bytes("b")).value(), std::nullopt);
}

TEST(SSTableSearchBlock, ReportsMalformedEntries) {
  using namespace test_writer;
  // Entry "a" (external), then a malformed entry keyed "b..." whose fault is
  // given by `tail`. Looking up "a" succeeds before the fault; "c" hits it.
  struct Case {
    const char* name;
    Bytes tail;
    IoErrorKind kind;
    std::string text;
  };
  auto head = [] {
    Bytes b;
    put_vint(b, 0);
    put_vint(b, 1);
    put_u8(b, 'a');
    put_u8(b, 0);
    put_vint(b, 1);
    put_vint(b, 2);
    put_vint(b, 3);
    put_vint(b, 0);
    put_vint(b, 1);
    put_u8(b, 'b');
    return b;
  };
  const std::string eof = "failed to fill whole buffer";
  const Case cases[] = {
      {"no tag", {}, IoErrorKind::UnexpectedEof, eof},
      {"unknown tag", {0x01}, IoErrorKind::InvalidData, "Invalid TermInfo tag: 1"},
      {"tag 254", {0xFE}, IoErrorKind::InvalidData, "Invalid TermInfo tag: 254"},
      {"external cut", {0x00, 0x05}, IoErrorKind::UnexpectedEof, eof},
      {"external varint too long", {0x00, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00},
       IoErrorKind::InvalidData, "varint too long"},
      {"inline head cut", {0xFF, 0x01}, IoErrorKind::UnexpectedEof, eof},
      {"inline data cut", {0xFF, 0x01, 0x04, 0x01, 0x01}, IoErrorKind::UnexpectedEof, eof},
      {"inline data over 16", {0xFF, 0x01, 17}, IoErrorKind::InvalidData,
       "Inline TermInfo data too long: 17 bytes (at most 16)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes block = head();
    put_bytes(block, c.tail);
    EXPECT_EQ(AsyncSSTableReader::search_block(block, to_bytes("a")).value(), external(1, 2, 3));
    auto r = AsyncSSTableReader::search_block(block, to_bytes("c"));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), c.kind);
    EXPECT_EQ(r.error().to_string(), c.text);
  }
  // A suffix length beyond the block, and a huge one, end in the same error.
  for (uint64_t len : {uint64_t{5}, uint64_t{1} << 60}) {
    Bytes block;
    put_vint(block, 0);
    put_vint(block, len);
    put_bytes(block, to_bytes("ab"));
    auto r = AsyncSSTableReader::search_block(block, to_bytes("z"));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), eof);
  }
}

// A lookup's answer as text: the error, "absent", or the TermInfo.
std::string lookup_text(const IoResult<std::optional<TermInfo>>& r) {
  if (!r.has_value()) return "error: " + r.error().to_string();
  if (!r->has_value()) return "absent";
  if (const TermInfo::External* e = (*r)->as_external()) {
    return "external " + std::to_string(e->doc_freq) + " " + std::to_string(e->posting_offset) + " " +
           std::to_string(e->posting_len);
  }
  const TermInfo::Inline& in = *(*r)->as_inline();
  return "inline " + std::to_string(in.doc_count) + " " + std::string(in.data.begin(), in.data.end());
}

// A block scanned entry by entry, every key rebuilt whole and compared with
// the lookup key: what search_block must answer for any block, as text.
std::string block_as_scanned_in_turn(std::span<const uint8_t> block, std::span<const uint8_t> key) {
  auto scan = [&]() -> IoResult<std::optional<TermInfo>> {
    if (block.empty()) return std::nullopt;
    ByteCursor cur(block);
    Bytes current;
    for (;;) {
      ZELVAR_TRY(const uint64_t shared, cur.vint());
      ZELVAR_TRY(const uint64_t suffix_len, cur.vint());
      ZELVAR_TRY(auto suffix, cur.take(suffix_len));
      current.resize(static_cast<size_t>(std::min<uint64_t>(shared, current.size())));
      current.insert(current.end(), suffix.begin(), suffix.end());
      ZELVAR_TRY(const TermInfo info, AsyncSSTableReader::read_term_info(cur));
      if (std::ranges::equal(current, key)) return info;
      if (!std::ranges::lexicographical_compare(current, key) || cur.empty()) return std::nullopt;
    }
  };
  return lookup_text(scan());
}

// Blocks of ascending keys, honest and then damaged (bytes changed, the end
// cut off, keys out of order, shares beyond the previous key), looked up with
// keys that are there, absent between and beyond them, prefixes and
// extensions of them: the scan answers as rebuilding every key does.
TEST(SSTableSearchBlock, AnswersAsRebuildingEveryKey) {
  using namespace test_writer;
  std::mt19937_64 rng(5);
  auto below = [&](uint64_t n) { return n == 0 ? 0 : rng() % n; };
  auto word = [&] {
    Bytes w;
    for (uint64_t k = below(7); k > 0; --k) w.push_back(static_cast<uint8_t>("abc\x00\xff"[below(5)]));
    return w;
  };
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE(round);
    std::vector<Bytes> keys;
    for (uint64_t k = below(40); k > 0; --k) keys.push_back(word());
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    if (below(5) == 0) std::shuffle(keys.begin(), keys.end(), rng);  // out of order
    Bytes block;
    Bytes previous;
    for (const Bytes& k : keys) {
      size_t shared = 0;
      while (shared < std::min(previous.size(), k.size()) && previous[shared] == k[shared]) ++shared;
      put_vint(block, below(8) == 0 ? shared + below(4) : shared);  // now and then beyond the previous key
      put_vint(block, k.size() - shared);
      put_bytes(block, std::span(k).subspan(shared));
      if (below(3) == 0) {
        put_u8(block, 0xFF);
        put_u8(block, 1);
        put_u8(block, 2);
        put_u8(block, 0x05);
        put_u8(block, 0x01);
      } else {
        put_u8(block, 0x00);
        put_vint(block, below(100));
        put_vint(block, below(1 << 20));
        put_vint(block, below(1000));
      }
      previous = k;
    }
    switch (below(4)) {
      case 0:
        for (uint64_t k = 1 + below(3); k > 0 && !block.empty(); --k) block[below(block.size())] = static_cast<uint8_t>(rng());
        break;
      case 1:
        block.resize(below(block.size() + 1));
        break;
      default:
        break;
    }
    std::vector<Bytes> lookups = {Bytes{}, word(), word()};
    for (const Bytes& k : keys) {
      lookups.push_back(k);
      Bytes longer = k;
      longer.push_back(static_cast<uint8_t>(below(256)));
      lookups.push_back(longer);
      if (!k.empty()) lookups.push_back(Bytes(k.begin(), k.end() - 1));
    }
    for (const Bytes& key : lookups) {
      ASSERT_EQ(lookup_text(AsyncSSTableReader::search_block(block, key)), block_as_scanned_in_turn(block, key))
          << "key of " << key.size() << " bytes";
    }
  }
}

TEST(SSTableSearchBlock, InlineDataIsZeroPastItsLength) {
  Bytes block;
  test_writer::put_vint(block, 0);
  test_writer::put_vint(block, 1);
  test_writer::put_u8(block, 'k');
  test_writer::put_bytes(block, Bytes{0xFF, 2, 3, 0x01, 0x02, 0x03});
  auto r = AsyncSSTableReader::search_block(block, to_bytes("k"));
  ASSERT_TRUE(r.has_value() && r->has_value());
  const auto* in = (*r)->as_inline();
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->doc_count, 2);
  EXPECT_EQ(in->data_len, 3);
  std::array<uint8_t, 16> expected{};
  expected[0] = 1;
  expected[1] = 2;
  expected[2] = 3;
  EXPECT_EQ(in->data, expected);
}

// --- hostile files -------------------------------------------------------------

// Every truncation of a small dictionary and every byte of it overwritten:
// the open and each lookup must end in a value or an error, never touch bytes
// outside the file, and never read a reversed range (the memory file would
// fault on one, and the sanitizer build would see it).
TEST(SSTableHostile, DamagedFilesFailCleanly) {
  std::vector<test_writer::TermEntry> entries;
  for (int i = 0; i < 12; ++i) {
    TermInfo info = i % 2 ? external(static_cast<uint32_t>(i), static_cast<uint64_t>(i) << 40, 9)
                          : inline_info({{static_cast<uint32_t>(i), 1}});
    entries.push_back({test_writer::term_key(1, "t" + std::to_string(10 + i)), info});
  }
  test_writer::SSTableOptions opts;
  opts.block_entries = 4;
  opts.sparse_every = 1;
  opts.dictionary = test_writer::to_bytes("t10t11t12t13 search engine posting block");
  const Bytes file = test_writer::write_sstable(entries, opts);

  auto exercise = [&](const Bytes& bytes) {
    MemoryFile mem(bytes);
    auto r = AsyncSSTableReader::open(mem.handle(), 2);
    if (r.has_value()) {
      for (const auto& e : entries) (void)(*r)->get(e.key);
      (void)(*r)->get(to_bytes("zz"));
    }
    for (const ByteRange& range : mem.reads()) {
      ASSERT_LE(range.start, range.end);
      ASSERT_LE(range.end, bytes.size());
    }
  };
  for (size_t cut = 0; cut < file.size(); ++cut) {
    exercise(Bytes(file.begin(), file.begin() + static_cast<ptrdiff_t>(cut)));
    exercise(Bytes(file.begin() + static_cast<ptrdiff_t>(cut), file.end()));
  }
  for (size_t i = 0; i < file.size(); ++i) {
    for (uint8_t v : {uint8_t{0x00}, uint8_t{0xFF}, static_cast<uint8_t>(file[i] ^ 0x80)}) {
      Bytes damaged = file;
      damaged[i] = v;
      exercise(damaged);
    }
  }
  // The undamaged file answers every key.
  auto r = AsyncSSTableReader::open(MemoryFile(file).handle(), 2);
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  for (const auto& e : entries) EXPECT_EQ((*r)->get(e.key).value(), e.info);
}

// --- whole dictionaries -------------------------------------------------------

std::vector<test_writer::TermEntry> many_entries(size_t n) {
  std::vector<test_writer::TermEntry> out;
  std::mt19937 rng(7);
  for (size_t i = 0; i < n; ++i) {
    // Field 1..3, terms "t<i*2>" zero-padded so that keys sort as numbers.
    char term[16];
    std::snprintf(term, sizeof term, "t%06zu", i * 2);
    Bytes key = test_writer::term_key(static_cast<uint32_t>(1 + i * 3 / n), term);
    TermInfo info = (i % 3 == 0) ? inline_info({{static_cast<uint32_t>(i % 50), 1}, {static_cast<uint32_t>(i % 50 + 3), 2}})
                                 : external(static_cast<uint32_t>(rng() % 1000), rng(), static_cast<uint32_t>(rng()));
    out.push_back({std::move(key), info});
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
  return out;
}

struct ShapeCase {
  const char* name;
  size_t block_entries;
  bool bloom;
  size_t sparse_every;
  bool dictionary;
  size_t cache_blocks;
};

TEST(SSTableRoundTrip, EveryShapeFindsEveryKeyAndNoOther) {
  const ShapeCase shapes[] = {
      {"one block, bare", 5000, false, 0, false, 256},
      {"small blocks, bloom", 7, true, 0, false, 4},
      {"sparse every 4, dictionary", 16, true, 4, true, 256},
      {"one entry per block, sparse every block, no bloom", 1, false, 1, false, 0},
      {"sparse every 3, dictionary, no bloom", 33, false, 3, true, 2},
  };
  const auto entries = many_entries(1200);
  for (const ShapeCase& s : shapes) {
    SCOPED_TRACE(s.name);
    test_writer::SSTableOptions opts;
    opts.block_entries = s.block_entries;
    opts.bloom = s.bloom;
    opts.sparse_every = s.sparse_every;
    if (s.dictionary) opts.dictionary = test_writer::sample_dictionary();
    MemoryFile mem(test_writer::write_sstable(entries, opts));
    auto r = AsyncSSTableReader::open(mem.handle(), s.cache_blocks);
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
    const auto& reader = **r;
    EXPECT_EQ(reader.block_index().size(), (entries.size() + s.block_entries - 1) / s.block_entries);
    EXPECT_EQ(reader.sparse_index().empty(), s.sparse_every == 0);
    for (const auto& e : entries) {
      auto got = reader.get(e.key);
      ASSERT_TRUE(got.has_value()) << got.error().to_string();
      ASSERT_TRUE(got->has_value());
      ASSERT_EQ(**got, e.info);
      // Odd numbers sit between the stored terms; field 0 and field 9 lie
      // before and after everything.
      Bytes between = e.key;
      between.back() = static_cast<uint8_t>(between.back() + 1);
      Bytes before = e.key;
      before[0] = 0;
      Bytes after = e.key;
      after[0] = 9;
      for (const Bytes& absent : {between, before, after}) {
        auto miss = reader.get(absent);
        ASSERT_TRUE(miss.has_value()) << miss.error().to_string();
        ASSERT_FALSE(miss->has_value());
      }
    }
    EXPECT_LE(reader.cache().size(), std::max<size_t>(s.cache_blocks, 1));
  }
}

TEST(SSTableRoundTrip, OpensThroughTheDirectory) {
  const auto dir = std::filesystem::temp_directory_path() / ("sstable_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto entries = many_entries(300);
  test_writer::SSTableOptions opts;
  opts.block_entries = 20;
  opts.sparse_every = 2;
  {
    const Bytes file = test_writer::write_sstable(entries, opts);
    std::ofstream out(dir / "seg.terms", std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  }
  FsDirectory directory(dir);
  auto handle = directory.open_lazy("seg.terms");
  ASSERT_TRUE(handle.has_value());
  auto r = AsyncSSTableReader::open(*handle, 256);
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  for (const auto& e : entries) EXPECT_EQ((*r)->get(e.key).value(), e.info);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zelvar
