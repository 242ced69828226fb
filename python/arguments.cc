#include "python/arguments.h"

#include <algorithm>
#include <limits>

#include "python/py_ref.h"

namespace zelvar::python {
namespace {

// A sequence may report any length; only this many pairs are reserved ahead.
constexpr Py_ssize_t kMaxReservedPairs = 1024;

void set_cast_error(PyObject* object, const char* target) {
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", type_name.get(), target);
}

// 'a', 'a' and 'b', 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        text += " and ";
      } else {
        text += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

}  // namespace

bool bind_arguments(const char* method, std::span<const char* const> params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
  std::fill(slots.begin(), slots.end(), nullptr);
  const auto count = static_cast<Py_ssize_t>(params.size());
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", method,
                 count, nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t match = -1;
    for (Py_ssize_t j = 0; j < count; ++j) {
      if (PyUnicode_CompareWithASCIIString(keyword, params[j]) == 0) {
        match = j;
        break;
      }
    }
    if (match < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", method, keyword);
      return false;
    }
    if (slots[match] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", method,
                   params[match]);
      return false;
    }
    slots[match] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (Py_ssize_t j = 0; j < count; ++j) {
    if (slots[j] == nullptr) missing.push_back(params[j]);
  }
  if (!missing.empty()) {
    std::string names = quoted_list(missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", method,
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
    return false;
  }
  return true;
}

bool extract_str(PyObject* object, std::string& out) {
  if (!PyUnicode_Check(object)) {
    set_cast_error(object, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
}

bool extract_doc_id(PyObject* object, uint32_t& out) {
  // A C long is 64 bits on this platform; values beyond it get the
  // interpreter's own OverflowError, values inside it but outside u32 ours.
  long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > static_cast<long>(std::numeric_limits<uint32_t>::max())) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<uint32_t>(value);
  return true;
}

bool extract_limit(PyObject* object, size_t& out) {
  if (object == Py_None) {
    out = kDefaultLimit;
    return true;
  }
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return false;
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  static_assert(sizeof(size_t) == sizeof(unsigned long long));
  out = static_cast<size_t>(value);
  return true;
}

bool extract_pairs(PyObject* object, std::vector<TermPair>& out) {
  out.clear();
  if (object == Py_None) return true;
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    set_cast_error(object, "Sequence");
    return false;
  }
  // The length only sizes the result; a sequence that cannot tell is fine.
  Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<size_t>(std::min(length, kMaxReservedPairs)));
  }

  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  for (;;) {
    PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) return !PyErr_Occurred();
    if (!PyTuple_Check(item.get())) {
      set_cast_error(item.get(), "tuple");
      return false;
    }
    Py_ssize_t size = PyTuple_GET_SIZE(item.get());
    if (size != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                   size);
      return false;
    }
    TermPair pair;
    if (!extract_str(PyTuple_GET_ITEM(item.get(), 0), pair.first) ||
        !extract_str(PyTuple_GET_ITEM(item.get(), 1), pair.second)) {
      return false;
    }
    out.push_back(std::move(pair));
  }
}

}  // namespace zelvar::python
