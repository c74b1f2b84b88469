#include <algorithm>

#include "fleet/fleet_format.h"
#include "fleet/triage_writers.h"
#include "report/report_html.h"

namespace tracedx {
namespace {

// The triage page's own rules, after the reports' shared style sheet.
constexpr std::string_view kTriageStyle = R"css(
.tiles { display: grid; grid-template-columns: repeat(auto-fit, minmax(150px, 1fr)); gap: 12px; }
.tile b { display: block; font-size: 22px; }
svg.chart { width: 100%; display: block; }
svg.chart text { fill: currentColor; font-size: 12px; }
.bar-success { fill: var(--low); } .bar-failed { fill: var(--high); }
.bar-degraded { fill: var(--medium); } .bar-other { fill: var(--muted); }
.bar-time { fill: var(--Tool); }
td.num { text-align: right; white-space: nowrap; }
.key { min-width: 220px; word-break: break-word; }
.ex { word-break: break-all; font-size: 12px; }
.ex a, .ex span { display: block; }
)css";

std::string outcome_class(std::string_view outcome) {
  if (outcome == "success" || outcome == "failed" || outcome == "degraded")
    return "bar-" + std::string(outcome);
  return "bar-other";
}

// A run id, linked to its own report when there is one. The href is percent-escaped as a
// URL path ("%" itself included), then HTML-escaped.
std::string run_ref(const std::string& id, const RunLink& link) {
  if (link) {
    if (auto href = link(id)) {
      std::string url;
      for (unsigned char c : *href) {
        if (c == '%' || c == '"' || c == '<' || c == '>' || c == ' ' || c == '#' || c == '?' ||
            c < 0x20 || c >= 0x7f) {
          static constexpr char kHex[] = "0123456789ABCDEF";
          url += '%';
          url += kHex[c >> 4];
          url += kHex[c & 15];
        } else {
          url += static_cast<char>(c);
        }
      }
      return "<a href=\"" + html_escape(url) + "\">" + html_escape(id) + "</a>";
    }
  }
  return "<span>" + html_escape(id) + "</span>";
}

// Horizontal bars, one row per item: label, bar scaled to the largest value, value text.
struct Bar {
  std::string label;
  double value;
  std::string text;
  std::string css;
};

std::string bar_chart(const std::vector<Bar>& bars) {
  if (bars.empty()) return "";
  double top = 0;
  for (const auto& b : bars) top = std::max(top, b.value);
  const int row = 22, width = 1000, label_w = 300, text_w = 130;
  std::string out = "<svg class=\"chart\" role=\"img\" viewBox=\"0 0 " + std::to_string(width) +
                    " " + std::to_string(row * bars.size() + 4) + "\">";
  for (size_t i = 0; i < bars.size(); ++i) {
    const auto& b = bars[i];
    const int y = static_cast<int>(i) * row + 2;
    const int w = top > 0 ? static_cast<int>(b.value / top * (width - label_w - text_w)) : 0;
    std::string label = b.label;
    if (label.size() > 44) {
      size_t n = 41;  // cut on a character boundary
      while (n > 0 && (static_cast<unsigned char>(label[n]) & 0xC0) == 0x80) --n;
      label = label.substr(0, n) + "...";
    }
    out += "<text x=\"0\" y=\"" + std::to_string(y + 15) + "\">" + html_escape(label) + "</text>";
    out += "<rect class=\"" + b.css + "\" x=\"" + std::to_string(label_w) + "\" y=\"" +
           std::to_string(y + 3) + "\" width=\"" + std::to_string(std::max(w, 1)) +
           "\" height=\"16\" rx=\"2\"></rect>";
    out += "<text x=\"" + std::to_string(label_w + std::max(w, 1) + 6) + "\" y=\"" +
           std::to_string(y + 15) + "\">" + html_escape(b.text) + "</text>";
  }
  return out + "</svg>";
}

void group_section(std::string& out, const char* title, const char* id,
                   const std::vector<FailureGroup>& rows, uint64_t failed, const RunLink& link) {
  out += "<h2 id=\"" + std::string(id) + "\">" + title + "</h2>";
  if (rows.empty()) {
    out += "<p class=\"meta\">No failed runs.</p>";
    return;
  }
  // Bars of wasted time; of runs when no run of the groups recorded a duration.
  bool timed = false;
  for (const auto& g : rows) timed |= g.wasted_ms > 0;
  std::vector<Bar> bars;
  for (size_t i = 0; i < rows.size() && i < 8; ++i) {
    const auto& g = rows[i];
    bars.push_back({g.key, static_cast<double>(timed ? g.wasted_ms : g.runs),
                    timed ? format_ms(g.wasted_ms) : std::to_string(g.runs) + " runs",
                    timed ? "bar-time" : "bar-failed"});
  }
  out += bar_chart(bars);
  out +=
      "<table><tr><th>group</th><th>runs</th><th>share</th><th>time wasted</th><th>cost</th>"
      "<th>examples</th></tr>";
  constexpr size_t kShown = 50;
  for (size_t i = 0; i < rows.size() && i < kShown; ++i) {
    const auto& g = rows[i];
    out += "<tr><td class=\"key\">" + html_escape(g.key) + "</td><td class=\"num\">" +
           std::to_string(g.runs) + "</td><td class=\"num\">" + format_share(g.runs, failed) +
           "</td><td class=\"num\">" + format_ms(g.wasted_ms) + "</td><td class=\"num\">" +
           (g.has_cost ? html_escape(format_cost(g.cost)) : "-") + "</td><td class=\"ex\">";
    for (const auto& ex : g.examples) out += run_ref(ex, link);
    out += "</td></tr>";
  }
  out += "</table>";
  if (rows.size() > kShown)
    out += "<p class=\"meta\">" + std::to_string(rows.size() - kShown) +
           " more groups in the JSON report.</p>";
}

void ranked_section(std::string& out, const char* title, const std::vector<RankedRun>& rows,
                    const RunLink& link) {
  if (rows.empty()) return;
  out += "<h2>" + std::string(title) +
         "</h2><table><tr><th>run</th><th>duration</th><th>cost</th>"
         "<th>outcome</th><th>finding</th></tr>";
  for (const auto& r : rows) {
    out += "<tr><td class=\"ex\">" + run_ref(r.id, link) + "</td><td class=\"num\">" +
           format_ms(r.duration_ms) + "</td><td class=\"num\">" +
           (r.cost ? html_escape(format_cost(*r.cost)) : "-") + "</td><td>" +
           html_escape(r.outcome) + "</td><td>" + html_escape(r.label.value_or("-")) + "</td></tr>";
  }
  out += "</table>";
}

}  // namespace

