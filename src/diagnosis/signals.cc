#include "diagnosis/signals.h"

#include <unordered_set>

#include "diagnosis/keywords.h"
#include "diagnosis/step_probes.h"
#include "text/text.h"

namespace tracedx {
namespace {

// A step of the trace together with its scan, as the rules see it.
struct View {
  const TraceStep& step;
  const StepScan& scan;
  bool text(Kw list) const { return has(scan.text, list); }
  bool type(Kw list) const { return has(scan.type, list); }
};

// One test of a step's metadata.
enum class Meta : uint8_t {
  kTrue,         // the value is the boolean true
  kTextIs,       // meta text equals `value`
  kTextPresent,  // the value is a string
  kList,         // the value is a non-empty array
  kHas,          // the key is present, whatever its value
};

struct MetaTest {
  std::string_view key;
  Meta kind;
  std::string_view value = {};
};

bool holds(const TraceStep& step, const MetaTest& test) {
  switch (test.kind) {
    case Meta::kTrue:
      return meta_true(step, test.key);
    case Meta::kTextIs: {
      auto text = meta_text(step, test.key);
      return text && *text == test.value;
    }
    case Meta::kTextPresent:
      return meta_text(step, test.key).has_value();
    case Meta::kList:
      return meta_list(step, test.key);
    case Meta::kHas:
      return meta_has(step, test.key);
  }
  return false;
}

template <size_t N>
bool any_meta(const View& s, const MetaTest (&tests)[N]) {
  for (const auto& test : tests) {
    if (holds(s.step, test)) return true;
  }
  return false;
}

constexpr std::string_view kCoordination = "coordination_failure";
constexpr std::string_view kStateFailure = "state_failure";
constexpr std::string_view kCompletionFailure = "completion_failure";

// clang-format off
// Metadata that marks a step as grounded on the wrong entity.
constexpr MetaTest kWrongGroundingMeta[] = {
  {"grounded_on_wrong_entity",   Meta::kTrue},
  {"uses_unverified_assumption", Meta::kTrue},
  {"wrong_entity_selected",      Meta::kTrue},
};
// Metadata of a state correction in a passed run.
constexpr MetaTest kStateRecoveredMeta[] = {
  {"source_of_truth",            Meta::kTrue},
  {"recovered_state_issue",      Meta::kTrue},
  {"source_of_truth_correction", Meta::kTrue},
  {"wrong_entity_selected",      Meta::kTrue},
  {"coordination_warning",       Meta::kTextIs, "state_recovered"},
  {"corrected_state_key",        Meta::kTextPresent},
};
constexpr MetaTest kSilentFailureMeta[] = {
  {"silent_failure",             Meta::kTrue},
  {kCompletionFailure,           Meta::kTextIs, "silent_failure_masked_as_success"},
  {"skipped_sources",            Meta::kList},
};
constexpr MetaTest kMissingComponentsMeta[] = {
  {kCompletionFailure,           Meta::kTextIs, "missing_components"},
  {kCompletionFailure,           Meta::kTextIs, "partial_completion"},
  {"missing_components",         Meta::kList},
  {"missing_sections",           Meta::kList},
  {"missing_component",          Meta::kHas},
};
// Counters of a retrieval or evidence step that report no evidence when 0.
constexpr std::string_view kEvidenceCounts[] = {"results_count", "evidence_count", "retrieval.documents.count"};
// clang-format on

bool coordination(const View& s, std::string_view word) {
  return holds(s.step, {kCoordination, Meta::kTextIs, word});
}
bool state_failure(const View& s, std::string_view word) {
  return holds(s.step, {kStateFailure, Meta::kTextIs, word});
}

bool artifact_marker_at(const View& s) {
  return meta_text(s.step, "artifact_type").has_value() || s.text(Kw::kArtifactText);
}

bool silent_counts_at(const View& s) {
  auto processed = meta_int(s.step, "processed_source_count");
  auto expected = meta_int(s.step, "expected_source_count");
  return processed && expected && *processed < *expected;
}

bool worker_types_differ_at(const View& s) {
  auto expected = meta_text(s.step, "expected_worker_type");
  auto actual = meta_text(s.step, "actual_worker_type");
  return expected && actual && *expected != *actual;
}

bool evidence_counted_empty_at(const View& s) {
  if (!s.type(Kw::kTypeEvidenceStep)) return false;
  for (std::string_view key : kEvidenceCounts) {
    if (meta_int(s.step, key) == 0) return true;
  }
  if (!meta_true(s.step, "has_evidence") && s.text(Kw::kNoEvidence)) return true;
  return s.text(Kw::kEmptyEvidenceText);
}

}  // namespace

// What a rule reads: the steps with their scans, the hits of the diagnostic summary, and
// the record as decided so far (positions, run status and the earlier rows).
class SignalReading {
 public:
  SignalReading(const Trace& trace, const std::vector<StepScan>& scans, const KeywordHits& summary,
                const TraceSignals& so_far)
      : sig(so_far), summary(summary), trace_(trace), scans_(scans) {
    for (size_t i = scans.size(); i-- > 0;) {
      if (has(scans[i].type, Kw::kTypeFinalOrOutput)) {
        final_position_ = i;
        break;
      }
    }
  }

