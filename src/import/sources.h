// The input formats, one row each: the word that names it (--from, source=), what a
// document of it is and how one is recognised (for help and messages). Parsing the word,
// the help texts, detection's messages and the Python module's checks all read this table.
// Adding a format is a row here, its reader, and its case in load_trace_input.
#pragma once

#include <string>
#include <string_view>

#include "import/importers.h"
#include "input/input.h"

namespace tracedx {

struct SourceRow {
  Source source;
  std::string_view word;   // as --from and the Python source= take it
  std::string_view noun;   // what a document of it is
  std::string_view shape;  // how one is recognised
};

inline constexpr SourceRow kSources[] = {
    {Source::kOtlp, "otlp", "an OTLP JSON export", "\"resourceSpans\" or \"resourceLogs\""},
    {Source::kChat, "chat", "a chat transcript",
     "a list of messages with \"role\" and \"content\""},
    {Source::kFixture, "fixture", "a fixture document", "\"run\" and \"steps\""},
};

const SourceRow& source_row(Source source);

// "otlp, chat or fixture".
std::string source_words();

// "an OTLP JSON export ("resourceSpans" ...), a chat transcript (...) or a fixture document
// (...)", for the message of an input that fits none.
std::string sources_expected();

// The format a word names; fails with a message naming the accepted words.
Result<Source> parse_source(std::string_view word);

// How one trace is taken from an input: which OTLP trace (and the option that picks it,
// which the message asking for one names), the OTLP log records that join its spans, and
// the run's outcome as the user states it.
struct TraceRequest {
  std::string trace_id;
  std::string_view pick_option = "--trace-id";
  OtlpLogsByTrace* logs = nullptr;
  std::optional<RunStatus> run_status;
};

// The one way a trace is loaded from an input of any format, for the commands and the
// Python module: the format told from the input when `source` is kDetect, a fixture by the
// fast loader, a recording through its importer; the Trace is named `name`.
Result<Trace> load_trace_input(Input& input, Source source, const TraceRequest& request,
                               const std::string& name);

}  // namespace tracedx
