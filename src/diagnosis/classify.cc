#include "diagnosis/classify.h"

#include "diagnosis/keywords.h"
#include "diagnosis/step_probes.h"
#include "text/json_writer.h"
#include "text/text.h"

namespace tracedx {
namespace {

// What the checks read: the signals, the failed step and texts built only when asked.
class Context {
 public:
  explicit Context(const TraceScan& scan)
      : sig(scan.signals),
        trace(scan.trace),
        step_scans(scan.step_scans),
        summary_hits(scan.summary_hits) {
    success_like = is_success_like(sig.run_status);
    if (sig.failed_step_index && *sig.failed_step_index < trace.steps.size()) {
      failed = &trace.steps[*sig.failed_step_index];
      failed_scan = &step_scans[*sig.failed_step_index];
    }
  }

  bool summary(Kw list) const { return has(summary_hits, list); }
  bool failed_text(Kw list) const { return failed_scan && has(failed_scan->text, list); }
  bool failed_type(Kw list) const { return failed_scan && has(failed_scan->type, list); }
  StepKind failed_kind() const {
    return failed_scan ? step_kind_of_hits(failed_scan->type) : StepKind::kOther;
  }

  // The failed step's summary, error_message and raw_output, lowercased.
  bool failed_context(Kw list) const {
    if (!failed) return false;
    if (!context_hits_) {
      KeywordScan scan(keyword_matcher());
      scan.feed_lower(failed->summary.value_or(""));
      scan.feed(' ');
      scan.feed_lower(failed->error_message.value_or(""));
      scan.feed(' ');
      if (failed->raw_output) scan.feed_lower(compact_json(*failed->raw_output));
      context_hits_ = scan.hits();
    }
    return has(*context_hits_, list);
  }

  // Summary and raw_output of the last final/output step, lowercased; empty without one.
  bool final_text(Kw list) const {
    if (!final_hits_) {
      KeywordScan scan(keyword_matcher());
      for (size_t i = trace.steps.size(); i-- > 0;) {
        if (!has(step_scans[i].type, Kw::kTypeFinalOrOutput)) continue;
        const TraceStep& f = trace.steps[i];
        scan.feed_lower(f.summary.value_or(""));
        scan.feed(' ');
        if (f.raw_output) scan.feed_lower(compact_json(*f.raw_output));
        break;
      }
      final_hits_ = scan.hits();
    }
    return has(*final_hits_, list);
  }

  const TraceSignals& sig;
  const Trace& trace;
  const std::vector<StepScan>& step_scans;
  const KeywordHits& summary_hits;
  bool success_like = false;
  const TraceStep* failed = nullptr;
  const StepScan* failed_scan = nullptr;

