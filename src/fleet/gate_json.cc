#include "fleet/gate_writers.h"

namespace tracedx {
namespace {

OrderedJson rate(const RateResult& r) {
  return OrderedJson{{"runs", r.runs},
                     {"failed", r.failed},
                     {"rate", r.rate},
                     {"interval", OrderedJson::array({r.interval.low, r.interval.high})},
                     {"unreadable", r.unreadable}};
}

OrderedJson side(const GateSide& s) {
  return OrderedJson{
      {"runs", s.runs},
      {"failed", s.failed},
      {"rate", s.rate()},
      {"label", optional_json(s.label)},
      {"compared_by",
       s.runs == 0 ? OrderedJson(nullptr) : OrderedJson(s.by_outcome ? "outcome" : "verdict")}};
}

}  // namespace

OrderedJson gate_json(const GateResult& g) {
  OrderedJson o = OrderedJson::object();
  o["passed"] = g.passed;
  o["reasons"] = g.reasons;
  o["baseline"] = rate(g.baseline);
  o["candidate"] = rate(g.candidate);
  o["p_value"] = g.p_value;
  o["rate_changed"] = g.rate_changed;
  OrderedJson counts = OrderedJson::object();
  for (size_t i = 0; i < 7; ++i)
    counts[std::string(task_change_name(static_cast<TaskChange>(i)))] = g.counts[i];
  o["tasks_by_change"] = std::move(counts);
  o["thresholds"] = OrderedJson{{"max_regressions", g.options.max_regressions},
                                {"max_rate_increase", g.options.max_rate_increase},
                                {"alpha", g.options.alpha}};
  OrderedJson tasks = OrderedJson::array();
  for (const auto& t : g.tasks) {
    tasks.push_back(OrderedJson{{"key", t.key},
                                {"change", task_change_name(t.change)},
                                {"baseline", side(t.baseline)},
                                {"candidate", side(t.candidate)},
                                {"ids", t.ids}});
  }
  o["tasks"] = std::move(tasks);
  return o;
}

}  // namespace tracedx
