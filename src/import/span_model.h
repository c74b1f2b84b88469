// The one in-memory form of an OpenTelemetry span on its way to a trace, whichever way it
// came in: OTLP JSON (read by the envelope readers) or protobuf (serve). Attribute values
// are kept as JSON values, as the conventions' mapping reads them; the resource's
// attributes are shared by the spans that came with it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trace/trace.h"

namespace tracedx {

struct OtlpSpan {
  std::string trace_id, span_id, parent_id, name, kind;  // ids as lower-case hex
  std::optional<uint64_t> start, end;                    // Unix nanoseconds
  Json attrs = Json::object();
  Json events = Json::array();  // {"name": text, "attributes": object}, in recorded order
  int status_code = 0;
  std::string status_message;
  std::string where;                     // where the span was read, for messages
  std::shared_ptr<const Json> resource;  // the resource's attributes (service.name...)
  std::string scope_name;                // the instrumentation scope that recorded it

  const Json& resource_attrs() const;
};

// A log record that names its span (by trace id and span id), as the span event it
// becomes: {"name": its event name, "attributes": {...}, "body": its body}, the body only
// when it has one. The OpenTelemetry GenAI instrumentations record message content so.
struct OtlpLog {
  std::string trace_id, span_id;
  Json event;
};

namespace otlp {

constexpr std::string_view kStatusNames[] = {"STATUS_CODE_UNSET", "STATUS_CODE_OK",
                                             "STATUS_CODE_ERROR"};
constexpr std::string_view kKindNames[] = {"SPAN_KIND_UNSPECIFIED", "SPAN_KIND_INTERNAL",
                                           "SPAN_KIND_SERVER",      "SPAN_KIND_CLIENT",
                                           "SPAN_KIND_PRODUCER",    "SPAN_KIND_CONSUMER"};

// A span kind as the importer writes it: its name, or the number when it has none.
std::string kind_name(int kind);

}  // namespace otlp
}  // namespace tracedx
