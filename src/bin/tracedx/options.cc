#include "bin/tracedx/options.h"

#include <cerrno>
#include <cstdlib>

namespace tracedx::cli {

std::optional<uint64_t> parse_unsigned(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, uint64_t(c - '0'), &v)) {
      return std::nullopt;
    }
  }
  return v;
}

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

}  // namespace tracedx::cli
