// Helpers for propagating the error of an std::expected result.
//
//   ZELVAR_TRY(auto bytes, file.read_bytes_range(range));
//   ZELVAR_TRY_VOID(check_header(bytes));
//
// On failure the enclosing function returns the error (converted to its own
// error type, so an IoError reaching a Result<T> function becomes Error::Io).
#pragma once

#include <expected>
#include <utility>

#define ZELVAR_CONCAT_INNER(a, b) a##b
#define ZELVAR_CONCAT(a, b) ZELVAR_CONCAT_INNER(a, b)

#define ZELVAR_TRY_IMPL(tmp, decl, expr)                        \
  auto tmp = (expr);                                            \
  if (!tmp.has_value()) return std::unexpected(std::move(tmp).error()); \
  decl = std::move(tmp).value()

#define ZELVAR_TRY(decl, expr) ZELVAR_TRY_IMPL(ZELVAR_CONCAT(zelvar_try_, __LINE__), decl, expr)

#define ZELVAR_TRY_VOID(expr)                                              \
  do {                                                                     \
    auto zelvar_try_void = (expr);                                         \
    if (!zelvar_try_void.has_value())                                      \
      return std::unexpected(std::move(zelvar_try_void).error());          \
  } while (0)
