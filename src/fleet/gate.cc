#include "fleet/gate.h"

#include <algorithm>
#include <cstdio>

#include "fleet/fleet_format.h"

namespace tracedx {
namespace {

struct KeyRow {
  std::string_view name;
  TaskKey key;
};
constexpr KeyRow kKeys[] = {{"title", TaskKey::kTitle},
                            {"file", TaskKey::kFile},
                            {"id", TaskKey::kId},
                            {"service", TaskKey::kService},
                            {"agent", TaskKey::kAgent}};

constexpr std::string_view kChangeNames[] = {"regressed",        "fixed",
                                             "label changed",    "still failing",
                                             "still passing",    "only in baseline",
                                             "only in candidate"};
constexpr size_t kIdsPerTask = 4;

__extension__ using Wide = unsigned __int128;
Wide wide(uint64_t v) {
  return v;
}

std::string file_part(std::string_view id) {
  if (auto slash = id.rfind('/'); slash != std::string_view::npos) id.remove_prefix(slash + 1);
  std::string_view rest;
  // An id FILE:LINE or FILE:TRACEID keeps its suffix after the extension comes off.
  for (std::string_view ext : {".jsonl", ".json"}) {
    if (auto at = id.find(ext); at != std::string_view::npos) {
      const size_t end = at + ext.size();
      if (end == id.size() || id[end] == ':') {
        rest = id.substr(end);
        id = id.substr(0, at);
        break;
      }
    }
  }
  return std::string(id) + std::string(rest);
}

}  // namespace

Result<TaskKey> parse_task_key(std::string_view text) {
  for (const auto& row : kKeys) {
    if (row.name == text) return row.key;
  }
  return Error::message("expected title, file, id, service or agent, got \"" + std::string(text) +
                        "\"");
}

std::string task_key_of(const RunRecord& run, TaskKey key) {
  switch (key) {
    case TaskKey::kTitle:
      return run.title && !run.title->empty() ? *run.title : file_part(run.id);
    case TaskKey::kFile:
      return file_part(run.id);
    case TaskKey::kId:
      return run.id;
    case TaskKey::kService:
      return run.service && !run.service->empty() ? *run.service : file_part(run.id);
    case TaskKey::kAgent:
      return run.agent && !run.agent->empty() ? *run.agent : file_part(run.id);
  }
  return run.id;
}

std::string_view task_change_name(TaskChange change) {
  return kChangeNames[static_cast<size_t>(change)];
}

void GateBuilder::add(const RunRecord& run, bool baseline) {
  RateResult& total = baseline ? baseline_ : candidate_;
  if (!run.readable) {
    ++total.unreadable;
    return;
  }
  auto [it, fresh] = tasks_.try_emplace(task_key_of(run, options_.key));
  TaskResult& task = it->second;
  if (fresh) task.key = it->first;
  GateSide& side = baseline ? task.baseline : task.candidate;
  bool by_outcome = false;
  const bool failed = run_failed(run, &by_outcome);
  if (side.runs == 0) side.label = run.label;
  ++side.runs;
  side.failed += failed;
  side.by_outcome &= by_outcome;
  ++total.runs;
  total.failed += failed;
  if (task.ids.size() < kIdsPerTask) task.ids.push_back(run.id);
}

GateResult GateBuilder::finish() {
  GateResult g;
  g.options = options_;
  g.tasks.reserve(tasks_.size());
  for (auto& [key, task] : tasks_) {
    const GateSide &b = task.baseline, &c = task.candidate;
    if (c.runs == 0)
      task.change = TaskChange::kOnlyBaseline;
    else if (b.runs == 0)
      task.change = TaskChange::kOnlyCandidate;
    // Rates compared exactly: failed_c / runs_c against failed_b / runs_b.
    else if (wide(c.failed) * b.runs > wide(b.failed) * c.runs)
      task.change = TaskChange::kRegressed;
    else if (wide(c.failed) * b.runs < wide(b.failed) * c.runs)
      task.change = TaskChange::kFixed;
    else if (b.label != c.label)
      task.change = TaskChange::kLabelChanged;
    else
      task.change = b.failed ? TaskChange::kStillFailing : TaskChange::kStillPassing;
    ++g.counts[static_cast<size_t>(task.change)];
    g.tasks.push_back(std::move(task));
  }
  std::sort(g.tasks.begin(), g.tasks.end(), [](const TaskResult& a, const TaskResult& b) {
    return a.change != b.change ? a.change < b.change : a.key < b.key;
  });
  for (RateResult* r : {&baseline_, &candidate_}) {
    r->rate = r->runs ? static_cast<double>(r->failed) / static_cast<double>(r->runs) : 0;
    r->interval = wilson_interval(r->failed, r->runs);
  }
  g.baseline = baseline_;
  g.candidate = candidate_;
  g.p_value = fisher_exact_p(baseline_.failed, baseline_.runs, candidate_.failed, candidate_.runs);
  g.rate_changed = g.p_value < options_.alpha && g.baseline.rate != g.candidate.rate;

  const uint64_t regressed = g.counts[static_cast<size_t>(TaskChange::kRegressed)];
  if (regressed > options_.max_regressions) {
    g.reasons.push_back(std::to_string(regressed) + " tasks regressed (at most " +
                        std::to_string(options_.max_regressions) + " allowed)");
  }
  const double rise = g.candidate.rate - g.baseline.rate;
  if (g.rate_changed && rise > options_.max_rate_increase) {
    g.reasons.push_back("the failure rate rose from " + format_rate(g.baseline.rate) + " to " +
                        format_rate(g.candidate.rate) + " (p " + p_text(g.p_value) + ", at most " +
                        format_rate(options_.max_rate_increase) + " rise allowed)");
  }
  g.passed = g.reasons.empty();
  return g;
}

}  // namespace tracedx
