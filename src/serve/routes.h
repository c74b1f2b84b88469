// What the server answers on, for the help of `tracedx serve`.
#pragma once

#include <string>

namespace tracedx {

// The help's paragraph on the endpoints: what is received where and what the read side
// serves, wrapped to the help's width, without a final line break.
std::string serve_endpoints_help();

}  // namespace tracedx
