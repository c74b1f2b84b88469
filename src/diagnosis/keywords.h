// Every keyword list the engine searches for, one row per list. A list matches a text when
// any of its '|'-separated members is contained in it. The rows are compiled once into a
// single automaton, so each text of a step is scanned once for all lists at the same time.
// Which text a list is tested against is the caller's business (see signals.cc).
#pragma once

#include <cstdint>
#include <string_view>

#include "text/keyword_matcher.h"

namespace tracedx {

// clang-format off
enum class Kw : uint8_t {
  // Step kinds and type gates (type texts)
  kKindRetrieve, kKindTool, kKindReason, kKindOutput,
  kPhaseReason, kPhaseOutput,
  kTypeTool, kTypeRetriev, kTypeValidation, kTypeEntityOrResolution, kTypeEntityHint,
  kTypeParse, kTypePlanner, kTypeEmail, kTypeFinalOrOutput, kTypeEvidenceStep, kTypeCrmOrLookup,
  kTypeReasonModelPlan, kTypeToolOrApi, kTypeRetrievSearchOutput, kTypeRetrievSearch,
  kTypeRetrievSearchLookup, kTypeReflection,
  // Failed-step markers
  kFailedTimeout, kFailedToolText, kFailedRetrievalText,
  // Entity family and retries
  kEntityMismatchText, kConfidence, kLow, kAssumption, kFoundMultiple, kEntities,
  kAmbiguityText, kWrongGroundingText, kRetryText, kAttempt, kAmbiguousHintText,
  // Safety and parsing
  kSafetyMarker, kParseText, kParserErrorText,
  // Coordination between workers
  kConflictingSubAgent, kConflicting, kWorker, kArbiter, kCouldNotBeReconciled,
  kNeverReconciled, kParallelWorker, kMissingArbitration, kDuplicateDelegation,
  kMissingDelegatedResult, kWorkerResult, kNotReturned, kDelegatedWorkerResult, kMissing,
  kHandoffText, kDownstreamHandoff, kRecipient, kRoleMismatchText, kDocumentReader, kWebSearch,
  kConflictRecoveredText,
  // Artifacts and state
  kArtifactText, kStateRecoveredText, kMissingStateText, kStaleMemoryText, kStateCorruptionText,
  // Evidence and answers
  kNoEvidence, kEmptyEvidenceText, kEmptyEvidenceSummary, kSpecificClaim, kUnsupportedPhrase,
  kRequiresEmployees, kConfidentSummary, kFallbackText, kNotFound, kCrmFallbackText,
  // Completion, loops, tools and navigation
  kSilentFailureText, kMissingComponentsText, kLoopText, kLoopFragment, kEmptySearchText,
  kToolMisreadText, kWrongPageText,
  // Primary classification
  kWrongPageAnchor, kContextSummary, kContextFailedText, kInvalidJson, kSchemaMismatch,
  kToolOutputFormat, kGrounding, kDependency, kDrafting, kUnsupportedSummary, kUnsupportedFinal,
  // Secondary-issue anchors
  kArtifactAnchor, kParserAnchor, kAmbiguityAnchor,
  kCount
};

struct KeywordRow {
  Kw list;
  std::string_view words;
};
// clang-format on

// The table, in the order of Kw.
std::span<const KeywordRow> keyword_rows();

// The automaton of all rows, built on first use and shared (read-only) by all threads.
const KeywordMatcher& keyword_matcher();

inline bool has(const KeywordHits& hits, Kw list) {
  return hits.test(static_cast<size_t>(list));
}

// Scans one already-lowercased (or ASCII) text for every list.
KeywordHits scan_keywords(std::string_view text);

}  // namespace tracedx
