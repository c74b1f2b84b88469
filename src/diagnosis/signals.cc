#include "diagnosis/signals.h"

#include <algorithm>
#include <unordered_set>

#include "diagnosis/keywords.h"
#include "diagnosis/step_probes.h"
#include "text/text.h"

namespace tracedx {
namespace {

constexpr SignalFlag kFlags[] = {
    {"has_failed_step", &TraceSignals::has_failed_step},
    {"failed_step_timeout", &TraceSignals::failed_step_timeout},
    {"failed_step_tool", &TraceSignals::failed_step_tool},
    {"failed_step_retrieval", &TraceSignals::failed_step_retrieval},
    {"entity_mismatch_confirmed", &TraceSignals::entity_mismatch_confirmed},
    {"entity_mismatch", &TraceSignals::entity_mismatch},
    {"entity_ambiguity", &TraceSignals::entity_ambiguity},
    {"wrong_entity_grounding", &TraceSignals::wrong_entity_grounding},
    {"retry_seen", &TraceSignals::retry_seen},
    {"recovered_after_failure", &TraceSignals::recovered_after_failure},
    {"safety_block", &TraceSignals::safety_block},
    {"conflicting_outputs", &TraceSignals::conflicting_outputs},
    {"missing_arbiter", &TraceSignals::missing_arbiter},
    {"duplicate_delegation", &TraceSignals::duplicate_delegation},
    {"missing_worker_result", &TraceSignals::missing_worker_result},
    {"handoff_field_missing", &TraceSignals::handoff_field_missing},
    {"role_mismatch", &TraceSignals::role_mismatch},
    {"parse_failure", &TraceSignals::parse_failure},
    {"artifact_marker", &TraceSignals::artifact_marker},
    {"masked_artifact_failure", &TraceSignals::masked_artifact_failure},
    {"state_recovered", &TraceSignals::state_recovered},
    {"conflict_recovered", &TraceSignals::conflict_recovered},
    {"retrieval_evidence_empty", &TraceSignals::retrieval_evidence_empty},
    {"unsupported_confident_answer", &TraceSignals::unsupported_confident_answer},
    {"fallback_answer", &TraceSignals::fallback_answer},
    {"crm_lookup_fallback", &TraceSignals::crm_lookup_fallback},
    {"missing_required_state", &TraceSignals::missing_required_state},
    {"stale_memory", &TraceSignals::stale_memory},
    {"state_corruption", &TraceSignals::state_corruption},
    {"reasoning_loop", &TraceSignals::reasoning_loop},
    {"silent_failure", &TraceSignals::silent_failure},
    {"missing_components", &TraceSignals::missing_components},
    {"tool_output_misread", &TraceSignals::tool_output_misread},
    {"wrong_page_navigation", &TraceSignals::wrong_page_navigation},
    {"repeated_empty_search", &TraceSignals::repeated_empty_search},
    {"reasoning_after_tool_failure", &TraceSignals::reasoning_after_tool_failure},
    {"parser_error_with_safety_block", &TraceSignals::parser_error_with_safety_block},
    {"ambiguous_entity_hint", &TraceSignals::ambiguous_entity_hint},
};

// A step of the trace together with its scan, as the rules see it.
struct View {
  const TraceStep& step;
  const StepScan& scan;
  bool text(Kw list) const { return has(scan.text, list); }
  bool type(Kw list) const { return has(scan.type, list); }
  bool meta_is(std::string_view key, std::string_view word) const {
    auto value = meta_text(step, key);
    return value && *value == word;
  }
};

class Steps {
 public:
  Steps(const Trace& trace, const std::vector<StepScan>& scans) : trace_(trace), scans_(scans) {}

  size_t size() const { return scans_.size(); }
  View at(size_t i) const { return View{trace_.steps[i], scans_[i]}; }

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

