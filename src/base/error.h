// Failures of the tool travel as values up to the command's main: a fixed message, an
// operating-system error or a JSON parse error. The engine itself never fails on content.
// `debug()` renders the form parity_check prints after "Error: "; `display()` is the
// readable one-line form the tracedx command prints.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace tracedx {

class Error {
 public:
  enum class Kind { kMessage, kOs, kJson };

  static Error message(std::string text);
  static Error os(int code, std::string path = {});
  // `what` is the text of the JSON library's exception, or a message with its position.
  static Error json(std::string message, size_t line, size_t column, std::string path = {});

  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  int os_code() const { return code_; }
  size_t line() const { return line_; }
  size_t column() const { return column_; }
  const std::string& path() const { return path_; }
  Error with_path(std::string path) &&;
  // The same error, naming `path` in both forms (debug() too, which otherwise names none).
  Error naming(std::string path) &&;

  std::string debug() const;
  std::string display() const;

 private:
  Kind kind_ = Kind::kMessage;
  std::string text_;
  int code_ = 0;
  size_t line_ = 0;
  size_t column_ = 0;
  std::string path_;
  bool named_ = false;
};

// Rust-style debug quoting of a text: double quotes, with \" \\ \n \r \t \0 and \u{..}
// escapes for other control characters.
std::string debug_quote(std::string_view text);

// The name of the error kind an errno value belongs to ("NotFound", "PermissionDenied"...).
std::string_view os_error_kind(int code);

// A value or the Error that prevented it.
template <typename T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(Error error) : v_(std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  T& operator*() & { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

struct Ok {};
using Status = Result<Ok>;

}  // namespace tracedx
