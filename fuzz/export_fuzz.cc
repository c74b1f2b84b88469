// Bytes -> an export body as the receiver decodes it (the last input byte picks protobuf or
// OTLP/JSON, spans or log records) -> stored rows -> each row read back into the importer's
// model and written as its OTLP/JSON line; and the text repairs on the same bytes. Any
// crash, sanitizer report or exception escaping is a finding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "serve/otlp_spans.h"
#include "serve/span_codec.h"
#include "text/utf8_repair.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tracedx;
  if (size == 0) return 0;
  const uint8_t knobs = data[size - 1];
  std::string_view body(reinterpret_cast<const char*>(data), size - 1);
  std::string fixed;
  repair_utf8(body, fixed);
  repair_json_text(body, fixed);
  const bool json = (knobs & 1) != 0;
  if (knobs & 2) {
    auto batch = json ? logs_from_json(body) : logs_from_protobuf(body);
    if (!batch) return 0;
    for (const LogRow& row : batch->logs) {
      (void)decode_stored_log_record(row.data.message);
      (void)stored_log_json(*row.data.envelope, row.data.message);
    }
    (void)export_response(json, {batch->rejected, batch->rejection, batch->repaired}, true);
    return 0;
  }
  auto batch = json ? spans_from_json(body) : spans_from_protobuf(body);
  if (!batch) return 0;
  for (const SpanRow& row : batch->spans) {
    auto envelope = decode_span_envelope(*row.data.envelope);
    if (envelope) (void)decode_stored_span(*envelope, row.data.message);
    (void)stored_span_json(*row.data.envelope, row.data.message);
  }
  (void)export_response(json, {batch->rejected, batch->rejection, batch->repaired});
  return 0;
}
