// Stored values as Python objects.
//
// Each function returns a new reference, or NULL with the interpreter's
// exception when it cannot create an object. The value conversions do not
// look at the schema: every value is converted by its own kind.
//
// Call everything here with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/dsl/document.h"
#include "core/dsl/json_value.h"
#include "python/py_ref.h"

namespace zelvar::python {

// A new list of `size` items; `make_item(i)` returns item i as a new
// reference, or NULL with an exception set, which fails the whole list.
template <class MakeItem>
PyObject* new_list(size_t size, MakeItem&& make_item) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!list) return nullptr;
  for (size_t i = 0; i < size; ++i) {
    PyObject* item = make_item(i);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// Text -> str, U64/I64 -> int, F64 -> float, Bytes -> bytes,
// SparseVector -> {"indices": [int...], "values": [float...]},
// DenseVector -> [float...], Json -> json_to_py.
PyObject* field_value_to_py(const FieldValue& value);

// null -> None, booleans -> bool, u64 up to 2^63 - 1 and i64 -> int, u64 from
// 2^63 -> the nearest float, f64 -> float, string -> str, array -> list,
// object -> dict in the object's (ascending) key order.
PyObject* json_to_py(const dsl::JsonValue& value);

}  // namespace zelvar::python
