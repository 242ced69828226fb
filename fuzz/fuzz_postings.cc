// Posting lists from ".post": decoding, iteration, seeks, and the term and
// boolean scorers over them.
//
// Input: an 8-byte control word, then posting lists back to back, as a
// ".post" file holds them.
//   u32 stride      seeks go to the current document + 1 + (stride mod 2^16)
//   u32 num_docs    the segment's document count for the idf
//   lists           read one after another until one fails to decode, at
//                   most kMaxLists
// The first 18 bytes after the control word are also decoded as inline
// postings (count, length, data), as a term dictionary entry holds them.
//
// For every list: each block is decoded; a term scorer runs to its end by
// advancing and another by seeking; then boolean scorers combine the lists
// (must, should, must-not; should only) and feed a top-k collector. Scorer
// contracts are checked: a seek lands at or after its target and on the
// scorer's current document, and a scorer ends after no more steps than its
// lists' bytes allow. (A corrupt list may hold the document number TERMINATED
// itself, which ends a scorer early; that is not checked.) The best hits of
// boolean queries over the lists, as the search computes them from the lists
// directly, must be those of the boolean scorer, bit for bit.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "core/query/boolean.h"
#include "core/query/boolean_top_k.h"
#include "core/query/collector.h"
#include "core/query/term.h"
#include "core/segment/segment_meta.h"
#include "core/structures/postings/posting.h"
#include "core/structures/postings/term_info.h"
#include "fuzz/support.h"

