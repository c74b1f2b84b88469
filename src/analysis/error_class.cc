#include "analysis/error_class.h"

#include <span>

#include "text/text.h"

namespace tracedx {
namespace {

struct ClassName {
  ErrorClass cls;
  std::string_view name;
  bool transient;
};

constexpr ClassName kClassNames[] = {
    {ErrorClass::kNone, "error", false},
    {ErrorClass::kRateLimit, "rate limit", true},
    {ErrorClass::kServer, "server error", true},
    {ErrorClass::kConnection, "connection failure", true},
    {ErrorClass::kTimeout, "timeout", true},
    {ErrorClass::kAuthentication, "authentication failure", false},
    {ErrorClass::kNotFound, "not found", false},
    {ErrorClass::kInvalidJson, "invalid JSON", false},
    {ErrorClass::kSchema, "schema validation failure", false},
    {ErrorClass::kContentFilter, "content filter", false},
    {ErrorClass::kTurnLimit, "turn limit", false},
    {ErrorClass::kCommandFailed, "failed command", false},
};

// Exception and error type names, matched against the last dotted segment of the type
// (json.decoder.JSONDecodeError), case-insensitively. The names are those of the Python and
// JavaScript SDKs of the model providers, of HTTP clients and of the runtimes.
struct TypeRow {
  std::string_view type;
  ErrorClass cls;
};

// clang-format off
constexpr TypeRow kTypes[] = {
  // Rate limits
  {"ratelimiterror",               ErrorClass::kRateLimit},
  {"ratelimitexceeded",            ErrorClass::kRateLimit},
  {"toomanyrequests",              ErrorClass::kRateLimit},
  {"resourceexhausted",            ErrorClass::kRateLimit},
  // Server-side errors of a provider or service
  {"internalservererror",          ErrorClass::kServer},
  {"serviceunavailableerror",      ErrorClass::kServer},
  {"serviceunavailable",           ErrorClass::kServer},
  {"badgateway",                   ErrorClass::kServer},
  {"overloadederror",              ErrorClass::kServer},
  {"apierror",                     ErrorClass::kServer},
  // The service could not be reached
  {"apiconnectionerror",           ErrorClass::kConnection},
  {"connectionerror",              ErrorClass::kConnection},
  {"connectionrefusederror",       ErrorClass::kConnection},
  {"connecterror",                 ErrorClass::kConnection},
  // Timeouts
  {"apitimeouterror",              ErrorClass::kTimeout},
  {"apiconnectiontimeouterror",    ErrorClass::kTimeout},
  {"timeouterror",                 ErrorClass::kTimeout},
  {"timeout",                      ErrorClass::kTimeout},
  {"readtimeout",                  ErrorClass::kTimeout},
  {"connecttimeout",               ErrorClass::kTimeout},
  {"deadlineexceeded",             ErrorClass::kTimeout},
  {"timeoutexception",             ErrorClass::kTimeout},
  // Credentials and permissions
  {"authenticationerror",          ErrorClass::kAuthentication},
  {"permissiondeniederror",        ErrorClass::kAuthentication},
  {"unauthorized",                 ErrorClass::kAuthentication},
  {"forbidden",                    ErrorClass::kAuthentication},
  {"permissionerror",              ErrorClass::kAuthentication},
  // Missing resources
  {"notfounderror",                ErrorClass::kNotFound},
  {"filenotfounderror",            ErrorClass::kNotFound},
  // Output that is not JSON
  {"jsondecodeerror",              ErrorClass::kInvalidJson},
  {"jsonparseerror",               ErrorClass::kInvalidJson},
  {"jsonexception",                ErrorClass::kInvalidJson},
  // Output that does not fit its schema
  {"validationerror",              ErrorClass::kSchema},
  {"zoderror",                     ErrorClass::kSchema},
  {"schemaerror",                  ErrorClass::kSchema},
  {"outputparserexception",        ErrorClass::kSchema},
  // Provider content filters
  {"contentfilterfinishreasonerror", ErrorClass::kContentFilter},
  {"contentpolicyviolationerror",  ErrorClass::kContentFilter},
  // Turn and iteration limits of agent frameworks
  {"maxturnsexceeded",             ErrorClass::kTurnLimit},
  {"graphrecursionerror",          ErrorClass::kTurnLimit},
  {"maxiterationsexceeded",        ErrorClass::kTurnLimit},
  {"recursionerror",               ErrorClass::kTurnLimit},
};

// HTTP statuses, by range or value.
struct StatusRow {
  int64_t from, to;
  ErrorClass cls;
};
constexpr StatusRow kStatuses[] = {
  {429, 429, ErrorClass::kRateLimit},
  {401, 401, ErrorClass::kAuthentication},
  {403, 403, ErrorClass::kAuthentication},
  {404, 404, ErrorClass::kNotFound},
  {408, 408, ErrorClass::kTimeout},
  {504, 504, ErrorClass::kTimeout},
  {500, 599, ErrorClass::kServer},
};

// Error codes of the runtimes (Node.js, POSIX), as they appear in error messages.
constexpr TypeRow kCodes[] = {
  {"ECONNREFUSED", ErrorClass::kConnection},
  {"ECONNRESET",   ErrorClass::kConnection},
  {"ENOTFOUND",    ErrorClass::kConnection},
  {"EAI_AGAIN",    ErrorClass::kConnection},
  {"EHOSTUNREACH", ErrorClass::kConnection},
  {"ETIMEDOUT",    ErrorClass::kTimeout},
  {"ESOCKETTIMEDOUT", ErrorClass::kTimeout},
};

// The fixed messages by which frameworks and runtimes report a limit or a parse failure, in
// a lowercased error message; used for errors whose type names nothing more precise.
constexpr TypeRow kMessages[] = {
  {"max turns",                 ErrorClass::kTurnLimit},
  {"maximum turns",             ErrorClass::kTurnLimit},
  {"recursion limit",           ErrorClass::kTurnLimit},
  {"iteration limit",           ErrorClass::kTurnLimit},
  {"max iterations",            ErrorClass::kTurnLimit},
  {"maximum iterations",        ErrorClass::kTurnLimit},
  {"max_iterations",            ErrorClass::kTurnLimit},
  {"in json at position",       ErrorClass::kInvalidJson},
  {"is not valid json",         ErrorClass::kInvalidJson},
  {"unexpected end of json",    ErrorClass::kInvalidJson},
  {"expecting value: line",     ErrorClass::kInvalidJson},
  {"expecting property name enclosed in double quotes", ErrorClass::kInvalidJson},
  {"timed out",                 ErrorClass::kTimeout},
};
// clang-format on

// Process exit codes with a meaning of their own: timeout(1) and a process killed on a
// deadline.
constexpr int64_t kTimeoutExitCode = 124;

// Metadata keys that hold an HTTP status.
constexpr std::string_view kStatusKeys[] = {"http.response.status_code", "http.status_code",
                                            "status_code", "http.status"};
// Metadata keys that hold the error's type.
constexpr std::string_view kTypeKeys[] = {"exception.type", "error.type"};
// Metadata keys that hold a process's exit code.
constexpr std::string_view kExitKeys[] = {"exit_code", "process.exit.code"};

std::optional<int64_t> integer_of(const Json& v) {
  if (v.is_number_integer()) return v.get<int64_t>();
  if (v.is_number_unsigned()) {
    uint64_t u = v.get<uint64_t>();
    return u > uint64_t(INT64_MAX) ? std::nullopt : std::optional<int64_t>(int64_t(u));
  }
  if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    if (s.empty() || s.size() > 18) return std::nullopt;
    int64_t n = 0;
    for (char c : s) {
      if (c < '0' || c > '9') return std::nullopt;
      n = n * 10 + (c - '0');
    }
    return n;
  }
  return std::nullopt;
}

std::optional<int64_t> member_integer(const Json& meta, std::span<const std::string_view> keys) {
  for (auto key : keys) {
    auto it = meta.find(key);
    if (it != meta.end()) {
      if (auto n = integer_of(*it)) return n;
    }
  }
  return std::nullopt;
}

// A status at the start of a message: "429 Rate limit reached", "500 status code (no body)".
std::optional<int64_t> leading_status(std::string_view message) {
  if (message.size() < 4 || message[3] != ' ') return std::nullopt;
  int64_t n = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (message[i] < '0' || message[i] > '9') return std::nullopt;
    n = n * 10 + (message[i] - '0');
  }
  return n >= 400 && n <= 599 ? std::optional<int64_t>(n) : std::nullopt;
}

