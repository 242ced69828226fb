// Running a directory's file operation on the runtime's blocking pool.
#pragma once

#include <string>

#include "core/directories/directory.h"
#include "core/error/io_error.h"
#include "core/runtime/runtime.h"

namespace zelvar::detail {

// Runs `fn` (returning IoResult<T>) on a blocking thread and waits for it. A
// runtime that cannot be built, a task that cannot be handed over, or one that
// does not complete (it threw, for instance std::bad_alloc while reading a
// huge file) yields Other "background task failed".
template <class F>
auto on_blocking_pool(F&& fn) -> decltype(fn()) {
  auto runtime = runtime::Runtime::get();
  if (runtime.has_value()) {
    auto result = (*runtime)->run_blocking(std::forward<F>(fn));
    if (result.has_value()) return std::move(*result);
  }
  return std::unexpected(IoError(IoErrorKind::Other, std::string(kBackgroundTaskFailed)));
}

}  // namespace zelvar::detail
