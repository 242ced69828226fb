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

class IoError {
 public:
  // An error whose display is exactly `text`.
  IoError(IoErrorKind kind, std::string text);

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
