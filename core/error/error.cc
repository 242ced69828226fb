#include "core/error/error.h"

#include <string>

namespace zelvar {
namespace {

struct Display {
  std::string operator()(const Error::Io& e) const { return "IO error: " + e.error.to_string(); }
  std::string operator()(const Error::FieldNotFound& e) const { return "Field not found: " + e.name; }
  std::string operator()(const Error::InvalidFieldType& e) const {
    return "Invalid field type: expected " + e.expected + ", got " + e.got;
  }
  std::string operator()(const Error::Corruption& e) const { return "Index corruption: " + e.message; }
  std::string operator()(const Error::Serialization& e) const {
    return "Serialization error: " + e.message;
  }
  std::string operator()(const Error::IndexClosed&) const { return "Index is closed"; }
  std::string operator()(const Error::DocumentNotFound& e) const {
    return "Document not found: " + std::to_string(e.doc_id);
  }
  std::string operator()(const Error::Schema& e) const { return "Schema error: " + e.message; }
  std::string operator()(const Error::Query& e) const { return "Query error: " + e.message; }
  std::string operator()(const Error::Internal& e) const { return "Internal error: " + e.message; }
};

}  // namespace

std::string Error::to_string() const { return std::visit(Display{}, value_); }

}  // namespace zelvar
