#include "serve/ingest.h"

#include "text/json_writer.h"
#include "text/text.h"

namespace tracedx {
namespace {

// The media type of a Content-Type header, parameters after ';' left out.
std::string media_type(std::string_view header) {
  return lower_trimmed(header.substr(0, header.find(';')));
}

std::string json_error(std::string_view message) {
  std::string out = "{\"error\":";
  append_json_string(out, message);
  return out + "}";
}

// The body as sent, read whole unless it goes over `limit`; false when it was cut short.
bool read_body(const httplib::ContentReader& reader, size_t limit, std::string& body, bool& over) {
  return reader([&](const char* data, size_t n) {
    if (n > limit - body.size()) {
      over = true;
      return false;
    }
    body.append(data, n);
    return true;
  });
}

// Decodes the rows and hands them to the store; the failure's HTTP status and message, or 0
// when they were stored.
template <typename Batch>
std::pair<int, std::string> store(Result<Batch>& batch, size_t rows,
                                  const std::function<Stored(const Batch&)>& f,
                                  std::string_view what) {
  if (rows == 0) return {0, {}};
  switch (f(*batch)) {
    case Stored::kCommitted:
      return {0, {}};
    case Stored::kQueueFull:
      return {429, "the write queue is full; retry later"};
    case Stored::kStopping:
      return {503, "the server is shutting down"};
    case Stored::kFailed:
      break;
  }
  return {503, std::string(what) + " could not be stored; retry later"};
}

}  // namespace

std::string lower_trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  std::string out(s);
  for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}

void ingest(const httplib::Request& req, httplib::Response& res,
            const httplib::ContentReader& reader, bool logs, const IngestHandlers& h) {
  const std::string type = media_type(req.get_header_value("Content-Type"));
  const bool protobuf = type == "application/x-protobuf";
  const bool json = type == "application/json";
  const std::string encoding = lower_trimmed(req.get_header_value("Content-Encoding"));
  // The body is read as sent and inflated here: the library would inflate it without
  // bounding the output, and take a gzip stream cut short for a whole one. The request
  // object is the library's own mutable one, handed over as const.
  const_cast<httplib::Request&>(req).headers.erase("Content-Encoding");
  std::string body;
  bool over = false;
  const bool read = read_body(reader, h.max_body_bytes, body, over);
  auto fail = [&](int status, int grpc_code, std::string_view message) {
    res.status = status;
    res.set_content(export_error(protobuf, grpc_code, message),
                    protobuf ? "application/x-protobuf" : "application/json");
  };
  if (!h.authorized(req)) return h.unauthorized(res);
  if (over || res.status == 413)
    return fail(413, 8,
                "the body is over the limit of " + std::to_string(h.max_body_bytes) + " bytes");
  if (!read) return fail(400, 3, "the body could not be read whole (cut short)");
  if (!protobuf && !json) {
    res.status = 415;
    res.set_content(json_error("Content-Type must be application/x-protobuf or application/json"),
                    "application/json");
    return;
  }
  if (!encoding.empty() && encoding != "identity" && encoding != "gzip")
    return fail(415, 3, "Content-Encoding must be gzip or identity");
  if (encoding == "gzip") {
    bool too_large = false;
    auto inflated = gunzip(body, h.max_body_bytes, too_large);
    if (!inflated) return fail(too_large ? 413 : 400, too_large ? 8 : 3, inflated.error().text());
    body = std::move(*inflated);
  }
  uint64_t rejected = 0, repaired = 0;
  std::string rejection;
  std::pair<int, std::string> failure;
  if (logs) {
    auto batch = protobuf ? logs_from_protobuf(body) : logs_from_json(body);
    std::string().swap(body);
    if (!batch) return fail(400, 3, batch.error().text());
    h.count_rejected_logs(batch->rejected);
    failure = store(batch, batch->logs.size(), h.store_logs, "the log records");
    rejected = batch->rejected;
    rejection = std::move(batch->rejection);
    repaired = batch->repaired;
  } else {
    auto batch = protobuf ? spans_from_protobuf(body) : spans_from_json(body);
    std::string().swap(body);
    if (!batch) return fail(400, 3, batch.error().text());
    h.count_rejected_spans(batch->rejected);
    failure = store(batch, batch->spans.size(), h.store_spans, "the spans");
    rejected = batch->rejected;
    rejection = std::move(batch->rejection);
    repaired = batch->repaired;
  }
  if (failure.first) {
    res.set_header("Retry-After", "1");
    return fail(failure.first, failure.first == 429 ? 8 : 14, failure.second);
  }
  res.status = 200;
  res.set_content(export_response(protobuf, {rejected, rejection, repaired}, logs),
                  protobuf ? "application/x-protobuf" : "application/json");
}

}  // namespace tracedx
