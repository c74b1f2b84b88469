// The responses the receiver's HTTP side builds: a body of a media type, a JSON error
// ({"error": MESSAGE}, written by the record writers) and a line of text for a browser.
#pragma once

#include <string>
#include <string_view>

#include "report/record_writers.h"
#include "serve/http_server.h"

namespace tracedx {

inline constexpr std::string_view kJson = "application/json";
inline constexpr std::string_view kProtobuf = "application/x-protobuf";
inline constexpr std::string_view kText = "text/plain; charset=utf-8";
inline constexpr std::string_view kHtml = "text/html; charset=utf-8";

struct ErrorBody {
  std::string error;
};

template <typename V>
void error_fields(V& v, const ErrorBody& e) {
  v.member("error", e.error);
}

inline HttpResponse respond(int status, std::string_view type, std::string body) {
  HttpResponse r;
  r.status = status;
  r.content_type = type;
  r.body = std::move(body);
  return r;
}

inline HttpResponse json_error(int status, std::string message) {
  std::string out;
  CompactWriter(out).write(ErrorBody{std::move(message)}, error_fields<CompactWriter>);
  return respond(status, kJson, std::move(out));
}

inline HttpResponse text(int status, std::string message) {
  return respond(status, kText, std::move(message) + "\n");
}

}  // namespace tracedx
