// Error messages reduced to their shape, so that the same failure with different ids,
// numbers or values falls into one group: "order 8812 not found at /srv/a.json" and
// "order 17 not found at /tmp/b.json" both read "order <n> not found at <path>".
// Replaced, in this order at each position: quoted values, URLs, paths, UUIDs, hex
// numbers, e-mail addresses, then words holding a digit (numbers and ids). White space
// runs become one space; the result is cut to kMaxNormalisedBytes on a character boundary.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tracedx {

inline constexpr size_t kMaxNormalisedBytes = 160;

std::string normalise_error(std::string_view message);

}  // namespace tracedx
