// The OTLP answers of the receiver and the inflating of a gzip body: the export response
// with its partial success, and the google.rpc.Status of a failed export, as protobuf or as
// OTLP/JSON.
#include <zlib.h>

#include <charconv>
#include <cstring>

#include "google/rpc/status.pb.h"
#include "opentelemetry/proto/collector/logs/v1/logs_service.pb.h"
#include "opentelemetry/proto/collector/trace/v1/trace_service.pb.h"
#include "serve/otlp_spans.h"
#include "text/json_writer.h"

namespace tracedx {
namespace {

namespace pb = opentelemetry::proto;

template <typename T>
void append_quoted_number(std::string& out, T v) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out += '"';
  out.append(buf, r.ptr);
  out += '"';
}

}  // namespace

Result<std::string> gunzip(std::string_view body, size_t limit, bool& too_large) {
  too_large = false;
  std::string out;
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return Error::message("gzip: cannot start");
  size_t fed = 0;
  char buffer[64 * 1024];
  int ret = Z_OK;
  bool ended = false;
  for (;;) {
    if (z.avail_in == 0 && fed < body.size()) {
      size_t chunk = std::min<size_t>(body.size() - fed, size_t{1} << 30);
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data() + fed));
      z.avail_in = static_cast<uInt>(chunk);
      fed += chunk;
    }
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    ret = inflate(&z, Z_NO_FLUSH);
    size_t produced = sizeof buffer - z.avail_out;
    if (out.size() + produced > limit) {
      too_large = true;
      inflateEnd(&z);
      return Error::message("the decompressed body is over the size limit");
    }
    out.append(buffer, produced);
    const bool input_done = z.avail_in == 0 && fed == body.size();
    if (ret == Z_STREAM_END) {
      if (input_done) {
        ended = true;
        break;
      }
      // Another member follows: concatenated gzip streams are one gzip file.
      if (inflateReset(&z) != Z_OK) break;
      continue;
    }
    if (ret == Z_OK || (ret == Z_BUF_ERROR && !input_done)) continue;
    break;
  }
  inflateEnd(&z);
  if (!ended) {
    return Error::message(ret == Z_OK || ret == Z_BUF_ERROR ? "the gzip body is cut short"
                                                            : "the gzip body is corrupt");
  }
  return out;
}

std::string partial_success_message(const ExportOutcome& outcome) {
  std::string out(outcome.rejected ? outcome.rejection : std::string_view());
  if (!outcome.repaired) return out;
  if (!out.empty()) out += "; ";
  const bool one = outcome.repaired == 1;
  out += std::to_string(outcome.repaired);
  out += one ? " string" : " strings";
  out += " held invalid UTF-8 or a lone surrogate and ";
  out += one ? "was" : "were";
  out += " repaired (U+FFFD)";
  return out;
}

std::string export_response(bool protobuf, const ExportOutcome& outcome, bool logs) {
  const bool partial = outcome.rejected || outcome.repaired;
  const auto rejected = static_cast<int64_t>(outcome.rejected);
  if (protobuf && logs) {
    pb::collector::logs::v1::ExportLogsServiceResponse response;
    if (partial) {
      auto* p = response.mutable_partial_success();
      p->set_rejected_log_records(rejected);
      p->set_error_message(partial_success_message(outcome));
    }
    return response.SerializeAsString();
  }
  if (protobuf) {
    pb::collector::trace::v1::ExportTraceServiceResponse response;
    if (partial) {
      auto* p = response.mutable_partial_success();
      p->set_rejected_spans(rejected);
      p->set_error_message(partial_success_message(outcome));
    }
    return response.SerializeAsString();
  }
  if (!partial) return "{}";
  // As the protobuf JSON mapping writes it: a count of 0 is left out, an int64 is quoted.
  std::string out = "{\"partialSuccess\":{";
  if (outcome.rejected) {
    out += logs ? "\"rejectedLogRecords\":" : "\"rejectedSpans\":";
    append_quoted_number(out, outcome.rejected);
    out += ',';
  }
  out += "\"errorMessage\":";
  append_json_string(out, partial_success_message(outcome));
  return out + "}}";
}

std::string export_error(bool protobuf, int grpc_code, std::string_view message) {
  if (protobuf) {
    google::rpc::Status status;
    status.set_code(grpc_code);
    status.set_message(std::string(message));
    return status.SerializeAsString();
  }
  std::string out = "{\"code\":" + std::to_string(grpc_code) + ",\"message\":";
  append_json_string(out, message);
  return out + "}";
}

}  // namespace tracedx
