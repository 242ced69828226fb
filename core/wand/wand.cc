#include "core/wand/wand.h"

namespace zelvar {

std::string WandData::key(std::string_view field_name, std::string_view term) {
  std::string out;
  out.reserve(field_name.size() + 1 + term.size());
  out.append(field_name);
  out.push_back(':');
  out.append(term);
  return out;
}

std::optional<float> WandData::get_idf(std::string_view field_name, std::string_view term) const {
  if (terms.empty()) return std::nullopt;
  auto it = terms.find(key(field_name, term));
  if (it == terms.end()) return std::nullopt;
  return it->second.idf;
}

}  // namespace zelvar
