// The lenses through which every rule looks at a step: normalised type and status words,
// one searchable step text, typed probes into an object-valued metadata, the step's kind
// and display label. Metadata probes give the negative answer for a missing or non-object
// metadata, a missing key, or a value of the wrong JSON kind; keys match exactly.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "text/json_writer.h"
#include "text/keyword_matcher.h"
#include "text/text.h"
#include "trace/trace.h"

namespace tracedx {

enum class StepKind { kRetrieve, kTool, kReason, kOutput, kOther };

// "Retrieve", "Tool", "Reason", "Output" or "Other".
std::string_view step_kind_word(StepKind kind);

// Kind of a step type (normalised first; absent reads as empty and gives Other).
StepKind step_kind(MaybeText step_type);
StepKind step_kind_of_hits(const KeywordHits& type_hits);

std::string type_text(const TraceStep& step);
std::string status_text(const TraceStep& step);

// Status words, tested on normalised texts: a step failed ("error", "failed") or is done
// ("completed", "success"); a run is success-like ("passed", "success", "completed").
bool is_failed_status(std::string_view status_text);
bool is_done_status(std::string_view status_text);
bool is_success_like(std::string_view run_status);

// Position of the step with the largest duration_ms (the later one on a tie); steps
// without a duration are skipped.
std::optional<size_t> slowest_step(std::span<const TraceStep> steps);

// The compact JSON of the step's three JSON fields, built once per step and shared by all
// the texts made from them; an absent field is the empty text (a present one never is).
struct StepJson {
  std::string raw_input;
  std::string raw_output;
  std::string metadata;
};
StepJson serialise_step_json(const TraceStep& step);

// norm(summary), norm(error_message), json_text(raw_input), json_text(raw_output),
// json_text(metadata), joined by single spaces and trimmed as a whole. The engine only
// streams this text into scans (below); the built text is the reference those scans are
// tested against, and what the benchmarks time.
std::string step_text(const TraceStep& step);
// Feeds the same text into a keyword scan without building it.
void feed_step_text(KeywordScan& scan, const TraceStep& step, const StepJson& json);

// Feeds the step text into `text` and, into `loose`, summary, error_message, raw_output
// and metadata lowercased (untrimmed) and joined by single spaces; the JSON parts the two
// texts share are scanned once where the automaton allows it.
void feed_step_and_loose_texts(KeywordScan& text, KeywordScan& loose, const TraceStep& step,
                               const StepJson& json);

// The hits of summary, error_message and step_type lowercased (untrimmed) and joined by
// single spaces. Only one anchor reads them, so they are scanned when asked rather than
// kept for every step.
KeywordHits nav_hits(const TraceStep& step);

// Metadata probes.
const Json* meta_value(const TraceStep& step, std::string_view key);
std::optional<std::string> meta_text(const TraceStep& step, std::string_view key);
bool meta_true(const TraceStep& step, std::string_view key);
bool meta_false(const TraceStep& step, std::string_view key);
std::optional<int64_t> meta_int(const TraceStep& step, std::string_view key);
bool meta_list(const TraceStep& step, std::string_view key);
bool meta_has(const TraceStep& step, std::string_view key);
bool coordination_failure_is(const TraceStep& step, std::string_view word);

// display_name as written, else step_type as written, else "Step".
std::string step_label(const TraceStep& step);

// A retrieval-like step (by the keyword hits of its type text) whose duration (absent: only
// at threshold 0) reaches the threshold.
bool is_slow_retrieval(const KeywordHits& type_hits, const TraceStep& step, uint64_t threshold);

}  // namespace tracedx