ErrorClass class_of_status(int64_t status) {
  for (const auto& row : kStatuses) {
    if (status >= row.from && status <= row.to) return row.cls;
  }
  return ErrorClass::kNone;
}

// The type's last dotted segment, lowercased, without a "<class '...'>" wrapper.
std::string type_key(std::string_view type) {
  type = trim_ascii(type);
  if (type.starts_with("<class '") && type.ends_with("'>")) type = type.substr(8, type.size() - 10);
  if (size_t dot = type.rfind('.'); dot != std::string_view::npos) type = type.substr(dot + 1);
  return lower(type);
}

ErrorClass class_of_type(std::string_view type, std::string_view lowered_message) {
  const std::string key = type_key(type);
  if (key.empty()) return ErrorClass::kNone;
  for (const auto& row : kTypes) {
    if (key == row.type) return row.cls;
  }
  // A JavaScript SyntaxError is thrown by JSON.parse and by the compiler alike; its message
  // tells which.
  if (key == "syntaxerror" && contains(lowered_message, "json")) return ErrorClass::kInvalidJson;
  return ErrorClass::kNone;
}

// A Python exception named at the start of the message ("ValueError: ...").
std::string_view leading_exception(std::string_view message) {
  size_t colon = message.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 80) return {};
  std::string_view name = message.substr(0, colon);
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '.';
    if (!ok) return {};
  }
  if (!name.ends_with("Error") && !name.ends_with("Exception") && !name.ends_with("Exceeded") &&
      !name.ends_with("Timeout"))
    return {};
  return name;
}

}  // namespace

