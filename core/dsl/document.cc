#include "core/dsl/document.h"

namespace zelvar {

dsl::JsonResult<Document> Document::from_json(std::span<const uint8_t> data) {
  return dsl::read_json<Document>(data);
}

dsl::JsonResult<Document> Document::from_json(std::string_view text) {
  return dsl::read_json<Document>(text);
}

}  // namespace zelvar

namespace zelvar::dsl {

namespace {

// Reads the payload of variant T into `out`, whose alternative becomes T.
template <class T, class Payload>
JsonStatus read_payload(JsonReader& reader, FieldValue& out, Payload T::*member) {
  T variant{};
  ZELVAR_TRY_VOID(read_value(reader, variant.*member));
  out = FieldValue(std::move(variant));
  return {};
}

}  // namespace

JsonStatus JsonRead<FieldValue>::read(JsonReader& reader, FieldValue& out) {
  ZELVAR_TRY(JsonReader::VariantHead head,
             reader.read_variant_head(std::span<const std::string_view>(kFieldTypeNames)));
  const auto type = static_cast<FieldType>(head.index);
  if (head.form == JsonReader::VariantForm::Name) {
    // Every variant carries a payload. The enclosing pair places this error
    // once it has tried to close.
    return std::unexpected(JsonError::unplaced(
        type == FieldType::SparseVector
            ? "invalid type: unit variant, expected struct variant"
            : "invalid type: unit variant, expected newtype variant"));
  }
  switch (type) {
    case FieldType::Text:
      ZELVAR_TRY_VOID(read_payload(reader, out, &FieldValue::Text::value));
      break;
    case FieldType::U64:
      ZELVAR_TRY_VOID(read_payload(reader, out, &FieldValue::U64::value));
      break;
    case FieldType::I64:
      ZELVAR_TRY_VOID(read_payload(reader, out, &FieldValue::I64::value));
      break;
    case FieldType::F64:
      ZELVAR_TRY_VOID(read_payload(reader, out, &FieldValue::F64::value));
      break;
    case FieldType::Bytes:
      ZELVAR_TRY_VOID(read_payload(reader, out, &FieldValue::Bytes::value));
      break;
    case FieldType::SparseVector: {
      FieldValue::SparseVector vector;
      ZELVAR_TRY_VOID(read_value(reader, vector));
      out = FieldValue(std::move(vector));
      break;
    }
    case FieldType::DenseVector:
      ZELVAR_TRY_VOID(read_payload(reader, out, &FieldValue::DenseVector::value));
      break;
    case FieldType::Json:
      ZELVAR_TRY_VOID(read_payload(reader, out, &FieldValue::Json::value));
      break;
  }
  return reader.end_variant_object();
}

}  // namespace zelvar::dsl
