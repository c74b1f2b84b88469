#include "diagnosis/step_probes.h"

#include <array>

#include "diagnosis/keywords.h"
#include "text/json_writer.h"
#include "text/text.h"

namespace tracedx {
namespace {

struct KindRow {
  StepKind kind;
  Kw list;
};

// First matching row wins; a type matching none is Other.
constexpr KindRow kKindRows[] = {
    {StepKind::kRetrieve, Kw::kKindRetrieve},
    {StepKind::kTool, Kw::kKindTool},
    {StepKind::kReason, Kw::kKindReason},
    {StepKind::kOutput, Kw::kKindOutput},
};

constexpr std::string_view kKindWords[] = {"Retrieve", "Tool", "Reason", "Output", "Other"};

constexpr std::string_view kFailedWords[] = {"error", "failed"};
constexpr std::string_view kDoneWords[] = {"completed", "success"};
constexpr std::string_view kSuccessLikeWords[] = {"passed", "success", "completed"};

template <size_t N>
bool is_one_of(std::string_view text, const std::string_view (&words)[N]) {
  for (std::string_view word : words) {
    if (text == word) return true;
  }
  return false;
}

// One normalised part of the step text: a view into the field when it is ASCII (the
// automaton folds its case), or an owned lowercased copy otherwise.
struct NormPart {
  std::string owned;
  std::string_view view;
};

void set_norm_part(NormPart& part, MaybeText text) {
  if (!text) return;
  if (is_ascii(*text)) {
    part.view = trim_ascii(*text);
  } else {
    part.owned = norm(std::string_view(*text));
    part.view = part.owned;
  }
}

void set_json_part(NormPart& part, const std::string& compact) {
  if (is_ascii(compact)) {
    part.view = compact;
  } else {
    part.owned = lower(compact);
    part.view = part.owned;
  }
}

void set_lower_part(NormPart& part, MaybeText text) {
  if (!text) return;
  if (is_ascii(*text)) {
    part.view = *text;
  } else {
    part.owned = lower(*text);
    part.view = part.owned;
  }
}

enum Part : size_t { kSummary, kError, kInput, kOutput, kMetadata, kPartCount };

// The five normalised parts of the step text, and the range [first, last) that the
// whole-text trim keeps: joining trimmed parts and trimming the whole drops only the
// separators that stand beside empty parts at either end.
struct StepTextParts {
  std::array<NormPart, kPartCount> parts;
  size_t first = 0, last = kPartCount;

