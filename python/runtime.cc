#include "python/runtime.h"

#include <string>

#include "python/errors.h"

namespace zelvar::python {

runtime::Runtime* get_runtime() {
  auto runtime = runtime::Runtime::get();
  if (!runtime) {
    raise_internal_failure("Failed to create Tokio runtime: " + runtime.error());
    return nullptr;
  }
  return *runtime;
}

}  // namespace zelvar::python