 private:
  mutable std::optional<KeywordHits> context_hits_;
  mutable std::optional<KeywordHits> final_hits_;
};

using Fires = bool (*)(const Context&);

// Group A: retrieval checks.
enum class Anchor : uint8_t {
  kFailedStep,             // the failed step
  kLastOfType,             // the last step whose type text matches the list
  kFailedElseFirstOfType,  // the failed step, else the first step whose type matches
  kFailedElseFirstNav,     // the failed step, else the first whose summary/error/type matches
};

struct RetrievalCheck {
  Cat cat;
  bool TraceSignals::*fires;
  Anchor anchor;
  Kw list;
};

constexpr RetrievalCheck kRetrievalChecks[] = {
    {Cat::kUnsupportedAfterEmptyRetrieval, &TraceSignals::unsupported_confident_answer,
     Anchor::kLastOfType, Kw::kTypeFinalOrOutput},
    {Cat::kToolOutputMisinterpretation, &TraceSignals::tool_output_misread,
     Anchor::kFailedElseFirstOfType, Kw::kTypeRetrievSearchOutput},
    {Cat::kWrongPageNavigation, &TraceSignals::wrong_page_navigation, Anchor::kFailedElseFirstNav,
     Kw::kWrongPageAnchor},
    {Cat::kNavigationLoopWithoutProgress, &TraceSignals::repeated_empty_search,
     Anchor::kFailedElseFirstOfType, Kw::kTypeRetrievSearch},
    {Cat::kGenericFallback, &TraceSignals::fallback_answer, Anchor::kFailedElseFirstOfType,
     Kw::kTypeRetrievSearchLookup},
    {Cat::kGenericRetrievalFailure, &TraceSignals::failed_step_retrieval, Anchor::kFailedStep,
     Kw::kCount},
};

// Any of these switches the retrieval checks off.
constexpr bool TraceSignals::*kRetrievalGateOff[] = {
    &TraceSignals::conflicting_outputs,   &TraceSignals::missing_arbiter,
    &TraceSignals::duplicate_delegation,  &TraceSignals::missing_worker_result,
    &TraceSignals::handoff_field_missing, &TraceSignals::role_mismatch,
    &TraceSignals::parse_failure,         &TraceSignals::masked_artifact_failure,
    &TraceSignals::state_recovered,
};

// Group B: failed-step signal checks (each also needs the failed step).
struct Check {
  Cat cat;
  Fires fires;
};

// clang-format off
constexpr Check kFailedSignalChecks[] = {
  {Cat::kSafetyPolicy,          [](const Context& c) { return c.sig.safety_block; }},
  {Cat::kTimeout,               [](const Context& c) { return c.sig.failed_step_timeout && !(c.success_like && c.sig.recovered_after_failure); }},
  {Cat::kContextPoisoning,      [](const Context& c) { return c.sig.entity_mismatch_confirmed || c.summary(Kw::kContextSummary) || c.failed_context(Kw::kContextFailedText); }},
  {Cat::kMissingRequiredState,  [](const Context& c) { return c.sig.missing_required_state; }},
  {Cat::kStaleMemory,           [](const Context& c) { return c.sig.stale_memory; }},
  {Cat::kStateCorruption,       [](const Context& c) { return c.sig.state_corruption; }},
  {Cat::kParseFailure,          [](const Context& c) { return c.sig.parse_failure; }},
  {Cat::kReasoningLoop,         [](const Context& c) { return c.sig.reasoning_loop; }},
  {Cat::kConflictingOutputs,    [](const Context& c) { return c.sig.conflicting_outputs; }},
  {Cat::kMissingArbiter,        [](const Context& c) { return c.sig.missing_arbiter; }},
  {Cat::kMissingWorkerResult,   [](const Context& c) { return c.sig.missing_worker_result; }},
  {Cat::kDuplicateDelegation,   [](const Context& c) { return c.sig.duplicate_delegation; }},
  {Cat::kToolOutputMisinterpretationFailure, [](const Context& c) { return c.sig.tool_output_misread; }},
  {Cat::kHandoffPayloadFailure, [](const Context& c) { return c.sig.handoff_field_missing; }},
  {Cat::kPartialCompletionFailure, [](const Context& c) { return c.sig.missing_components; }},
  {Cat::kSilentFailure,         [](const Context& c) { return c.sig.silent_failure; }},
  {Cat::kRoleMismatch,          [](const Context& c) { return c.sig.role_mismatch; }},
  {Cat::kFailedLookupWithFallback, [](const Context& c) { return c.sig.crm_lookup_fallback; }},
  {Cat::kToolFailure,           [](const Context& c) { return c.sig.failed_step_tool; }},
  {Cat::kGenericFailure,        [](const Context&) { return true; }},
};

// Group C: failed-step text checks.
constexpr Check kFailedTextChecks[] = {
  {Cat::kInvalidJsonResponse,         [](const Context& c) { return c.failed_text(Kw::kInvalidJson); }},
  {Cat::kSchemaMismatch,              [](const Context& c) { return c.failed_text(Kw::kSchemaMismatch); }},
  {Cat::kToolOutputFormatFailure,     [](const Context& c) { return c.failed_text(Kw::kToolOutputFormat); }},
  {Cat::kGroundingFailure,            [](const Context& c) {
     StepKind k = c.failed_kind();
     return (k == StepKind::kRetrieve || k == StepKind::kReason || k == StepKind::kOutput) && c.failed_text(Kw::kGrounding); }},
  {Cat::kReflectionDependencyFailure, [](const Context& c) { return c.failed_type(Kw::kTypeReflection) && c.failed_text(Kw::kDependency); }},
  {Cat::kLlmReflectionFailure,        [](const Context& c) { return c.failed_type(Kw::kTypeReflection); }},
  {Cat::kResponseDraftingFailure,     [](const Context& c) { return c.failed_kind() == StepKind::kOutput && c.failed_text(Kw::kDrafting); }},
};

// Group D: success checks (no anchor).
constexpr Check kSuccessChecks[] = {
  {Cat::kRecoveredTimeoutAfterRetry,  [](const Context& c) { return c.sig.failed_step_timeout && c.sig.recovered_after_failure; }},
  {Cat::kUnsupportedAfterEmptyRetrievalSuccess, [](const Context& c) {
     return c.sig.unsupported_confident_answer ||
            (c.sig.retrieval_evidence_empty && (c.summary(Kw::kUnsupportedSummary) || c.final_text(Kw::kUnsupportedFinal))); }},
  {Cat::kSilentFailureSuccess,        [](const Context& c) { return c.sig.silent_failure; }},
  {Cat::kPartialCompletionSuccess,    [](const Context& c) { return c.sig.missing_components; }},
  {Cat::kRecoveredCoordinationConflict, [](const Context& c) { return c.sig.conflict_recovered; }},
  {Cat::kRecoveredStateIssue,         [](const Context& c) { return c.sig.state_recovered; }},
  {Cat::kLoopLikeSearchSuccess,       [](const Context& c) { return c.sig.repeated_empty_search || c.sig.reasoning_loop; }},
  {Cat::kSlowRetrievalSuccess,        [](const Context& c) { return c.sig.slow_retrieval_count >= 2; }},
  {Cat::kRecoveredNoisyArtifact,      [](const Context& c) { return c.sig.masked_artifact_failure; }},
  {Cat::kHealthyRun,                  [](const Context&) { return true; }},
};
// clang-format on

const TraceStep* find_anchor(const Context& c, Anchor anchor, Kw list) {
  if (anchor == Anchor::kFailedStep) return c.failed;
  const auto& scans = c.step_scans;
  if (anchor == Anchor::kLastOfType) {
    for (size_t i = scans.size(); i-- > 0;) {
      if (has(scans[i].type, list)) return &c.trace.steps[i];
    }
    return nullptr;
  }
  if (c.failed) return c.failed;
  for (size_t i = 0; i < scans.size(); ++i) {
    const TraceStep& step = c.trace.steps[i];
    if (anchor == Anchor::kFailedElseFirstNav ? has(nav_hits(step), list)
                                              : has(scans[i].type, list))
      return &step;
  }
  return nullptr;
}

uint32_t score_of(Cat cat, const TraceSignals& s) {
  const Category& c = category(cat);
  return s.recovered_after_failure && c.recovered_score ? c.recovered_score : c.score;
}

}  // namespace

std::vector<Candidate> collect_candidates(const TraceScan& scan) {
  const Context c(scan);
  const TraceSignals& signals = scan.signals;
  std::vector<Candidate> out;
  auto add = [&](Cat cat, const TraceStep* anchor) {
    out.push_back(Candidate{cat, score_of(cat, signals), anchor});
  };

  bool retrieval_on = true;
  for (auto gate : kRetrievalGateOff) retrieval_on = retrieval_on && !(signals.*gate);
  if (retrieval_on) {
    for (const auto& check : kRetrievalChecks) {
      if (!(signals.*check.fires)) continue;
      if (check.anchor == Anchor::kFailedStep && !c.failed) continue;
      add(check.cat, find_anchor(c, check.anchor, check.list));
    }
  }

  bool masked = c.success_like && (signals.masked_artifact_failure || signals.state_recovered);
  if (c.failed && !masked) {
    for (const auto& check : kFailedSignalChecks) {
      if (check.fires(c)) add(check.cat, c.failed);
    }
  }

  if (!c.success_like && c.failed) {
    for (const auto& check : kFailedTextChecks) {
      if (check.fires(c)) add(check.cat, c.failed);
    }
  }

  if (c.success_like) {
    for (const auto& check : kSuccessChecks) {
      if (check.fires(c)) add(check.cat, nullptr);
    }
  }
  return out;
}

const Candidate* select_primary(std::span<const Candidate> candidates) {
  // A later candidate replaces the best on a higher score, or on an equal score with a key
  // at least as great (a key that is a prefix of another is the smaller).
  const Candidate* best = nullptr;
  for (const auto& candidate : candidates) {
    if (!best || candidate.score > best->score ||
        (candidate.score == best->score &&
         category(candidate.cat).key >= category(best->cat).key)) {
      best = &candidate;
    }
  }
  return best;
}

std::optional<RootCause> classify_primary(const TraceScan& scan) {
  std::vector<Candidate> candidates = collect_candidates(scan);
  const Candidate* best = select_primary(candidates);
  if (!best) return std::nullopt;
  return build_finding(category(best->cat).text, best->anchor, scan.signals);
}

}  // namespace tracedx
