#include "diagnosis/keywords.h"

#include <array>

namespace tracedx {
namespace {

// clang-format off
constexpr KeywordRow kRows[] = {
  // Step kinds, first matching row wins (type text)
  {Kw::kKindRetrieve,              "retriev|search|lookup|browse"},
  {Kw::kKindTool,                  "tool|api|function|plugin"},
  {Kw::kKindReason,                "reason|model|reflect|validator|validation|judge|evaluate|plan"},
  {Kw::kKindOutput,                "output|final|response|draft|compose"},
  // Phase of a step type in a comparison; its Retrieve and Tool rows are the kind rows
  {Kw::kPhaseReason,               "reason|model|reflect|plan|validate"},
  {Kw::kPhaseOutput,               "output|final|response|draft"},
  // Type gates of individual rules (type text)
  {Kw::kTypeTool,                  "tool"},
  {Kw::kTypeRetriev,               "retriev"},
  {Kw::kTypeValidation,            "validation"},
  {Kw::kTypeEntityOrResolution,    "entity|resolution"},
  {Kw::kTypeEntityHint,            "entity|resolution|validation"},
  {Kw::kTypeParse,                 "parse"},
  {Kw::kTypePlanner,               "planner"},
  {Kw::kTypeEmail,                 "email"},
  {Kw::kTypeFinalOrOutput,         "final|output"},
  {Kw::kTypeEvidenceStep,          "retriev|search|merge"},
  {Kw::kTypeCrmOrLookup,           "crm|lookup"},
  {Kw::kTypeReasonModelPlan,       "reason|model|plan"},
  {Kw::kTypeToolOrApi,             "tool|api"},
  {Kw::kTypeRetrievSearchOutput,   "retriev|search|output"},
  {Kw::kTypeRetrievSearch,         "retriev|search"},
  {Kw::kTypeRetrievSearchLookup,   "retriev|search|lookup"},
  {Kw::kTypeReflection,            "reflection|reflect|validator|validation|judge|evaluate"},
  // The failed step shows a timeout, a tool call, a retrieval or an empty result
  {Kw::kFailedTimeout,             "timeout|timed out|deadline exceeded|stalled|stall"},
  {Kw::kFailedToolText,            "tool|function call|function_call|plugin|api call"},
  {Kw::kFailedRetrievalText,       "no results|empty results|no evidence|empty evidence|no documents|no retrieval|nothing found|retriev"},
  // A wrong entity, an ambiguous resolution, a retry
  {Kw::kEntityMismatchText,        "incorrect upstream context propagated|mismatch|wrong entity"},
  {Kw::kConfidence,                "confidence"},
  {Kw::kLow,                       "low"},
  {Kw::kAssumption,                "assumption"},
  {Kw::kFoundMultiple,             "found multiple"},
  {Kw::kEntities,                  "entities"},
  {Kw::kAmbiguityText,             "multiple acme entities|ambiguous|likely meant"},
  {Kw::kWrongGroundingText,        "grounded_on_wrong_entity|uses_unverified_assumption|wrong entity"},
  {Kw::kRetryText,                 "retry|\"attempt\":2|\"attempt\": 2|attempt 2|attempt=2|transient"},
  {Kw::kAttempt,                   "attempt"},
  {Kw::kAmbiguousHintText,         "likely meant|alternative match|ambiguous"},
  // Safety blocks and parse failures
  {Kw::kSafetyMarker,              "responsibleaipolicyviolation|content_filter|content filter|policy violation|safety policy|safety filter|jailbreak.filtered|jailbreak filtered|jailbreak|blocked by policy|blocked due to policy|refused due to policy|azure content filter|openai content filter|prompt attack|content management policy|content-filter refusal|blocked_by_policy"},
  {Kw::kParseText,                 "parse boundary|invalid json|decode|schema"},
  {Kw::kParserErrorText,           "invalid json|json parse|schema validation|validation error|malformed json|unexpected token|union[parsedchatcompletion"},
  // Coordination between parallel workers, delegation, hand-offs and roles
  {Kw::kConflictingSubAgent,       "conflicting sub-agent outputs"},
  {Kw::kConflicting,               "conflicting"},
  {Kw::kWorker,                    "worker"},
  {Kw::kArbiter,                   "arbiter"},
  {Kw::kCouldNotBeReconciled,      "could not be reconciled"},
  {Kw::kNeverReconciled,           "never reconciled"},
  {Kw::kParallelWorker,            "parallel worker"},
  {Kw::kMissingArbitration,        "missing arbitration"},
  {Kw::kDuplicateDelegation,       "duplicate delegation"},
  {Kw::kMissingDelegatedResult,    "missing delegated result"},
  {Kw::kWorkerResult,              "worker result"},
  {Kw::kNotReturned,               "not returned"},
  {Kw::kDelegatedWorkerResult,     "delegated worker result"},
  {Kw::kMissing,                   "missing"},
  {Kw::kHandoffText,               "handoff payload|missing recipient email"},
  {Kw::kDownstreamHandoff,         "downstream handoff"},
  {Kw::kRecipient,                 "recipient"},
  {Kw::kRoleMismatchText,          "wrong worker role|role mismatch"},
  {Kw::kDocumentReader,            "document_reader"},
  {Kw::kWebSearch,                 "web_search"},
  {Kw::kConflictRecoveredText,     "conflict_recovered|resolved conflicting worker outputs|arbiter resolved"},
  // Trace artifacts and the state of memory
  {Kw::kArtifactText,              "artifact|search-page|search page|updated ledger|ledger|screenshot of the search page|orchestration ledger"},
  {Kw::kStateRecoveredText,        "correcting to |corrected before final output"},
  {Kw::kMissingStateText,          "missing required state|missing prior state|session state missing|required memory was missing"},
  {Kw::kStaleMemoryText,           "stale memory|outdated memory|cached state overrode|stale cached state"},
  {Kw::kStateCorruptionText,       "state corruption|memory overwrite|overwritten state|conflicting memory entries|duplicate writes"},
  // Empty evidence, unsupported or fallback answers
  {Kw::kNoEvidence,                "no evidence"},
  {Kw::kEmptyEvidenceText,         "no documents found|found 0 documents|zero relevant results|retrieval returned zero|vector store connection failed|no documents retrieved|no relevant pricing pages found|no results"},
  {Kw::kEmptyEvidenceSummary,      "retrieval returned no useful results|retrieval returned no usable evidence|returned no useful results"},
  {Kw::kSpecificClaim,             "%|percent|approval threshold|introduced a new|reduced discounting by"},
  {Kw::kUnsupportedPhrase,         "allows full refunds|with no fees|company-wide|per month|took effect|includes premium support"},
  {Kw::kRequiresEmployees,         "requires employees"},
  {Kw::kConfidentSummary,          "answered confidently|still answered confidently|confident unsupported answer|answer remained specific"},
  {Kw::kFallbackText,              "could not verify|please check the official policy portal|hr team|common remote work practices|default response|fallback"},
  {Kw::kNotFound,                  "not found|customer not found"},
  {Kw::kCrmFallbackText,           "fallback|default response|no crm record found"},
  // Skipped or partial work, loops, misread tool output, wrong pages
  {Kw::kSilentFailureText,         "masked as success|reported success despite|skipped critical work|skipped silently|sources 2 and 3 were skipped|looked successful externally"},
  {Kw::kMissingComponentsText,     "missing components|missing sections|partial completion|incomplete task coverage"},
  {Kw::kLoopText,                  "repeated reasoning|max steps exceeded|never converged|did not converge|search again|reformulate search attempt"},
  {Kw::kLoopFragment,              "\"loop_iteration\"|\"loop_risk\":\"high\"|\"loop_risk\":\"medium\"|\"progress_made\":false"},
  {Kw::kEmptySearchText,           "no useful result|no relevant results|not enough progress|low-progress repeated search loop|need to search again"},
  {Kw::kToolMisreadText,           "partial pdf|incomplete extraction|tool output misinterpretation|partial coverage|could not fully process|misinterpreted tool output"},
  {Kw::kWrongPageText,             "wrong page|wrong-year navigation drift|archive mismatch|wrong archive page|still not the requested week|instead of 2015 august"},
  // Primary classification: anchors and failed-step texts
  {Kw::kWrongPageAnchor,           "wrong page|archive"},
  {Kw::kContextSummary,            "wrong entity assumption|incorrect upstream context"},
  {Kw::kContextFailedText,         "likely meant|incorrect upstream context|wrong entity"},
  {Kw::kInvalidJson,               "invalid json|json parse|json parsing|malformed json|jsondecodeerror|unexpected token"},
  {Kw::kSchemaMismatch,            "schema validation|validation error|pydantic|zod|schema mismatch"},
  {Kw::kToolOutputFormat,          "raw browser artifact|search-page|search page artifact|screenshot of the search page|automatic ocr|tool-output format|malformed structured payload|union[parsedchatcompletion"},
  {Kw::kGrounding,                 "unsupported claim|not supported by evidence|could not verify|missing evidence|not grounded|contradiction with retrieved context|hallucinated"},
  {Kw::kDependency,                "dependency|constraint"},
  {Kw::kDrafting,                  "draft|compose|response|final answer|final_output"},
  {Kw::kUnsupportedSummary,        "answered confidently|confident unsupported answer|specific unsupported|unsupported policy claims"},
  {Kw::kUnsupportedFinal,          "allows full refunds|with no fees"},
  // Secondary issues: anchoring steps
  {Kw::kArtifactAnchor,            "artifact|ledger|search page|ocr"},
  {Kw::kParserAnchor,              "invalid json|json parse|schema validation|validation error|unexpected token"},
  {Kw::kAmbiguityAnchor,           "likely meant|ambiguous|alternative match|assumption"},
};
// clang-format on

static_assert(std::size(kRows) == static_cast<size_t>(Kw::kCount), "one row per keyword list");
static_assert(std::size(kRows) <= kMaxKeywordLists);

}  // namespace

std::span<const KeywordRow> keyword_rows() {
  return kRows;
}

const KeywordMatcher& keyword_matcher() {
  static const KeywordMatcher matcher = [] {
    std::array<std::string_view, std::size(kRows)> lists{};
    for (size_t i = 0; i < std::size(kRows); ++i) lists[i] = kRows[i].words;
    return KeywordMatcher(lists);
  }();
  return matcher;
}

KeywordHits scan_keywords(std::string_view text) {
  KeywordScan scan(keyword_matcher());
  scan.feed(text);
  return scan.hits();
}

}  // namespace tracedx
