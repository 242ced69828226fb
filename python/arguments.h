// Binding and converting the arguments of the ZelvarIndex methods.
//
// Every parameter is positional-or-keyword and required; there are no
// defaults. `bind_arguments` maps a vectorcall argument vector onto the
// parameters and reports misuse with the texts Python users know from Python
// functions. The `extract_*` functions convert one bound argument; on failure
// they set an exception and return false, and the caller passes the parameter
// name to `wrap_argument_error` (errors.h).
//
// Call everything here with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace zelvar::python {

// The search limit used when the caller passes None.
inline constexpr size_t kDefaultLimit = 10;

// Fills `slots` (one per parameter, in declaration order) with borrowed
// references to the arguments. `method` is the full name used in messages,
// e.g. "ZelvarIndex.open()". On misuse sets TypeError and returns false; the
// checks run in this order: the positional count, each keyword in the order
// given, then the parameters still without a value.
bool bind_arguments(const char* method, std::span<const char* const> params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// A str (or subclass) as UTF-8. Not a str: TypeError "'T' object cannot be
// cast as 'str'"; a str with lone surrogates: the interpreter's
// UnicodeEncodeError.
bool extract_str(PyObject* object, std::string& out);

// An integer (or object with __index__) from 0 to 2^32 - 1. Out of that range
// but within a signed 64-bit value: OverflowError "out of range integral type
// conversion attempted"; beyond it, or not an integer: the interpreter's own
// OverflowError or TypeError.
bool extract_doc_id(PyObject* object, uint32_t& out);

// None (kDefaultLimit) or an integer from 0 to 2^64 - 1; negative, too large
// or not an integer: the interpreter's OverflowError or TypeError.
bool extract_limit(PyObject* object, size_t& out);

using TermPair = std::pair<std::string, std::string>;

// None (no pairs) or a sequence - not a str - of 2-tuples of str, in order.
bool extract_pairs(PyObject* object, std::vector<TermPair>& out);

}  // namespace zelvar::python
