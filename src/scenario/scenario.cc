#include "scenario/scenario.h"

#include <map>

#include "input/input.h"
#include "text/text.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

constexpr std::string_view kLabelField = "primary.root_cause.label";
constexpr std::string_view kExplanationField = "primary.root_cause.explanation";
constexpr std::string_view kActionsField = "primary.recommendations.recommendedActions";
constexpr std::string_view kCompareLabelField = "compare.root_cause.label";
constexpr std::string_view kSummaryField = "comparison.summary";
constexpr std::string_view kPrimaryOnlyField = "comparison.primary_only_issues";
constexpr std::string_view kImprovementsField = "comparison.improvements";

constexpr std::string_view kFields[] = {kLabelField,        kExplanationField, kActionsField,
                                        kCompareLabelField, kSummaryField,     kPrimaryOnlyField,
                                        kImprovementsField};

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += " | ";
    out += items[i];
  }
  return out;
}

std::string string_or(const Json& doc, const char* key, std::string fallback) {
  if (doc.is_object()) {
    auto it = doc.find(key);
    if (it != doc.end() && it->is_string()) return it->get<std::string>();
  }
  return fallback;
}

const Json* object_member(const Json& doc, const char* key) {
  if (!doc.is_object()) return nullptr;
  auto it = doc.find(key);
  return it == doc.end() ? nullptr : &*it;
}

// The fixture's bytes parsed; the trace is built separately so that both files of a
// comparison are read before either trace is checked.
Result<Json> read_fixture(const std::filesystem::path& dir, const std::string& name) {
  auto bytes = read_file(fixture_path(dir, name));
  if (!bytes) return std::move(bytes).error();
  return parse_json(*bytes);
}

bool any_phrase(const std::string& lowered, const Json& phrases) {
  for (const auto& p : phrases) {
    if (p.is_string() && contains(lowered, lower(p.get_ref<const std::string&>()))) return true;
  }
  return false;
}

}  // namespace

std::string field_text(std::string_view field, const Diagnosis& d) {
  if (field == kLabelField) return d.root_cause ? d.root_cause->label : "";
  if (field == kExplanationField) {
    return d.root_cause ? d.root_cause->explanation.value_or("") : "";
  }
  if (field == kActionsField) {
    return d.recommendations ? join(d.recommendations->recommendedActions) : "";
  }
  return "";
}

std::string field_text(std::string_view field, const Comparison& c) {
  const auto& primary = c.divergence.primary_root_cause;
  const auto& compared = c.divergence.compared_root_cause;
  if (field == kLabelField) return primary ? primary->label : "";
  if (field == kExplanationField) return primary ? primary->explanation.value_or("") : "";
  if (field == kCompareLabelField) return compared ? compared->label : "";
  if (field == kSummaryField) return c.suggested_fix.summary.value_or("");
  if (field == kPrimaryOnlyField) return primary ? primary->label : "";
  if (field == kImprovementsField) {
    std::vector<std::string> items = c.suggested_fix.related_issues;
    items.insert(items.end(), c.suggested_fix.observations.begin(),
                 c.suggested_fix.observations.end());
    return join(items);
  }
  return "";
}

Result<ScenarioResult> evaluate_scenario(const std::filesystem::path& fixture_dir,
                                         const Json& scenario) {
  ScenarioResult row;
  row.name = string_or(scenario, "name", "unknown");
  row.mode = string_or(scenario, "mode", "single");
  const Json* intent = object_member(scenario, "intent");
  row.expected = intent ? string_or(*intent, "primary_should_be", "unknown") : "unknown";

  std::map<std::string, std::string, std::less<>> texts;  // field -> text
  if (row.mode == "compare") {
    const Json* primary_name = object_member(scenario, "primary_fixture");
    if (!primary_name || !primary_name->is_string())
      return Error::message("missing primary_fixture");
    const Json* compare_name = object_member(scenario, "compare_fixture");
    if (!compare_name || !compare_name->is_string())
      return Error::message("missing compare_fixture");
    auto primary_doc = read_fixture(fixture_dir, primary_name->get<std::string>());
    if (!primary_doc) return std::move(primary_doc).error();
    auto compare_doc = read_fixture(fixture_dir, compare_name->get<std::string>());
    if (!compare_doc) return std::move(compare_doc).error();
    auto primary = build_trace(primary_name->get<std::string>(), std::move(*primary_doc));
    if (!primary) return std::move(primary).error();
    auto compared = build_trace(compare_name->get<std::string>(), std::move(*compare_doc));
    if (!compared) return std::move(compared).error();
    Comparison comparison = compare_runs(*primary, *compared);
    for (std::string_view f : kFields) texts.emplace(f, field_text(f, comparison));
    row.actual_compare = texts.find(kCompareLabelField)->second;
  } else {
    const Json* fixture = object_member(scenario, "fixture");
    if (!fixture || !fixture->is_string()) return Error::message("missing fixture");
    auto trace = load_fixture(fixture_dir, fixture->get<std::string>());
    if (!trace) return std::move(trace).error();
    Diagnosis diagnosis = diagnose_run(*trace, DiagnoseOptions{2500, true, true, std::nullopt});
    for (std::string_view f : kFields) texts.emplace(f, field_text(f, diagnosis));
  }
  row.actual_primary = texts.find(kLabelField)->second;

  std::map<std::string, bool> outcomes;  // "contains_any:field" -> passed
  const Json* checks = object_member(scenario, "checks");
  if (checks && checks->is_object()) {
    const Json* want = object_member(*checks, "contains_any");
    const Json* forbid = object_member(*checks, "not_contains_any");
    for (std::string_view f : kFields) {
      const std::string field(f);
      std::optional<std::string> lowered;
      auto text = [&]() -> const std::string& {
        if (!lowered) lowered = lower(texts.find(f)->second);
        return *lowered;
      };
      if (want && want->is_object()) {
        auto it = want->find(field);
        if (it != want->end() && it->is_array()) {
          bool hit = any_phrase(text(), *it);
          outcomes.emplace("contains_any:" + field, hit);
          if (!hit) row.notes.push_back("Missed expected keywords at `" + field + "`");
        }
      }
      if (forbid && forbid->is_object()) {
        auto it = forbid->find(field);
        if (it != forbid->end() && it->is_array()) {
          bool hit = any_phrase(text(), *it);
          outcomes.emplace("not_contains_any:" + field, !hit);
          if (hit) row.notes.push_back("Hit forbidden keywords at `" + field + "`");
        }
      }
    }
  }

  if (outcomes.empty()) {
    row.status = "needs_tuning";
  } else {
    bool label_failed = false, all_passed = true;
    for (const auto& [key, passed] : outcomes) {
      if (passed) continue;
      all_passed = false;
      if (contains(key, kLabelField) || contains(key, kCompareLabelField)) label_failed = true;
    }
    row.status = label_failed ? "mismatch" : all_passed ? "match" : "needs_tuning";
  }
  return row;
}

}  // namespace tracedx
