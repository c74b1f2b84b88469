// TraceSignals: what one reading of a trace tells the rest of the engine. Extraction walks
// the steps once, building each step's texts once and scanning each for every keyword
// list in one pass; the rules (one row per signal, in signals.cc) then decide from those
// hits and the step's metadata, so no later stage searches a step text again. Every rule
// gives the result of its own first-match pass over the steps in array order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "text/keyword_matcher.h"
#include "trace/trace.h"

namespace tracedx {

// The keyword hits of one step's texts, and its status words.
struct StepScan {
  KeywordHits text;   // step text
  KeywordHits type;   // type text
  KeywordHits loose;  // summary, error_message, raw_output, metadata: lowercased, untrimmed
  bool status_failed = false;  // status text is "failed"
  bool failed = false;         // status text "error" or "failed"
  bool done = false;           // status text "completed" or "success"
  bool lower_failed = false;   // status lowercased without trimming is exactly "failed"
};

// The record reports print: positions, the run status, counts and one yes/no per signal.
struct TraceSignals {
  std::optional<size_t> failed_step_index;
  std::optional<size_t> slowest_step_index;
  std::string run_status;
  uint64_t slow_threshold_ms = 2500;
  uint64_t slow_retrieval_count = 0;
  bool has_failed_step = false;
  bool failed_step_timeout = false;
  bool failed_step_tool = false;
  bool failed_step_retrieval = false;
  bool entity_mismatch_confirmed = false;
  bool entity_mismatch = false;
  bool entity_ambiguity = false;
  bool wrong_entity_grounding = false;
  bool retry_seen = false;
  bool recovered_after_failure = false;
  bool safety_block = false;
  bool conflicting_outputs = false;
  bool missing_arbiter = false;
  bool duplicate_delegation = false;
  bool missing_worker_result = false;
  bool handoff_field_missing = false;
  bool role_mismatch = false;
  bool parse_failure = false;
  bool artifact_marker = false;
  bool masked_artifact_failure = false;
  bool state_recovered = false;
  bool conflict_recovered = false;
  bool retrieval_evidence_empty = false;
  bool unsupported_confident_answer = false;
  bool fallback_answer = false;
  bool crm_lookup_fallback = false;
  bool missing_required_state = false;
  bool stale_memory = false;
  bool state_corruption = false;
  bool reasoning_loop = false;
  bool silent_failure = false;
  bool missing_components = false;
  bool tool_output_misread = false;
  bool wrong_page_navigation = false;
  bool repeated_empty_search = false;
  bool reasoning_after_tool_failure = false;
  bool parser_error_with_safety_block = false;
  bool ambiguous_entity_hint = false;
};

// One reading of a trace, kept for the later stages: the trace (borrowed), the scans of its
// steps (same order as the steps), the hits of its normalised diagnostic summary, and the
// signals decided from them.
struct TraceScan {
  const Trace& trace;
  std::vector<StepScan> step_scans;
  KeywordHits summary_hits;
  TraceSignals signals;
};

class SignalReading;

// One signal: its report name, its field, and the rule that decides it. Rules run in
// table order (the record's order), except that rules marked `derived` run after all
// others because they combine signals that come later in the table.
struct SignalFlag {
  std::string_view name;
  bool TraceSignals::*member;
  bool (*rule)(const SignalReading&);
  bool derived = false;
};
std::span<const SignalFlag> signal_flags();

// Reads the trace once: its scans and its signals. The result borrows the trace.
TraceScan scan_trace(const Trace& trace, uint64_t slow_threshold_ms);
TraceScan scan_trace(const Trace&& trace, uint64_t slow_threshold_ms) = delete;

// The signals alone.
TraceSignals extract_signals(const Trace& trace, uint64_t slow_threshold_ms);

// The scan of one step, as extraction makes it.
StepScan scan_step(const TraceStep& step);

}  // namespace tracedx
