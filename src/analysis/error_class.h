// The class of a recorded error, read from its structured fields: the exception type or
// `error.type`, the HTTP status, the provider's error class, an error code of the runtime
// (ECONNREFUSED), a process exit code, a finish reason. Prose is not read, except the fixed
// messages by which frameworks say that a run hit its turn limit, and the status that HTTP
// clients put first in their messages ("429 Rate limit reached...").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "trace/trace.h"

namespace tracedx {

enum class ErrorClass : uint8_t {
  kNone,  // not an error, or one whose class nothing says
  kRateLimit,
  kServer,      // a server-side error of a provider or service (5xx)
  kConnection,  // the service could not be reached
  kTimeout,
  kAuthentication,
  kNotFound,
  kInvalidJson,
  kSchema,
  kContentFilter,
  kTurnLimit,
  kCommandFailed,  // a process that exited with a non-zero code
};

// The name of a class, as evidence lines show it ("rate limit", "server error"...).
std::string_view error_class_name(ErrorClass c);

// Whether an error of this class goes away by itself, so a retry of the same call may work.
bool is_transient(ErrorClass c);

// What a step's error says of itself, taken from the step's metadata and error message.
struct ErrorFacts {
  ErrorClass cls = ErrorClass::kNone;
  std::optional<int64_t> http_status;
  std::optional<int64_t> exit_code;
  std::string type;  // the exception type or error.type as recorded
};

ErrorFacts classify_error(const TraceStep& step);

}  // namespace tracedx
