// The binding's access to the process-wide runtime.
//
// Only the methods that run engine operations ask for it (open, reload, the
// searches and get_document), and only after their arguments were converted
// and their field names found; importing the module or asking for counts
// never creates it.
#pragma once

#include <Python.h>

#include "core/runtime/runtime.h"

namespace zelvar::python {

// The runtime, built first if it does not exist yet. A build failure raises
// the internal-failure exception "Failed to create Tokio runtime: <reason>"
// and returns null; the next call tries again.
runtime::Runtime* get_runtime();

}  // namespace zelvar::python
