#include "fleet/triage_writers.h"

namespace tracedx {
namespace {

OrderedJson counts(const std::vector<std::pair<std::string, uint64_t>>& rows) {
  OrderedJson o = OrderedJson::object();
  for (const auto& [k, n] : rows) o[k] = n;
  return o;
}

OrderedJson groups(const std::vector<FailureGroup>& rows, uint64_t failed) {
  OrderedJson a = OrderedJson::array();
  for (const auto& g : rows) {
    OrderedJson o = OrderedJson::object();
    o["key"] = g.key;
    o["runs"] = g.runs;
    o["share"] = failed ? static_cast<double>(g.runs) / static_cast<double>(failed) : 0.0;
    o["wasted_ms"] = g.wasted_ms;
    o["cost"] = g.has_cost ? OrderedJson(g.cost) : OrderedJson(nullptr);
    o["examples"] = g.examples;
    a.push_back(std::move(o));
  }
  return a;
}

OrderedJson runs(const std::vector<RankedRun>& rows) {
  OrderedJson a = OrderedJson::array();
  for (const auto& r : rows) {
    OrderedJson o = OrderedJson::object();
    o["id"] = r.id;
    o["duration_ms"] = r.duration_ms;
    o["cost"] = optional_json(r.cost);
    o["outcome"] = r.outcome;
    o["label"] = optional_json(r.label);
    a.push_back(std::move(o));
  }
  return a;
}

}  // namespace

OrderedJson triage_json(const TriageReport& r) {
  OrderedJson o = OrderedJson::object();
  o["runs"] = r.records;
  o["diagnosed"] = r.diagnosed;
  o["unreadable"] = r.unreadable;
  o["failed"] = r.failed;
  o["outcomes"] = counts(r.outcomes);
  OrderedJson labels = OrderedJson::array();
  for (const auto& l : r.labels) {
    labels.push_back(OrderedJson{
        {"label", l.label},
        {"severity", l.severity.empty() ? OrderedJson(nullptr) : OrderedJson(l.severity)},
        {"runs", l.runs},
        {"failed", l.failed}});
  }
  o["labels"] = std::move(labels);
  o["severities"] = counts(r.severities);
  o["failed_ms"] = r.failed_ms;
  o["failed_cost"] = r.failed_cost;
  OrderedJson d = OrderedJson::object();
  d["runs"] = r.durations.count();
  if (r.durations.count()) {
    d["p50"] = r.durations.percentile(50);
    d["p90"] = r.durations.percentile(90);
    d["p95"] = r.durations.percentile(95);
    d["p99"] = r.durations.percentile(99);
    d["max"] = r.durations.max();
  } else {
    for (const char* k : {"p50", "p90", "p95", "p99", "max"}) d[k] = nullptr;
  }
  o["duration_ms"] = std::move(d);
  o["by_service"] = groups(r.by_service, r.failed);
  o["by_tool"] = groups(r.by_tool, r.failed);
  o["by_error"] = groups(r.by_error, r.failed);
  o["slowest"] = runs(r.slowest);
  o["costliest"] = runs(r.costliest);
  o["unreadable_examples"] = r.unreadable_examples;
  return o;
}

}  // namespace tracedx
