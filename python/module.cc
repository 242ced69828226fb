// Initialisation of the extension module `zelvar_python`.
//
// Single-phase initialisation: the module is created once per process and
// every later initialisation (a re-import after the module was removed from
// sys.modules) returns that same object. Engine state - the runtime, open
// indexes - is process-wide and not per interpreter, so the module loads only
// into the main interpreter and refuses every sub-interpreter, whichever
// imports it first. Import does nothing else: no runtime, no thread, no file
// access.
#include <Python.h>

#include <atomic>

#include "python/index_type.h"
#include "python/py_ref.h"

namespace {

using zelvar::python::PyRef;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "zelvar_python",  // m_name
    "Python module",  // m_doc
    0,                // m_size: no per-module state
    nullptr,          // m_methods
    nullptr,          // m_slots: single-phase
    nullptr,
    nullptr,
    nullptr,
};

// The module object, created by the main interpreter and kept for the life
// of the process. Written only under the main interpreter's lock; atomic
// because a sub-interpreter with a lock of its own reads it to word its
// refusal.
std::atomic<PyObject*> g_module{nullptr};

// Appends `name` to the module's __all__, creating the list if absent.
bool add_to_all(PyObject* module, const char* name) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyRef all = PyRef::borrow(PyDict_GetItemString(dict, "__all__"));
  if (!all) {
    all = PyRef::steal(PyList_New(0));
    if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return false;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  return text && PyList_Append(all.get(), text.get()) == 0;
}

PyObject* create_module() {
  PyRef module = PyRef::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyRef type = PyRef::steal(zelvar::python::create_index_type());
  if (!type) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "ZelvarIndex", type.get()) < 0) return nullptr;
  if (!add_to_all(module.get(), "ZelvarIndex")) return nullptr;
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_zelvar_python() {
  // Only the main interpreter may load the module, and the check comes before
  // anything is recorded: a sub-interpreter that imports first must not make
  // itself the module's interpreter and lock the main one out.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    g_module.load() != nullptr
                        ? "zelvar_python does not support sub-interpreters: it is already loaded "
                          "in another interpreter of this process"
                        : "zelvar_python does not support sub-interpreters: it can only be "
                          "imported in the main interpreter");
    return nullptr;
  }
  if (PyObject* existing = g_module.load()) return Py_NewRef(existing);
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  g_module.store(Py_NewRef(module));
  return module;
}
