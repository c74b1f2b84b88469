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

}  // namespace

OrderedJson to_json(const RootCause& rc) {
  OrderedJson j = OrderedJson::object();
  j["step_index"] = optional_json(rc.step_index);
  j["label"] = rc.label;
  j["evidence"] = rc.evidence;
  j["phase"] = optional_json(rc.phase);
  j["severity"] = rc.severity;
  j["explanation"] = optional_json(rc.explanation);
  j["step_name"] = optional_json(rc.step_name);
  if (rc.culprit) {
    const Culprit& c = *rc.culprit;
    j["step_id"] = optional_json(c.step_id);
    j["agent"] = optional_json(c.agent);
    j["error"] = optional_json(c.error);
    j["tool"] = optional_json(c.tool);
    j["arguments"] = optional_json(c.arguments);
    if (c.shown_at) {
      OrderedJson at = OrderedJson::object();
      at["step_index"] = optional_json(c.shown_at->step_index);
      at["step_name"] = optional_json(c.shown_at->step_name);
      at["step_id"] = optional_json(c.shown_at->step_id);
      j["shown_at"] = std::move(at);
    } else {
      j["shown_at"] = nullptr;
    }
  }
  return j;
}

OrderedJson to_json(const Recommendations& rec) {
  OrderedJson j = OrderedJson::object();
  j["recommendedActions"] = rec.recommendedActions;
  j["instrumentation"] = rec.instrumentation;
  j["guardrails"] = rec.guardrails;
  j["observations"] = rec.observations;
  j["config_changes"] = rec.config_changes;
  j["related_issues"] = rec.related_issues;
  j["title"] = rec.title;
  j["severity"] = rec.severity;
  j["summary"] = optional_json(rec.summary);
  return j;
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
  OrderedJson j = OrderedJson::object();
  j["root_cause"] = optional_record(d.root_cause);
  OrderedJson issues = OrderedJson::array();
  for (const auto& issue : d.secondary_issues) issues.push_back(to_json(issue));
  j["secondary_issues"] = std::move(issues);
  j["outcome"] = d.outcome;
  j["recommendations"] = optional_record(d.recommendations);
  j["engine"] = d.engine;
  j["engine_version"] = d.engine_version;
  j["ruleset"] = d.ruleset;
  if (d.analysis) j["analysis"] = *d.analysis;
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

namespace {

// Writes members and values in the order given, as the compact dump of the ordered JSON
// value would: no spaces, null for an absent value, [] for an empty list.
class CompactWriter {
 public:
  explicit CompactWriter(std::string& out) : out_(out) {}

  void open() {
    out_ += '{';
    first_ = true;
  }
  void close() {
    out_ += '}';
    first_ = false;
  }
  void key(std::string_view k) {
    if (!first_) out_ += ',';
    first_ = false;
    out_ += '"';
    out_ += k;  // member names are plain ASCII words
    out_ += "\":";
  }
  void text(std::string_view v) { append_json_string(out_, v); }
  void text(const std::string& v) { append_json_string(out_, v); }
  void text(const std::optional<std::string>& v) {
    if (v)
      text(*v);
    else
      out_ += "null";
  }
  void integer(const std::optional<int64_t>& v) {
    if (v)
      out_ += std::to_string(*v);
    else
      out_ += "null";
  }
  void texts(const std::vector<std::string>& list) {
    out_ += '[';
    for (size_t i = 0; i < list.size(); ++i) {
      if (i) out_ += ',';
      text(list[i]);
    }
    out_ += ']';
  }
  void finding(const RootCause& rc) {
    open();
    key("step_index");
    integer(rc.step_index);
    key("label");
    text(rc.label);
    key("evidence");
    texts(rc.evidence);
    key("phase");
    text(rc.phase);
    key("severity");
    text(rc.severity);
    key("explanation");
    text(rc.explanation);
    key("step_name");
    text(rc.step_name);
    if (rc.culprit) culprit(*rc.culprit);
    close();
  }
  void culprit(const Culprit& c) {
    key("step_id");
    text(c.step_id);
    key("agent");
    text(c.agent);
    key("error");
    text(c.error);
    key("tool");
    text(c.tool);
    key("arguments");
    text(c.arguments);
    key("shown_at");
    if (!c.shown_at) {
      out_ += "null";
      return;
    }
    open();
    key("step_index");
    integer(c.shown_at->step_index);
    key("step_name");
    text(c.shown_at->step_name);
    key("step_id");
    text(c.shown_at->step_id);
    close();
  }
  void advice(const Recommendations& rec) {
    open();
    key("recommendedActions");
    texts(rec.recommendedActions);
    key("instrumentation");
    texts(rec.instrumentation);
    key("guardrails");
    texts(rec.guardrails);
    key("observations");
    texts(rec.observations);
    key("config_changes");
    texts(rec.config_changes);
    key("related_issues");
    texts(rec.related_issues);
    key("title");
    text(rec.title);
    key("severity");
    text(rec.severity);
    key("summary");
    text(rec.summary);
    close();
  }
  void diagnosis(const Diagnosis& d) {
    open();
    key("root_cause");
    if (d.root_cause)
      finding(*d.root_cause);
    else
      out_ += "null";
    key("secondary_issues");
    out_ += '[';
    for (size_t i = 0; i < d.secondary_issues.size(); ++i) {
      if (i) out_ += ',';
      finding(d.secondary_issues[i]);
    }
    out_ += ']';
    first_ = false;
    key("outcome");
    text(d.outcome);
    key("recommendations");
    if (d.recommendations)
      advice(*d.recommendations);
    else
      out_ += "null";
    key("engine");
    text(d.engine);
    key("engine_version");
    text(d.engine_version);
    key("ruleset");
    text(d.ruleset);
    if (d.analysis) {
      key("analysis");
      text(*d.analysis);
    }
    close();
  }

 private:
  std::string& out_;
  bool first_ = true;
};

}  // namespace

void append_compact_json(std::string& out, const Diagnosis& d) {
  CompactWriter(out).diagnosis(d);
}

std::string dump_report(const OrderedJson& doc, bool compact) {
  return compact ? doc.dump(-1, ' ', false, OrderedJson::error_handler_t::replace)
                 : doc.dump(2, ' ', false, OrderedJson::error_handler_t::replace);
}

}  // namespace tracedx
