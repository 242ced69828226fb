// WandData: precomputed per-term statistics a term query may carry.
//
// When a query carries a table and names its field, the term scorer takes the
// term's idf and the average field length from here instead of computing them
// from the segment. Entries are keyed "<field name>:<term>" without escaping,
// so ("a:b", "c") and ("a", "b:c") share an entry.
//
// Thread safety: immutable once built; share it as std::shared_ptr<const WandData>.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zelvar {

struct TermWandInfo {
  float idf = 0.0f;  // the term's precomputed inverse document frequency
};

struct WandData {
  std::unordered_map<std::string, TermWandInfo> terms;
  float avg_field_len = 0.0f;

  // The idf stored for (field_name, term), absent when there is none.
  std::optional<float> get_idf(std::string_view field_name, std::string_view term) const;

  // The key of (field_name, term) in `terms`.
  static std::string key(std::string_view field_name, std::string_view term);
};

}  // namespace zelvar
