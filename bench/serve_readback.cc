// What `tracedx serve` does to diagnose a stored trace: read its rows back from SQLite and
// diagnose them (bench_serve_readback). A 64-span GenAI trace, as bench/serve_load.cc sends:
//   ReadBackDiagnose/stored   the stored messages decoded into spans and diagnosed, as serve
//                             does when a trace is due (its page is not rendered then)
//   ReadBackDiagnose/page     the first view of its report page: read back, diagnosed and
//                             rendered (later views serve the stored page)
//   ReadBackDiagnose/lines    the OTLP/JSON lines of the same spans imported as a file, the
//                             way serve read its rows back before they were stored as messages
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "analysis/recorded_analysis.h"
#include "import/importers.h"
#include "opentelemetry/proto/collector/trace/v1/trace_service.pb.h"
#include "report/report_json.h"
#include "serve/diagnose_spans.h"
#include "serve/otlp_spans.h"
#include "serve/span_codec.h"
#include "serve/store.h"
#include "trace/fixture_loader.h"

namespace {

namespace pb = opentelemetry::proto;
using namespace tracedx;

void set(pb::common::v1::KeyValue* kv, const std::string& key, const std::string& v) {
  kv->set_key(key);
  kv->mutable_value()->set_string_value(v);
}

std::string id(int trace, int span, size_t n) {
  std::string out(n, '\0');
  out[0] = static_cast<char>(trace + 1);
  out[n - 1] = static_cast<char>(span + 1);
  return out;
}

// A 64-span trace: the agent's root, then model calls and tool calls, the last one failed.
std::string request_body() {
  pb::collector::trace::v1::ExportTraceServiceRequest request;
  auto* rs = request.add_resource_spans();
  set(rs->mutable_resource()->add_attributes(), "service.name", "load-agent");
  auto* ss = rs->add_scope_spans();
  ss->mutable_scope()->set_name("serve_readback");
  const uint64_t base = 1700000000000000000ull;
  for (int i = 0; i < 64; ++i) {
    auto* s = ss->add_spans();
    s->set_trace_id(id(0, 0, 16));
    s->set_span_id(id(0, i, 8));
    if (i) s->set_parent_span_id(id(0, 0, 8));
    s->set_start_time_unix_nano(base + static_cast<uint64_t>(i) * 1000000);
    s->set_end_time_unix_nano(base + static_cast<uint64_t>(i) * 1000000 + 800000);
    if (i == 0) {
      s->set_name("invoke_agent planner");
      set(s->add_attributes(), "gen_ai.operation.name", "invoke_agent");
    } else if (i % 2) {
      s->set_name("chat gpt-4o");
      set(s->add_attributes(), "gen_ai.operation.name", "chat");
      set(s->add_attributes(), "gen_ai.request.model", "gpt-4o");
      auto* kv = s->add_attributes();
      kv->set_key("gen_ai.usage.input_tokens");
      kv->mutable_value()->set_int_value(1200 + i);
    } else {
      s->set_name("execute_tool search");
      set(s->add_attributes(), "gen_ai.operation.name", "execute_tool");
      set(s->add_attributes(), "gen_ai.tool.name", "search");
      set(s->add_attributes(), "gen_ai.tool.call.arguments", "{\"query\":\"refund policy\"}");
      set(s->add_attributes(), "gen_ai.tool.call.result",
          "{\"results\":[{\"title\":\"Refunds\",\"snippet\":\"within 30 days\"}]}");
      if (i == 62) {
        s->mutable_status()->set_code(pb::trace::v1::Status::STATUS_CODE_ERROR);
        s->mutable_status()->set_message("upstream returned 502");
      }
    }
  }
  return request.SerializeAsString();
}

struct Stored {
  std::unique_ptr<Store> store;
  std::string trace_id;
};

Stored& stored() {
  static Stored s = [] {
    auto dir = std::filesystem::temp_directory_path() / "tracedx-bench-readback";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    auto store = Store::open((dir / "t.db").string());
    if (!store) std::abort();
    auto batch = spans_from_protobuf(request_body());
    if (!batch || batch->spans.size() != 64 || !(*store)->begin()) std::abort();
    for (const auto& row : batch->spans) {
      if (!(*store)->insert_span(row.trace_id, row.span_id, row.data)) std::abort();
    }
    if (!(*store)->touch_trace(batch->spans[0].trace_id, "load-agent", 1, 64, true) ||
        !(*store)->commit())
      std::abort();
    return Stored{std::move(*store), batch->spans[0].trace_id};
  }();
  return s;
}

void ReadBackStored(benchmark::State& state) {
  Stored& s = stored();
  DiagnoseOptions options;
  for (auto _ : state) {
    auto snapshot = s.store->read_spans(s.trace_id);
    benchmark::DoNotOptimize(diagnose_spans(s.trace_id, *snapshot, options));
  }
}

void ReadBackStoredWithPage(benchmark::State& state) {
  Stored& s = stored();
  DiagnoseOptions options;
  for (auto _ : state) {
    auto snapshot = s.store->read_spans(s.trace_id);
    benchmark::DoNotOptimize(report_page(s.trace_id, *snapshot, options));
  }
}

void ReadBackJsonLines(benchmark::State& state) {
  Stored& s = stored();
  DiagnoseOptions options;
  auto snapshot = s.store->read_spans(s.trace_id);
  const std::string lines = *snapshot_lines(*snapshot);
  for (auto _ : state) {
    // The row reads of the stored form stand for those of the text rows.
    benchmark::DoNotOptimize(s.store->read_spans(s.trace_id));
    auto document = import_document(lines, Source::kOtlp, s.trace_id, s.trace_id);
    auto trace = build_trace(s.trace_id, std::move(*document));
    benchmark::DoNotOptimize(dump_report(to_json(diagnose_trace(*trace, options)), true));
  }
}

BENCHMARK(ReadBackStored)->Name("ReadBackDiagnose/stored")->Unit(benchmark::kMicrosecond);
BENCHMARK(ReadBackStoredWithPage)->Name("ReadBackDiagnose/page")->Unit(benchmark::kMicrosecond);
BENCHMARK(ReadBackJsonLines)->Name("ReadBackDiagnose/lines")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
