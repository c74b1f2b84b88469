#include "report/report_text.h"

namespace tracedx {

std::string visible(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {  // C1 control, U+0080 to U+009F
      out += "\\u00";
      out += kHex[next >> 4];
      out += kHex[next & 15];
      ++i;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

namespace {

class Writer {
 public:
  explicit Writer(bool colour) : colour_(colour) {}

  void heading(std::string_view text) { out_ += paint("1", text) + "\n"; }
  void line(std::string_view indent, std::string_view text) {
    out_ += std::string(indent) + std::string(text) + "\n";
  }
  void field(std::string_view indent, std::string_view name, std::string_view value) {
    out_ += std::string(indent) + paint("1", name) + ":" + (value.empty() ? "" : " ") +
            std::string(value) + "\n";
  }
  void bullets(std::string_view indent, const std::vector<std::string>& items) {
    if (items.empty()) line(indent, "(none)");
    for (const auto& item : items) line(indent, "- " + visible(item));
  }
  void blank() { out_ += "\n"; }
  std::string severity(std::string_view s) {
    const char* code = s == "high" ? "31" : s == "medium" ? "33" : "32";
    std::string tag = "[";
    tag.append(s).append("]");
    return paint(code, tag);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string paint(std::string_view code, std::string_view text) const {
    if (!colour_) return std::string(text);
    return "\x1b[" + std::string(code) + "m" + std::string(text) + "\x1b[0m";
  }

  bool colour_;
  std::string out_;
};

std::string place(const RootCause& rc) {
  std::string out = visible(rc.step_name.value_or("no anchoring step"));
  if (rc.step_index) out += " (step_index " + std::to_string(*rc.step_index) + ")";
  return out;
}

// Where a recorded run's finding points: only the values the run recorded are printed.
void culprit(Writer& w, const Culprit& c) {
  const std::pair<std::string_view, const std::optional<std::string>*> fields[] = {
      {"Step id", &c.step_id}, {"Agent", &c.agent},         {"Error", &c.error},
      {"Tool", &c.tool},       {"Arguments", &c.arguments},
  };
  for (const auto& [name, value] : fields) {
    if (*value) w.field("  ", name, visible(**value));
  }
  if (c.shown_at) {
    std::string at = visible(c.shown_at->step_name.value_or("-"));
    if (c.shown_at->step_index)
      at += " (step_index " + std::to_string(*c.shown_at->step_index) + ")";
    if (c.shown_at->step_id) at += " id " + visible(*c.shown_at->step_id);
    w.field("  ", "Shows at", at);
  }
}

void finding(Writer& w, std::string_view title, const std::optional<RootCause>& rc) {
  if (!rc) {
    w.field("", title, "none");
    return;
  }
  w.field("", title, visible(rc->label) + " " + w.severity(rc->severity));
  w.field("  ", "Phase", visible(rc->phase.value_or("-")));
  w.field("  ", "Step", place(*rc));
  if (rc->culprit) culprit(w, *rc->culprit);
  w.field("  ", "Evidence", "");
  w.bullets("    ", rc->evidence);
  w.field("  ", "Explanation", visible(rc->explanation.value_or("-")));
}

void advice(Writer& w, std::string_view indent, const Recommendations& rec, bool compare) {
  w.field(indent, "Advice", visible(rec.title) + " " + w.severity(rec.severity));
  std::string inner = std::string(indent) + "  ";
  if (rec.summary) w.field(inner, "Summary", visible(*rec.summary));
  struct List {
    std::string_view name;
    const std::vector<std::string>& items;
  };
  const List lists[] = {{"Recommended actions", rec.recommendedActions},
                        {"Instrumentation", rec.instrumentation},
                        {"Guardrails", rec.guardrails},
                        {"Observations", rec.observations},
                        {"Config changes", rec.config_changes},
                        {"Related issues", rec.related_issues}};
  for (const auto& list : lists) {
    if (!compare && list.items.empty() && list.name != "Recommended actions") continue;
    w.field(inner, list.name, "");
    w.bullets(inner + "  ", list.items);
  }
}

}  // namespace

std::string diagnosis_text(const Diagnosis& d, bool colour) {
  Writer w(colour);
  w.field("", "Outcome", visible(d.outcome));
  if (d.analysis)
    w.field("", "Analysis",
            visible(*d.analysis) + " (from the run's structure; --exact for the fixed rules)");
  finding(w, "Primary finding", d.root_cause);
  w.blank();
  w.heading("Secondary issues:");
  if (d.secondary_issues.empty()) w.line("  ", "(none)");
  for (const auto& issue : d.secondary_issues) {
    w.line("  ",
           "- " + visible(issue.label) + " " + w.severity(issue.severity) + " at " + place(issue));
    for (const auto& e : issue.evidence) w.line("      ", visible(e));
  }
  if (d.recommendations) {
    w.blank();
    advice(w, "", *d.recommendations, false);
  }
  return w.take();
}

std::string comparison_text(const Comparison& c, bool colour) {
  Writer w(colour);
  const Divergence& d = c.divergence;
  w.field("", "Divergence", visible(d.title) + " " + w.severity(d.severity));
  std::string step = d.step_index ? "aligned position " + std::to_string(*d.step_index) : "-";
  if (d.primary_step_name || d.compared_step_name) {
    step += " (primary: " + visible(d.primary_step_name.value_or("-")) +
            ", compared: " + visible(d.compared_step_name.value_or("-")) + ")";
  }
  w.field("  ", "Step", step);
  w.field("  ", "Phase", visible(d.phase));
  w.field("  ", "Summary", visible(d.summary));
  w.field("  ", "Details", "");
  w.bullets("    ", d.details);
  w.field("", "Duration delta", std::to_string(c.duration_delta_ms) + " ms");
  w.blank();
  finding(w, "Primary finding", d.primary_root_cause);
  w.blank();
  finding(w, "Compared finding", d.compared_root_cause);
  w.blank();
  advice(w, "", c.suggested_fix, true);
  return w.take();
}

}  // namespace tracedx
