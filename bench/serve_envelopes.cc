// Memory of one export whose resource is large: 3,000 tiny spans of one trace under one
// resource holding a 1 MiB attribute. Run one phase per process and read its peak RSS
// (/usr/bin/time -v, or the figure printed at exit):
//   serve_envelopes decode        the body decoded into the rows the writer stores
//   serve_envelopes store DIR     decoded and committed to DIR/t.db
//   serve_envelopes read DIR      the trace read back from DIR/t.db and diagnosed
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "diagnosis/diagnosis.h"
#include "opentelemetry/proto/collector/trace/v1/trace_service.pb.h"
#include "serve/diagnose_spans.h"
#include "serve/otlp_spans.h"
#include "serve/store.h"

namespace {

namespace pb = opentelemetry::proto;
using namespace tracedx;

constexpr int kSpans = 3000;
constexpr size_t kAttributeBytes = size_t{1} << 20;

std::string id(int span, size_t n) {
  std::string out(n, '\x07');
  out[n - 1] = static_cast<char>(span & 0xff);
  out[n - 2] = static_cast<char>((span >> 8) + 1);
  return out;
}

std::string request_body() {
  pb::collector::trace::v1::ExportTraceServiceRequest request;
  auto* rs = request.add_resource_spans();
  auto* name = rs->mutable_resource()->add_attributes();
  name->set_key("service.name");
  name->mutable_value()->set_string_value("big-resource");
  auto* big = rs->mutable_resource()->add_attributes();
  big->set_key("process.command_args");
  big->mutable_value()->set_string_value(std::string(kAttributeBytes, 'a'));
  auto* ss = rs->add_scope_spans();
  ss->mutable_scope()->set_name("serve_envelopes");
  for (int i = 0; i < kSpans; ++i) {
    auto* s = ss->add_spans();
    s->set_trace_id(id(0, 16));
    s->set_span_id(id(i, 8));
    if (i) s->set_parent_span_id(id(0, 8));
    s->set_name(i ? "execute_tool search" : "invoke_agent planner");
    s->set_start_time_unix_nano(1700000000000000000ull + static_cast<uint64_t>(i) * 1000);
    s->set_end_time_unix_nano(1700000000000000000ull + static_cast<uint64_t>(i) * 1000 + 500);
  }
  return request.SerializeAsString();
}

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

long peak_rss_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

int fail(const char* what) {
  std::fprintf(stderr, "serve_envelopes: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string phase = argc > 1 ? argv[1] : "decode";
  const std::string db = argc > 2 ? std::string(argv[2]) + "/t.db" : std::string();
  if (phase == "read") {
    auto store = Store::open(db);
    if (!store) return fail("cannot open the database");
    const std::string trace_id = hex(id(0, 16));
    auto snapshot = (*store)->read_spans(trace_id);
    if (!snapshot) return fail("cannot read the trace");
    auto record = diagnose_spans(trace_id, *snapshot, DiagnoseOptions{});
    std::printf("read: %zu spans, diagnosis %s\n", snapshot->spans.size(),
                record.failed ? record.error.c_str() : "made");
  } else {
    size_t batch_bytes = 0, rows = 0;
    {
      auto batch = spans_from_protobuf(request_body());
      if (!batch) return fail("cannot decode the export");
      rows = batch->spans.size();
      batch_bytes = stored_bytes(*batch);
      if (phase == "store") {
        auto store = Store::open(db);
        if (!store || !(*store)->begin()) return fail("cannot open the database");
        for (const SpanRow& row : batch->spans) {
          if (!(*store)->insert_span(row.trace_id, row.span_id, row.data)) return fail("insert");
        }
        if (!(*store)->touch_trace(batch->spans[0].trace_id, "big-resource", 1, kSpans, true) ||
            !(*store)->commit())
          return fail("commit");
      }
    }
    std::printf("%s: %zu rows, %zu bytes of rows\n", phase.c_str(), rows, batch_bytes);
  }
  std::printf("peak RSS: %ld KiB\n", peak_rss_kib());
  return 0;
}
