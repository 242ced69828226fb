// Boolean queries over must, should and must-not clauses.
//
// Which documents match:
//   - with must clauses: those every must clause matches and no must-not
//     clause matches; should clauses only add their scores;
//   - with should clauses only: those at least one should clause matches and
//     no must-not clause matches;
//   - with neither (must-not clauses only, or none at all): no document.
// A match scores the f32 sum of the scores of the must clauses and then the
// should clauses that match it, in clause order; must-not clauses add nothing.
//
// Must clauses are intersected by leapfrogging: each seeks to the largest
// document seen so far, so long posting lists are passed over block by block.
// Must-not clauses are only ever sought to candidates.
//
// Thread safety: a BooleanQuery is immutable once built and may serve any
// number of threads. A BooleanScorer and its clause scorers belong to one.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/query/traits.h"

namespace zelvar {

class BooleanQuery final : public Query {
 public:
  using Clauses = std::vector<std::unique_ptr<Query>>;

  // A query without clauses.
  BooleanQuery() = default;

  // Each appends one clause to its list and returns the query, so that calls
  // chain: BooleanQuery().must(a).should(b).must_not(c).
  BooleanQuery must(std::unique_ptr<Query> query) &&;
  BooleanQuery should(std::unique_ptr<Query> query) &&;
  BooleanQuery must_not(std::unique_ptr<Query> query) &&;

  template <std::derived_from<Query> Q>
  BooleanQuery must(Q query) && {
    return std::move(*this).must(std::make_unique<Q>(std::move(query)));
  }
  template <std::derived_from<Query> Q>
  BooleanQuery should(Q query) && {
    return std::move(*this).should(std::make_unique<Q>(std::move(query)));
  }
  template <std::derived_from<Query> Q>
  BooleanQuery must_not(Q query) && {
    return std::move(*this).must_not(std::make_unique<Q>(std::move(query)));
  }

  // The clause scorers are built in the order must, should, must-not; the
  // first error ends the build.
  Result<std::unique_ptr<Scorer>> scorer(const AsyncSegmentReader& reader) const override;
  // The smallest must estimate; without must clauses the sum of the should
  // estimates (saturating at the u32 maximum). Must-not clauses are not asked.
  Result<uint32_t> count_estimate(const AsyncSegmentReader& reader) const override;

  const Clauses& must_clauses() const { return must_; }
  const Clauses& should_clauses() const { return should_; }
  const Clauses& must_not_clauses() const { return must_not_; }

 private:
  Clauses must_;
  Clauses should_;
  Clauses must_not_;
};

class BooleanScorer final : public Scorer {
 public:
  using Scorers = std::vector<std::unique_ptr<Scorer>>;

  // Takes the clause scorers, each positioned, and positions itself on the
  // first match.
  BooleanScorer(Scorers must, Scorers should, Scorers must_not);

  uint32_t doc() const override { return current_doc_; }
  float score() const override;
  uint32_t advance() override;
  uint32_t seek(uint32_t target) override;
  // With must scorers the smallest of their hints, else the sum of the
  // should scorers' hints (saturating at the u32 maximum).
  uint32_t size_hint() const override;

  // Moves to the first match at or after where the clause scorers stand,
  // stores it as the current document and returns it (TERMINATED included).
  uint32_t find_next_match();

 private:
  Scorers must_;
  Scorers should_;
  Scorers must_not_;
  uint32_t current_doc_ = TERMINATED;
};

}  // namespace zelvar