std::string triage_html(const TriageReport& r, const RunLink& link) {
  std::string body = "<style>" + std::string(kTriageStyle) + "</style>";
  body += "<h1>Triage of " + std::to_string(r.records) + " runs</h1>";
  body += "<div class=\"tiles\">";
  auto tile = [&](const std::string& name, const std::string& value) {
    body +=
        "<div class=\"card tile\"><b>" + html_escape(value) + "</b>" + html_escape(name) + "</div>";
  };
  tile("diagnosed", std::to_string(r.diagnosed));
  tile("failed (" + format_share(r.failed, r.diagnosed) + ")", std::to_string(r.failed));
  tile("unreadable", std::to_string(r.unreadable));
  tile("time in failed runs", format_ms(r.failed_ms));
  if (r.failed_cost != 0) tile("cost of failed runs", format_cost(r.failed_cost));
  if (r.durations.count()) {
    tile("median duration", format_ms(r.durations.percentile(50)));
    tile("p90 / p99 duration",
         format_ms(r.durations.percentile(90)) + " / " + format_ms(r.durations.percentile(99)));
  }
  body += "</div>";

  body += "<h2>Outcomes</h2>";
  std::vector<Bar> bars;
  for (const auto& [word, n] : r.outcomes)
    bars.push_back({word, static_cast<double>(n),
                    std::to_string(n) + " (" + format_share(n, r.diagnosed) + ")",
                    outcome_class(word)});
  body += bar_chart(bars);
  if (!r.unreadable_examples.empty()) {
    body += "<p class=\"meta\">Unreadable, e.g. ";
    for (const auto& id : r.unreadable_examples) body += html_escape(id) + " ";
    body += "</p>";
  }

  body +=
      "<h2>Findings</h2><table><tr><th>primary finding</th><th>severity</th><th>runs</th>"
      "<th>failed</th></tr>";
  for (const auto& l : r.labels) {
    body += "<tr><td>" + html_escape(l.label) + "</td><td>" +
            (l.severity.empty() ? std::string("-") : severity_badge(l.severity)) +
            "</td><td class=\"num\">" + std::to_string(l.runs) + "</td><td class=\"num\">" +
            std::to_string(l.failed) + "</td></tr>";
  }
  body += "</table>";
  if (!r.severities.empty()) {
    body += "<p class=\"meta\">";
    for (const auto& [s, n] : r.severities)
      body += "<span>" + severity_badge(s) + " " + std::to_string(n) + "</span>";
    body += "</p>";
  }

  group_section(body, "Failures by service or agent", "by-service", r.by_service, r.failed, link);
  group_section(body, "Failures by tool", "by-tool", r.by_tool, r.failed, link);
  group_section(body, "Failures by error", "by-error", r.by_error, r.failed, link);
  ranked_section(body, "Slowest runs", r.slowest, link);
  ranked_section(body, "Costliest runs", r.costliest, link);
  return html_page("tracedx triage", body);
}

}  // namespace tracedx
