// Importers from the formats agent frameworks record into the fixture documents the loader
// reads: OpenTelemetry spans exported as OTLP JSON (one document, or JSON Lines with one
// export per line) following the GenAI or OpenInference conventions, and chat transcripts
// (OpenAI-style message lists, also multi-agent group chats). An importer produces fixture
// documents, so everything downstream (loader kind rules included) is the same as for a
// hand-written fixture.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.h"
#include "import/span_model.h"
#include "input/input.h"
#include "trace/trace.h"

namespace tracedx {

// Log records by the trace they belong to (see read_otlp_logs).
using OtlpLogsByTrace = std::unordered_map<std::string, std::vector<OtlpLog>>;

// kDetect: the format is told from the input itself (see detect_source).
enum class Source { kFixture, kOtlp, kChat, kDetect };

// What reading an OTLP input yields, one at a time: a trace, or an error: of a line that
// could not be read (`line` > 0, no trace id), of a trace that had spans on such a line
// (its trace id), or of the whole input (neither).
struct OtlpItem {
  std::string trace_id;
  uint64_t line = 0;
  size_t sequence = 0;         // rank of the trace's first appearance in the input
  std::optional<Trace> trace;  // named by its trace id; absent with an error
  std::optional<Error> error;

  // The trace's fixture document, as `import` writes it.
  Json fixture() const;
};

// Every trace of an OTLP input (one JSON document, or JSON Lines of exports or of bare
// ResourceSpans objects), handed to `emit` as soon as no later line holds spans of it: in
// the order of the line that completes each trace, ties in order of first appearance. JSON
// Lines are read twice (a stream is spooled to a temporary file first): a light pass finds
// each trace's last line, then each line is parsed once. Memory holds the traces in flight;
// time is linear in the input. A bad line gives its error and the other traces go on. Fails
// only when the input cannot be read.
//
// Log exports may stand among the lines (or be the document): their records that name a
// span are attached to it as events, and so are those of `logs` (read apart, taken as
// their traces are emitted).
Status for_each_otlp_trace(Input& input, const std::function<void(OtlpItem)>& emit,
                           OtlpLogsByTrace* logs = nullptr);
Status for_each_otlp_trace(const std::string& path, const std::function<void(OtlpItem)>& emit);

// The log records of an OTLP log export file (one document, or JSON Lines of exports) that
// name a span, by trace id. Span exports in it are passed over. Fails on a line that is
// not JSON or not an export, naming it.
Result<OtlpLogsByTrace> read_otlp_logs(Input& input);
// The log records of several files (each read by read_otlp_logs), by trace, in file order.
Result<OtlpLogsByTrace> read_otlp_log_files(const std::vector<std::string>& paths);

// A trace id as the importer writes it: hex lower-cased, a base64 id decoded to hex.
std::string normalize_trace_id(std::string_view id);

// One chat transcript: an array of messages, or an object holding one under "messages",
// "history", "conversation", "chat_history", "traj" or "trajectory". A document holding no
// object that looks like a message (with a role, content or tool calls) is refused.
Result<Json> import_chat(const Json& document, std::string_view where);

// A run's outcome as stated by a user who knows it (from an evaluator, say), which replaces
// the status a fixture holds or an importer inferred.
enum class RunStatus { kFailed, kCompleted };

// "failed" or "completed"; absent for any other word.
std::optional<RunStatus> parse_run_status(std::string_view word);

// Sets the run's status of a fixture document to the stated word. A document without a run
// object is left as it is, for the loader to refuse.
void state_run_status(Json& fixture, RunStatus status);

// The fixture document of one trace given as bytes in the format `source`, as the commands
// read a file named `where`. An OTLP input holding several traces needs `trace_id` to pick
// one; the message asking for one names `pick_option`, the option the command takes for
// it. Log records in `logs` join the spans they name (see for_each_otlp_trace). An imported
// document is kept loadable: values nested deeper than the loader reads are flattened (see
// flatten_deep_values), their number stored in `flattened` when given.
Result<Json> import_document(std::string_view bytes, Source source, const std::string& where,
                             const std::string& trace_id = {}, size_t* flattened = nullptr,
                             std::string_view pick_option = "--trace-id",
                             OtlpLogsByTrace* logs = nullptr);
// The same, read from an open input named by its name. OTLP is streamed (a stream spooled):
// memory holds the traces in flight and the one picked, not the input.
Result<Json> import_document(Input& input, Source source, const std::string& trace_id = {},
                             size_t* flattened = nullptr,
                             std::string_view pick_option = "--trace-id",
                             OtlpLogsByTrace* logs = nullptr);

// Replaces each array or object that would sit deeper than kMaxJsonDepth levels (the
// document itself is level 1) by a string holding its compact JSON text, so the document
// loads again once written. Returns how many values were replaced.
size_t flatten_deep_values(Json& document);
// The same for a value that stands at `level` of its document.
size_t flatten_deep_values(Json& value, size_t level);
// The same for the values of a Trace, as they stand in its fixture document.
size_t flatten_deep_values(Trace& trace);

// The one trace of an OTLP input that `trace_id` names (or its only trace) as a Trace,
// without a fixture document in between, exactly as import_document's document would load:
// named by its trace id, deep values flattened.
Result<Trace> import_otlp(Input& input, const std::string& trace_id = {},
                          std::string_view pick_option = "--trace-id",
                          OtlpLogsByTrace* logs = nullptr);

}  // namespace tracedx
