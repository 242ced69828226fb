// The best hits of a boolean query whose clauses are all term queries,
// computed from the clauses' posting lists without a BooleanScorer.
//
// The answer is exactly what collector::collect_top_k gives over the query's
// BooleanScorer: the same hits, the same scores bit for bit, in the same order.
// Each score is still the f32 sum 0, then the must clauses in order, then the
// matching should clauses in order, and hits still enter the TopKCollector in
// ascending document order. What changes is the work:
//   - the lists are walked by plain cursors, with no virtual call per document;
//   - once the collector is full with weakest score t, a document is scored
//     only if the best sum it could reach is above t. That bound is the same
//     sum in the same order, with each clause not yet looked at replaced by
//     the most its term scores in the segment: the score of the largest term
//     frequency in its list (TermWeight::max_score). Rounded f32 addition is
//     monotone, so the bound is never below the true sum. Should clauses
//     whose bounds together cannot lift a document above t stop driving the
//     walk: they are only sought to the documents that the others bring up.
//     When no document can pass t any more, the walk ends early;
//   - one list leads the walk (the shortest must list, or the only driving
//     should list): its postings are passed over on their term frequency
//     alone while that frequency, with every other clause at its bound,
//     cannot pass t, and the other lists are sought only for the rest;
//   - must-not clauses are sought only for documents about to enter.
//
// The walk trusts the lists to be what the posting format promises:
// documents ascending within and across blocks, every block as its skip entry
// describes it (checked_cursor.h). A damaged file may break that, and the
// BooleanScorer's answer on such data is defined by the exact walk it makes,
// which the pruned walk does not retrace. So every block of every list is
// checked first (the same pass finds each list's largest term frequency), and
// if any fails the search is run by the BooleanScorer over the same lists.
// So is a query whose weights allow negative or NaN scores (see
// TermWeight::max_score), which the bounds do not cover.
//
// Thread safety: functions over values the caller owns; the reader is only
// read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/error/error.h"
#include "core/query/boolean.h"
#include "core/query/collector.h"
#include "core/query/term.h"
#include "core/structures/postings/posting.h"

namespace zelvar {

class AsyncSegmentReader;

// One term clause in one segment: its posting list, absent when the segment
// lacks the term, and the weight its TermScorer would score it with.
struct TermClause {
  std::optional<BlockPostingList> postings;
  TermWeight weight;
  // Where the list starts in the segment's posting file (absent for a list
  // kept inline); see AsyncSegmentReader::get_placed_postings.
  std::optional<uint64_t> place = std::nullopt;
};

struct TermClauses {
  std::vector<TermClause> must;
  std::vector<TermClause> should;
  std::vector<TermClause> must_not;
  // The segment the lists were read from, which keeps what checking a long
  // list found (its ListChecks), so that the next search of the list is
  // spared the check; none: every list is checked.
  const AsyncSegmentReader* segment = nullptr;
};

// Whether every clause of `query` is a TermQuery.
bool has_only_term_clauses(const BooleanQuery& query);

// Looks up the postings of every clause of `query` in `reader`: the must
// clauses, then the should clauses, then the must-not clauses, each in clause
// order, as BooleanQuery::scorer does, and fails with the first lookup error.
// Requires has_only_term_clauses(query).
Result<TermClauses> read_term_clauses(const AsyncSegmentReader& reader, const BooleanQuery& query);

// How top_k_term_clauses found its answer.
enum class TopKPath {
  kNothing,    // no document can match (or the limit is 0): nothing was walked
  kPruned,     // the pruned walk over checked lists
  kReference,  // the BooleanScorer, for damaged lists or unbounded weights
};

// The best `limit` hits of the boolean query with these clauses, best first:
// the result of collector::collect_top_k over a BooleanScorer of the clauses'
// TermScorers (an EmptyScorer for an absent term). `path`, when given, is set
// to the way taken.
std::vector<SearchResult> top_k_term_clauses(TermClauses clauses, size_t limit,
                                             TopKPath* path = nullptr);

// What the generic search gives, and top_k_term_clauses on its reference
// path: collector::collect_top_k over a BooleanScorer of the clauses'
// TermScorers (an EmptyScorer for an absent term).
std::vector<SearchResult> scorer_top_k_term_clauses(TermClauses clauses, size_t limit);

}  // namespace zelvar