  size_t size() const { return scans_.size(); }
  View at(size_t i) const { return View{trace_.steps[i], scans_[i]}; }
  std::optional<View> failed() const {
    if (!sig.failed_step_index) return std::nullopt;
    return at(*sig.failed_step_index);
  }
  // The last step whose type text names a final answer or output.
  std::optional<View> final_step() const {
    if (!final_position_) return std::nullopt;
    return at(*final_position_);
  }
  bool passed() const { return is_success_like(sig.run_status); }

  template <typename Pred>
  bool any(Pred&& pred) const {
    for (size_t i = 0; i < size(); ++i) {
      if (pred(at(i))) return true;
    }
    return false;
  }
  template <typename Pred>
  size_t count(Pred&& pred) const {
    size_t n = 0;
    for (size_t i = 0; i < size(); ++i) n += pred(at(i)) ? 1 : 0;
    return n;
  }

  const TraceSignals& sig;
  const KeywordHits& summary;

 private:
  const Trace& trace_;
  const std::vector<StepScan>& scans_;
  std::optional<size_t> final_position_;
};

namespace {

using R = const SignalReading&;
using S = const View&;

bool duplicate_task_key(R r) {
  std::unordered_set<std::string> seen;
  for (size_t i = 0; i < r.size(); ++i) {
    View s = r.at(i);
    if (!s.type(Kw::kTypePlanner)) continue;
    auto key = meta_text(s.step, "task_key");
    if (key && !seen.insert(std::move(*key)).second) return true;
  }
  return false;
}

// A later step done after the failed step.
bool done_after_failure(R r) {
  for (size_t i = *r.sig.failed_step_index + 1; i < r.size(); ++i) {
    if (r.at(i).scan.done) return true;
  }
  return false;
}

// Reasoning after the first failed tool step (by step_index), if that step has one.
bool reasoning_after_tool_failure(R r) {
  for (size_t i = 0; i < r.size(); ++i) {
    View s = r.at(i);
    if (!s.scan.status_failed || !s.type(Kw::kTypeToolOrApi) || !s.step.step_index) continue;
    const int64_t k = *s.step.step_index;
    return r.any([k](S later) {
      return later.step.step_index.value_or(-1) > k && later.type(Kw::kTypeReasonModelPlan);
    });
  }
  return false;
}

bool unsupported_confident_answer(R r) {
  auto f = r.final_step();
  if (!f || !r.sig.retrieval_evidence_empty) return false;
  return meta_false(f->step, "has_evidence") || f->text(Kw::kSpecificClaim) ||
         holds(f->step, {"confidence_style", Meta::kTextIs, "high"}) ||
         f->text(Kw::kUnsupportedPhrase) || f->text(Kw::kRequiresEmployees) ||
         has(r.summary, Kw::kConfidentSummary);
}

// clang-format off
// One row per signal, in the record's order. "Some step" rules stop at the first step that
// matches, in array order.
constexpr SignalFlag kFlags[] = {
  {"has_failed_step", &TraceSignals::has_failed_step,
   [](R r) { return r.failed().has_value(); }},
  {"failed_step_timeout", &TraceSignals::failed_step_timeout,
   [](R r) { auto f = r.failed(); return f && f->text(Kw::kFailedTimeout); }},
  {"failed_step_tool", &TraceSignals::failed_step_tool,
   [](R r) { auto f = r.failed(); return f && (f->type(Kw::kTypeTool) || f->text(Kw::kFailedToolText)); }},
  {"failed_step_retrieval", &TraceSignals::failed_step_retrieval,
   [](R r) { auto f = r.failed(); return f && (f->type(Kw::kTypeRetriev) || f->text(Kw::kFailedRetrievalText)); }},
  {"entity_mismatch_confirmed", &TraceSignals::entity_mismatch_confirmed,
   [](R r) { return r.sig.entity_mismatch && (r.sig.entity_ambiguity || r.sig.wrong_entity_grounding); },
   /*derived=*/true},
  {"entity_mismatch", &TraceSignals::entity_mismatch,
   [](R r) { return r.any([](S s) {
     bool validation = s.type(Kw::kTypeValidation);
     return (validation && s.scan.status_failed && meta_text(s.step, "wrong_entity_used")) ||
            (validation && meta_text(s.step, "requested_entity") && meta_text(s.step, "actual_best_match")) ||
            s.text(Kw::kEntityMismatchText); }); }},
  {"entity_ambiguity", &TraceSignals::entity_ambiguity,
   [](R r) { return r.any([](S s) {
     if (!s.type(Kw::kTypeEntityOrResolution)) return false;
     bool by_metadata = meta_text(s.step, "assumption") &&
                        (holds(s.step, {"confidence", Meta::kTextIs, "low"}) || meta_list(s.step, "alternative_matches"));
     bool by_text = (s.text(Kw::kConfidence) && s.text(Kw::kLow) && s.text(Kw::kAssumption)) ||
                    (s.text(Kw::kFoundMultiple) && s.text(Kw::kEntities)) || s.text(Kw::kAmbiguityText);
     return by_metadata || by_text; }); }},
  {"wrong_entity_grounding", &TraceSignals::wrong_entity_grounding,
   [](R r) { return r.any([](S s) { return any_meta(s, kWrongGroundingMeta) || s.text(Kw::kWrongGroundingText); }); }},
  {"retry_seen", &TraceSignals::retry_seen,
   [](R r) { return r.any([](S s) { return s.text(Kw::kRetryText) || (s.type(Kw::kTypeTool) && s.text(Kw::kAttempt)); }); }},
  {"recovered_after_failure", &TraceSignals::recovered_after_failure,
   [](R r) { return r.failed() && r.passed() && (r.sig.retry_seen || r.sig.failed_step_timeout) && done_after_failure(r); }},
  {"safety_block", &TraceSignals::safety_block,
   [](R r) { return r.any([](S s) { return s.text(Kw::kSafetyMarker); }); }},
  {"conflicting_outputs", &TraceSignals::conflicting_outputs,
   [](R r) { return r.any([](S s) {
     return coordination(s, "conflicting_outputs") || s.text(Kw::kConflictingSubAgent) ||
            (s.text(Kw::kConflicting) && s.text(Kw::kWorker)) ||
            (s.text(Kw::kArbiter) && s.text(Kw::kCouldNotBeReconciled)); }); }},
  {"missing_arbiter", &TraceSignals::missing_arbiter,
   [](R r) { return r.any([](S s) {
     return coordination(s, "missing_arbiter") || (s.text(Kw::kArbiter) && s.text(Kw::kNeverReconciled)) ||
            (s.text(Kw::kParallelWorker) && s.text(Kw::kNeverReconciled)) || s.text(Kw::kMissingArbitration); }); }},
  {"duplicate_delegation", &TraceSignals::duplicate_delegation,
   [](R r) { return r.any([](S s) { return coordination(s, "duplicate_delegation") || s.text(Kw::kDuplicateDelegation); }) ||
                    duplicate_task_key(r); }},
  {"missing_worker_result", &TraceSignals::missing_worker_result,
   [](R r) { return r.any([](S s) {
     return coordination(s, "missing_worker_result") || s.text(Kw::kMissingDelegatedResult) ||
            (s.text(Kw::kWorkerResult) && s.text(Kw::kNotReturned)) ||
            (s.text(Kw::kDelegatedWorkerResult) && s.text(Kw::kMissing)); }); }},
  {"handoff_field_missing", &TraceSignals::handoff_field_missing,
   [](R r) { return r.any([](S s) {
     return s.text(Kw::kHandoffText) ||
            (s.type(Kw::kTypeEmail) && meta_list(s.step, "expected_fields") && meta_list(s.step, "received_fields")) ||
            (s.text(Kw::kDownstreamHandoff) && s.text(Kw::kRecipient)); }); }},
  {"role_mismatch", &TraceSignals::role_mismatch,
   [](R r) { return r.any([](S s) {
     return coordination(s, "role_mismatch") || worker_types_differ_at(s) || s.text(Kw::kRoleMismatchText) ||
            (s.text(Kw::kDocumentReader) && s.text(Kw::kWebSearch)); }); }},
  {"parse_failure", &TraceSignals::parse_failure,
   [](R r) { return r.any([](S s) { return s.type(Kw::kTypeParse) || s.text(Kw::kParseText); }); }},
  {"artifact_marker", &TraceSignals::artifact_marker,
   [](R r) { return r.any(artifact_marker_at); }},
  {"masked_artifact_failure", &TraceSignals::masked_artifact_failure,
   [](R r) { return r.passed() &&
                    r.any([](S s) { return s.scan.status_failed && s.type(Kw::kTypeRetriev) && artifact_marker_at(s); }) &&
                    r.any([](S s) { return s.scan.done && s.type(Kw::kTypeFinalOrOutput); }); }},
  {"state_recovered", &TraceSignals::state_recovered,
   [](R r) { return r.passed() && r.any([](S s) { return any_meta(s, kStateRecoveredMeta) || s.text(Kw::kStateRecoveredText); }); }},
  {"conflict_recovered", &TraceSignals::conflict_recovered,
   [](R r) { return r.passed() && r.any([](S s) { return coordination(s, "conflict_recovered") || s.text(Kw::kConflictRecoveredText); }); }},
  {"retrieval_evidence_empty", &TraceSignals::retrieval_evidence_empty,
   [](R r) { return r.any(evidence_counted_empty_at) || has(r.summary, Kw::kEmptyEvidenceSummary); }},
  {"unsupported_confident_answer", &TraceSignals::unsupported_confident_answer,
   unsupported_confident_answer},
  {"fallback_answer", &TraceSignals::fallback_answer,
   [](R r) { auto f = r.final_step(); return f && f->text(Kw::kFallbackText); }},
  {"crm_lookup_fallback", &TraceSignals::crm_lookup_fallback,
   [](R r) { return r.any([](S s) { return s.scan.status_failed && s.type(Kw::kTypeCrmOrLookup) && s.text(Kw::kNotFound); }) &&
                    r.any([](S s) { return s.scan.done && s.type(Kw::kTypeFinalOrOutput) && s.text(Kw::kCrmFallbackText); }); }},
  {"missing_required_state", &TraceSignals::missing_required_state,
   [](R r) { return r.any([](S s) { return state_failure(s, "missing_required_state") || s.text(Kw::kMissingStateText); }); }},
  {"stale_memory", &TraceSignals::stale_memory,
   [](R r) { return r.any([](S s) { return state_failure(s, "stale_memory") || s.text(Kw::kStaleMemoryText); }); }},
  {"state_corruption", &TraceSignals::state_corruption,
   [](R r) { return r.any([](S s) { return state_failure(s, "state_corruption") || s.text(Kw::kStateCorruptionText); }); }},
  {"reasoning_loop", &TraceSignals::reasoning_loop,
   [](R r) { return r.count([](S s) { return s.type(Kw::kTypeReasonModelPlan) && s.text(Kw::kLoopText); }) >= 2 ||
                    r.count([](S s) { return s.text(Kw::kLoopFragment); }) >= 2; }},
  {"silent_failure", &TraceSignals::silent_failure,
   [](R r) { return r.any([](S s) { return any_meta(s, kSilentFailureMeta) || silent_counts_at(s) || s.text(Kw::kSilentFailureText); }); }},
  {"missing_components", &TraceSignals::missing_components,
   [](R r) { return r.any([](S s) { return any_meta(s, kMissingComponentsMeta) || s.text(Kw::kMissingComponentsText); }); }},
  {"tool_output_misread", &TraceSignals::tool_output_misread,
   [](R r) { return r.any([](S s) { return s.text(Kw::kToolMisreadText); }); }},
  {"wrong_page_navigation", &TraceSignals::wrong_page_navigation,
   [](R r) { return r.any([](S s) { return s.text(Kw::kWrongPageText); }); }},
  {"repeated_empty_search", &TraceSignals::repeated_empty_search,
   [](R r) { return r.count([](S s) { return s.type(Kw::kKindRetrieve) && s.text(Kw::kEmptySearchText); }) >= 2; }},
  {"reasoning_after_tool_failure", &TraceSignals::reasoning_after_tool_failure,
   reasoning_after_tool_failure},
  {"parser_error_with_safety_block", &TraceSignals::parser_error_with_safety_block,
   [](R r) { return r.sig.safety_block && r.any([](S s) { return s.text(Kw::kParserErrorText); }); }},
  {"ambiguous_entity_hint", &TraceSignals::ambiguous_entity_hint,
   [](R r) { return r.any([](S s) {
     return s.type(Kw::kTypeEntityHint) &&
            (meta_list(s.step, "alternative_matches") || meta_text(s.step, "assumption") || s.text(Kw::kAmbiguousHintText)); }); }},
};
// clang-format on

}  // namespace

std::span<const SignalFlag> signal_flags() {
  return kFlags;
}

StepScan scan_step(const TraceStep& step) {
  const KeywordMatcher& matcher = keyword_matcher();
  StepJson json = serialise_step_json(step);
  StepScan out;

  KeywordScan text(matcher), loose(matcher);
  feed_step_and_loose_texts(text, loose, step, json);
  out.text = text.hits();
  out.loose = loose.hits();

  KeywordScan type(matcher);
  if (step.step_type) type.feed_norm(*step.step_type);
  out.type = type.hits();

  const std::string status = status_text(step);
  out.status_failed = status == "failed";
  out.failed = is_failed_status(status);
  out.done = is_done_status(status);
  out.lower_failed = step.status && lower(*step.status) == "failed";
  return out;
}

TraceScan scan_trace(const Trace& trace, uint64_t slow_threshold_ms) {
  TraceScan out{trace, {}, scan_keywords(norm(trace.diagnostic_summary)), {}};
  out.step_scans.reserve(trace.steps.size());
  for (const auto& step : trace.steps) out.step_scans.push_back(scan_step(step));

  TraceSignals& sig = out.signals;
  sig.slow_threshold_ms = slow_threshold_ms;
  for (size_t i = 0; i < out.step_scans.size() && !sig.failed_step_index; ++i) {
    if (out.step_scans[i].failed) sig.failed_step_index = i;
  }
  sig.slowest_step_index = slowest_step(trace.steps);
  sig.run_status = norm(trace.status);

  const SignalReading reading(trace, out.step_scans, out.summary_hits, sig);
  for (bool derived : {false, true}) {
    for (const auto& flag : kFlags) {
      if (flag.derived == derived) sig.*flag.member = flag.rule(reading);
    }
  }
  sig.slow_retrieval_count =
      reading.count([&](S s) { return is_slow_retrieval(s.scan.type, s.step, slow_threshold_ms); });
  return out;
}

TraceSignals extract_signals(const Trace& trace, uint64_t slow_threshold_ms) {
  return scan_trace(trace, slow_threshold_ms).signals;
}

}  // namespace tracedx
