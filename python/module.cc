// Initialisation of the extension module `zelvar_python`.
//
// Single-phase initialisation: the module is created once per process and
// every later initialisation (a re-import after the module was removed from
// sys.modules) returns that same object. Engine state - the runtime, open
// indexes - is process-wide and not per interpreter, so the module refuses to
// load into a second interpreter. Import does nothing else: no runtime, no
// thread, no file access.
#include <Python.h>

#include <atomic>
#include <cstdint>

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

// The interpreter that first initialised the module. Atomic because an
// interpreter with its own lock could, in principle, reach the check at the
// same time as the first one.
std::atomic<int64_t> g_interpreter_id{-1};
// Touched only by that interpreter, under its lock; kept for the life of the
// process.
PyObject* g_module = nullptr;

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
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  int64_t first = -1;
  if (!g_interpreter_id.compare_exchange_strong(first, id) && first != id) {
    PyErr_SetString(PyExc_ImportError,
                    "zelvar_python does not support sub-interpreters: it is already loaded "
                    "in another interpreter of this process");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  g_module = Py_NewRef(module);
  return module;
}
