#include "core/dsl/schema.h"

namespace zelvar {

dsl::JsonResult<Schema> Schema::from_json(std::span<const uint8_t> data) {
  return dsl::read_json<Schema>(data);
}

dsl::JsonResult<Schema> Schema::from_json(std::string_view text) {
  return dsl::read_json<Schema>(text);
}

std::optional<Field> Schema::get_field(std::string_view name) const {
  if (name_to_field_.empty()) return std::nullopt;
  auto it = name_to_field_.find(name);
  if (it == name_to_field_.end()) return std::nullopt;
  return it->second;
}

bool Schema::has_dense_vector_fields() const {
  for (const FieldEntry& entry : fields_) {
    if (entry.dense_vector_config.has_value()) return true;
  }
  return false;
}

}  // namespace zelvar
