#include "diagnosis/finding_text.h"

#include "diagnosis/step_probes.h"
#include "text/template.h"
#include "text/text.h"

namespace tracedx {
namespace {

bool holds(When when, const TraceSignals& s) {
  switch (when) {
    case When::kAlways:
      return true;
    case When::kRecovered:
      return s.recovered_after_failure;
    case When::kNotRecovered:
      return !s.recovered_after_failure;
    case When::kRetryNotRecovered:
      return s.retry_seen && !s.recovered_after_failure;
    case When::kEntityMismatch:
      return s.entity_mismatch;
    case When::kEntityAmbiguity:
      return s.entity_ambiguity;
    case When::kWrongEntityGrounding:
      return s.wrong_entity_grounding;
    case When::kNoEntitySignal:
      return !s.entity_mismatch && !s.entity_ambiguity && !s.wrong_entity_grounding;
    case When::kArtifactMarker:
      return s.artifact_marker;
  }
  return false;
}

std::string arg_value(Arg arg, const TraceStep* anchor, const TraceSignals& s) {
  switch (arg) {
    case Arg::kNone:
      return {};
    case Arg::kStepIndex:
      return std::to_string(anchor && anchor->step_index ? *anchor->step_index : -1);
    case Arg::kAnchorTypeText:
      return anchor ? type_text(*anchor) : std::string();
    case Arg::kSlowCount:
      return std::to_string(s.slow_retrieval_count);
    case Arg::kThreshold:
      return std::to_string(s.slow_threshold_ms);
    case Arg::kAnchorDuration:
      return std::to_string(anchor && anchor->duration_ms ? *anchor->duration_ms : 0);
  }
  return {};
}

// The line with its placeholders filled in order.
std::string fill(const EvidenceLine& line, const TraceStep* anchor, const TraceSignals& s) {
  const std::string first = arg_value(line.first, anchor, s);
  const std::string second = arg_value(line.second, anchor, s);
  return fill_template(line.text, {first, second});
}

std::optional<std::string> phase_of(const FindingText& text, const TraceStep* anchor) {
  std::optional<std::string> type = anchor ? anchor->step_type.optional() : std::nullopt;
  switch (text.phase_rule) {
    case PhaseRule::kFixed:
      return std::string(text.phase);
    case PhaseRule::kAnchorKind:
      return std::string(step_kind_word(step_kind(type)));
    case PhaseRule::kAnchorType:
      return type;
    case PhaseRule::kAnchorTypeOrUnknown:
      return type.value_or("Unknown");
  }
  return std::nullopt;
}

}  // namespace

RootCause build_finding(const FindingText& text, const TraceStep* anchor,
                        const TraceSignals& signals) {
  RootCause rc;
  if (anchor) {
    rc.step_index = anchor->step_index;
    rc.step_name = step_label(*anchor);
  }
  rc.label = std::string(text.label);
  for (const auto& line : text.evidence) {
    if (line.text.empty()) break;
    if (holds(line.when, signals)) {
      rc.evidence.push_back(fill(line, anchor, signals));
    }
  }
  rc.phase = phase_of(text, anchor);
  rc.severity = std::string(text.severity);
  for (const auto& e : text.explanations) {
    if (!e.text.empty() && holds(e.when, signals)) {
      rc.explanation = std::string(e.text);
      break;
    }
  }
  return rc;
}

}  // namespace tracedx
