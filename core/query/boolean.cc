#include "core/query/boolean.h"

#include <algorithm>
#include <limits>

#include "core/error/result.h"

namespace zelvar {
namespace {

uint32_t saturating_add(uint32_t a, uint32_t b) {
  const uint32_t sum = a + b;
  return sum < a ? std::numeric_limits<uint32_t>::max() : sum;
}

Result<BooleanScorer::Scorers> build_scorers(const BooleanQuery::Clauses& clauses,
                                             const AsyncSegmentReader& reader) {
  BooleanScorer::Scorers scorers;
  scorers.reserve(clauses.size());
  for (const auto& clause : clauses) {
    ZELVAR_TRY(std::unique_ptr<Scorer> scorer, clause->scorer(reader));
    scorers.push_back(std::move(scorer));
  }
  return scorers;
}

// Leapfrogs the must scorers until all stand on one document and returns it,
// or TERMINATED once any of them runs out.
uint32_t align_must(const BooleanScorer::Scorers& must) {
  uint32_t target = 0;
  for (const auto& scorer : must) target = std::max(target, scorer->doc());
  if (target == TERMINATED) return TERMINATED;
  bool raised = true;
  while (raised) {
    raised = false;
    for (const auto& scorer : must) {
      const uint32_t doc = scorer->seek(target);
      if (doc == TERMINATED) return TERMINATED;
      if (doc > target) {
        target = doc;
        raised = true;
        break;
      }
    }
  }
  return target;
}

// The lowest document a should scorer stands on, or TERMINATED.
uint32_t lowest_should(const BooleanScorer::Scorers& should) {
  uint32_t target = TERMINATED;
  for (const auto& scorer : should) {
    const uint32_t doc = scorer->doc();
    if (doc != TERMINATED) target = std::min(target, doc);
  }
  return target;
}

// Whether a must-not scorer, sought to `target`, lands on it.
bool excluded(const BooleanScorer::Scorers& must_not, uint32_t target) {
  for (const auto& scorer : must_not) {
    if (scorer->seek(target) == target) return true;
  }
  return false;
}

}  // namespace

// ---- BooleanQuery -------------------------------------------------------------

BooleanQuery BooleanQuery::must(std::unique_ptr<Query> query) && {
  must_.push_back(std::move(query));
  return std::move(*this);
}

BooleanQuery BooleanQuery::should(std::unique_ptr<Query> query) && {
  should_.push_back(std::move(query));
  return std::move(*this);
}

BooleanQuery BooleanQuery::must_not(std::unique_ptr<Query> query) && {
  must_not_.push_back(std::move(query));
  return std::move(*this);
}

Result<std::unique_ptr<Scorer>> BooleanQuery::scorer(const AsyncSegmentReader& reader) const {
  ZELVAR_TRY(BooleanScorer::Scorers must, build_scorers(must_, reader));
  ZELVAR_TRY(BooleanScorer::Scorers should, build_scorers(should_, reader));
  ZELVAR_TRY(BooleanScorer::Scorers must_not, build_scorers(must_not_, reader));
  return std::make_unique<BooleanScorer>(std::move(must), std::move(should), std::move(must_not));
}

Result<uint32_t> BooleanQuery::count_estimate(const AsyncSegmentReader& reader) const {
  if (!must_.empty()) {
    uint32_t smallest = std::numeric_limits<uint32_t>::max();
    for (const auto& clause : must_) {
      ZELVAR_TRY(uint32_t estimate, clause->count_estimate(reader));
      smallest = std::min(smallest, estimate);
    }
    return smallest;
  }
  uint32_t sum = 0;
  for (const auto& clause : should_) {
    ZELVAR_TRY(uint32_t estimate, clause->count_estimate(reader));
    sum = saturating_add(sum, estimate);
  }
  return sum;
}

// ---- BooleanScorer --------------------------------------------------------------

BooleanScorer::BooleanScorer(Scorers must, Scorers should, Scorers must_not)
    : must_(std::move(must)), should_(std::move(should)), must_not_(std::move(must_not)) {
  find_next_match();
}

uint32_t BooleanScorer::find_next_match() {
  if (must_.empty() && should_.empty()) return current_doc_ = TERMINATED;
  for (;;) {
    const uint32_t target = must_.empty() ? lowest_should(should_) : align_must(must_);
    if (target == TERMINATED) return current_doc_ = TERMINATED;

    if (!excluded(must_not_, target)) {
      if (!must_.empty()) {
        for (const auto& scorer : should_) {
          if (scorer->doc() < target) scorer->seek(target);
        }
      }
      return current_doc_ = target;
    }

    if (!must_.empty()) {
      for (const auto& scorer : must_) scorer->advance();
    } else {
      // target < TERMINATED here, so target + 1 does not wrap.
      for (const auto& scorer : should_) {
        const uint32_t doc = scorer->doc();
        if (doc != TERMINATED && doc <= target) scorer->seek(target + 1);
      }
    }
  }
}

uint32_t BooleanScorer::advance() {
  if (!must_.empty()) {
    for (const auto& scorer : must_) scorer->advance();
  } else {
    for (const auto& scorer : should_) {
      if (scorer->doc() == current_doc_) scorer->advance();
    }
  }
  return find_next_match();
}

uint32_t BooleanScorer::seek(uint32_t target) {
  for (const auto& scorer : must_) scorer->seek(target);
  for (const auto& scorer : should_) scorer->seek(target);
  return find_next_match();
}

float BooleanScorer::score() const {
  float sum = 0.0f;
  for (const auto& scorer : must_) {
    if (scorer->doc() == current_doc_) sum += scorer->score();
  }
  for (const auto& scorer : should_) {
    if (scorer->doc() == current_doc_) sum += scorer->score();
  }
  return sum;
}

uint32_t BooleanScorer::size_hint() const {
  if (!must_.empty()) {
    uint32_t smallest = std::numeric_limits<uint32_t>::max();
    for (const auto& scorer : must_) smallest = std::min(smallest, scorer->size_hint());
    return smallest;
  }
  uint32_t sum = 0;
  for (const auto& scorer : should_) sum = saturating_add(sum, scorer->size_hint());
  return sum;
}

}  // namespace zelvar
