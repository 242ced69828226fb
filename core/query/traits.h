// Queries and scorers.
//
// A Query is an immutable description of what to find. For one open segment
// it builds a Scorer: a cursor over that segment's matching documents, in
// ascending order of their segment-local numbers, that scores the document it
// stands on. Both are chosen at run time; their operations are listed below in
// a fixed order.
//
// Building a scorer is the only step that reads the segment (it reads every
// posting list the scorer needs before it returns); the scorer operations
// themselves never touch a file and never fail. A built scorer owns what it
// reads and no longer refers to the query or the reader.
//
// Thread safety: a Query may be shared by any number of threads, since its
// operations do not change it. A Scorer is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "core/error/error.h"

namespace zelvar {

class AsyncSegmentReader;

// The document number a scorer answers once no document is left. It is never
// reported as a match.
inline constexpr uint32_t TERMINATED = 0xFFFFFFFFu;

class Scorer {
 public:
  virtual ~Scorer();

  // The document the scorer stands on, or TERMINATED.
  virtual uint32_t doc() const = 0;
  // The score of the current document; asked for only while doc() is not
  // TERMINATED.
  virtual float score() const = 0;
  // Moves to the next match after the current one and returns it, or
  // TERMINATED.
  virtual uint32_t advance() = 0;
  // Moves to the first match at or after `target` and returns it, or
  // TERMINATED. Callers seek forward only: `target` >= doc().
  virtual uint32_t seek(uint32_t target) = 0;
  // An estimate of the number of matches.
  virtual uint32_t size_hint() const = 0;

 protected:
  Scorer() = default;
  Scorer(const Scorer&) = default;
  Scorer& operator=(const Scorer&) = default;
};

// Contract of every scorer: it is built positioned, so the first doc() already
// answers the first match; documents come out strictly ascending; once doc()
// answers TERMINATED, doc(), advance() and seek() answer TERMINATED for good.

class Query {
 public:
  virtual ~Query();

  // A scorer positioned on the query's first match in `reader`'s segment, or
  // the error met reading the segment. `reader` is only borrowed for the call.
  virtual Result<std::unique_ptr<Scorer>> scorer(const AsyncSegmentReader& reader) const = 0;
  // An estimate of the number of matches in the segment.
  virtual Result<uint32_t> count_estimate(const AsyncSegmentReader& reader) const = 0;

 protected:
  Query() = default;
  Query(const Query&) = default;
  Query& operator=(const Query&) = default;
};

// The scorer that matches nothing: a query hands it out for a segment in which
// its term does not occur.
class EmptyScorer final : public Scorer {
 public:
  uint32_t doc() const override;
  float score() const override;
  uint32_t advance() override;
  uint32_t seek(uint32_t target) override;
  uint32_t size_hint() const override;
};

}  // namespace zelvar
