#include "diagnosis/recommendations.h"

namespace tracedx {
namespace {

constexpr std::string_view kDefaultAction =
    "Add better validation and error handling around critical steps.";

// clang-format off
// Healthy and recovered runs: a baseline to keep, not a failure to fix.
constexpr AdviceRow kGuidance[] = {
  {Cat::kHealthyRun,
   {"Use this run as a baseline for regression comparison."},
   {"Continue capturing metrics for performance comparison."},
   {"Alert when future runs diverge from this pattern."}},
  {Cat::kRecoveredStateIssue,
   {"Keep verifying cached or remembered state against a source-of-truth step before final answer generation.",
    "Use this run as a baseline for recovered stale-state scenarios."},
   {"Log memory reads, corrected state keys, and source-of-truth overrides for state-recovery flows."},
   {"Do not trust cached state without verification when a source-of-truth lookup is available."}},
  {Cat::kSlowRetrievalSuccess,
   {"Reduce repeated retrieval work or improve retrieval quality so successful runs are less latency-dominated.",
    "Use this run as a baseline for slow-retrieval regressions."},
   {"Track per-step retrieval latency, retrieval count, and evidence quality for successful runs."},
   {"Alert when retrieval steps repeatedly exceed the slow threshold in otherwise successful traces."}},
  {Cat::kRecoveredTimeoutAfterRetry,
   {"Keep retry handling in place for transient timeouts and use this run as a baseline for recovered-timeout scenarios."},
   {"Capture timeout markers, retry attempts, and recovery-success transitions for tool and API steps."},
   {"Escalate when retries stop recovering transient timeouts or when timeout frequency increases."}},
  {Cat::kRecoveredErrorAfterRetry,
   {"Keep retry handling in place for transient provider and service errors, and use this run as a baseline for recovered-error scenarios."},
   {"Capture the error type, HTTP status and retry attempts of calls that failed and were retried."},
   {"Escalate when retries stop recovering transient errors or when their frequency increases."}},
  {Cat::kRecoveredNoisyArtifact,
   {"Filter noisy trace artifacts before they are treated as real retrieval evidence.",
    "Use this recovered run as a baseline for artifact-recovery regressions."},
   {"Capture artifact type and whether later steps recovered from the noisy retrieval output."},
   {"Avoid promoting search-page captures or ledger text to evidence without normalization."}},
  {Cat::kRecoveredCoordinationConflict,
   {"Keep explicit arbitration in place when parallel workers can produce conflicting claims.",
    "Use this run as a baseline for recovered coordination-conflict scenarios."},
   {"Log worker claims, arbiter decisions, and recovered-conflict markers for comparison."},
   {"Do not allow final output when conflicting worker claims have not been reconciled."}},
  {Cat::kSilentFailureSuccess,
   {"Audit success criteria so skipped or degraded work cannot be reported as a clean success."},
   {"Track skipped steps, silent-failure markers, and degraded outputs in successful traces."},
   {"Require completion checks before a run can be marked successful."}},
  {Cat::kLoopLikeSearchSuccess,
   {"Limit repeated low-yield search attempts and pivot earlier when retrieval is not improving.",
    "Use this run as a baseline for degraded-success loop scenarios."},
   {"Capture repeated-search counts, query similarity, and progress markers in successful but degraded runs."},
   {"Do not classify repeated low-progress search behavior as fully healthy success."}},
  {Cat::kPartialCompletionSuccess,
   {"Validate completion by checking for missing components, required sections, and required outputs before finishing the run."},
   {"Log missing components and partial-completion markers for successful traces."},
   {"Do not treat partial completion as a healthy run."}},
};

// Failures: what to change, what to capture, what to block.
constexpr AdviceRow kCatalogue[] = {
  {Cat::kGroundingFailure,
   {"Require final answers and intermediate reasoning to cite or reference retrieved evidence before they are accepted.",
    "Switch to a cautious fallback when evidence is weak instead of emitting unsupported claims."},
   {"Log evidence counts, support checks, and contradictions between the answer and retrieved context."},
   {"Block user-facing answers when verification or grounding checks fail."}},
  {Cat::kUnsupportedAfterEmptyRetrieval,
   {"Do not produce specific claims when retrieval returns no evidence or merged evidence is empty.",
    "Ground final answers in retrieved evidence or switch to an explicitly cautious unsupported-response template."},
   {"Log evidence counts, confidence style, and whether the final answer was generated without supporting evidence."},
   {"Block confident final answers when retrieval returned zero results or no usable evidence."}},
  {Cat::kContextPoisoning,
   {"Validate resolved entities before downstream lookup or reasoning steps continue.",
    "Require disambiguation when entity resolution is low-confidence or returns multiple plausible matches.",
    "Block final answer generation when validation detects a mismatch between the requested and used entity."},
   {"Log candidate entity matches, confidence, and the final selected entity for each resolution step.",
    "Trace which entity or assumption each downstream retrieval and answer step is grounded on."},
   {"Stop execution when late validation contradicts an earlier entity assumption.",
    "Do not return a user-facing answer if the final grounding entity differs from the requested entity."}},
  {Cat::kGenericRetrievalFailure,
   {"Add fallback or retry logic when retrieval returns no results."},
   {"Capture retrieval hit count and relevance score."},
   {"Block confident answers without supporting evidence."}},
  {Cat::kRoleMismatch,
   {"Validate worker type selection against task requirements before delegation.",
    "Route document tasks to document-reading workers instead of web-search workers."},
   {"Log expected worker type and actual delegated worker type for each multi-agent assignment."},
   {"Block delegation when the assigned worker lacks the capability required by the task."}},
  {Cat::kToolFailure,
   {"Validate tool selection and ensure correct tool routing."},
   {"Log tool name, inputs, and outputs for each invocation."},
   {"Prevent invalid tool usage before execution."}},
  {Cat::kReflectionDependencyFailure,
   {"Validate dependency completeness before reflection or validator steps run.",
    "Pass structured dependency state into the reasoning stack instead of relying on implicit context."},
   {"Log missing dependencies and conflicting constraints at the reflection boundary."},
   {"Abort earlier when required constraints are missing rather than letting reflection fail late."}},
  {Cat::kReasoningLoop,
   {"Cap repeated reasoning or search retries and pivot earlier to fallback, clarification, or stop conditions.",
    "Track progress between iterations so the agent can detect when it is repeating itself."},
   {"Log loop markers, query similarity, and progress-made flags across repeated reasoning attempts."},
   {"Abort or escalate when repeated reasoning iterations are not improving grounding or task coverage."}},
  {Cat::kResponseDraftingFailure,
   {"Validate final-output prompts and output contracts so the drafting stage receives all required inputs.",
    "Retry or downgrade gracefully when final response composition fails."},
   {"Log prompt inputs, output shape, and failure text for the response-composition step."},
   {"Do not emit partial or malformed final responses as if drafting completed successfully."}},
  {Cat::kParseFailure,
   {"Validate and sanitize structured payloads before passing them into parse boundaries.",
    "Filter noisy artifact content such as search-page captures or ledger text before parsing final JSON."},
   {"Log raw parse payloads and schema validation failures at the parse boundary."},
   {"Block final parsing when the candidate payload still contains noisy trace or artifact content."}},
  {Cat::kInvalidJsonResponse,
   {"Force JSON-only output for this step and remove extra prose, markdown, or commentary.",
    "Add a retry prompt that explicitly asks the model to return valid JSON matching the expected shape."},
   {"Log the exact raw response that failed JSON parsing."},
   {"Reject responses that are not valid JSON before entering downstream parsing logic."}},
  {Cat::kStaleMemory,
   {"Revalidate cached or remembered state against fresher evidence before using it in downstream reasoning.",
    "Expire or refresh memory entries when the task context changes."},
   {"Log memory age, refresh decisions, and source-of-truth overrides."},
   {"Do not let stale cached state override newer verified evidence."}},
  {Cat::kDuplicateDelegation,
   {"Deduplicate delegated subtasks before assigning them to additional workers.",
    "Track task keys to prevent redundant worker execution for the same subtask."},
   {"Log delegation task keys and assigned workers so duplicate assignments are visible."},
   {"Block repeated delegation when an identical subtask is already in flight."}},
  {Cat::kTimeout,
   {"Introduce timeout handling and retry logic."},
   {"Track per-step latency and retry attempts."},
   {"Abort execution after repeated timeout failures."}},
  {Cat::kToolOutputFormatFailure,
   {"Normalize browser and tool output into a clean structured format before downstream parsing or reasoning.",
    "Filter screenshots, OCR traces, and search-page artifacts out of tool payloads before use."},
   {"Capture the raw tool output shape and whether normalization succeeded."},
   {"Block downstream use of tool output when it is still in an artifact-heavy or malformed format."}},
  {Cat::kFailedLookupWithFallback,
   {"Retry or validate customer lookup before falling back to a default response.",
    "Distinguish customer-specific answers from generic fallback responses when CRM lookup fails."},
   {"Log lookup failures, fallback triggers, and whether slow retrieval contributed to the fallback path."},
   {"Do not claim customer-specific status when the CRM lookup failed and only fallback context is available."}},
  {Cat::kConflictingOutputs,
   {"Require an arbiter to reconcile conflicting worker outputs before final answer generation.",
    "Record confidence or source priority so conflicting worker claims can be resolved deterministically."},
   {"Log each worker claim and the arbiter decision path for reconciliation."},
   {"Block final output when worker conclusions conflict and arbitration has not succeeded."}},
  {Cat::kToolOutputMisinterpretation,
   {"Normalize partial or noisy tool output before downstream logic treats it as complete evidence.",
    "Differentiate incomplete extraction from grounded evidence in retrieval and answer steps."},
   {"Log raw tool output, extraction completeness, and whether downstream steps consumed partial content."},
   {"Block final reasoning when tool output is known to be partial, malformed, or coverage-limited."}},
  {Cat::kHandoffPayloadFailure,
   {"Validate handoff payloads against required fields before invoking downstream steps.",
    "Populate missing recipient or identity fields before dispatching downstream actions."},
   {"Log expected and received handoff fields at each downstream boundary."},
   {"Stop downstream execution when required handoff payload fields are missing."}},
  {Cat::kSafetyPolicy,
   {"Separate policy/content-filter blocks from normal execution failures so they do not masquerade as parser or retrieval defects.",
    "Adjust prompts, inputs, or escalation paths when the model is blocked by safety enforcement."},
   {"Log policy identifiers, filter categories, and the exact blocked stage for each safety-enforced failure."},
   {"Stop downstream parsing or recovery flows when the upstream cause is a policy block."}},
  {Cat::kNavigationLoopWithoutProgress,
   {"Cap low-yield retrieval attempts and diversify the query before allowing another search iteration.",
    "Switch to clarification or fallback once repeated retrieval attempts stop improving evidence quality."},
   {"Track query similarity, result quality, and progress across repeated retrieval attempts."},
   {"Abort retrieval loops when repeated attempts do not materially improve evidence coverage."}},
  {Cat::kStateCorruption,
   {"Protect shared state from duplicate writes, overwrites, or conflicting updates.",
    "Introduce versioning or reconciliation checks before accepting state mutations."},
   {"Capture state write history, overwrite events, and conflicting memory entries."},
   {"Block downstream use of state when integrity checks fail."}},
  {Cat::kLlmReflectionFailure,
   {"Stabilize the validator or reflection prompt so it can reliably evaluate intermediate results.",
    "Retry reflection with clearer structured inputs when the self-check stage fails."},
   {"Capture the exact structured state handed into reflection and the model output it returned."},
   {"Do not treat a failed self-check stage as a generic success or continue without validation."}},
  {Cat::kSchemaMismatch,
   {"Tighten schema instructions so required fields, enums, and nested shapes are explicit.",
    "Validate the response against the target schema before accepting the step as successful."},
   {"Log schema-validation errors with field-level detail."},
   {"Do not continue when required fields are missing or typed incorrectly."}},
  {Cat::kGenericFallback,
   {"Use a clearly marked generic fallback only when retrieval fails, and prompt the user to verify against an authoritative source.",
    "Differentiate grounded answers from cautious fallback responses in the final output."},
   {"Track retrieval failures and whether the final answer used fallback language instead of grounded evidence."},
   {"Do not present fallback guidance as verified internal policy when retrieval failed."}},
  {Cat::kMissingWorkerResult,
   {"Do not allow synthesis to proceed until the delegated worker result is returned or explicitly marked unavailable.",
    "Validate worker result presence at handoff boundaries before downstream summarization."},
   {"Log worker dispatch, completion, and handoff receipt for each delegated task."},
   {"Abort synthesis when the expected delegated worker payload is missing."}},
  {Cat::kWrongPageNavigation,
   {"Validate navigation targets and archive/page identity before treating retrieved content as relevant evidence.",
    "Add route checks that detect when the agent has drifted to the wrong page, date, or archive branch."},
   {"Log requested target identifiers alongside the page or archive actually visited."},
   {"Stop repeated navigation when the retrieved page no longer matches the requested target."}},
  {Cat::kMissingRequiredState,
   {"Validate that required state is present before entering downstream reasoning or action steps.",
    "Persist and pass session or memory state explicitly instead of relying on implicit carry-over."},
   {"Log state reads, writes, and required-state checks at each stage boundary."},
   {"Abort the step early when required state is missing rather than continuing with partial context."}},
  {Cat::kMissingArbiter,
   {"Insert an explicit arbiter or reconciliation step before emitting the final answer.",
    "Require finalization to verify that all parallel worker outputs were reconciled."},
   {"Track whether a reconciliation step ran after parallel delegation and before final output."},
   {"Prevent final answer generation when parallel worker outputs have not been reconciled."}},
  {Cat::kRateLimited,
   {"Retry rate-limited calls with exponential backoff, honouring the provider's Retry-After.",
    "Lower request concurrency or token usage, or raise the account's rate limit."},
   {"Record the HTTP status, the provider's error type and the retry attempts of each model call."},
   {"Alert when rate-limit errors exceed a small share of calls."}},
  {Cat::kProviderError,
   {"Retry transient server and connection errors with backoff, and fail over to another endpoint or provider when they persist.",
    "Check that the service the run depends on is reachable from where the agent runs."},
   {"Record the HTTP status, error type and endpoint of every failed call."},
   {"Stop the run with a clear error instead of answering when a required service is down."}},
  {Cat::kAuthenticationFailure,
   {"Check the API key or token the run uses, its scopes and its expiry, before retrying.",
    "Do not retry authentication failures: they fail the same way until the credentials change."},
   {"Record the HTTP status and the provider's error type of refused calls, never the credentials."},
   {"Verify credentials at start-up so a run fails fast instead of midway."}},
  {Cat::kTurnLimitReached,
   {"Find why the agent did not converge before its limit (repeated calls, missing tools or data) before raising the limit.",
    "Make the agent produce a final answer or an explicit failure when it nears its turn limit."},
   {"Record the turn count and the reason each turn was taken."},
   {"Alert when runs end at their turn or iteration limit."}},
  {Cat::kUnexplainedFailure,
   {"Read the run's final answer and its last decisions against the task: the failure is likely in reasoning or policy, not in the run's mechanics."},
   {"Record the task's success criteria and the evaluator's verdict with the run, so failures can be told apart."},
   {"Add task-level checks (expected actions, final state) that tell a wrong answer from a right one."}},
};
// clang-format on

void append_row(Recommendations& rec, const AdviceRow& row) {
  append_lines(rec.recommendedActions, row.actions);
  append_lines(rec.instrumentation, row.instrumentation);
  append_lines(rec.guardrails, row.guardrails);
}

}  // namespace

std::span<const AdviceRow> guidance_rows() {
  return kGuidance;
}
std::span<const AdviceRow> catalogue_rows() {
  return kCatalogue;
}

const AdviceRow* find_advice(std::span<const AdviceRow> rows, std::string_view label) {
  for (const auto& row : rows) {
    if (category(row.cat).text.label == label) return &row;
  }
  return nullptr;
}

std::optional<Recommendations> guidance_recommendations(const RootCause& primary) {
  const AdviceRow* row = find_advice(kGuidance, primary.label);
  if (!row) return std::nullopt;
  Recommendations rec;
  rec.title = "Healthy run guidance";
  rec.severity = "low";
  rec.summary = primary.explanation;
  append_row(rec, *row);
  return rec;
}

Recommendations build_recommendations(const RootCause& primary,
                                      std::span<const RootCause> secondary_issues) {
  Recommendations rec;
  rec.title = "Suggested fix";
  rec.severity = "high";
  rec.summary = primary.explanation;
  if (const AdviceRow* row = find_advice(kCatalogue, primary.label)) {
    append_row(rec, *row);
  } else {
    rec.recommendedActions.emplace_back(kDefaultAction);
  }
  for (const auto& issue : secondary_issues) rec.related_issues.push_back(issue.label);
  return rec;
}

}  // namespace tracedx
