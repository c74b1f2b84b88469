#include "report/report_json.h"

#include "text/json_writer.h"
#include "text/text.h"

namespace tracedx {
namespace {

template <typename T>
OrderedJson optional_record(const std::optional<T>& v) {
  return v ? to_json(*v) : OrderedJson(nullptr);
}

OrderedJson position(const std::optional<size_t>& p) {
  return p ? OrderedJson(static_cast<uint64_t>(*p)) : OrderedJson(nullptr);
}

// Each record's members, in the order both writers write them: `to_json` builds the JSON
// value, the compact writer writes the same text straight away. A visitor `v` takes
// member(name, value) for a text, a number or a list of texts, and record(name, pointer,
// fields) and records(name, list, fields) for the records inside (null when absent).

template <typename V>
void step_ref_fields(V& v, const StepRef& at) {
  v.member("step_index", at.step_index);
  v.member("step_name", at.step_name);
  v.member("step_id", at.step_id);
}

template <typename V>
void finding_fields(V& v, const RootCause& rc) {
  v.member("step_index", rc.step_index);
  v.member("label", rc.label);
  v.member("evidence", rc.evidence);
  v.member("phase", rc.phase);
  v.member("severity", rc.severity);
  v.member("explanation", rc.explanation);
  v.member("step_name", rc.step_name);
  if (!rc.culprit) return;
  // The culprit's members stand in the finding itself.
  const Culprit& c = *rc.culprit;
  v.member("step_id", c.step_id);
  v.member("agent", c.agent);
  v.member("error", c.error);
  v.member("tool", c.tool);
  v.member("arguments", c.arguments);
  v.record("shown_at", c.shown_at ? &*c.shown_at : nullptr, step_ref_fields<V>);
}

template <typename V>
void advice_fields(V& v, const Recommendations& rec) {
  v.member("recommendedActions", rec.recommendedActions);
  v.member("instrumentation", rec.instrumentation);
  v.member("guardrails", rec.guardrails);
  v.member("observations", rec.observations);
  v.member("config_changes", rec.config_changes);
  v.member("related_issues", rec.related_issues);
  v.member("title", rec.title);
  v.member("severity", rec.severity);
  v.member("summary", rec.summary);
}

template <typename V>
void diagnosis_fields(V& v, const Diagnosis& d) {
  v.record("root_cause", d.root_cause ? &*d.root_cause : nullptr, finding_fields<V>);
  v.records("secondary_issues", d.secondary_issues, finding_fields<V>);
  v.member("outcome", d.outcome);
  v.record("recommendations", d.recommendations ? &*d.recommendations : nullptr, advice_fields<V>);
  v.member("engine", d.engine);
  v.member("engine_version", d.engine_version);
  v.member("ruleset", d.ruleset);
  if (d.analysis) v.member("analysis", *d.analysis);
}

}  // namespace

OrderedJson to_json(const RootCause& rc) {
  return JsonBuilder::build(rc, finding_fields<JsonBuilder>);
}

OrderedJson to_json(const Recommendations& rec) {
  return JsonBuilder::build(rec, advice_fields<JsonBuilder>);
}

OrderedJson to_json(const TraceSignals& s) {
  OrderedJson j = OrderedJson::object();
  j["failed_step_index"] = position(s.failed_step_index);
  j["slowest_step_index"] = position(s.slowest_step_index);
  j["run_status"] = s.run_status;
  j["slow_threshold_ms"] = s.slow_threshold_ms;
  j["slow_retrieval_count"] = s.slow_retrieval_count;
  for (const auto& flag : signal_flags()) j[std::string(flag.name)] = s.*flag.member;
  return j;
}

OrderedJson to_json(const Diagnosis& d, const TraceSignals* signals) {
  OrderedJson j = JsonBuilder::build(d, diagnosis_fields<JsonBuilder>);
  if (signals) j["signals"] = to_json(*signals);
  return j;
}

OrderedJson to_json(const Divergence& d) {
  OrderedJson j = OrderedJson::object();
  j["step_index"] = optional_json(d.step_index);
  j["primary_root_cause"] = optional_record(d.primary_root_cause);
  j["compared_root_cause"] = optional_record(d.compared_root_cause);
  j["title"] = d.title;
  j["phase"] = d.phase;
  j["severity"] = d.severity;
  j["summary"] = d.summary;
  j["details"] = d.details;
  j["primary_step_name"] = optional_json(d.primary_step_name);
  j["compared_step_name"] = optional_json(d.compared_step_name);
  return j;
}

OrderedJson to_json(const Comparison& c) {
  OrderedJson j = OrderedJson::object();
  j["duration_delta_ms"] = c.duration_delta_ms;
  OrderedJson point = OrderedJson::object();
  point["step_index"] = optional_json(c.divergence_point.step_index);
  point["title"] = c.divergence_point.title;
  point["summary"] = c.divergence_point.summary;
  j["divergence_point"] = std::move(point);
  j["divergence"] = to_json(c.divergence);
  j["suggested_fix"] = to_json(c.suggested_fix);
  j["engine"] = c.engine;
  j["engine_version"] = c.engine_version;
  j["ruleset"] = c.ruleset;
  return j;
}

void append_compact_json(std::string& out, const Diagnosis& d) {
  CompactWriter(out).write(d, diagnosis_fields<CompactWriter>);
}

std::string dump_report(const OrderedJson& doc, bool compact) {
  return compact ? doc.dump(-1, ' ', false, OrderedJson::error_handler_t::replace)
                 : doc.dump(2, ' ', false, OrderedJson::error_handler_t::replace);
}

}  // namespace tracedx
