// Reading members of imported documents whose shape is not checked: a lookup that finds
// nothing, or a value of another type, gives the empty text rather than an exception.
#pragma once

#include <string>
#include <string_view>

#include "trace/trace.h"

namespace tracedx {

// The member `key` of `object` when `object` is an object and the member a string; else "".
inline std::string string_member(const Json& object, std::string_view key) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace tracedx
