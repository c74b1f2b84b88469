#include "fleet/triage.h"

#include <algorithm>

#include "fleet/error_normaliser.h"

namespace tracedx {
namespace {

constexpr const char* kOther = "(other)";
constexpr const char* kOutcomeOrder[] = {"success", "degraded", "failed", "unknown"};
constexpr const char* kSeverityOrder[] = {"critical", "high", "medium", "low"};

uint64_t add_saturating(uint64_t a, uint64_t b) {
  uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

// Greater first; ties to the earlier run. A heap under this order keeps the top at its
// front's opposite: the front is the weakest kept run.
bool slower(const RankedRun& a, const RankedRun& b) {
  return a.duration_ms != b.duration_ms ? a.duration_ms > b.duration_ms : a.order < b.order;
}
bool costlier(const RankedRun& a, const RankedRun& b) {
  return *a.cost != *b.cost ? *a.cost > *b.cost : a.order < b.order;
}

template <typename Better>
void keep_top(std::vector<RankedRun>& heap, RankedRun run, Better better) {
  if (heap.size() < kTopRuns) {
    heap.push_back(std::move(run));
    std::push_heap(heap.begin(), heap.end(), better);
  } else if (better(run, heap.front())) {
    std::pop_heap(heap.begin(), heap.end(), better);
    heap.back() = std::move(run);
    std::push_heap(heap.begin(), heap.end(), better);
  }
}

std::vector<std::pair<std::string, uint64_t>> ordered(const std::map<std::string, uint64_t>& m,
                                                      std::initializer_list<const char*> order) {
  std::vector<std::pair<std::string, uint64_t>> out;
  for (const char* word : order) {
    if (auto it = m.find(word); it != m.end()) out.emplace_back(*it);
  }
  for (const auto& entry : m) {
    // No structured binding here: clang 14 cannot capture one in a lambda.
    const std::string& word = entry.first;
    if (std::find_if(order.begin(), order.end(), [&](const char* w) { return word == w; }) ==
        order.end())
      out.emplace_back(entry);
  }
  return out;
}

}  // namespace

std::string service_key(const RunRecord& run) {
  if (run.service && !run.service->empty()) return *run.service;
  if (run.agent && !run.agent->empty()) return "agent: " + *run.agent;
  return "(unknown)";
}

std::string tool_key(const RunRecord& run) {
  return run.tool && !run.tool->empty() ? *run.tool : "(none)";
}

std::string error_key(const RunRecord& run) {
  if (run.error_message) {
    std::string key = normalise_error(*run.error_message);
    if (!key.empty()) return key;
  }
  if (run.label) return "(no error message) " + *run.label;
  return "(none)";
}

void TriageBuilder::Groups::add(const std::string& key, const RunRecord& run) {
  auto it = by_key.find(key);
  if (it == by_key.end()) {
    const std::string& k = by_key.size() < kMaxGroups ? key : std::string(kOther);
    it = by_key.try_emplace(k).first;
    it->second.key = k;
  }
  FailureGroup& g = it->second;
  ++g.runs;
  g.wasted_ms = add_saturating(g.wasted_ms, run.duration_ms.value_or(0));
  if (run.cost) {
    g.cost += *run.cost;
    g.has_cost = true;
  }
  if (g.examples.size() < kGroupExamples) g.examples.push_back(run.id);
}

std::vector<FailureGroup> TriageBuilder::Groups::ranked() const {
  std::vector<FailureGroup> out;
  out.reserve(by_key.size());
  for (const auto& [key, g] : by_key) out.push_back(g);
  std::sort(out.begin(), out.end(), [](const FailureGroup& a, const FailureGroup& b) {
    if (a.wasted_ms != b.wasted_ms) return a.wasted_ms > b.wasted_ms;
    if (a.runs != b.runs) return a.runs > b.runs;
    return a.key < b.key;
  });
  return out;
}

void TriageBuilder::add(const RunRecord& run) {
  ++report_.records;
  const uint64_t order = order_++;
  if (!run.readable) {
    ++report_.unreadable;
    if (report_.unreadable_examples.size() < kGroupExamples)
      report_.unreadable_examples.push_back(run.id);
    return;
  }
  ++report_.diagnosed;
  ++outcomes_[run.outcome];
  const bool failed = run_failed(run);
  const std::string label = run.label.value_or("(none)");
  LabelCount& lc = labels_[label];
  if (lc.runs == 0) {
    lc.label = label;
    lc.severity = run.severity.value_or("");
  }
  ++lc.runs;
  lc.failed += failed;
  if (run.severity) ++severities_[*run.severity];
  if (run.duration_ms) {
    report_.durations.add(*run.duration_ms);
    keep_top(slow_heap_, {run.id, *run.duration_ms, run.cost, run.outcome, run.label, order},
             slower);
  }
  if (run.cost)
    keep_top(cost_heap_,
             {run.id, run.duration_ms.value_or(0), run.cost, run.outcome, run.label, order},
             costlier);
  if (!failed) return;
  ++report_.failed;
  report_.failed_ms = add_saturating(report_.failed_ms, run.duration_ms.value_or(0));
  report_.failed_cost += run.cost.value_or(0);
  service_.add(service_key(run), run);
  tool_.add(tool_key(run), run);
  error_.add(error_key(run), run);
}

TriageReport TriageBuilder::finish() {
  TriageReport r = std::move(report_);
  r.outcomes =
      ordered(outcomes_, {kOutcomeOrder[0], kOutcomeOrder[1], kOutcomeOrder[2], kOutcomeOrder[3]});
  r.severities = ordered(
      severities_, {kSeverityOrder[0], kSeverityOrder[1], kSeverityOrder[2], kSeverityOrder[3]});
  for (auto& [label, lc] : labels_) r.labels.push_back(std::move(lc));
  std::stable_sort(r.labels.begin(), r.labels.end(),
                   [](const LabelCount& a, const LabelCount& b) { return a.runs > b.runs; });
  r.by_service = service_.ranked();
  r.by_tool = tool_.ranked();
  r.by_error = error_.ranked();
  std::sort_heap(slow_heap_.begin(), slow_heap_.end(), slower);
  std::sort_heap(cost_heap_.begin(), cost_heap_.end(), costlier);
  r.slowest = std::move(slow_heap_);
  r.costliest = std::move(cost_heap_);
  return r;
}

}  // namespace tracedx
