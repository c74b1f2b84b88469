#include "text/number.h"

namespace tracedx {

std::optional<uint64_t> parse_unsigned(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, uint64_t(c - '0'), &v))
      return std::nullopt;
  }
  return v;
}

std::optional<int64_t> parse_signed(std::string_view text) {
  const bool negative = text.starts_with('-');
  if (negative) text.remove_prefix(1);
  auto magnitude = parse_unsigned(text);
  if (!magnitude) return std::nullopt;
  // INT64_MIN's magnitude is one more than INT64_MAX's.
  constexpr uint64_t kMax = uint64_t{INT64_MAX};
  if (*magnitude > kMax + (negative ? 1 : 0)) return std::nullopt;
  if (!negative) return static_cast<int64_t>(*magnitude);
  return *magnitude == kMax + 1 ? INT64_MIN : -static_cast<int64_t>(*magnitude);
}

}  // namespace tracedx
