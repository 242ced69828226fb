// How failures reach Python.
//
// Engine errors become RuntimeError with a per-operation prefix; unknown field
// names become ValueError; a failed argument conversion is re-raised with the
// parameter's name; failures that have no engine error (the runtime cannot be
// built) raise the binding's internal-failure exception, which derives from
// BaseException so that an `except Exception` in user code does not swallow it.
//
// Every function here sets a Python exception and returns NULL, so a caller
// can `return raise_...(...)`. Call them with the interpreter lock held.
#pragma once

#include <Python.h>

#include <string_view>

#include "core/error/error.h"
#include "python/py_ref.h"

namespace zelvar::python {

// The per-operation prefixes of engine errors.
inline constexpr std::string_view kOpenFailed = "Failed to open index: ";
inline constexpr std::string_view kSearchFailed = "Search failed: ";
inline constexpr std::string_view kGetDocumentFailed = "Failed to get document: ";
inline constexpr std::string_view kReloadFailed = "Reload failed: ";

// RuntimeError "<prefix><the error's display text>".
PyObject* raise_engine_error(std::string_view prefix, const Error& error);

// ValueError "Field '<name>' not found", with the name as the caller passed it.
PyObject* raise_field_not_found(std::string_view name);

// The internal-failure exception with `message` as its text. The exception
// type is created on first use and kept for the life of the process.
PyObject* raise_internal_failure(std::string_view message);

// Called right after a conversion of parameter `name` failed (an exception is
// set). A TypeError - exactly that type, not a subclass - is replaced by a new
// TypeError "argument '<name>': <text of the old one>" whose cause is the old
// exception's cause; any other exception is left as it is.
void wrap_argument_error(const char* name);

// Takes the pending exception (normalised; empty if none) and puts one back
// (nothing for an empty one), so that a caller can run cleanup code between.
PyRef take_exception();
void restore_exception(PyRef exception);

}  // namespace zelvar::python