std::string_view error_class_name(ErrorClass c) {
  for (const auto& row : kClassNames) {
    if (row.cls == c) return row.name;
  }
  return "error";
}

bool is_transient(ErrorClass c) {
  for (const auto& row : kClassNames) {
    if (row.cls == c) return row.transient;
  }
  return false;
}

ErrorFacts classify_error(const TraceStep& step) {
  ErrorFacts f;
  static const Json kEmpty = Json::object();
  const Json& meta = step.metadata && step.metadata->is_object() ? *step.metadata : kEmpty;
  const std::string message = step.error_message ? *step.error_message : std::string();
  const std::string lowered = lower(message);

  f.http_status = member_integer(meta, kStatusKeys);
  f.exit_code = member_integer(meta, kExitKeys);
  for (auto key : kTypeKeys) {
    auto it = meta.find(key);
    if (it == meta.end()) continue;
    if (it->is_string() && !it->get_ref<const std::string&>().empty() && f.type.empty())
      f.type = it->get<std::string>();
    // error.type holds the HTTP status when the failure was one.
    if (!f.http_status) {
      if (auto n = integer_of(*it); n && *n >= 400 && *n <= 599) f.http_status = n;
    }
  }
  if (!f.http_status) f.http_status = leading_status(message);
  if (f.type.empty()) f.type = std::string(leading_exception(message));

  // Finish reasons say that a provider's filter withheld the answer.
  if (auto it = meta.find("finish_reasons"); it != meta.end() && it->is_array()) {
    for (const auto& r : *it) {
      if (r.is_string() && (r == "content_filter" || r == "safety" || r == "prohibited_content" ||
                            r == "blocklist" || r == "content_filtered")) {
        f.cls = ErrorClass::kContentFilter;
        return f;
      }
    }
  }
  if (ErrorClass c = class_of_type(f.type, lowered); c != ErrorClass::kNone) {
    f.cls = c;
    return f;
  }
  if (f.http_status) {
    if (ErrorClass c = class_of_status(*f.http_status); c != ErrorClass::kNone) {
      f.cls = c;
      return f;
    }
  }
  for (const auto& row : kCodes) {
    if (contains(message, row.type)) {
      f.cls = row.cls;
      if (f.type.empty()) f.type = std::string(row.type);
      return f;
    }
  }
  if (f.exit_code && *f.exit_code != 0) {
    f.cls = *f.exit_code == kTimeoutExitCode ? ErrorClass::kTimeout : ErrorClass::kCommandFailed;
    return f;
  }
  for (const auto& row : kMessages) {
    if (contains(lowered, row.type)) {
      f.cls = row.cls;
      return f;
    }
  }
  return f;
}

}  // namespace tracedx
