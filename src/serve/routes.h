// What the server answers on, for the help of `tracedx serve`.
#pragma once

#include <string>

namespace tracedx {

// The help's paragraph on the endpoints, one line per route of the HTTP port (from the
// table that dispatches them) and one for OTLP/gRPC, without a final line break.
std::string serve_endpoints_help();

}  // namespace tracedx
