#include "report/report_html.h"

#include <algorithm>
#include <cstdio>

#include "diagnosis/step_probes.h"
#include "text/text.h"

namespace tracedx {
namespace {

// Values longer than this are folded behind their own <details>.
constexpr size_t kFoldAbove = 2000;

constexpr std::string_view kStyle = R"css(
:root { color-scheme: light dark; --bg:#ffffff; --fg:#1d2330; --muted:#5d6678; --line:#d9dee8;
  --card:#f6f8fb; --high:#c62828; --medium:#b26a00; --low:#2e7d32; --hi:#fff3c4;
  --Retrieve:#1e88e5; --Tool:#8e24aa; --Reason:#00897b; --Output:#f4511e; --Other:#757575; }
@media (prefers-color-scheme: dark) { :root { --bg:#12151c; --fg:#e6e9ef; --muted:#9aa3b5;
  --line:#2b3140; --card:#1a1f29; --high:#ef5350; --medium:#ffb74d; --low:#81c784; --hi:#3a3320; } }
* { box-sizing: border-box; }
body { margin: 0 auto; max-width: 1200px; padding: 24px; background: var(--bg); color: var(--fg);
  font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; }
h1 { font-size: 22px; margin: 0 0 4px; } h2 { font-size: 17px; margin: 28px 0 8px; }
h3 { font-size: 14px; margin: 14px 0 4px; }
.meta { color: var(--muted); } .meta span { margin-right: 18px; }
.card { background: var(--card); border: 1px solid var(--line); border-radius: 8px; padding: 12px 16px; }
.grid { display: grid; grid-template-columns: 1fr 1fr; gap: 16px; }
.badge { display: inline-block; padding: 1px 8px; border-radius: 10px; font-size: 12px; color: #fff;
  vertical-align: middle; }
.badge.high { background: var(--high); } .badge.medium { background: var(--medium); }
.badge.low { background: var(--low); }
ul { margin: 4px 0; padding-left: 20px; }
table { border-collapse: collapse; width: 100%; }
td, th { border-bottom: 1px solid var(--line); padding: 3px 6px; text-align: left; vertical-align: top; }
th { color: var(--muted); font-weight: 600; font-size: 12px; }
.step summary { cursor: pointer; list-style: none; display: grid;
  grid-template-columns: 48px 220px 150px 90px 80px 1fr; gap: 6px; align-items: center; padding: 3px 4px; }
.step summary::-webkit-details-marker { display: none; }
.step { border-bottom: 1px solid var(--line); }
.step.anchor > summary { background: var(--hi); }
.step.failed .status { color: var(--high); font-weight: 700; }
.step.slowest .dur::after { content: " \2191"; color: var(--medium); font-weight: 700; }
.dur { white-space: nowrap; }
.kind { display: inline-block; width: 10px; height: 10px; border-radius: 2px; margin-right: 6px; }
.name { overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
.body { padding: 6px 12px 12px 56px; }
pre { white-space: pre-wrap; word-break: break-all; background: var(--bg); border: 1px solid var(--line);
  border-radius: 4px; padding: 6px 8px; margin: 4px 0; font: 12px/1.4 ui-monospace, Menlo, Consolas, monospace; }
svg.bar { width: 100%; height: 12px; display: block; }
.legend span { margin-right: 14px; }
.diverge { outline: 2px solid var(--high); }
.grid .step summary { grid-template-columns: 36px minmax(0, 1fr) 70px 70px minmax(0, 1fr); }
.grid .type { display: none; }
@media print { body { max-width: none; padding: 0; } details.step > .body { display: block; }
  .card { break-inside: avoid; } }
)css";

std::string num(uint64_t v) {
  return std::to_string(v);
}

void list(std::string& out, const std::vector<std::string>& items) {
  if (items.empty()) {
    out += "<p class=\"meta\">none</p>";
    return;
  }
  out += "<ul>";
  for (const auto& item : items) out += "<li>" + html_escape(item) + "</li>";
  out += "</ul>";
}

std::string step_id(std::string_view prefix, size_t position) {
  return std::string(prefix) + "step-" + std::to_string(position);
}

// The position of the step a finding is anchored on: the step with its step_index and name.
std::optional<size_t> anchor_position(const Trace& trace, const std::optional<RootCause>& rc) {
  if (!rc || !rc->step_name) return std::nullopt;
  for (size_t i = 0; i < trace.steps.size(); ++i) {
    const TraceStep& s = trace.steps[i];
    if (s.step_index == rc->step_index && step_label(s) == *rc->step_name) return i;
  }
  return std::nullopt;
}

void finding(std::string& out, const std::optional<RootCause>& rc, const Trace* trace,
             std::string_view prefix) {
  out += "<div class=\"card\">";
  if (!rc) {
    out += "<p>No primary finding.</p></div>";
    return;
  }
  out += "<h3>" + html_escape(rc->label) + " " + severity_badge(rc->severity) + "</h3>";
  out += "<p class=\"meta\"><span>phase: " + html_escape(rc->phase.value_or("-")) + "</span>";
  if (rc->step_name) {
    std::string where = html_escape(*rc->step_name);
    if (rc->step_index) where += " (step_index " + std::to_string(*rc->step_index) + ")";
    auto pos = trace ? anchor_position(*trace, rc) : std::nullopt;
    out += "<span>step: " +
           (pos ? "<a href=\"#" + step_id(prefix, *pos) + "\">" + where + "</a>" : where) +
           "</span>";
  }
  if (rc->culprit) {
    const Culprit& c = *rc->culprit;
    const std::pair<const char*, const std::optional<std::string>*> fields[] = {
        {"id", &c.step_id}, {"agent", &c.agent},         {"error", &c.error},
        {"tool", &c.tool},  {"arguments", &c.arguments},
    };
    for (const auto& [name, value] : fields) {
      if (*value) out += "<span>" + std::string(name) + ": " + html_escape(**value) + "</span>";
    }
    if (c.shown_at && c.shown_at->step_name)
      out += "<span>shows at: " + html_escape(*c.shown_at->step_name) + "</span>";
  }
  out += "</p>";
  if (rc->explanation) out += "<p>" + html_escape(*rc->explanation) + "</p>";
  out += "<h3>Evidence</h3>";
  list(out, rc->evidence);
  out += "</div>";
}

void advice(std::string& out, const Recommendations& rec) {
  out += "<div class=\"card\"><h3>" + html_escape(rec.title) + " " + severity_badge(rec.severity) +
         "</h3>";
  if (rec.summary) out += "<p>" + html_escape(*rec.summary) + "</p>";
  struct Part {
    const char* name;
    const std::vector<std::string>& items;
  };
  const Part parts[] = {{"Recommended actions", rec.recommendedActions},
                        {"Instrumentation", rec.instrumentation},
                        {"Guardrails", rec.guardrails},
                        {"Observations", rec.observations},
                        {"Config changes", rec.config_changes},
                        {"Related issues", rec.related_issues}};
  for (const auto& p : parts) {
    if (p.items.empty()) continue;
    out += std::string("<h3>") + p.name + "</h3>";
    list(out, p.items);
  }
  out += "</div>";
}

void value_block(std::string& out, const char* name, const std::string& text) {
  out += std::string("<h3>") + name + "</h3>";
  if (text.size() <= kFoldAbove) {
    out += "<pre>" + html_escape(text) + "</pre>";
  } else {
    out += "<details><summary>" + num(text.size()) + " characters (show)</summary><pre>" +
           html_escape(text) + "</pre></details>";
  }
}

std::string pretty(const Json& v) {
  return v.is_string() ? v.get<std::string>()
                       : v.dump(2, ' ', false, Json::error_handler_t::replace);
}

struct Timeline {
  uint64_t total = 0;  // sum of durations: the shared time axis
  std::optional<size_t> slowest;
};

Timeline timeline_of(const Trace& t) {
  return Timeline{sum_step_durations(t.steps), slowest_step(t.steps)};
}

void step_row(std::string& out, const Trace& trace, size_t i, uint64_t axis, uint64_t start,
              std::optional<size_t> anchor, std::optional<size_t> slowest, std::string_view prefix,
              bool diverge, bool open_anchor) {
  const TraceStep& s = trace.steps[i];
  bool failed = is_failed_status(status_text(s));
  std::string_view kind = step_kind_word(step_kind(s.step_type));
  std::string cls = "step";
  if (failed) cls += " failed";
  if (anchor == i) cls += " anchor";
  if (slowest == i) cls += " slowest";
  if (diverge) cls += " diverge";
  uint64_t d = s.duration_ms.value_or(0);
  double x = axis ? 1000.0 * static_cast<double>(start) / static_cast<double>(axis) : 0;
  double w = axis ? 1000.0 * static_cast<double>(d) / static_cast<double>(axis) : 0;
  char bar[256];
  std::snprintf(bar, sizeof bar,
                "<svg class=\"bar\" viewBox=\"0 0 1000 12\" preserveAspectRatio=\"none\"><rect "
                "x=\"%.2f\" y=\"1\" "
                "width=\"%.2f\" height=\"10\" rx=\"2\" fill=\"var(--%s)\"/></svg>",
                x, std::max(w, d ? 1.0 : 0.0), std::string(kind).c_str());
  out += "<details class=\"" + cls + "\" id=\"" + step_id(prefix, i) + "\"" +
         (open_anchor && anchor == i ? " open" : "") + "><summary>";
  out += "<span>" + (s.step_index ? std::to_string(*s.step_index) : std::string("-")) + "</span>";
  out += "<span class=\"name\"><span class=\"kind\" style=\"background:var(--" + std::string(kind) +
         ")\"></span>" + html_escape(step_label(s)) + "</span>";
  out += "<span class=\"name type\">" + html_escape(s.step_type.value_or("-")) + "</span>";
  out += "<span class=\"status\">" + html_escape(s.status.value_or("-")) + "</span>";
  out += "<span class=\"dur\">" + (s.duration_ms ? num(d) + " ms" : std::string("-")) + "</span>";
  out += bar;
  out += "</summary><div class=\"body\">";
  if (s.summary) value_block(out, "Summary", *s.summary);
  if (s.error_message) value_block(out, "Error message", *s.error_message);
  if (s.raw_input) value_block(out, "Raw input", pretty(*s.raw_input));
  if (s.raw_output) value_block(out, "Raw output", pretty(*s.raw_output));
  if (s.metadata) value_block(out, "Metadata", pretty(*s.metadata));
  out += "</div></details>\n";
}

// `open_anchor` opens the anchoring step's row (recorded runs, whose finding names it).
void steps_table(std::string& out, const Trace& trace, std::optional<size_t> anchor,
                 std::string_view prefix, const std::optional<int64_t>& diverge_at = std::nullopt,
                 bool open_anchor = false) {
  Timeline tl = timeline_of(trace);
  out += "<div class=\"legend meta\">";
  for (auto k : {StepKind::kRetrieve, StepKind::kTool, StepKind::kReason, StepKind::kOutput,
                 StepKind::kOther}) {
    std::string w(step_kind_word(k));
    out +=
        "<span><span class=\"kind\" style=\"background:var(--" + w + ")\"></span>" + w + "</span>";
  }
  out += "<span>time axis: " + num(tl.total) + " ms</span></div>";
  uint64_t start = 0;
  for (size_t i = 0; i < trace.steps.size(); ++i) {
    bool diverge = diverge_at && *diverge_at >= 0 && static_cast<uint64_t>(*diverge_at) == i;
    step_row(out, trace, i, tl.total, start, anchor, tl.slowest, prefix, diverge, open_anchor);
    start += trace.steps[i].duration_ms.value_or(0);
  }
  if (trace.steps.empty()) out += "<p class=\"meta\">No steps.</p>";
}

std::string run_header(const Trace& t) {
  std::string out =
      "<p class=\"meta\"><span>status: " + html_escape(t.status.value_or("-")) + "</span>";
  out += "<span>steps: " + num(t.steps.size()) +
         "</span><span>total duration: " + num(t.total_duration_ms) + " ms</span>";
  if (t.total_cost) {
    // Sized for the number: the largest doubles have 309 digits before the point.
    int size = std::snprintf(nullptr, 0, "%.4f", *t.total_cost);
    std::string cost(static_cast<size_t>(std::max(size, 0)), '\0');
    std::snprintf(cost.data(), cost.size() + 1, "%.4f", *t.total_cost);
    out += "<span>cost: " + cost + "</span>";
  }
  return out + "</p>";
}

std::string title_of(const Trace& t) {
  return t.title            ? *t.title
         : t.id.is_string() ? t.id.get<std::string>()
                            : std::string("Recorded run");
}

}  // namespace

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string severity_badge(std::string_view severity) {
  return "<span class=\"badge " + html_escape(severity) + "\">" + html_escape(severity) + "</span>";
}

std::string html_page(std::string_view title, const std::string& body) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src "
         "'unsafe-inline'; img-src data:\">"
         "<title>" +
         html_escape(title) + "</title><style>" + std::string(kStyle) + "</style></head><body>\n" +
         body + "</body></html>\n";
}

std::string diagnosis_html(const Trace& trace, const Diagnosis& d) {
  std::string body = "<h1>" + html_escape(title_of(trace)) + "</h1>" + run_header(trace);
  body += "<p class=\"meta\"><span>outcome: <b>" + html_escape(d.outcome) + "</b></span></p>";
  body += "<h2>Primary finding</h2>";
  finding(body, d.root_cause, &trace, "");
  body += "<h2>Secondary issues</h2>";
  if (d.secondary_issues.empty()) body += "<p class=\"meta\">none</p>";
  for (const auto& issue : d.secondary_issues) finding(body, issue, &trace, "");
  if (d.recommendations) {
    body += "<h2>Recommendations</h2>";
    advice(body, *d.recommendations);
  }
  body += "<h2>Timeline</h2>";
  steps_table(body, trace, anchor_position(trace, d.root_cause), "", std::nullopt,
              d.analysis.has_value());
  return html_page(title_of(trace), body);
}

std::string comparison_html(const Trace& primary, const Trace& compared, const Comparison& c) {
  const Divergence& d = c.divergence;
  std::string body =
      "<h1>" + html_escape(title_of(primary)) + " vs " + html_escape(title_of(compared)) + "</h1>";
  body += "<div class=\"card\"><h3>" + html_escape(d.title) + " " + severity_badge(d.severity) +
          "</h3>";
  body += "<p class=\"meta\"><span>phase: " + html_escape(d.phase) +
          "</span><span>aligned position: " +
          (d.step_index ? std::to_string(*d.step_index) : std::string("-")) +
          "</span><span>duration delta: " + std::to_string(c.duration_delta_ms) +
          " ms</span></p><p>" + html_escape(d.summary) + "</p>";
  list(body, d.details);
  body += "</div>";
  body += "<h2>Findings</h2><div class=\"grid\"><div><h3>Primary run</h3>" + run_header(primary);
  finding(body, d.primary_root_cause, &primary, "p-");
  body += "</div><div><h3>Compared run</h3>" + run_header(compared);
  finding(body, d.compared_root_cause, &compared, "c-");
  body += "</div></div><h2>Suggested fix</h2>";
  advice(body, c.suggested_fix);
  // Positions align the two timelines; the divergence is marked on both sides when it is a
  // position (not for the diagnosis split, whose index is a step's own number).
  std::optional<int64_t> at = d.title == kDifferentOutcomesTitle ? std::nullopt : d.step_index;
  body += "<h2>Timelines</h2><div class=\"grid\"><div><h3>Primary</h3>";
  steps_table(body, primary, anchor_position(primary, d.primary_root_cause), "p-", at);
  body += "</div><div><h3>Compared</h3>";
  steps_table(body, compared, anchor_position(compared, d.compared_root_cause), "c-", at);
  body += "</div></div>";
  return html_page(title_of(primary) + " vs " + title_of(compared), body);
}

}  // namespace tracedx
