#include <cstdio>

#include "fleet/fleet_format.h"
#include "fleet/gate_writers.h"
#include "report/report_text.h"

namespace tracedx {
namespace {

std::string rate_line(const char* name, const RateResult& r) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%s: %llu of %llu runs failed, %s (95%% interval %s to %s)", name,
                static_cast<unsigned long long>(r.failed), static_cast<unsigned long long>(r.runs),
                format_rate(r.rate).c_str(), format_rate(r.interval.low).c_str(),
                format_rate(r.interval.high).c_str());
  std::string out = buf;
  if (r.unreadable) out += ", " + std::to_string(r.unreadable) + " unreadable";
  return out + "\n";
}

}  // namespace

std::string side_text(const GateSide& side) {
  return std::to_string(side.failed) + "/" + std::to_string(side.runs) + " failed";
}

std::string gate_text(const GateResult& g) {
  std::string out = g.passed ? "gate: passed\n" : "gate: FAILED\n";
  for (const auto& reason : g.reasons) out += "  " + reason + "\n";
  out += rate_line("baseline", g.baseline);
  out += rate_line("candidate", g.candidate);
  const std::string p = p_text(g.p_value);
  if (g.rate_changed)
    out += std::string("change: the failure rate ") +
           (g.candidate.rate > g.baseline.rate ? "rose" : "fell") +
           " beyond the noise (Fisher's exact test, p " + p + ")\n";
  else
    out += std::string("change: within the noise (Fisher's exact test, p ") + p + ")\n";
  out += "tasks:";
  for (size_t i = 0; i < 7; ++i) {
    if (g.counts[i])
      out += " " + std::string(task_change_name(static_cast<TaskChange>(i))) + " " +
             std::to_string(g.counts[i]) + ",";
  }
  if (out.back() == ',') out.pop_back();
  out += "\n";
  // The tasks that changed; unchanged ones are only counted.
  for (const auto& t : g.tasks) {
    if (t.change == TaskChange::kStillPassing || t.change == TaskChange::kStillFailing) continue;
    out += "  " + std::string(task_change_name(t.change)) + "  " + visible(t.key) + "  " +
           side_text(t.baseline) + " -> " + side_text(t.candidate);
    if (t.change == TaskChange::kLabelChanged || t.change == TaskChange::kRegressed)
      out += "  (" + visible(t.baseline.label.value_or("-")) + " -> " +
             visible(t.candidate.label.value_or("-")) + ")";
    out += "\n";
  }
  return out;
}

}  // namespace tracedx
