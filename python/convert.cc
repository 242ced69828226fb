#include "python/convert.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <type_traits>
#include <variant>

#include "python/py_ref.h"

namespace zelvar::python {
namespace {

PyObject* str_to_py(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A list of floats, each f32 widened exactly.
PyObject* floats_to_py(std::span<const float> values) {
  return new_list(values.size(),
                  [&](size_t i) { return PyFloat_FromDouble(static_cast<double>(values[i])); });
}

PyObject* indices_to_py(std::span<const uint32_t> indices) {
  return new_list(indices.size(), [&](size_t i) { return PyLong_FromUnsignedLong(indices[i]); });
}

// {"indices": [...], "values": [...]}, inserted in that order.
PyObject* sparse_vector_to_py(std::span<const uint32_t> indices, std::span<const float> values) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyRef py_indices = PyRef::steal(indices_to_py(indices));
  if (!py_indices || PyDict_SetItemString(dict.get(), "indices", py_indices.get()) < 0) {
    return nullptr;
  }
  PyRef py_values = PyRef::steal(floats_to_py(values));
  if (!py_values || PyDict_SetItemString(dict.get(), "values", py_values.get()) < 0) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* json_to_py(const dsl::JsonValue& value) {
  return std::visit(
      [](const auto& v) -> PyObject* {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          Py_RETURN_NONE;
        } else if constexpr (std::is_same_v<T, bool>) {
          return PyBool_FromLong(v ? 1 : 0);
        } else if constexpr (std::is_same_v<T, uint64_t>) {
          // Unsigned values that do not fit a signed 64-bit integer are given
          // as the nearest float, as readers of this JSON have always seen them.
          if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            return PyFloat_FromDouble(static_cast<double>(v));
          }
          return PyLong_FromUnsignedLongLong(v);
        } else if constexpr (std::is_same_v<T, int64_t>) {
          return PyLong_FromLongLong(v);
        } else if constexpr (std::is_same_v<T, double>) {
          return PyFloat_FromDouble(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return str_to_py(v);
        } else if constexpr (std::is_same_v<T, dsl::JsonValue::Array>) {
          return new_list(v.size(), [&](size_t i) { return json_to_py(v[i]); });
        } else {
          static_assert(std::is_same_v<T, dsl::JsonValue::Object>);
          PyRef dict = PyRef::steal(PyDict_New());
          if (!dict) return nullptr;
          for (const auto& [key, member] : v) {
            PyRef py_key = PyRef::steal(str_to_py(key));
            if (!py_key) return nullptr;
            PyRef py_member = PyRef::steal(json_to_py(member));
            if (!py_member || PyDict_SetItem(dict.get(), py_key.get(), py_member.get()) < 0) {
              return nullptr;
            }
          }
          return dict.release();
        }
      },
      value.storage());
}

PyObject* field_value_to_py(const FieldValue& value) {
  return std::visit(
      [](const auto& v) -> PyObject* {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, FieldValue::Text>) {
          return str_to_py(v.value);
        } else if constexpr (std::is_same_v<T, FieldValue::U64>) {
          return PyLong_FromUnsignedLongLong(v.value);
        } else if constexpr (std::is_same_v<T, FieldValue::I64>) {
          return PyLong_FromLongLong(v.value);
        } else if constexpr (std::is_same_v<T, FieldValue::F64>) {
          return PyFloat_FromDouble(v.value);
        } else if constexpr (std::is_same_v<T, FieldValue::Bytes>) {
          return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.value.data()),
                                           static_cast<Py_ssize_t>(v.value.size()));
        } else if constexpr (std::is_same_v<T, FieldValue::SparseVector>) {
          return sparse_vector_to_py(v.indices, v.values);
        } else if constexpr (std::is_same_v<T, FieldValue::DenseVector>) {
          return floats_to_py(v.value);
        } else {
          static_assert(std::is_same_v<T, FieldValue::Json>);
          return json_to_py(v.value);
        }
      },
      value.value());
}

}  // namespace zelvar::python