namespace zelvar::fuzz {
namespace {

constexpr size_t kMaxLists = 4;

uint32_t read_u32(std::span<const uint8_t> bytes, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
  return v;
}

// The most postings a scorer over `list` can yield: every block decodes at
// most one posting per two bytes of the data from its offset on.
uint64_t max_postings(const BlockPostingList& list) {
  return static_cast<uint64_t>(list.skip_list.size()) * (list.data.size() / 2 + 1);
}

// Advances `scorer` to its end; `limit` bounds the number of matches.
void drain(Scorer& scorer, uint64_t limit, const char* what) {
  uint64_t steps = 0;
  for (uint32_t doc = scorer.doc(); doc != TERMINATED; doc = scorer.advance()) {
    (void)scorer.score();
    if (++steps > limit) fail(what);
  }
}

// Seeks `scorer` forward in steps of `stride` + 1 to its end.
void seek_through(Scorer& scorer, uint32_t stride, uint64_t limit, const char* what) {
  uint64_t steps = 0;
  // A document numbered TERMINATED - 1 leaves nothing to seek to.
  for (uint32_t doc = scorer.doc(); doc < TERMINATED - 1;) {
    const uint32_t target = doc >= TERMINATED - 1 - stride ? TERMINATED - 1 : doc + 1 + stride;
    const uint32_t got = scorer.seek(target);
    if (got != scorer.doc()) fail("scorer: seek returned another document than doc()");
    if (got < target) fail("scorer: a seek landed before its target");
    (void)(got == TERMINATED ? 0.0f : scorer.score());
    if (++steps > limit) fail(what);
    doc = got;
  }
}

TermWeight term_weight(const BlockPostingList& list, uint32_t num_docs) {
  return TermWeight(TermScorer::compute_idf(num_docs, list.doc_count), 3.5f);
}

std::unique_ptr<Scorer> term_scorer(const BlockPostingList& list, uint32_t num_docs) {
  return std::make_unique<TermScorer>(list, term_weight(list, num_docs));
}

}  // namespace
}  // namespace zelvar::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelvar;
  using namespace zelvar::fuzz;
  if (size < 8) return 0;
  HeapWatch watch("postings", size);
  const std::span<const uint8_t> input(data, size);
  const uint32_t stride = read_u32(input, 0) & 0xFFFF;
  const uint32_t num_docs = read_u32(input, 4);
  std::span<const uint8_t> cursor = input.subspan(8);

  // Inline postings from the front of the lists' bytes.
  if (cursor.size() >= 2) {
    TermInfo::Inline in;
    in.doc_count = cursor[0];
    in.data_len = static_cast<uint8_t>(std::min<size_t>(cursor[1] % (TermInfo::kMaxInlineLen + 1), cursor.size() - 2));
    std::memcpy(in.data.data(), cursor.data() + 2, in.data_len);
    if (auto decoded = TermInfo::decode_inline(TermInfo(in))) {
      if (decoded->first.size() != in.doc_count || decoded->second.size() != in.doc_count) {
        fail("inline postings: decoded count differs from doc_count");
      }
    }
  }

  std::vector<BlockPostingList> lists;
  while (lists.size() < kMaxLists && !cursor.empty()) {
    auto list = BlockPostingList::deserialize(cursor);
    if (!list) {
      (void)list.error().to_string();
      break;
    }
    lists.push_back(std::move(*list));
  }
  if (lists.empty()) return 0;

  uint64_t all_postings = 0;
  for (const BlockPostingList& list : lists) {
    const uint64_t limit = max_postings(list);
    all_postings += limit;
    BlockPostingIterator it(&list);
    for (size_t b = 0; b <= list.skip_list.size(); ++b) {
      it.load_block(b);
      if (it.block_len() > list.data.size() / 2) fail("iterator: a block with more postings than bytes");
    }
    auto scorer = term_scorer(list, num_docs);
    drain(*scorer, limit, "term scorer: more matches than the list holds");
    scorer = term_scorer(list, num_docs);
    seek_through(*scorer, stride, limit + 1, "term scorer: more seeks than the list holds");

    SegmentMeta meta;
    meta.num_docs = num_docs;
    meta.field_stats[0] = FieldStats{num_docs * 3ull, num_docs};
    auto query_scorer = TermQuery(0, "t").scorer_for(list, meta);
    drain(*query_scorer, limit, "term query scorer: more matches than the list holds");
  }

  // Boolean scorers: must L0 and L1, should L2, must-not L3; then should only.
  auto clauses = [&](std::initializer_list<size_t> which) {
    BooleanScorer::Scorers out;
    for (size_t i : which) {
      if (i < lists.size()) out.push_back(term_scorer(lists[i], num_docs));
    }
    return out;
  };
  {
    BooleanScorer scorer(clauses({0, 1}), clauses({2}), clauses({3}));
    (void)scorer.size_hint();
    (void)collector::collect_top_k(scorer, 10);
  }
  {
    BooleanScorer scorer(clauses({}), clauses({0, 1, 2}), clauses({3}));
    seek_through(scorer, stride, all_postings + 1, "boolean scorer: more seeks than its clauses hold");
  }
  {
    BooleanScorer scorer(clauses({0}), clauses({}), clauses({1, 2}));
    drain(scorer, all_postings, "boolean scorer: more matches than its clauses hold");
  }

  // The search's own top-k over term clauses against the boolean scorer.
  auto term_clauses = [&](std::initializer_list<size_t> which) {
    std::vector<TermClause> out;
    for (size_t i : which) {
      if (i < lists.size()) out.push_back({lists[i], term_weight(lists[i], num_docs)});
    }
    return out;
  };
  const TermClauses queries[] = {
      {term_clauses({0, 1}), term_clauses({2}), term_clauses({3})},
      {{}, term_clauses({0, 1, 2}), term_clauses({3})},
      {term_clauses({0}), {}, term_clauses({1, 2})},
  };
  for (const TermClauses& query : queries) {
    for (size_t limit : {size_t{1}, size_t{3}, size_t{10}}) {
      if (!same_hits(top_k_term_clauses(query, limit), scorer_top_k_term_clauses(query, limit))) {
        fail("top-k over term clauses: other hits than the boolean scorer's");
      }
    }
  }
  return 0;
}
