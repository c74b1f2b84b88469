#include "bin/tracedx/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "input/input.h"
#include "text/text.h"

namespace tracedx::cli {

Status set_slow_threshold(Args& args, std::string_view value) {
  auto n = parse_unsigned(value);
  if (!n) {
    return Error::message("--slow-threshold-ms needs an unsigned integer, got \"" +
                          std::string(value) + "\"");
  }
  args.options.slow_threshold_ms = *n;
  return Ok{};
}

Status set_jobs(Args& args, std::string_view value) {
  auto n = parse_unsigned(value);
  if (!n || *n == 0 || *n > 1024) {
    return Error::message("--jobs needs a number from 1 to 1024, got \"" + std::string(value) +
                          "\"");
  }
  args.jobs = static_cast<unsigned>(*n);
  return Ok{};
}

Status set_source(Args& args, std::string_view value) {
  auto from = parse_source(value);
  if (!from) return std::move(from).error();
  args.source = *from;
  return Ok{};
}

// The format word; whether the command writes it is checked once its command is known
// (check_format).
Status set_format(Args& args, std::string_view value) {
  args.format = value;
  args.format_given = true;
  return Ok{};
}

Status set_condition(std::string_view name, std::optional<RunCondition>& field,
                     std::string_view value) {
  auto c = parse_run_condition(value);
  if (!c) return Error::message(std::string(name) + " " + c.error().text());
  field = std::move(*c);
  return Ok{};
}

Status set_task_key(Args& args, std::string_view value) {
  auto key = parse_task_key(value);
  if (!key) return Error::message("--key " + key.error().text());
  args.gate.key = *key;
  return Ok{};
}

// A fraction from 0 to 1, or a percentage ("5%").
Status set_fraction(std::string_view name, double& field, std::string_view value) {
  std::string text(value);
  bool percent = !text.empty() && text.back() == '%';
  if (percent) text.pop_back();
  char* end = nullptr;
  errno = 0;
  double v = text.empty() ? -1 : std::strtod(text.c_str(), &end);
  if (percent) v /= 100;
  if (text.empty() || errno || end != text.c_str() + text.size() || !(v >= 0 && v <= 1)) {
    return Error::message(std::string(name) +
                          " needs a fraction from 0 to 1 or a percentage, got \"" +
                          std::string(value) + "\"");
  }
  field = v;
  return Ok{};
}

Status set_status(std::string_view name, std::optional<RunStatus>& field, std::string_view value) {
  auto status = parse_run_status(value);
  if (!status) {
    return Error::message(std::string(name) + " needs failed or completed, got \"" +
                          std::string(value) + "\"");
  }
  field = status;
  return Ok{};
}

Status set_run_status(Args& args, std::string_view value) {
  return set_status("--run-status", args.run_status, value);
}

Status set_compared_run_status(Args& args, std::string_view value) {
  return set_status("--compared-run-status", args.compared_run_status, value);
}

Status set_number(std::string_view name, uint64_t& field, std::string_view value, uint64_t min,
                  uint64_t max) {
  auto n = parse_unsigned(value);
  if (!n || *n < min || *n > max) {
    return Error::message(std::string(name) + " needs a number from " + std::to_string(min) +
                          " to " + std::to_string(max) + ", got \"" + std::string(value) + "\"");
  }
  field = *n;
  return Ok{};
}

Status set_address(std::string_view name, std::string& host, uint16_t& port,
                   std::string_view value) {
  auto bad = [&] {
    return Error::message(std::string(name) +
                          " needs HOST:PORT (an IPv6 host in brackets), got \"" +
                          std::string(value) + "\"");
  };
  auto colon = value.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return bad();
  std::string_view h = value.substr(0, colon);
  if (h.starts_with('[')) {
    if (!h.ends_with(']') || h.size() < 3) return bad();
    h = h.substr(1, h.size() - 2);
  } else if (h.find(':') != std::string_view::npos) {
    return bad();
  }
  auto p = parse_unsigned(value.substr(colon + 1));
  if (!p || *p > 65535) return bad();
  host = h;
  port = static_cast<uint16_t>(*p);
  return Ok{};
}

Status set_token_file(Args& args, std::string_view value) {
  const std::string file(value);
  auto bytes = read_input(file);
  if (!bytes) return Error::message("--token-file: " + bytes.error().display());
  // A trailing line break (LF or CRLF) and blanks around are how editors and `echo` leave
  // a one-line file; anything else that is not printable could not travel in a header.
  std::string_view token = trim_ascii(*bytes);
  if (token.empty()) return Error::message("--token-file: " + file + " holds no token");
  for (unsigned char c : token) {
    if (c == '\n' || c == '\r') {
      return Error::message("--token-file: " + file +
                            " holds more than one line: the token is one line, since no "
                            "HTTP header can carry a line break");
    }
    if (c < 0x20 || c == 0x7f) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02x", c);
      return Error::message("--token-file: " + file + " holds a control character (" + code +
                            ") in its token, which no HTTP header can carry");
    }
  }
  args.serve.token = std::string(token);
  return Ok{};
}

}  // namespace tracedx::cli
