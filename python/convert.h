// Stored values as Python objects.
//
// Each function returns a new reference, or NULL with the interpreter's
// exception when it cannot create an object. Neither looks at the schema:
// every value is converted by its own kind.
#pragma once

#include <Python.h>

#include "core/dsl/document.h"
#include "core/dsl/json_value.h"

namespace zelvar::python {

// Text -> str, U64/I64 -> int, F64 -> float, Bytes -> bytes,
// SparseVector -> {"indices": [int...], "values": [float...]},
// DenseVector -> [float...], Json -> json_to_py.
PyObject* field_value_to_py(const FieldValue& value);

// null -> None, booleans -> bool, u64 up to 2^63 - 1 and i64 -> int, u64 from
// 2^63 -> the nearest float, f64 -> float, string -> str, array -> list,
// object -> dict in the object's (ascending) key order.
PyObject* json_to_py(const dsl::JsonValue& value);

}  // namespace zelvar::python
