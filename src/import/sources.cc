#include "import/sources.h"

#include "import/detect_source.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

// Items joined as a reader lists them: "a, b or c".
template <typename F>
std::string listed(F&& item) {
  std::string out;
  const size_t n = std::size(kSources);
  for (size_t i = 0; i < n; ++i) {
    out += i == 0 ? "" : i + 1 == n ? " or " : ", ";
    out += item(kSources[i]);
  }
  return out;
}

}  // namespace

const SourceRow& source_row(Source source) {
  for (const auto& row : kSources) {
    if (row.source == source) return row;
  }
  return kSources[0];  // kDetect has no row; callers resolve it first
}

std::string source_words() {
  return listed([](const SourceRow& r) { return std::string(r.word); });
}

std::string sources_expected() {
  return listed(
      [](const SourceRow& r) { return std::string(r.noun) + " (" + std::string(r.shape) + ")"; });
}

Result<Source> parse_source(std::string_view word) {
  for (const auto& row : kSources) {
    if (row.word == word) return row.source;
  }
  return Error::message("--from needs " + source_words() + ", got \"" + std::string(word) + "\"");
}

Result<Trace> load_trace_input(Input& input, Source source, const TraceRequest& request,
                               const std::string& name) {
  if (source == Source::kDetect) {
    auto detected = detect_source(input);
    if (!detected) return std::move(detected).error();
    source = *detected;
  }
  if (request.logs && source != Source::kOtlp) {
    return Error::message("log records join OTLP spans; " + display_path(input.name()) + " is " +
                          std::string(source_row(source).noun));
  }
  if (source == Source::kFixture && !request.run_status) {
    // The fast loader builds the Trace without a JSON document in between.
    auto bytes = input.read_all();
    if (!bytes) return std::move(bytes).error();
    auto trace = load_trace_owned(name, std::move(*bytes));
    if (!trace && trace.error().kind() == Error::Kind::kJson)
      return std::move(trace).error().with_path(name);
    return trace;
  }
  if (source == Source::kOtlp) {
    // Straight from the spans to the Trace.
    auto trace = import_otlp(input, request.trace_id, request.pick_option, request.logs);
    if (!trace) return trace;
    trace->id = name;
    if (request.run_status) {
      trace->status = *request.run_status == RunStatus::kFailed ? "failed" : "completed";
      trace->status_inferred = false;
    }
    return trace;
  }
  auto document =
      import_document(input, source, request.trace_id, nullptr, request.pick_option, request.logs);
  if (!document) return std::move(document).error();
  if (request.run_status) state_run_status(*document, *request.run_status);
  return build_trace(name, std::move(*document));
}

}  // namespace tracedx
