#include "base/error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tracedx {

Error Error::message(std::string text) {
  Error e;
  e.kind_ = Kind::kMessage;
  e.text_ = std::move(text);
  return e;
}

Error Error::os(int code, std::string path) {
  Error e;
  e.kind_ = Kind::kOs;
  e.code_ = code;
  char buf[256];
  // The GNU strerror_r returns the message, which may or may not live in buf.
  e.text_ = strerror_r(code, buf, sizeof buf);
  e.path_ = std::move(path);
  return e;
}

Error Error::json(std::string message, size_t line, size_t column, std::string path) {
  Error e;
  e.kind_ = Kind::kJson;
  e.text_ = std::move(message);
  e.line_ = line;
  e.column_ = column;
  e.path_ = std::move(path);
  return e;
}

Error Error::with_path(std::string path) && {
  if (kind_ != Kind::kMessage) path_ = std::move(path);
  return std::move(*this);
}

Error Error::naming(std::string path) && {
  path_ = std::move(path);
  named_ = true;
  return std::move(*this);
}

std::string debug_quote(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string_view os_error_kind(int code) {
  switch (code) {
    case ENOENT:
      return "NotFound";
    case EACCES:
    case EPERM:
      return "PermissionDenied";
    case EEXIST:
      return "AlreadyExists";
    case EISDIR:
      return "IsADirectory";
    case ENOTDIR:
      return "NotADirectory";
    case ENOTEMPTY:
      return "DirectoryNotEmpty";
    case EROFS:
      return "ReadOnlyFilesystem";
    case ELOOP:
      return "FilesystemLoop";
    case ENAMETOOLONG:
      return "InvalidFilename";
    case ENOSPC:
      return "StorageFull";
    case EFBIG:
      return "FileTooLarge";
    case EBUSY:
      return "ResourceBusy";
    case EINTR:
      return "Interrupted";
    case EINVAL:
      return "InvalidInput";
    case ENOMEM:
      return "OutOfMemory";
    case EWOULDBLOCK:
      return "WouldBlock";
    default:
      return "Uncategorized";
  }
}

std::string Error::debug() const {
  std::string prefix = named_ ? path_ + ": " : "";
  switch (kind_) {
    case Kind::kMessage:
      return prefix + debug_quote(text_);
    case Kind::kOs:
      return prefix + "Os { code: " + std::to_string(code_) +
             ", kind: " + std::string(os_error_kind(code_)) + ", message: " + debug_quote(text_) +
             " }";
    case Kind::kJson:
      return prefix + "Error(" + debug_quote(text_) + ", line: " + std::to_string(line_) +
             ", column: " + std::to_string(column_) + ")";
  }
  return text_;
}

std::string Error::display() const {
  std::string prefix = path_.empty() ? "" : path_ + ": ";
  switch (kind_) {
    case Kind::kMessage:
      return text_;
    case Kind::kOs:
      return prefix + text_ + " (os error " + std::to_string(code_) + ")";
    case Kind::kJson:
      return prefix + "invalid JSON at line " + std::to_string(line_) + ", column " +
             std::to_string(column_) + ": " + text_;
  }
  return text_;
}

}  // namespace tracedx
