// PyRef: one owned reference to a Python object.
//
// The binding keeps CPython's contract (a NULL result or -1 with an exception
// set) with a single exit path per function; every temporary reference sits in
// a PyRef so that an early return releases it. A PyRef may be empty (NULL),
// which is how a failed API call is represented until it is checked.
//
// Thread safety: like any Python object, only with the interpreter lock held.
#pragma once

#include <Python.h>

#include <utility>

namespace zelvar::python {

class PyRef {
 public:
  PyRef() = default;

  // Takes over a new reference (the result of an API call); NULL stays empty.
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Hands the reference to the caller (for a return value or a stealing API).
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace zelvar::python
