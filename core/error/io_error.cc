#include "core/error/io_error.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace zelvar {

IoError::IoError(IoErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

IoError::IoError(ReadFault fault)
    : IoError(fault == ReadFault::kTooLong ? IoError(IoErrorKind::InvalidData, "varint too long")
                                           : IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer")) {}

IoError IoError::from_os(int code) {
  char buffer[256];
  // The GNU strerror_r returns a pointer that may or may not be `buffer`.
  const char* description = strerror_r(code, buffer, sizeof buffer);
  std::string text(description);
  text += " (os error ";
  text += std::to_string(code);
  text += ')';
  return IoError(io_error_kind_from_os(code), std::move(text));
}

IoError IoError::with_kind(IoErrorKind kind) const& { return IoError(kind, text_); }

IoError IoError::with_kind(IoErrorKind kind) && { return IoError(kind, std::move(text_)); }

IoErrorKind io_error_kind_from_os(int code) {
  switch (code) {
    case ENOENT:
      return IoErrorKind::NotFound;
    case EACCES:
    case EPERM:
      return IoErrorKind::PermissionDenied;
    case ECONNREFUSED:
      return IoErrorKind::ConnectionRefused;
    case ECONNRESET:
      return IoErrorKind::ConnectionReset;
    case EEXIST:
      return IoErrorKind::AlreadyExists;
    case EAGAIN:
      return IoErrorKind::WouldBlock;
    case EINVAL:
      return IoErrorKind::InvalidInput;
    case ETIMEDOUT:
      return IoErrorKind::TimedOut;
    case EINTR:
      return IoErrorKind::Interrupted;
    case ENOSYS:
    case EOPNOTSUPP:
      return IoErrorKind::Unsupported;
    case ENOMEM:
      return IoErrorKind::OutOfMemory;
    default:
      return IoErrorKind::Other;
  }
}

std::string_view io_error_kind_name(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::NotFound: return "NotFound";
    case IoErrorKind::PermissionDenied: return "PermissionDenied";
    case IoErrorKind::ConnectionRefused: return "ConnectionRefused";
    case IoErrorKind::ConnectionReset: return "ConnectionReset";
    case IoErrorKind::AlreadyExists: return "AlreadyExists";
    case IoErrorKind::WouldBlock: return "WouldBlock";
    case IoErrorKind::InvalidInput: return "InvalidInput";
    case IoErrorKind::InvalidData: return "InvalidData";
    case IoErrorKind::TimedOut: return "TimedOut";
    case IoErrorKind::Interrupted: return "Interrupted";
    case IoErrorKind::Unsupported: return "Unsupported";
    case IoErrorKind::UnexpectedEof: return "UnexpectedEof";
    case IoErrorKind::OutOfMemory: return "OutOfMemory";
    case IoErrorKind::Other: return "Other";
  }
  return "Other";
}

}  // namespace zelvar
