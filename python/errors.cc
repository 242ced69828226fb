#include "python/errors.h"

#include <string>

#include "python/py_ref.h"

namespace zelvar::python {
namespace {

// Engine texts come from files and the operating system; invalid UTF-8 in
// them is replaced rather than turned into a decoding error, so the caller
// always sees the RuntimeError.
PyRef text_to_py(std::string_view text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyObject* raise_with_text(PyObject* type, std::string_view text) {
  PyRef message = text_to_py(text);
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

// Created once, with the interpreter lock held; the module supports only one
// interpreter, so one process-wide object is enough. Never released.
PyObject* g_internal_failure = nullptr;

}  // namespace

PyObject* raise_engine_error(std::string_view prefix, const Error& error) {
  std::string text(prefix);
  text += error.to_string();
  return raise_with_text(PyExc_RuntimeError, text);
}

PyObject* raise_field_not_found(std::string_view name) {
  std::string text = "Field '";
  text += name;
  text += "' not found";
  return raise_with_text(PyExc_ValueError, text);
}

PyObject* raise_internal_failure(std::string_view message) {
  if (g_internal_failure == nullptr) {
    g_internal_failure = PyErr_NewExceptionWithDoc(
        "zelvar_python.InternalFailure",
        "An internal failure of the binding that no engine error describes.", PyExc_BaseException,
        nullptr);
    if (g_internal_failure == nullptr) return nullptr;
  }
  return raise_with_text(g_internal_failure, message);
}

// The pending exception, normalised, as one owned object.
PyRef take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
#endif
}

void restore_exception(PyRef exception) {
  if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

void wrap_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyRef original = take_exception();
  if (!original) return;
  if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(std::move(original));
    return;
  }
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
  if (!message) return;
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  // SetCause steals the cause (NULL clears it) and suppresses the context.
  PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
  restore_exception(std::move(replacement));
}

}  // namespace zelvar::python
