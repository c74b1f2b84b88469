// The read side of the receiver over HTTP: the JSON API (the traces under a filter, one
// trace with its stored diagnosis, its stored spans) and the HTML pages (the index and a
// trace's report), read from the database on connections of their own.
#pragma once

#include <memory>
#include <string_view>

#include "base/error.h"
#include "serve/http_server.h"
#include "serve/memory_budget.h"
#include "serve/server.h"
#include "serve/writer.h"

namespace tracedx {

class ReadSide {
 public:
  ReadSide(const ServeOptions& options, Writer& writer, MemoryBudget& budget);
  ~ReadSide();

  HttpResponse list(const HttpRequest& req);     // GET /api/traces
  HttpResponse trace(std::string_view raw_id);   // GET /api/traces/ID
  HttpResponse spans(std::string_view raw_id);   // GET /api/traces/ID/spans
  HttpResponse index(const HttpRequest& req);    // GET /
  HttpResponse report(std::string_view raw_id);  // GET /traces/ID
  // Whether the database can still be read and written to (see Store::probe).
  Status probe();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tracedx
