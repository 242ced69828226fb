#include "core/structures/postings/posting.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/structures/postings/term_info.h"
#include "tests/writer/postings_writer.h"
#include "tests/writer/sstable_writer.h"

namespace zelvar {
namespace {

using test_writer::Bytes;
using test_writer::DocTf;

std::vector<Posting> random_postings(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Posting> out;
  uint32_t doc = rng() % 10;
  for (size_t i = 0; i < n; ++i) {
    out.push_back({doc, 1 + static_cast<uint32_t>(rng() % 3 == 0 ? rng() % 100000 : rng() % 4)});
    doc += 1 + (rng() % 4 == 0 ? rng() % 70000 : rng() % 5);
  }
  return out;
}

std::vector<DocTf> pairs(const std::vector<Posting>& postings) {
  std::vector<DocTf> out;
  for (const auto& p : postings) out.push_back({p.doc_id, p.term_freq});
  return out;
}

// Every posting the iterator yields, walking block by block.
std::vector<Posting> drain(BlockPostingIterator& it) {
  std::vector<Posting> out;
  while (!it.exhausted()) {
    for (size_t i = it.cursor(); i < it.block_len(); ++i) out.push_back({it.doc_at(i), it.term_freq_at(i)});
    it.load_block(it.current_block() + 1);
  }
  return out;
}

// --- from_posting_list ----------------------------------------------------------

TEST(BlockPostingList, FromPostingListGoldenBytes) {
  const std::vector<Posting> postings = {{5, 1}, {7, 2}, {300, 1}};
  const auto list = BlockPostingList::from_posting_list(postings);
  EXPECT_EQ(list.data, (Bytes{0x03, 0x05, 0x01, 0x02, 0x02, 0xA5, 0x02, 0x01}));
  EXPECT_EQ(list.skip_list, (std::vector<SkipEntry>{{5, 300, 0}}));
  EXPECT_EQ(list.doc_count, 3u);

  const auto empty = BlockPostingList::from_posting_list({});
  EXPECT_TRUE(empty.skip_list.empty());
  EXPECT_TRUE(empty.data.empty());
  EXPECT_EQ(empty.doc_count, 0u);
}

TEST(BlockPostingList, FromPostingListCutsRunsOf128) {
  std::vector<Posting> postings;
  for (uint32_t i = 0; i < 300; ++i) postings.push_back({i * 2, 1});
  const auto list = BlockPostingList::from_posting_list(postings);
  ASSERT_EQ(list.skip_list.size(), 3u);
  const struct {
    uint32_t first, last;
    Bytes count;
  } runs[] = {{0, 254, {0x80, 0x01}}, {256, 510, {0x80, 0x01}}, {512, 598, {0x2C}}};
  for (size_t b = 0; b < 3; ++b) {
    const SkipEntry& e = list.skip_list[b];
    EXPECT_EQ(e.first_doc, runs[b].first);
    EXPECT_EQ(e.last_doc, runs[b].last);
    EXPECT_TRUE(std::equal(runs[b].count.begin(), runs[b].count.end(), list.data.begin() + e.offset)) << b;
  }
  EXPECT_EQ(list.skip_list[0].offset, 0u);
  // Each run restarts its deltas: its first posting is its document itself.
  EXPECT_EQ(list.data[list.skip_list[1].offset + 2], 0x80);  // 256 = 80 02
  EXPECT_EQ(list.data[list.skip_list[1].offset + 3], 0x02);
}

// --- deserialize -----------------------------------------------------------------

TEST(BlockPostingList, DeserializeMatchesTheWriterAndLeavesTrailingBytes) {
  const auto postings = random_postings(1000, 1);
  Bytes bytes = test_writer::encode_posting_list(pairs(postings));
  const size_t list_len = bytes.size();
  bytes.push_back(0xAA);
  bytes.push_back(0xBB);
  std::span<const uint8_t> cursor(bytes);
  auto r = BlockPostingList::deserialize(cursor);
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  EXPECT_EQ(cursor.size(), bytes.size() - list_len);
  EXPECT_EQ(*r, BlockPostingList::from_posting_list(postings));
}

TEST(BlockPostingList, DeserializeRefusesEveryTruncation) {
  const Bytes bytes = test_writer::encode_posting_list(pairs(random_postings(200, 2)));
  for (size_t len = 0; len < bytes.size(); ++len) {
    std::span<const uint8_t> cursor(bytes.data(), len);
    auto r = BlockPostingList::deserialize(cursor);
    ASSERT_FALSE(r.has_value()) << len;
    EXPECT_EQ(r.error().kind(), IoErrorKind::UnexpectedEof);
    EXPECT_EQ(r.error().to_string(), "failed to fill whole buffer");
  }
}

TEST(BlockPostingList, DeserializeHugeCountsFailWithoutReserving) {
  struct Case {
    const char* name;
    uint32_t blocks;
    uint32_t data_len;
  };
  const Case cases[] = {{"block count", 0xFFFFFFFF, 0}, {"data length", 0, 0xFFFFFFF0}};
  for (const Case& c : cases) {
    Bytes bytes;
    test_writer::put_u32(bytes, 7);
    test_writer::put_u32(bytes, c.blocks);
    test_writer::put_u32(bytes, c.data_len);
    test_writer::put_u32(bytes, 0);
    std::span<const uint8_t> cursor(bytes);
    auto r = BlockPostingList::deserialize(cursor);
    ASSERT_FALSE(r.has_value()) << c.name;
    EXPECT_EQ(r.error().to_string(), "failed to fill whole buffer") << c.name;
  }
}

// --- decode_inline ----------------------------------------------------------------

TermInfo inline_of(uint8_t doc_count, Bytes data, std::optional<uint8_t> data_len = std::nullopt) {
  TermInfo::Inline in;
  in.doc_count = doc_count;
  in.data_len = data_len.value_or(static_cast<uint8_t>(data.size()));
  std::copy(data.begin(), data.end(), in.data.begin());
  return TermInfo(in);
}

TEST(TermInfoDecodeInline, Table) {
  using Decoded = std::pair<std::vector<uint32_t>, std::vector<uint32_t>>;
  struct Case {
    const char* name;
    TermInfo info;
    std::optional<Decoded> expected;
  };
  const Case cases[] = {
      {"two pairs", inline_of(2, {0x03, 0x01, 0x04, 0x02}), Decoded{{3, 7}, {1, 2}}},
      {"one pair too many", inline_of(3, {0x03, 0x01, 0x04, 0x02}), std::nullopt},
      {"bytes past data_len are not read", inline_of(2, {0x03, 0x01, 0x04, 0x02}, 3), std::nullopt},
      {"trailing bytes ignored", inline_of(1, {0x09, 0x05, 0x77}), Decoded{{9}, {5}}},
      {"nothing", inline_of(0, {}), Decoded{{}, {}}},
      {"documents wrap modulo 2^32", inline_of(2, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x01, 0x02, 0x01}),
       Decoded{{0xFFFFFFFF, 1}, {1, 1}}},
      {"frequency keeps its low 32 bits", inline_of(1, {0x00, 0x80, 0x80, 0x80, 0x80, 0x10}), Decoded{{0}, {0}}},
      {"varint too long", inline_of(1, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}),
       std::nullopt},
      {"external", TermInfo(TermInfo::External{1, 2, 3}), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TermInfo::decode_inline(c.info), c.expected) << c.name;
  }
}

