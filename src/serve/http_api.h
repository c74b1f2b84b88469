// The receiver's HTTP side: one table of routes drives dispatch, the Allow header of a 405
// and the help text. Exports (POST /v1/traces, /v1/logs) are checked on their headers
// (token, content type, encoding, length) before their body is read, then inflated and
// handed to the receiver; the read side answers from the database: the HTML index and
// reports, the JSON API, health and metrics.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "serve/completion.h"
#include "serve/http_server.h"
#include "serve/memory_budget.h"
#include "serve/metrics.h"
#include "serve/receiver.h"
#include "serve/server.h"
#include "serve/writer.h"

namespace tracedx {

// What the HTTP side reads and writes through.
struct ApiContext {
  const ServeOptions& options;
  Receiver& receiver;
  Writer& writer;
  Completion& completion;
  Metrics& metrics;
  MemoryBudget& budget;
};

// The handlers of the HTTP server over the receiver and the database.
HttpHandlers http_api(ApiContext context);

// Whether an Authorization header value carries the bearer `token`.
bool bearer_matches(std::string_view header, std::string_view token);

}  // namespace tracedx
