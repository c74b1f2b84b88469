// The categories a primary finding can belong to: 43 of the fixed engine, and those only the
// analysis of recorded runs gives. Each is one record: its snake_case key
// (used only to break score ties), its score, and the fixed texts of the finding. The key
// and score choose a finding; neither is stored in it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "diagnosis/finding_text.h"

namespace tracedx {

// clang-format off
enum class Cat : uint8_t {
  // Retrieval findings
  kUnsupportedAfterEmptyRetrieval, kToolOutputMisinterpretation, kWrongPageNavigation,
  kNavigationLoopWithoutProgress, kGenericFallback, kGenericRetrievalFailure,
  // Failed-step text findings
  kInvalidJsonResponse, kSchemaMismatch, kToolOutputFormatFailure, kGroundingFailure,
  kReflectionDependencyFailure, kLlmReflectionFailure, kResponseDraftingFailure,
  // Success findings
  kRecoveredTimeoutAfterRetry, kUnsupportedAfterEmptyRetrievalSuccess, kSilentFailureSuccess,
  kPartialCompletionSuccess, kRecoveredCoordinationConflict, kRecoveredStateIssue,
  kLoopLikeSearchSuccess, kSlowRetrievalSuccess, kRecoveredNoisyArtifact, kHealthyRun,
  // Failed-step signal findings
  kSafetyPolicy, kTimeout, kContextPoisoning, kMissingRequiredState, kStaleMemory,
  kStateCorruption, kParseFailure, kReasoningLoop, kConflictingOutputs, kMissingArbiter,
  kMissingWorkerResult, kDuplicateDelegation, kToolOutputMisinterpretationFailure,
  kHandoffPayloadFailure, kPartialCompletionFailure, kSilentFailure, kRoleMismatch,
  kFailedLookupWithFallback, kToolFailure, kGenericFailure,
  // Findings of recorded runs only, from the structure of the run
  kRateLimited, kProviderError, kAuthenticationFailure, kTurnLimitReached,
  kRecoveredErrorAfterRetry, kUnexplainedFailure,
  kCount
};
// clang-format on

struct Category {
  Cat cat;
  std::string_view key;
  uint32_t score;
  uint32_t recovered_score;  // score when recovered_after_failure is set; 0: same as score
  FindingText text;
};

// All categories, in the order of Cat.
std::span<const Category> categories();
const Category& category(Cat cat);

}  // namespace tracedx
