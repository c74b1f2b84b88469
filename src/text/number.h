// Integers read from text that people and peers write: command-line values, HTTP query
// parameters and headers, OTLP JSON's integers sent as strings. Decimal ASCII digits only,
// no blanks, no base prefix, no "+": a text either is the number whole or is refused, and
// one too large for 64 bits is refused rather than wrapped or clamped.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tracedx {

// One or more decimal digits that fit in 64 bits unsigned; leading zeros are allowed.
std::optional<uint64_t> parse_unsigned(std::string_view text);

// Digits as for parse_unsigned, after an optional "-", that fit in 64 bits signed.
std::optional<int64_t> parse_signed(std::string_view text);

}  // namespace tracedx
