#include "core/query/list_checks.h"

namespace zelvar {

std::optional<ListChecks::Found> ListChecks::find(uint64_t place) const {
  std::lock_guard lock(mutex_);
  const auto it = notes_.find(place);
  if (it == notes_.end()) return std::nullopt;
  return it->second;
}

void ListChecks::keep(uint64_t place, Found found) {
  std::lock_guard lock(mutex_);
  if (notes_.size() >= kMaxNotes && !notes_.contains(place)) notes_.clear();
  notes_.insert_or_assign(place, found);
}

}  // namespace zelvar
