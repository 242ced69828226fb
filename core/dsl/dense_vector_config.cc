#include "core/dsl/dense_vector_config.h"

namespace zelvar {

std::string_view vector_index_type_name(VectorIndexType v) {
  return kVectorIndexTypeNames[static_cast<size_t>(v)];
}

dsl::JsonStatus read_optional_usize(dsl::JsonReader& reader, std::optional<uint64_t>& out) {
  // Same rule as every optional value: the literal null, else the inner type.
  if (reader.peek() == 'n') return reader.read_null("unit");
  out.emplace();
  return dsl::read_usize(reader, *out);
}

}  // namespace zelvar
