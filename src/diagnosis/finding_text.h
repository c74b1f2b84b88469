// The fixed texts of a finding and the rules that fill its step-dependent parts. A finding
// is anchored on at most one step: its step_index and label name the finding's place, its
// type may give the phase, and evidence placeholders "{}" take values from it or from the
// signals. Evidence lines and explanations may hold only under a signal condition.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "diagnosis/root_cause.h"
#include "diagnosis/signals.h"

namespace tracedx {

enum class PhaseRule : uint8_t {
  kFixed,                // the fixed word
  kAnchorKind,           // step_kind of the anchor's step_type
  kAnchorType,           // the anchor's step_type as written; absent when it has none
  kAnchorTypeOrUnknown,  // the anchor's step_type as written, or "Unknown"
};

// Condition under which an evidence line or explanation applies.
enum class When : uint8_t {
  kAlways,
  kRecovered,  // recovered_after_failure
  kNotRecovered,
  kRetryNotRecovered,  // retry_seen and not recovered_after_failure
  kEntityMismatch,
  kEntityAmbiguity,
  kWrongEntityGrounding,
  kNoEntitySignal,  // none of the three above
  kArtifactMarker,
};

// Value of a "{}" placeholder.
enum class Arg : uint8_t {
  kNone,
  kStepIndex,       // the anchor's step_index, or -1
  kAnchorTypeText,  // the anchor's step_type trimmed and lowercased
  kSlowCount,       // slow_retrieval_count
  kThreshold,       // slow_threshold_ms
  kAnchorDuration,  // the anchor's duration_ms, or 0
};

struct EvidenceLine {
  std::string_view text;  // empty text ends the list
  When when = When::kAlways;
  Arg first = Arg::kNone;
  Arg second = Arg::kNone;
};

struct Explanation {
  std::string_view text;
  When when = When::kAlways;
};

struct FindingText {
  std::string_view label;
  std::string_view severity;
  PhaseRule phase_rule;
  std::string_view phase;  // for kFixed
  std::array<EvidenceLine, 5> evidence;
  std::array<Explanation, 2> explanations;  // the first whose condition holds
};

// The finding with its texts, anchored on `anchor` (may be null).
RootCause build_finding(const FindingText& text, const TraceStep* anchor,
                        const TraceSignals& signals);

}  // namespace tracedx
