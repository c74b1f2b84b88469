#include "fleet/fleet_format.h"
#include "fleet/triage_writers.h"
#include "report/report_text.h"

namespace tracedx {
namespace {

// Columns of a group table: count, share, wasted time, cost, then the key.
void groups(std::string& out, const char* title, const std::vector<FailureGroup>& rows,
            uint64_t failed) {
  out += "\n" + std::string(title) + "\n";
  if (rows.empty()) {
    out += "  (no failed runs)\n";
    return;
  }
  constexpr size_t kShown = 10;
  for (size_t i = 0; i < rows.size() && i < kShown; ++i) {
    const auto& g = rows[i];
    char head[96];
    std::snprintf(head, sizeof head, "  %6llu  %6s  %10s  ",
                  static_cast<unsigned long long>(g.runs), format_share(g.runs, failed).c_str(),
                  format_ms(g.wasted_ms).c_str());
    out += head;
    out += g.has_cost ? "cost " + format_cost(g.cost) + "  " : "";
    out += visible(g.key) + "\n";
    std::string ids;
    for (const auto& id : g.examples) ids += (ids.empty() ? "" : ", ") + visible(id);
    out += "          e.g. " + ids + "\n";
  }
  if (rows.size() > kShown)
    out += "  ... " + std::to_string(rows.size() - kShown) + " more (see --format json)\n";
}

void ranked(std::string& out, const char* title, const std::vector<RankedRun>& rows, bool cost) {
  if (rows.empty()) return;
  out += "\n" + std::string(title) + "\n";
  for (const auto& r : rows) {
    out += "  " + (cost ? format_cost(r.cost.value_or(0)) : format_ms(r.duration_ms)) + "  " +
           visible(r.id) + "  " + r.outcome;
    if (r.label) out += "  " + visible(*r.label);
    out += "\n";
  }
}

}  // namespace

std::string triage_text(const TriageReport& r) {
  std::string out =
      "runs: " + std::to_string(r.records) + ", diagnosed: " + std::to_string(r.diagnosed) +
      ", unreadable: " + std::to_string(r.unreadable) + ", failed: " + std::to_string(r.failed) +
      " (" + format_share(r.failed, r.diagnosed) + ")\n";
  if (!r.outcomes.empty()) {
    out += "outcomes:";
    for (const auto& [word, n] : r.outcomes) out += " " + visible(word) + " " + std::to_string(n);
    out += "\n";
  }
  if (r.durations.count()) {
    out += "duration: p50 " + format_ms(r.durations.percentile(50)) + ", p90 " +
           format_ms(r.durations.percentile(90)) + ", p99 " +
           format_ms(r.durations.percentile(99)) + ", max " + format_ms(r.durations.max()) + " (" +
           std::to_string(r.durations.count()) + " runs)\n";
  }
  out += "time in failed runs: " + format_ms(r.failed_ms);
  if (r.failed_cost != 0) out += ", cost " + format_cost(r.failed_cost);
  out += "\n";
  if (!r.unreadable_examples.empty()) {
    std::string ids;
    for (const auto& id : r.unreadable_examples) ids += (ids.empty() ? "" : ", ") + visible(id);
    out += "unreadable, e.g. " + ids + "\n";
  }

  out += "\nlabels (runs, failed, severity)\n";
  for (const auto& l : r.labels) {
    out += "  " + std::to_string(l.runs) + "  " + std::to_string(l.failed) + "  " +
           (l.severity.empty() ? "-" : visible(l.severity)) + "  " + visible(l.label) + "\n";
  }
  groups(out, "failures by service or agent (runs, share, time wasted)", r.by_service, r.failed);
  groups(out, "failures by tool", r.by_tool, r.failed);
  groups(out, "failures by error", r.by_error, r.failed);
  ranked(out, "slowest runs", r.slowest, false);
  ranked(out, "costliest runs", r.costliest, true);
  return out;
}

}  // namespace tracedx