TEST(TermInfoDecodeInline, ReadsWhatTheWriterInlines) {
  const std::vector<DocTf> postings = {{4, 1}, {10, 3}, {130, 1}, {131, 200}};
  auto info = test_writer::inline_term_info(postings);
  ASSERT_TRUE(info.has_value());
  auto decoded = TermInfo::decode_inline(*info);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->first, (std::vector<uint32_t>{4, 10, 130, 131}));
  EXPECT_EQ(decoded->second, (std::vector<uint32_t>{1, 3, 1, 200}));
}

// --- iterator ---------------------------------------------------------------------

TEST(BlockPostingIterator, WalksEveryPostingOfEveryBlock) {
  for (size_t n : {size_t{1}, size_t{127}, size_t{128}, size_t{129}, size_t{1000}}) {
    const auto postings = random_postings(n, static_cast<uint32_t>(n));
    const Bytes bytes = test_writer::encode_posting_list(pairs(postings));
    std::span<const uint8_t> cursor(bytes);
    auto list = BlockPostingList::deserialize(cursor);
    ASSERT_TRUE(list.has_value());
    BlockPostingIterator it(std::move(*list));
    EXPECT_FALSE(it.exhausted());
    EXPECT_EQ(it.current_block(), 0u);
    EXPECT_EQ(drain(it), postings) << n;
  }
}

