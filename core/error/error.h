// Error: the engine-level error.
//
// Every engine-level operation (index open, segment-list load, segment open,
// posting lookup, document fetch) returns its value or an Error. An IoError met
// by such an operation becomes `Error::Io` unchanged: the implicit conversion
// below is the one place where the two layers meet.
//
// An Error has a display form only: no numeric code and no chain of causes.
// Thread safety: a plain value.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <variant>

#include "core/error/io_error.h"

namespace zelvar {

class Error {
 public:
  // The ten variants, in the order of their display templates.
  struct Io { IoError error; };
  struct FieldNotFound { std::string name; };
  struct InvalidFieldType { std::string expected; std::string got; };
  struct Corruption { std::string message; };
  struct Serialization { std::string message; };
  struct IndexClosed {};
  struct DocumentNotFound { uint32_t doc_id; };
  struct Schema { std::string message; };
  struct Query { std::string message; };
  struct Internal { std::string message; };

  using Variant = std::variant<Io, FieldNotFound, InvalidFieldType, Corruption, Serialization,
                               IndexClosed, DocumentNotFound, Schema, Query, Internal>;

  // The conversion rule: an IoError becomes the Io variant, kind and text kept.
  Error(IoError error) : value_(Io{std::move(error)}) {}  // NOLINT: implicit on purpose

  template <class V>
    requires std::is_constructible_v<Variant, V&&>
  Error(V&& value) : value_(std::forward<V>(value)) {}  // NOLINT

  static Error corruption(std::string message) { return Error(Corruption{std::move(message)}); }
  static Error serialization(std::string message) { return Error(Serialization{std::move(message)}); }

  const Variant& value() const { return value_; }

  // The display text: the variant's template with its payload.
  std::string to_string() const;

 private:
  Variant value_;
};

template <class T>
using Result = std::expected<T, Error>;

}  // namespace zelvar
