#include "core/query/traits.h"

namespace zelvar {

Scorer::~Scorer() = default;
Query::~Query() = default;

uint32_t EmptyScorer::doc() const { return TERMINATED; }
float EmptyScorer::score() const { return 0.0f; }
uint32_t EmptyScorer::advance() { return TERMINATED; }
uint32_t EmptyScorer::seek(uint32_t) { return TERMINATED; }
uint32_t EmptyScorer::size_hint() const { return 0; }

}  // namespace zelvar
