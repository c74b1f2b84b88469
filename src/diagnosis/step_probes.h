// The lenses through which every rule looks at a step: normalised type and status words,
// one searchable step text, typed probes into an object-valued metadata, the step's kind
// and display label. Metadata probes give the negative answer for a missing or non-object
// metadata, a missing key, or a value of the wrong JSON kind; keys match exactly.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "text/keyword_matcher.h"
#include "trace/trace.h"

namespace tracedx {

enum class StepKind { kRetrieve, kTool, kReason, kOutput, kOther };

// "Retrieve", "Tool", "Reason", "Output" or "Other".
std::string_view step_kind_word(StepKind kind);

// Kind of a step type (normalised first; absent reads as empty and gives Other).
StepKind step_kind(const std::optional<std::string>& step_type);
StepKind step_kind_of_hits(const KeywordHits& type_hits);

std::string type_text(const TraceStep& step);
std::string status_text(const TraceStep& step);

// The compact JSON of the step's three JSON fields, built once per step and shared by all
// the texts made from them; an absent field is the empty text (a present one never is).
struct StepJson {
  std::string raw_input;
  std::string raw_output;
  std::string metadata;
};
StepJson serialise_step_json(const TraceStep& step);

// norm(summary), norm(error_message), json_text(raw_input), json_text(raw_output),
// json_text(metadata), joined by single spaces and trimmed as a whole.
std::string step_text(const TraceStep& step);
// Feeds the same text into a keyword scan without building it.
void feed_step_text(KeywordScan& scan, const TraceStep& step, const StepJson& json);

// Feeds the step text into `text` and, into `loose`, summary, error_message, raw_output
// and metadata lowercased (untrimmed) and joined by single spaces; the JSON parts the two
// texts share are scanned once where the automaton allows it.
void feed_step_and_loose_texts(KeywordScan& text, KeywordScan& loose, const TraceStep& step,
                               const StepJson& json);

// Metadata probes.
const Json* meta_value(const TraceStep& step, std::string_view key);
std::optional<std::string> meta_text(const TraceStep& step, std::string_view key);
bool meta_true(const TraceStep& step, std::string_view key);
bool meta_false(const TraceStep& step, std::string_view key);
std::optional<int64_t> meta_int(const TraceStep& step, std::string_view key);
bool meta_list(const TraceStep& step, std::string_view key);
bool meta_has(const TraceStep& step, std::string_view key);
bool coordination_failure_is(const TraceStep& step, std::string_view word);

// True at the first step whose step text carries a safety marker.
bool has_safety_marker(std::span<const TraceStep> steps);
bool has_artifact_marker(const TraceStep& step);

// display_name as written, else step_type as written, else "Step".
std::string step_label(const TraceStep& step);

struct FailedStepRef {
  std::string type;  // step_type as written, or "Unknown"
  std::string label;
  std::optional<int64_t> index;
};
std::optional<FailedStepRef> failed_step_ref(const Trace& trace,
                                             std::optional<size_t> failed_position);

// A retrieval-like step whose duration (absent: only at threshold 0) reaches the threshold.
bool is_slow_retrieval_step(uint64_t threshold, const TraceStep& step);

}  // namespace tracedx
