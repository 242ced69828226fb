#include "core/error/error.h"

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

namespace zelvar {
namespace {

struct DisplayCase {
  Error error;
  std::string expected;
};

TEST(ErrorTest, DisplaysEachVariantWithItsTemplate) {
  const DisplayCase cases[] = {
      {Error(IoError(IoErrorKind::InvalidData, "SSTable too small")), "IO error: SSTable too small"},
      {Error(Error::FieldNotFound{"title"}), "Field not found: title"},
      {Error(Error::InvalidFieldType{"text", "u64"}), "Invalid field type: expected text, got u64"},
      {Error::corruption("Posting offset out of bounds"), "Index corruption: Posting offset out of bounds"},
      {Error::serialization("trailing characters at line 1 column 3"),
       "Serialization error: trailing characters at line 1 column 3"},
      {Error(Error::IndexClosed{}), "Index is closed"},
      {Error(Error::DocumentNotFound{4294967295u}), "Document not found: 4294967295"},
      {Error(Error::Schema{"bad"}), "Schema error: bad"},
      {Error(Error::Query{"bad"}), "Query error: bad"},
      {Error(Error::Internal{"bad"}), "Internal error: bad"},
      {Error(Error::Corruption{""}), "Index corruption: "},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.to_string(), c.expected);
}

TEST(IoErrorTest, OsErrorShowsPlatformTextAndCode) {
  IoError e = IoError::from_os(ENOENT);
  EXPECT_EQ(e.kind(), IoErrorKind::NotFound);
  EXPECT_EQ(e.to_string(), std::string(std::strerror(ENOENT)) + " (os error 2)");
  EXPECT_EQ(IoError::from_os(EACCES).kind(), IoErrorKind::PermissionDenied);
  EXPECT_EQ(Error(IoError::from_os(ENOENT)).to_string(),
            "IO error: No such file or directory (os error 2)");
}

TEST(IoErrorTest, WrappingChangesOnlyTheKind) {
  IoError inner(IoErrorKind::UnexpectedEof, "incomplete frame");
  IoError wrapped = inner.with_kind(IoErrorKind::Other);
  EXPECT_EQ(wrapped.kind(), IoErrorKind::Other);
  EXPECT_EQ(wrapped.to_string(), "incomplete frame");
}

TEST(ErrorTest, ConversionKeepsKindAndText) {
  auto fails = []() -> IoResult<int> { return std::unexpected(IoError(IoErrorKind::UnexpectedEof, "early eof")); };
  auto engine_op = [&]() -> Result<int> {
    auto r = fails();
    if (!r) return std::unexpected(r.error());
    return *r;
  };
  Result<int> r = engine_op();
  ASSERT_FALSE(r.has_value());
  const auto* io = std::get_if<Error::Io>(&r.error().value());
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->error.kind(), IoErrorKind::UnexpectedEof);
  EXPECT_EQ(r.error().to_string(), "IO error: early eof");
}

}  // namespace
}  // namespace zelvar