  StepTextParts(const TraceStep& step, const StepJson& json) {
    set_norm_part(parts[kSummary], step.summary);
    set_norm_part(parts[kError], step.error_message);
    set_json_part(parts[kInput], json.raw_input);
    set_json_part(parts[kOutput], json.raw_output);
    set_json_part(parts[kMetadata], json.metadata);
    while (first < last && parts[first].view.empty()) ++first;
    while (last > first && parts[last - 1].view.empty()) --last;
  }
  StepTextParts(const StepTextParts&) = delete;
};

// Calls `emit` with the pieces of the step text in order, separators included.
template <typename Emit>
void emit_step_text(const TraceStep& step, const StepJson& json, Emit&& emit) {
  StepTextParts t(step, json);
  for (size_t i = t.first; i < t.last; ++i) {
    if (i > t.first) emit(std::string_view(" "));
    emit(t.parts[i].view);
  }
}

}  // namespace

std::string_view step_kind_word(StepKind kind) {
  return kKindWords[static_cast<size_t>(kind)];
}

StepKind step_kind_of_hits(const KeywordHits& type_hits) {
  for (const auto& row : kKindRows) {
    if (has(type_hits, row.list)) return row.kind;
  }
  return StepKind::kOther;
}

StepKind step_kind(MaybeText step_type) {
  return step_kind_of_hits(scan_keywords(norm(step_type)));
}

std::string type_text(const TraceStep& step) {
  return norm(step.step_type);
}
std::string status_text(const TraceStep& step) {
  return norm(step.status);
}

bool is_failed_status(std::string_view status_text) {
  return is_one_of(status_text, kFailedWords);
}
bool is_done_status(std::string_view status_text) {
  return is_one_of(status_text, kDoneWords);
}
bool is_success_like(std::string_view run_status) {
  return is_one_of(run_status, kSuccessLikeWords);
}

std::optional<size_t> slowest_step(std::span<const TraceStep> steps) {
  std::optional<size_t> slowest;
  uint64_t longest = 0;
  for (size_t i = 0; i < steps.size(); ++i) {
    auto d = steps[i].duration_ms;
    if (d && (!slowest || *d >= longest)) {
      longest = *d;
      slowest = i;
    }
  }
  return slowest;
}

StepJson serialise_step_json(const TraceStep& step) {
  StepJson json;
  if (step.raw_input) json.raw_input = compact_json(*step.raw_input);
  if (step.raw_output) json.raw_output = compact_json(*step.raw_output);
  if (step.metadata) json.metadata = compact_json(*step.metadata);
  return json;
}

std::string step_text(const TraceStep& step) {
  std::string text;
  emit_step_text(step, serialise_step_json(step), [&](std::string_view piece) { text += piece; });
  // ASCII pieces were taken as written; lowercasing the lowered non-ASCII pieces again
  // changes nothing, since ASCII letters in them are already lowercase.
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

void feed_step_text(KeywordScan& scan, const TraceStep& step, const StepJson& json) {
  emit_step_text(step, json, [&](std::string_view piece) { scan.feed(piece); });
}

void feed_step_and_loose_texts(KeywordScan& text, KeywordScan& loose, const TraceStep& step,
                               const StepJson& json) {
  StepTextParts t(step, json);
  NormPart summary, error;
  set_lower_part(summary, step.summary);
  set_lower_part(error, step.error_message);
  std::string_view output = t.parts[kOutput].view, metadata = t.parts[kMetadata].view;

  // The loose text is summary, error, output, metadata; it reaches each shared JSON part
  // right when the step text does, so both are fed through feed_both there.
  enum { kHead, kAfterOutput, kDone } loose_at = kHead;
  auto loose_head = [&] {
    loose.feed(summary.view);
    loose.feed(' ');
    loose.feed(error.view);
    loose.feed(' ');
  };
  for (size_t i = t.first; i < t.last; ++i) {
    if (i > t.first) text.feed(' ');
    if (i == kOutput) {
      loose_head();
      KeywordScan::feed_both(text, loose, output);
      loose_at = kAfterOutput;
    } else if (i == kMetadata) {
      if (loose_at == kHead) {
        loose_head();
        loose.feed(output);
      }
      loose.feed(' ');
      KeywordScan::feed_both(text, loose, metadata);
      loose_at = kDone;
    } else {
      text.feed(t.parts[i].view);
    }
  }
  if (loose_at == kHead) {
    loose_head();
    loose.feed(output);
  }
  if (loose_at != kDone) {
    loose.feed(' ');
    loose.feed(metadata);
  }
}

namespace {
void feed_lower_opt(KeywordScan& scan, MaybeText text) {
  if (text) scan.feed_lower(*text);
}
}  // namespace

KeywordHits nav_hits(const TraceStep& step) {
  KeywordScan scan(keyword_matcher());
  feed_lower_opt(scan, step.summary);
  scan.feed(' ');
  feed_lower_opt(scan, step.error_message);
  scan.feed(' ');
  feed_lower_opt(scan, step.step_type);
  return scan.hits();
}

const Json* meta_value(const TraceStep& step, std::string_view key) {
  if (!step.metadata || !step.metadata->is_object()) return nullptr;
  const auto& obj = step.metadata->get_ref<const Json::object_t&>();
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &it->second;
}

std::optional<std::string> meta_text(const TraceStep& step, std::string_view key) {
  const Json* v = meta_value(step, key);
  if (!v || !v->is_string()) return std::nullopt;
  return norm(std::string_view(v->get_ref<const std::string&>()));
}

bool meta_true(const TraceStep& step, std::string_view key) {
  const Json* v = meta_value(step, key);
  return v && v->is_boolean() && v->get<bool>();
}

bool meta_false(const TraceStep& step, std::string_view key) {
  const Json* v = meta_value(step, key);
  return v && v->is_boolean() && !v->get<bool>();
}

std::optional<int64_t> meta_int(const TraceStep& step, std::string_view key) {
  const Json* v = meta_value(step, key);
  if (!v) return std::nullopt;
  if (v->type() == Json::value_t::number_integer) return v->get<int64_t>();
  if (v->type() == Json::value_t::number_unsigned) {
    uint64_t u = v->get<uint64_t>();
    if (u <= static_cast<uint64_t>(INT64_MAX)) return static_cast<int64_t>(u);
  }
  return std::nullopt;
}

bool meta_list(const TraceStep& step, std::string_view key) {
  const Json* v = meta_value(step, key);
  return v && v->is_array() && !v->empty();
}

bool meta_has(const TraceStep& step, std::string_view key) {
  return meta_value(step, key);
}

bool coordination_failure_is(const TraceStep& step, std::string_view word) {
  auto text = meta_text(step, "coordination_failure");
  return text && *text == word;
}

std::string step_label(const TraceStep& step) {
  if (step.display_name) return *step.display_name;
  if (step.step_type) return *step.step_type;
  return "Step";
}

bool is_slow_retrieval(const KeywordHits& type_hits, const TraceStep& step, uint64_t threshold) {
  return has(type_hits, Kw::kKindRetrieve) && step.duration_ms.value_or(0) >= threshold;
}

}  // namespace tracedx
