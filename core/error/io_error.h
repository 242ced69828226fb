// IoError: the lower error layer of the engine.
//
// File access, decompression and every reader of a binary file format report
// failures as an IoError: a kind and a display text. The kind travels with the
// error for diagnosis only; nothing in the engine branches on it, and only the
// display text ever reaches a user.
//
// Thread safety: a plain value; copy or move it freely.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace zelvar {

enum class IoErrorKind {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  AlreadyExists,
  WouldBlock,
  InvalidInput,
  InvalidData,
  TimedOut,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  Other,
};

// What the lowest decoders of the binary formats report (core/directories/
// byte_cursor.h): the bytes ran out, or a varint ran past ten bytes. The
// reader that knows the context names it, or lets it become its usual error.
enum class ReadFault { kRanOut, kTooLong };

class IoError {
 public:
  // An error whose display is exactly `text`.
  IoError(IoErrorKind kind, std::string text);

  // The usual error of a fault: UnexpectedEof "failed to fill whole buffer",
  // or InvalidData "varint too long". Implicit, so that a fault that a reader
  // does not name otherwise passes up as this error.
  IoError(ReadFault fault);  // NOLINT(google-explicit-constructor)

  // An error from an operating-system error code; displays as
  // "<the platform's description of the code> (os error <code>)".
  static IoError from_os(int code);

  // The same error under another kind; the display text is unchanged.
  IoError with_kind(IoErrorKind kind) const&;
  IoError with_kind(IoErrorKind kind) &&;

  IoErrorKind kind() const { return kind_; }
  const std::string& to_string() const { return text_; }

  friend bool operator==(const IoError&, const IoError&) = default;

 private:
  IoErrorKind kind_;
  std::string text_;  // the display text, already rendered
};

// Maps an operating-system error code to its kind.
IoErrorKind io_error_kind_from_os(int code);

// The display name of a kind, for test failure messages.
std::string_view io_error_kind_name(IoErrorKind kind);

template <class T>
using IoResult = std::expected<T, IoError>;

}  // namespace zelvar