 private:
  const Trace& trace_;
  const std::vector<StepScan>& scans_;
};

bool run_passed(std::string_view run_status) {
  return run_status == "passed" || run_status == "success" || run_status == "completed";
}

bool artifact_marker_of(const View& s) {
  return meta_text(s.step, "artifact_type").has_value() || s.text(Kw::kArtifactText);
}

bool evidence_empty(const Steps& steps, const KeywordHits& summary_hits) {
  bool counted = steps.any([](const View& s) {
    if (!s.type(Kw::kTypeEvidenceStep)) return false;
    for (std::string_view key : {"results_count", "evidence_count", "retrieval.documents.count"}) {
      if (meta_int(s.step, key) == 0) return true;
    }
    if (!meta_true(s.step, "has_evidence") && s.text(Kw::kNoEvidence)) return true;
    return s.text(Kw::kEmptyEvidenceText);
  });
  return counted || has(summary_hits, Kw::kEmptyEvidenceSummary);
}

bool duplicate_task_key(const Steps& steps) {
  std::unordered_set<std::string> seen;
  for (size_t i = 0; i < steps.size(); ++i) {
    View s = steps.at(i);
    if (!s.type(Kw::kTypePlanner)) continue;
    auto key = meta_text(s.step, "task_key");
    if (key && !seen.insert(std::move(*key)).second) return true;
  }
  return false;
}

void feed_lower_opt(KeywordScan& scan, const std::optional<std::string>& text) {
  if (text) scan.feed_lower(*text);
}

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

  KeywordScan nav(matcher);
  feed_lower_opt(nav, step.summary);
  nav.feed(' ');
  feed_lower_opt(nav, step.error_message);
  nav.feed(' ');
  feed_lower_opt(nav, step.step_type);
  out.nav = nav.hits();

