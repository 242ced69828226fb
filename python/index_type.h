// The Python class ZelvarIndex: a read-only handle on one open index.
//
// Instances come only from the static method `open`: the class cannot be
// instantiated or subclassed, and instances have no __dict__, no weak
// references and take no part in cyclic garbage collection (they hold no
// Python objects). Each instance holds the shared index and a private deep
// copy of its schema taken at open, used for every field-name lookup and for
// the keys of returned documents; `reload` does not refresh it.
//
// Every method runs on the calling thread with the interpreter lock held for
// the whole call, so calls from several Python threads run one after another.
#pragma once

#include <Python.h>

namespace zelvar::python {

// Creates the class (once per process; the module keeps it). Returns a new
// reference, or NULL with an exception set.
PyObject* create_index_type();

}  // namespace zelvar::python
