// POST /v1/traces and /v1/logs: the body read whole within the size limit (as sent and as
// inflated from gzip), its content type checked, decoded into stored rows, handed to the
// store and answered as OTLP/HTTP answers: the export response with its partial success,
// or a google.rpc.Status in the request's content type with the HTTP status of the failure.
#pragma once

#include <httplib.h>

#include <functional>
#include <string>
#include <string_view>

#include "serve/otlp_spans.h"

namespace tracedx {

// What became of the rows handed to the store.
enum class Stored { kCommitted, kQueueFull, kStopping, kFailed };

struct IngestHandlers {
  size_t max_body_bytes = 0;
  std::function<bool(const httplib::Request&)> authorized;
  std::function<void(httplib::Response&)> unauthorized;
  // Commit the rows; called only with at least one row. Rejections are counted before.
  std::function<Stored(const SpanBatch&)> store_spans;
  std::function<Stored(const LogBatch&)> store_logs;
  std::function<void(uint64_t)> count_rejected_spans, count_rejected_logs;
};

// The lower-cased text of a header value, blanks around it left out.
std::string lower_trimmed(std::string_view s);

// Answers one export to /v1/traces, or to /v1/logs when `logs`.
void ingest(const httplib::Request& req, httplib::Response& res,
            const httplib::ContentReader& reader, bool logs, const IngestHandlers& handlers);

}  // namespace tracedx