TEST(BlockPostingIterator, StartsExhaustedWithoutBlocks) {
  BlockPostingIterator it(BlockPostingList::from_posting_list({}));
  EXPECT_TRUE(it.exhausted());
  EXPECT_EQ(it.block_len(), 0u);
  it.load_block(0);
  EXPECT_TRUE(it.exhausted());
}

TEST(BlockPostingIterator, LoadingPastTheLastBlockKeepsTheLastBlock) {
  std::vector<Posting> postings;
  for (uint32_t i = 0; i < 200; ++i) postings.push_back({i, i + 1});
  const auto list = BlockPostingList::from_posting_list(postings);
  BlockPostingIterator it(&list);  // borrowed
  it.load_block(1);
  it.set_cursor(5);
  it.load_block(2);
  EXPECT_TRUE(it.exhausted());
  EXPECT_EQ(it.current_block(), 1u);
  EXPECT_EQ(it.cursor(), 5u);
  ASSERT_EQ(it.block_len(), 72u);
  EXPECT_EQ(it.doc_at(0), 128u);
  EXPECT_EQ(it.term_freq_at(71), 200u);
  // Going back to an earlier block works and resets the cursor.
  it.load_block(0);
  EXPECT_EQ(it.cursor(), 0u);
  EXPECT_EQ(it.block_len(), 128u);
}

// Damaged blocks decode to fewer postings, never reading outside the data.
TEST(BlockPostingIterator, DamagedBlocksYieldWhatDecodes) {
  auto list_of = [](Bytes data, uint32_t offset) {
    BlockPostingList list;
    list.data = std::move(data);
    list.skip_list = {SkipEntry{0, 0, offset}};
    list.doc_count = 1;
    return list;
  };
  const Bytes too_long(10, 0x80);
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  struct Case {
    const char* name;
    BlockPostingList list;
    std::vector<Posting> expected;
  };
  const Case cases[] = {
      {"offset past the data", list_of({0x01, 0x05, 0x01}, 3), {}},
      {"offset far past the data", list_of({0x01, 0x05, 0x01}, 0xFFFFFFFF), {}},
      {"empty data", list_of({}, 0), {}},
      {"count does not decode", list_of({0x80}, 0), {}},
      {"count beyond the bytes", list_of({0xFF, 0xFF, 0xFF, 0x0F, 0x05, 0x01, 0x02, 0x02}, 0), {{5, 1}, {7, 2}}},
      {"huge count", list_of(cat({Bytes(9, 0xFF), {0x01, 0x03, 0x01}}), 0), {{3, 1}}},
      {"pair cut short", list_of({0x02, 0x05, 0x01, 0x02}, 0), {{5, 1}}},
      // A pair whose document varint is too long is dropped; the next pair
      // still adds to the previous document.
      {"bad pair skipped", list_of(cat({{0x03, 0x05, 0x01}, too_long, {0x00}, {0x02, 0x07}}), 0),
       {{5, 1}, {7, 7}}},
      {"offset into the middle", list_of({0x09, 0x09, 0x01, 0x04, 0x02}, 2), {{4, 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BlockPostingIterator it(&c.list);
    EXPECT_FALSE(it.exhausted());
    std::vector<Posting> got;
    for (size_t i = 0; i < it.block_len(); ++i) got.push_back({it.doc_at(i), it.term_freq_at(i)});
    EXPECT_EQ(got, c.expected);
  }
}

TEST(BlockPostingIterator, CopiesAreIndependent) {
  const auto postings = random_postings(300, 3);
  BlockPostingIterator a(BlockPostingList::from_posting_list(postings));
  BlockPostingIterator b = a;
  a.load_block(2);
  EXPECT_EQ(b.current_block(), 0u);
  EXPECT_EQ(b.doc_at(0), postings[0].doc_id);
  EXPECT_EQ(drain(b), postings);
}

}  // namespace
}  // namespace zelvar
