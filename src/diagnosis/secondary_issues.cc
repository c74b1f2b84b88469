#include "diagnosis/secondary_issues.h"

#include "diagnosis/finding_text.h"
#include "diagnosis/keywords.h"
#include "diagnosis/step_probes.h"

namespace tracedx {
namespace {

using P = PhaseRule;

// clang-format off
constexpr FindingText kSlowRetrieval = {
  "Slow retrieval bottleneck", "medium", P::kFixed, "Retrieve",
  {{{"{} retrieval or lookup steps exceeded the slow threshold of {} ms", When::kAlways, Arg::kSlowCount, Arg::kThreshold},
    {"The slowest retrieval-related step took {} ms", When::kAlways, Arg::kAnchorDuration}}},
  {{{"Retrieval or evidence-gathering work exceeded the slow threshold and likely contributed to latency or degraded behavior."}}}};
constexpr FindingText kArtifactPollution = {
  "Artifact / ledger pollution cost blow-up", "medium", P::kFixed, "Retrieve",
  {{{"Artifact or ledger content appeared in retrieval steps instead of clean evidence"},
    {"This should be tracked separately from the primary diagnosis because it inflates latency and noise"}}},
  {{{"The trace contains ledger or search-page artifacts that polluted retrieval and contributed to latency, cost, or diagnostic noise."}}}};
constexpr FindingText kParserFallout = {
  "Parser fallout after safety-policy block", "medium", P::kFixed, "Output",
  {{{"The stronger upstream cause appears to be safety enforcement"},
    {"A later parse or schema boundary also failed after the safety block"}}},
  {{{"The trace shows parser or response-shape fallout after an upstream safety-policy or content-filter block."}}}};
constexpr FindingText kReasoningAfterToolFailure = {
  "Reasoning continued after tool failure", "medium", P::kFixed, "Reason",
  {{{"A tool or API step failed before later reasoning continued"},
    {"This is a useful secondary signal even when another issue is primary"}}},
  {{{"The agent continued into reasoning after a failed tool step, which often produces weak or partially grounded downstream behavior."}}}};
constexpr FindingText kEntityAmbiguity = {
  "Entity resolution ambiguity", "medium", P::kFixed, "Reason",
  {{{"Entity resolution or validation steps reference ambiguity or alternative matches"},
    {"This is useful context for debugging downstream grounding quality"}}},
  {{{"The trace contains unresolved or low-confidence entity ambiguity that may have weakened later retrieval or reasoning, even if it was not the primary cause."}}}};
constexpr FindingText kLatencyConcentration = {
  "Latency concentration", "medium", P::kAnchorType, "",
  {{{"Step duration {} ms exceeded threshold", When::kAlways, Arg::kAnchorDuration}}},
  {{{"One step consumed a disproportionate amount of runtime."}}}};
// clang-format on

// The first step whose loose text (summary, error, raw_output, metadata) matches `list`.
const TraceStep* first_loose(const TraceScan& s, Kw list) {
  for (size_t i = 0; i < s.step_scans.size(); ++i) {
    if (has(s.step_scans[i].loose, list)) return &s.trace.steps[i];
  }
  return nullptr;
}

// The slow retrieval step with the longest duration, the later one on a tie.
const TraceStep* slowest_retrieval(const TraceScan& s) {
  const TraceStep* best = nullptr;
  for (size_t i = 0; i < s.step_scans.size(); ++i) {
    const TraceStep& step = s.trace.steps[i];
    if (!is_slow_retrieval(s.step_scans[i].type, step, s.signals.slow_threshold_ms)) continue;
    if (!best || step.duration_ms.value_or(0) >= best->duration_ms.value_or(0)) best = &step;
  }
  return best;
}

const TraceStep* failed_tool_step(const TraceScan& s) {
  for (size_t i = 0; i < s.step_scans.size(); ++i) {
    if (s.step_scans[i].lower_failed && has(s.step_scans[i].type, Kw::kTypeToolOrApi)) {
      return &s.trace.steps[i];
    }
  }
  return nullptr;
}

const TraceStep* latency_step(const TraceScan& s) {
  const auto& slowest = s.signals.slowest_step_index;
  if (!slowest || *slowest >= s.trace.steps.size()) return nullptr;
  const TraceStep& step = s.trace.steps[*slowest];
  return step.duration_ms && *step.duration_ms >= s.signals.slow_threshold_ms ? &step : nullptr;
}

}  // namespace

std::vector<RootCause> build_secondary_issues(const TraceScan& scan) {
  const TraceSignals& s = scan.signals;
  struct Issue {
    const FindingText& text;
    bool applies;
    const TraceStep* (*anchor)(const TraceScan&);
  };
  const Issue issues[] = {
      {kSlowRetrieval, s.slow_retrieval_count > 0, slowest_retrieval},
      {kArtifactPollution, s.artifact_marker,
       [](const TraceScan& t) { return first_loose(t, Kw::kArtifactAnchor); }},
      {kParserFallout, s.parser_error_with_safety_block,
       [](const TraceScan& t) { return first_loose(t, Kw::kParserAnchor); }},
      {kReasoningAfterToolFailure, s.reasoning_after_tool_failure, failed_tool_step},
      {kEntityAmbiguity, s.ambiguous_entity_hint && !s.entity_mismatch_confirmed,
       [](const TraceScan& t) { return first_loose(t, Kw::kAmbiguityAnchor); }},
      {kLatencyConcentration, true, latency_step},
  };
  std::vector<RootCause> out;
  for (const auto& issue : issues) {
    if (!issue.applies) continue;
    if (const TraceStep* anchor = issue.anchor(scan))
      out.push_back(build_finding(issue.text, anchor, s));
  }
  return out;
}

}  // namespace tracedx
