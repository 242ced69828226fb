#include "core/directories/blocking.h"

#include <new>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace zelvar {
namespace {

TEST(OnBlockingPoolTest, ResultsAndErrorsComeBackUnchanged) {
  EXPECT_EQ(detail::on_blocking_pool([]() -> IoResult<int> { return 3; }), 3);
  const IoError denied(IoErrorKind::PermissionDenied, "Permission denied (os error 13)");
  EXPECT_EQ(detail::on_blocking_pool([&]() -> IoResult<int> { return std::unexpected(denied); }),
            std::unexpected(denied));
}

TEST(OnBlockingPoolTest, TaskThatThrowsIsABackgroundTaskFailure) {
  const IoError failed(IoErrorKind::Other, "background task failed");
  EXPECT_EQ(detail::on_blocking_pool([]() -> IoResult<int> { throw std::bad_alloc(); }),
            std::unexpected(failed));
  EXPECT_EQ(detail::on_blocking_pool([]() -> IoResult<std::string> {
              throw std::length_error("basic_string::_M_create");
            }),
            std::unexpected(failed));
}

}  // namespace
}  // namespace zelvar