  out.status = status_text(step);
  out.failed = out.status == "error" || out.status == "failed";
  out.done = out.status == "completed" || out.status == "success";
  out.lower_failed = step.status && lower(*step.status) == "failed";
  return out;
}

bool retrieval_evidence_is_empty(const Trace& trace) {
  std::vector<StepScan> scans;
  scans.reserve(trace.steps.size());
  for (const auto& step : trace.steps) scans.push_back(scan_step(step));
  return evidence_empty(Steps(trace, scans), scan_keywords(norm(trace.diagnostic_summary)));
}

TraceSignals extract_signals(const Trace& trace, uint64_t slow_threshold_ms) {
  TraceSignals sig;
  sig.trace = &trace;
  sig.slow_threshold_ms = slow_threshold_ms;
  sig.step_scans.reserve(trace.steps.size());
  for (const auto& step : trace.steps) sig.step_scans.push_back(scan_step(step));
  sig.summary_hits = scan_keywords(norm(trace.diagnostic_summary));
  const Steps steps(trace, sig.step_scans);
  const size_t n = steps.size();

  // Positions and the run status.
  for (size_t i = 0; i < n && !sig.failed_step_index; ++i) {
    if (sig.step_scans[i].failed) sig.failed_step_index = i;
  }
  sig.has_failed_step = sig.failed_step_index.has_value();
  std::optional<uint64_t> longest;
  for (size_t i = 0; i < n; ++i) {
    auto d = trace.steps[i].duration_ms;
    if (d && (!longest || *d >= *longest)) {
      longest = d;
      sig.slowest_step_index = i;
    }
  }
  sig.run_status = norm(trace.status);
  const bool passed = run_passed(sig.run_status);

  // The failed step's markers.
  if (sig.failed_step_index) {
    View f = steps.at(*sig.failed_step_index);
    sig.failed_step_timeout = f.text(Kw::kFailedTimeout);
    sig.failed_step_tool = f.type(Kw::kTypeTool) || f.text(Kw::kFailedToolText);
    sig.failed_step_retrieval = f.type(Kw::kTypeRetriev) || f.text(Kw::kFailedRetrievalText);
  }

  // The entity family.
  sig.entity_mismatch = steps.any([](const View& s) {
    bool validation = s.type(Kw::kTypeValidation);
    return (validation && s.scan.status == "failed" && meta_text(s.step, "wrong_entity_used")) ||
           (validation && meta_text(s.step, "requested_entity") &&
            meta_text(s.step, "actual_best_match")) ||
           s.text(Kw::kEntityMismatchText);
  });
  sig.entity_ambiguity = steps.any([](const View& s) {
    if (!s.type(Kw::kTypeEntityOrResolution)) return false;
    bool by_metadata = meta_text(s.step, "assumption") &&
                       (s.meta_is("confidence", "low") || meta_list(s.step, "alternative_matches"));
    bool by_text = (s.text(Kw::kConfidence) && s.text(Kw::kLow) && s.text(Kw::kAssumption)) ||
                   (s.text(Kw::kFoundMultiple) && s.text(Kw::kEntities)) ||
                   s.text(Kw::kAmbiguityText);
    return by_metadata || by_text;
  });
  sig.wrong_entity_grounding = steps.any([](const View& s) {
    return meta_true(s.step, "grounded_on_wrong_entity") ||
           meta_true(s.step, "uses_unverified_assumption") ||
           meta_true(s.step, "wrong_entity_selected") || s.text(Kw::kWrongGroundingText);
  });
  sig.entity_mismatch_confirmed =
      sig.entity_mismatch && (sig.entity_ambiguity || sig.wrong_entity_grounding);

  // Retries and recovery.
  sig.retry_seen = steps.any([](const View& s) {
    return s.text(Kw::kRetryText) || (s.type(Kw::kTypeTool) && s.text(Kw::kAttempt));
  });
  if (sig.failed_step_index && passed && (sig.retry_seen || sig.failed_step_timeout)) {
    for (size_t i = *sig.failed_step_index + 1; i < n; ++i) {
      if (sig.step_scans[i].done) {
        sig.recovered_after_failure = true;
        break;
      }
    }
  }

  // Safety and parsing.
  sig.safety_block = steps.any([](const View& s) { return s.text(Kw::kSafetyMarker); });
  sig.parse_failure =
      steps.any([](const View& s) { return s.type(Kw::kTypeParse) || s.text(Kw::kParseText); });

  // Coordination between workers.
  sig.conflicting_outputs = steps.any([](const View& s) {
    return coordination_failure_is(s.step, "conflicting_outputs") ||
           s.text(Kw::kConflictingSubAgent) || (s.text(Kw::kConflicting) && s.text(Kw::kWorker)) ||
           (s.text(Kw::kArbiter) && s.text(Kw::kCouldNotBeReconciled));
  });
  sig.missing_arbiter = steps.any([](const View& s) {
    return coordination_failure_is(s.step, "missing_arbiter") ||
           (s.text(Kw::kArbiter) && s.text(Kw::kNeverReconciled)) ||
           (s.text(Kw::kParallelWorker) && s.text(Kw::kNeverReconciled)) ||
           s.text(Kw::kMissingArbitration);
  });
  sig.duplicate_delegation = steps.any([](const View& s) {
    return coordination_failure_is(s.step, "duplicate_delegation") ||
           s.text(Kw::kDuplicateDelegation);
  }) || duplicate_task_key(steps);
  sig.missing_worker_result = steps.any([](const View& s) {
    return coordination_failure_is(s.step, "missing_worker_result") ||
           s.text(Kw::kMissingDelegatedResult) ||
           (s.text(Kw::kWorkerResult) && s.text(Kw::kNotReturned)) ||
           (s.text(Kw::kDelegatedWorkerResult) && s.text(Kw::kMissing));
  });
  sig.handoff_field_missing = steps.any([](const View& s) {
    return s.text(Kw::kHandoffText) ||
           (s.type(Kw::kTypeEmail) && meta_list(s.step, "expected_fields") &&
            meta_list(s.step, "received_fields")) ||
           (s.text(Kw::kDownstreamHandoff) && s.text(Kw::kRecipient));
  });
  sig.role_mismatch = steps.any([](const View& s) {
    auto expected = meta_text(s.step, "expected_worker_type");
    auto actual = meta_text(s.step, "actual_worker_type");
    return coordination_failure_is(s.step, "role_mismatch") ||
           (expected && actual && *expected != *actual) || s.text(Kw::kRoleMismatchText) ||
           (s.text(Kw::kDocumentReader) && s.text(Kw::kWebSearch));
  });

  // Artifacts and recoveries of a passed run.
  sig.artifact_marker = steps.any(artifact_marker_of);
  if (passed) {
    sig.conflict_recovered = steps.any([](const View& s) {
      return coordination_failure_is(s.step, "conflict_recovered") ||
             s.text(Kw::kConflictRecoveredText);
    });
    sig.masked_artifact_failure = steps.any([](const View& s) {
      return s.scan.status == "failed" && s.type(Kw::kTypeRetriev) && artifact_marker_of(s);
    }) && steps.any([](const View& s) { return s.scan.done && s.type(Kw::kTypeFinalOrOutput); });
    sig.state_recovered = steps.any([](const View& s) {
      return meta_true(s.step, "source_of_truth") || meta_true(s.step, "recovered_state_issue") ||
             meta_true(s.step, "source_of_truth_correction") ||
             meta_true(s.step, "wrong_entity_selected") ||
             s.meta_is("coordination_warning", "state_recovered") ||
             meta_text(s.step, "corrected_state_key").has_value() ||
             s.text(Kw::kStateRecoveredText);
    });
  }

  // Evidence and the final answer.
  sig.retrieval_evidence_empty = evidence_empty(steps, sig.summary_hits);
  std::optional<size_t> final_pos;
  for (size_t i = n; i-- > 0;) {
    if (has(sig.step_scans[i].type, Kw::kTypeFinalOrOutput)) {
      final_pos = i;
      break;
    }
  }
  if (final_pos) {
    View f = steps.at(*final_pos);
    bool no_evidence_flag = meta_false(f.step, "has_evidence");
    bool specific_claim = f.text(Kw::kSpecificClaim);
    bool high_confidence = f.meta_is("confidence_style", "high");
    bool empty = sig.retrieval_evidence_empty;
    if (no_evidence_flag || specific_claim || high_confidence) {
      sig.unsupported_confident_answer = empty;
    } else if (f.text(Kw::kUnsupportedPhrase)) {
      sig.unsupported_confident_answer = empty;
    } else {
      sig.unsupported_confident_answer =
          empty && (f.text(Kw::kRequiresEmployees) || has(sig.summary_hits, Kw::kConfidentSummary));
    }
    sig.fallback_answer = f.text(Kw::kFallbackText);
  }
  sig.crm_lookup_fallback = steps.any([](const View& s) {
    return s.scan.status == "failed" && s.type(Kw::kTypeCrmOrLookup) && s.text(Kw::kNotFound);
  }) && steps.any([](const View& s) {
    return s.scan.done && s.type(Kw::kTypeFinalOrOutput) && s.text(Kw::kCrmFallbackText);
  });

  // Memory state.
  sig.missing_required_state = steps.any([](const View& s) {
    return s.meta_is("state_failure", "missing_required_state") || s.text(Kw::kMissingStateText);
  });
  sig.stale_memory = steps.any([](const View& s) {
    return s.meta_is("state_failure", "stale_memory") || s.text(Kw::kStaleMemoryText);
  });
  sig.state_corruption = steps.any([](const View& s) {
    return s.meta_is("state_failure", "state_corruption") || s.text(Kw::kStateCorruptionText);
  });

  // Loops, completion, tools and navigation.
  size_t loop_steps = steps.count(
      [](const View& s) { return s.type(Kw::kTypeReasonModelPlan) && s.text(Kw::kLoopText); });
  size_t loop_fragments = steps.count([](const View& s) { return s.text(Kw::kLoopFragment); });
  sig.reasoning_loop = loop_steps >= 2 || loop_fragments >= 2;
  sig.silent_failure = steps.any([](const View& s) {
    auto processed = meta_int(s.step, "processed_source_count");
    auto expected = meta_int(s.step, "expected_source_count");
    return meta_true(s.step, "silent_failure") ||
           s.meta_is("completion_failure", "silent_failure_masked_as_success") ||
           (processed && expected && *processed < *expected) ||
           meta_list(s.step, "skipped_sources") || s.text(Kw::kSilentFailureText);
  });
  sig.missing_components = steps.any([](const View& s) {
    return s.meta_is("completion_failure", "missing_components") ||
           s.meta_is("completion_failure", "partial_completion") ||
           meta_list(s.step, "missing_components") || meta_list(s.step, "missing_sections") ||
           meta_has(s.step, "missing_component") || s.text(Kw::kMissingComponentsText);
  });
  sig.tool_output_misread = steps.any([](const View& s) { return s.text(Kw::kToolMisreadText); });
  sig.wrong_page_navigation = steps.any([](const View& s) { return s.text(Kw::kWrongPageText); });
  sig.repeated_empty_search = steps.count([](const View& s) {
    return s.type(Kw::kKindRetrieve) && s.text(Kw::kEmptySearchText);
  }) >= 2;
  for (size_t i = 0; i < n; ++i) {
    View s = steps.at(i);
    if (s.scan.status != "failed" || !s.type(Kw::kTypeToolOrApi) || !s.step.step_index) continue;
    const int64_t k = *s.step.step_index;
    sig.reasoning_after_tool_failure = steps.any([k](const View& later) {
      return later.step.step_index.value_or(-1) > k && later.type(Kw::kTypeReasonModelPlan);
    });
    break;
  }

  sig.parser_error_with_safety_block =
      sig.safety_block && steps.any([](const View& s) { return s.text(Kw::kParserErrorText); });
  sig.ambiguous_entity_hint = steps.any([](const View& s) {
    return s.type(Kw::kTypeEntityHint) &&
           (meta_list(s.step, "alternative_matches") || meta_text(s.step, "assumption") ||
            s.text(Kw::kAmbiguousHintText));
  });

  sig.slow_retrieval_count = steps.count([&](const View& s) {
    return s.type(Kw::kKindRetrieve) && s.step.duration_ms.value_or(0) >= slow_threshold_ms;
  });
  return sig;
}

}  // namespace tracedx
