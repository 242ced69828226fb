#include "core/query/checked_cursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace zelvar {
namespace {

void put_vint(std::vector<uint8_t>& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

// `postings` cut into blocks of `block` postings, encoded as the format says.
BlockPostingList blocks_of(const std::vector<Posting>& postings, size_t block) {
  BlockPostingList list;
  for (size_t start = 0; start < postings.size(); start += block) {
    const size_t end = std::min(postings.size(), start + block);
    list.skip_list.push_back({postings[start].doc_id, postings[end - 1].doc_id,
                              static_cast<uint32_t>(list.data.size())});
    put_vint(list.data, end - start);
    uint32_t prev = 0;
    for (size_t i = start; i < end; ++i) {
      put_vint(list.data, postings[i].doc_id - prev);
      put_vint(list.data, postings[i].term_freq);
      prev = postings[i].doc_id;
    }
  }
  list.doc_count = static_cast<uint32_t>(postings.size());
  return list;
}

// Sorted distinct documents with gaps up to `max_gap` (so one-byte and longer
// varints mix), term frequencies mostly small, now and then far larger.
std::vector<Posting> random_postings(std::mt19937& rng, size_t n, uint32_t max_gap) {
  std::vector<Posting> out;
  uint64_t doc = rng() % 300;
  for (size_t i = 0; i < n && doc < TERMINATED; ++i) {
    const uint32_t tf = rng() % 10 == 0 ? static_cast<uint32_t>(rng()) : rng() % 130;
    out.push_back({static_cast<uint32_t>(doc), tf});
    doc += 1 + rng() % max_gap;
  }
  return out;
}

// The postings BlockPostingIterator::load_block decodes for block b.
std::vector<Posting> iterator_block(const BlockPostingList& list, size_t b) {
  BlockPostingIterator it(&list);
  it.load_block(b);
  std::vector<Posting> out;
  for (size_t i = 0; i < it.block_len(); ++i) out.push_back({it.doc_at(i), it.term_freq_at(i)});
  return out;
}

std::vector<Posting> decoded_block(const BlockPostingList& list, size_t b) {
  std::vector<uint32_t> docs, freqs;
  const size_t n = decode_sound_block(list, b, &docs, &freqs);
  std::vector<Posting> out;
  for (size_t i = 0; i < n; ++i) out.push_back({docs[i], freqs[i]});
  return out;
}

TEST(CheckedCursorTest, WalksSoundListsLikeASortedSet) {
  std::mt19937 rng(5);
  for (int round = 0; round < 400; ++round) {
    const uint32_t max_gap = std::vector<uint32_t>{1, 3, 60, 200, 100000}[rng() % 5];
    const std::vector<Posting> postings = random_postings(rng, rng() % 1200, max_gap);
    const BlockPostingList list = blocks_of(postings, 1 + rng() % 128);
    for (size_t b = 0; b < list.skip_list.size(); ++b) {
      ASSERT_EQ(decoded_block(list, b), iterator_block(list, b)) << "round " << round << " block " << b;
    }
    uint32_t max_tf = 0;
    for (const Posting& p : postings) max_tf = std::max(max_tf, p.term_freq);
    ASSERT_EQ(check_postings(list), std::optional<uint32_t>(max_tf)) << "round " << round;

    CheckedCursor cursor(list);
    size_t index = 0;
    auto model = [&] { return index < postings.size() ? postings[index].doc_id : TERMINATED; };
    while (cursor.doc() != TERMINATED) {
      ASSERT_EQ(cursor.doc(), model()) << "round " << round;
      ASSERT_EQ(cursor.term_freq(), postings[index].term_freq) << "round " << round;
      const auto rest = cursor.rest_of_block_docs();
      ASSERT_FALSE(rest.empty());
      ASSERT_EQ(rest[0], cursor.doc());
      switch (rng() % 4) {
        case 0:
          cursor.advance();
          ++index;
          break;
        case 1:
          if (rest.size() > 1) {
            const size_t n = 1 + rng() % (rest.size() - 1);
            cursor.skip_in_block(n);
            index += n;
          } else {
            cursor.next_block();
            ++index;
          }
          break;
        default: {
          // Short seeks, long ones across blocks, and seeks that stay.
          const uint64_t jump = rng() % 3 == 0 ? rng() % (40 * uint64_t{max_gap}) : rng() % 3;
          const uint32_t target =
              static_cast<uint32_t>(std::min<uint64_t>(cursor.doc() + jump, TERMINATED));
          while (index < postings.size() && postings[index].doc_id < target) ++index;
          ASSERT_EQ(cursor.seek(target), model()) << "round " << round << " target " << target;
        }
      }
    }
    ASSERT_EQ(index, postings.size()) << "round " << round;
    EXPECT_EQ(cursor.seek(TERMINATED), TERMINATED);
    EXPECT_TRUE(cursor.rest_of_block_docs().empty());
  }
}

// The one verdict that matters: a block called sound decodes, through the
// iterator as well, to postings that ascend within the block, end on the
// skip entry's last document and start above the previous entry's.
TEST(CheckedCursorTest, SoundBlocksAreSoundForTheIteratorTooOnMangledLists) {
  std::mt19937 rng(9);
  size_t sound = 0, unsound = 0;
  for (int round = 0; round < 3000; ++round) {
    BlockPostingList list = blocks_of(random_postings(rng, 1 + rng() % 300, rng() % 2 ? 3 : 400),
                                      1 + rng() % 40);
    for (int edits = 1 + rng() % 3; edits > 0; --edits) {
      switch (rng() % 4) {
        case 0:
          if (!list.data.empty()) list.data[rng() % list.data.size()] = static_cast<uint8_t>(rng());
          break;
        case 1:
          list.data.resize(rng() % (list.data.size() + 1));
          break;
        case 2: {
          SkipEntry& e = list.skip_list[rng() % list.skip_list.size()];
          e.last_doc = rng() % 2 ? e.last_doc + static_cast<uint32_t>(rng() % 5) - 2
                                 : static_cast<uint32_t>(rng());
          break;
        }
        default: {
          SkipEntry& e = list.skip_list[rng() % list.skip_list.size()];
          e.offset = static_cast<uint32_t>(rng() % (list.data.size() + 4));
        }
      }
    }
    for (size_t b = 0; b < list.skip_list.size(); ++b) {
      const std::vector<Posting> got = decoded_block(list, b);
      if (got.empty()) {
        ++unsound;
        continue;
      }
      ++sound;
      ASSERT_EQ(got, iterator_block(list, b)) << "round " << round << " block " << b;
      for (size_t i = 1; i < got.size(); ++i) ASSERT_LT(got[i - 1].doc_id, got[i].doc_id);
      ASSERT_EQ(got.back().doc_id, list.skip_list[b].last_doc);
      ASSERT_NE(got.back().doc_id, TERMINATED);
      if (b > 0) {
        ASSERT_GT(got.front().doc_id, list.skip_list[b - 1].last_doc);
      }
    }
  }
  EXPECT_GT(sound, 1000u);
  EXPECT_GT(unsound, 1000u);
}

// A term frequency is kept to its low 32 bits wherever it is read, and the
// largest one check_postings() reports is the largest so kept: a bound
// taken from it must hold for every score the list gives.
TEST(CheckPostingsTest, LargestTermFrequencyIsOfTheKeptLow32Bits) {
  struct Case {
    const char* name;
    std::vector<uint64_t> term_freqs;  // of documents 1, 2, 3, ...
    uint32_t largest;
  };
  const Case cases[] = {
      {"2^32 + 1 after 5 keeps 1", {1, 5, (uint64_t{1} << 32) + 1}, 5},
      {"2^32 + 9 after 5 keeps 9", {5, (uint64_t{1} << 32) + 9}, 9},
      {"2^33 keeps 0", {3, uint64_t{1} << 33}, 3},
      {"2^64 - 1 keeps 2^32 - 1", {2, UINT64_MAX}, UINT32_MAX},
      {"after a run of one-byte pairs", {1, 1, 1, 1, 1, 7, (uint64_t{1} << 32) + 2, 1}, 7},
  };
  for (const Case& c : cases) {
    BlockPostingList list;
    put_vint(list.data, c.term_freqs.size());
    for (uint64_t tf : c.term_freqs) {
      put_vint(list.data, 1);
      put_vint(list.data, tf);
    }
    const uint32_t last = static_cast<uint32_t>(c.term_freqs.size());
    list.skip_list.push_back({1, last, 0});
    list.doc_count = last;
    EXPECT_EQ(check_postings(list), std::optional<uint32_t>(c.largest)) << c.name;
    std::vector<Posting> kept;
    for (size_t i = 0; i < c.term_freqs.size(); ++i) {
      kept.push_back({static_cast<uint32_t>(i + 1), static_cast<uint32_t>(c.term_freqs[i])});
    }
    EXPECT_EQ(decoded_block(list, 0), kept) << c.name;
    EXPECT_EQ(iterator_block(list, 0), kept) << c.name;
  }
}

// Hand-made damage: each list is unsound somewhere, and check_postings()
// says so; a cursor walked over it anyway ends and reads nothing outside the
// list.
TEST(CheckPostingsTest, FindsDamageWhereverItIs) {
  const std::vector<Posting> base = {{3, 1}, {5, 2}, {9, 1}, {200, 4}, {300, 1}, {301, 2}};
  auto raw = [](std::vector<uint8_t> data, std::vector<SkipEntry> skips) {
    BlockPostingList list;
    list.data = std::move(data);
    list.skip_list = std::move(skips);
    return list;
  };
  struct Case {
    std::string name;
    BlockPostingList list;
  };
  std::vector<Case> cases;
  auto edited = [&](std::string name, auto edit) {
    BlockPostingList list = blocks_of(base, 2);  // blocks 3 5 | 9 200 | 300 301
    edit(list);
    cases.push_back({std::move(name), std::move(list)});
  };
  edited("last block's skip entry claims more", [](auto& l) { l.skip_list[2].last_doc = 302; });
  edited("middle skip entry claims less", [](auto& l) { l.skip_list[1].last_doc = 150; });
  edited("skip entries out of order", [](auto& l) { std::swap(l.skip_list[0], l.skip_list[1]); });
  edited("offset past the data", [](auto& l) { l.skip_list[2].offset = static_cast<uint32_t>(l.data.size()); });
  edited("blocks overlap", [](auto& l) { l.skip_list[1].offset = l.skip_list[0].offset; });
  edited("data cut inside the last block", [](auto& l) { l.data.pop_back(); });
  edited("a block of no postings", [](auto& l) { l.data[l.skip_list[1].offset] = 0; });
  cases.push_back({"documents repeat within a block",
                   raw({2, 7, 1, 0, 1}, {{7, 7, 0}})});
  cases.push_back({"a gap of 2^32 wraps to the same document",
                   raw({2, 7, 1, 0x80, 0x80, 0x80, 0x80, 0x10, 1}, {{7, 7, 0}})});
  cases.push_back({"documents wrap past 2^32",
                   raw({2, 0xFE, 0xFF, 0xFF, 0xFF, 0x0F, 1, 4, 1}, {{0xFFFFFFFEu, 2, 0}})});
  cases.push_back({"a document at TERMINATED",
                   raw({1, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 1}, {{TERMINATED, TERMINATED, 0}})});
  cases.push_back({"a varint too long",
                   raw({1, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 1},
                       {{0, 0, 0}})});
  cases.push_back({"a count beyond the bytes", raw({0x80, 0x80, 0x04, 5, 1}, {{5, 5, 0}})});
  cases.push_back({"a second block starting at the first one's last document",
                   raw({1, 5, 1, 2, 5, 1, 1, 1}, {{5, 5, 0}, {5, 6, 3}})});
  {
    // Four one-byte pairs, the second gap 0: the fast path for such runs.
    std::vector<Posting> run = {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}};
    BlockPostingList list = blocks_of(run, 6);
    list.data[5] = 0;  // the gap from 2 to 3
    list.skip_list[0].last_doc = 5;
    cases.push_back({"a repeated document inside a run of one-byte pairs", std::move(list)});
  }

  for (auto& c : cases) {
    EXPECT_EQ(check_postings(c.list), std::nullopt) << c.name;
    for (bool seeking : {false, true}) {
      CheckedCursor cursor(c.list);
      uint32_t steps = 0;
      while (cursor.doc() != TERMINATED && ++steps < 100) {
        if (seeking) {
          cursor.seek(cursor.doc() + 150);
        } else {
          cursor.advance();
        }
      }
      EXPECT_LT(steps, 100u) << c.name;
    }
  }
}

}  // namespace
}  // namespace zelvar
