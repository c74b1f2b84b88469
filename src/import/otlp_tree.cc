#include <algorithm>
#include <tuple>
#include <unordered_map>

#include "import/json_members.h"
#include "import/otlp_steps.h"
#include "text/text.h"

namespace tracedx::otlp {
namespace {

// Error texts of failed spans below a span, a few per span: enough to tell whether a child
// already carries a parent's error.
constexpr size_t kCarriedErrors = 8;

bool carries(const std::vector<std::string>& below, const std::string& message) {
  if (message.empty()) return !below.empty();
  for (const auto& m : below) {
    if (!m.empty() && (contains(message, m) || contains(m, message))) return true;
  }
  return false;
}

// The spans' tree, breadth first from the roots: a span whose parent is missing (or itself)
// is a root; spans left over sit on parent cycles, and the first of each is taken as a root.
struct SpanTree {
  static constexpr size_t kNone = SIZE_MAX;
  std::vector<size_t> parent;  // kNone for a root
  std::vector<size_t> depth;
  std::vector<size_t> bfs;  // every span, parents before children
  std::vector<bool> has_children;
};

SpanTree tree_of(const std::vector<OtlpSpan>& spans) {
  const size_t n = spans.size();
  SpanTree tree;
  tree.parent.assign(n, SpanTree::kNone);
  tree.depth.assign(n, 0);
  tree.has_children.assign(n, false);
  std::unordered_map<std::string_view, size_t> by_id;
  for (size_t i = 0; i < n; ++i) by_id.emplace(spans[i].span_id, i);
  std::vector<std::vector<size_t>> children(n);
  for (size_t i = 0; i < n; ++i) {
    auto it = spans[i].parent_id.empty() ? by_id.end() : by_id.find(spans[i].parent_id);
    if (it != by_id.end() && it->second != i) {
      tree.parent[i] = it->second;
      children[it->second].push_back(i);
    }
  }
  std::vector<bool> seen(n, false);
  tree.bfs.reserve(n);
  auto walk = [&](size_t root) {
    size_t head = tree.bfs.size();
    seen[root] = true;
    tree.bfs.push_back(root);
    tree.depth[root] = 0;
    for (; head < tree.bfs.size(); ++head) {
      size_t at = tree.bfs[head];
      for (size_t c : children[at]) {
        if (seen[c]) continue;
        seen[c] = true;
        tree.depth[c] = tree.depth[at] + 1;
        tree.bfs.push_back(c);
      }
    }
  };
  for (size_t i = 0; i < n; ++i) {
    if (tree.parent[i] == SpanTree::kNone) walk(i);
  }
  for (size_t i = 0; i < n; ++i) {
    if (!seen[i]) {
      tree.parent[i] = SpanTree::kNone;  // breaks the cycle here
      walk(i);
    }
  }
  for (size_t i = 0; i < n; ++i) {
    if (tree.parent[i] != SpanTree::kNone) tree.has_children[tree.parent[i]] = true;
  }
  return tree;
}

// The error messages of the failed spans below each span (children before parents), at
// most kCarriedErrors of them.
std::vector<std::vector<std::string>> errors_below(const SpanTree& tree,
                                                   const std::vector<Failure>& failures) {
  std::vector<std::vector<std::string>> below(failures.size());
  for (size_t k = tree.bfs.size(); k-- > 0;) {
    size_t i = tree.bfs[k], p = tree.parent[i];
    if (p == SpanTree::kNone) continue;
    auto& up = below[p];
    if (failures[i].failed && up.size() < kCarriedErrors) up.push_back(failures[i].message);
    for (auto& m : below[i]) {
      if (up.size() >= kCarriedErrors) break;
      up.push_back(m);
    }
  }
  return below;
}

std::string run_title(const OtlpSpan* root) {
  if (!root) return "OTLP trace";
  for (std::string_view key : kTitleKeys) {
    auto it = root->attrs.find(key);
    if (it != root->attrs.end() && it->is_string()) return it->get<std::string>();
  }
  return root->name;
}

// Who acted in each span: the name of the nearest agent span above it (empty when there is
// none), and the run's own agent: the root agent, or the only agent with no agent above it.
struct Agents {
  std::vector<std::string> issuer;
  size_t run_agent = SpanTree::kNone;
};

std::string span_agent_name(const OtlpSpan& span) {
  for (std::string_view key : kNameKeys) {
    auto it = span.attrs.find(key);
    if (it != span.attrs.end() && it->is_string()) return it->get<std::string>();
  }
  return span.name;
}

Agents agents_of(const std::vector<OtlpSpan>& spans, const SpanTree& tree,
                 const std::vector<Kind>& kinds) {
  Agents a;
  a.issuer.assign(spans.size(), std::string());
  std::vector<bool> under_agent(spans.size(), false);
  size_t top_agents = 0, top = SpanTree::kNone;
  for (size_t i : tree.bfs) {
    size_t p = tree.parent[i];
    if (p != SpanTree::kNone) {
      under_agent[i] = under_agent[p] || kinds[p].role == Role::kAgent;
      a.issuer[i] = kinds[p].role == Role::kAgent ? span_agent_name(spans[p]) : a.issuer[p];
    }
    if (kinds[i].role == Role::kAgent && !under_agent[i]) {
      ++top_agents;
      top = i;
    }
  }
  if (top_agents == 1) a.run_agent = top;
  return a;
}

// A span chosen as a step, with the time it stands at.
struct Chosen {
  size_t span;
  std::string type;
  Role role;
};

// The spans in the order a reader follows them: depth first through the span tree, the
// children of a span in `order` (by start time), each span entered before and left after
// everything below it. Times alone cannot give this order: SDKs cut a span's start to the
// millisecond and not its end, so a child can seem to start after its parent ended, and a
// later sibling of its parent before it. Walked with an explicit stack.
struct Visit {
  size_t span;
  bool leaving;
};

std::vector<Visit> tree_walk(const SpanTree& tree, const std::vector<size_t>& order) {
  const size_t n = order.size();
  std::vector<std::vector<size_t>> children(n);
  std::vector<size_t> roots;
  for (size_t i : order) {
    if (tree.parent[i] == SpanTree::kNone)
      roots.push_back(i);
    else
      children[tree.parent[i]].push_back(i);
  }
  std::vector<Visit> out;
  out.reserve(2 * n);
  std::vector<std::pair<size_t, size_t>> stack;  // span, next child
  for (size_t r : roots) {
    out.push_back({r, false});
    stack.push_back({r, 0});
    while (!stack.empty()) {
      auto& [at, next] = stack.back();
      if (next < children[at].size()) {
        size_t c = children[at][next++];
        out.push_back({c, false});
        stack.push_back({c, 0});
      } else {
        out.push_back({at, true});
        stack.pop_back();
      }
    }
  }
  return out;
}

// Which spans are steps, in the order they stand (see tree_walk). A failed span that is not
// a step, and whose error no span below it carries, is a step anyway: it stands where the
// span ended, after what ran below it, where the error happened. A trace of plumbing only
// still shows what it did.
std::vector<Chosen> choose_steps(const std::vector<OtlpSpan>& spans,
                                 const std::vector<size_t>& order, const SpanTree& tree,
                                 const std::vector<Kind>& kinds,
                                 const std::vector<Failure>& failures,
                                 const std::vector<std::vector<std::string>>& below,
                                 const OtlpSpan* root, const Agents& agents) {
  std::vector<Chosen> chosen;
  const std::vector<Visit> walk = tree_walk(tree, order);
  auto pick = [&](bool everything) {
    for (const Visit& v : walk) {
      const size_t i = v.span;
      Role role = kinds[i].role;
      const std::string& type = kinds[i].step_type;
      // The run's own agent (the root, or the one agent under a workflow or application
      // span) is the run, not a delegation.
      bool is_root = &spans[i] == root || i == agents.run_agent;
      bool leaf = !tree.has_children[i];
      bool step = role == Role::kStep || role == Role::kModel ||
                  (role == Role::kAgent && (!is_root || leaf)) ||
                  (role == Role::kUnknown && leaf) || everything;
      if (step && !v.leaving) {
        chosen.push_back({i, type, role});
      } else if (!step && v.leaving && failures[i].failed &&
                 !carries(below[i], failures[i].message)) {
        chosen.push_back({i, type, role});
      }
    }
  };
  pick(false);
  if (chosen.empty()) pick(true);
  return chosen;
}

// The run failed when its root span failed, or when a failed step was followed neither by
// a step of the same type and name that completed (a retry that recovered) nor by a tool
// call or retrieval that completed (the agent went on another way).
bool run_failed(const std::vector<StepDraft>& drafts, bool root_failed) {
  if (root_failed) return true;
  std::unordered_map<std::string_view, size_t> last_completed;
  std::optional<size_t> last_tool;
  for (size_t i = 0; i < drafts.size(); ++i) {
    if (drafts[i].failed) continue;
    last_completed[drafts[i].operation] = i;
    if (drafts[i].tool) last_tool = i;
  }
  for (size_t i = 0; i < drafts.size(); ++i) {
    if (!drafts[i].failed) continue;
    auto it = last_completed.find(drafts[i].operation);
    bool retried = it != last_completed.end() && it->second > i;
    bool went_on = last_tool && *last_tool > i;
    if (!retried && !went_on) return true;
  }
  return false;
}

}  // namespace

Trace trace_of_spans(std::vector<OtlpSpan>& spans) {
  const size_t n = spans.size();
  const SpanTree tree = tree_of(spans);
  std::vector<Kind> kinds(n);
  std::vector<Failure> failures(n);
  for (size_t i = 0; i < n; ++i) {
    kinds[i] = kind_of(spans[i]);
    failures[i] = failure_of(spans[i]);
  }
  const auto below = errors_below(tree, failures);

  // By start time, depth (parent first), end time and span id.
  // The keys are gathered first, so the sort compares them without visiting the spans.
  using Key = std::tuple<uint64_t, size_t, uint64_t, std::string_view, size_t>;
  std::vector<Key> keys(n);
  for (size_t i = 0; i < n; ++i) {
    keys[i] = Key(spans[i].start.value_or(0), tree.depth[i], spans[i].end.value_or(0),
                  std::string_view(spans[i].span_id), i);
  }
  // Spans equal on all four (a repeated span id) keep the order the sort has always given
  // them: the index is carried, not compared.
  std::sort(keys.begin(), keys.end(), [](const Key& x, const Key& y) {
    return std::tie(std::get<0>(x), std::get<1>(x), std::get<2>(x), std::get<3>(x)) <
           std::tie(std::get<0>(y), std::get<1>(y), std::get<2>(y), std::get<3>(y));
  });
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = std::get<4>(keys[i]);
  const OtlpSpan* root = nullptr;
  for (size_t i : order) {
    if (tree.depth[i] == 0) {
      root = &spans[i];
      break;
    }
  }

  // Named before the steps are made: making a step takes its name out of the attributes.
  const std::string title = run_title(root);
  const Agents agents = agents_of(spans, tree, kinds);
  std::vector<StepDraft> drafts;
  std::optional<double> cost;
  for (const auto& c : choose_steps(spans, order, tree, kinds, failures, below, root, agents)) {
    StepDraft d = make_step(spans[c.span], drafts.size(), c.type, c.role, &spans[c.span] == root);
    if (!agents.issuer[c.span].empty()) (*d.step.metadata)["agent"] = agents.issuer[c.span];
    if (d.cost) cost = cost.value_or(0) + *d.cost;
    drafts.push_back(std::move(d));
  }
  // The final answer is the last model output that did not finish by calling tools.
  for (size_t i = drafts.size(); i-- > 0;) {
    if (!drafts[i].model || drafts[i].failed || drafts[i].calls_tools) continue;
    drafts[i].step.step_type = "final_answer";
    break;
  }
  const bool failed = run_failed(drafts, root && failures[root - spans.data()].failed);

  const bool root_failed = root && failures[root - spans.data()].failed;
  Trace trace;
  trace.id = spans.empty() ? std::string() : spans.front().trace_id;
  trace.title = title;
  trace.status = failed ? "failed" : "completed";
  trace.recorded_from = "otlp";
  // Only a failed root span records the run's outcome; otherwise it is read off the steps.
  trace.status_inferred = !root_failed;
  if (root) {
    std::string service = string_member(root->resource_attrs(), "service.name");
    if (!service.empty()) trace.service_name = std::move(service);
  }
  trace.total_cost = cost;
  trace.steps.reserve(drafts.size());
  for (auto& d : drafts) trace.steps.push_back(std::move(d.step));
  trace.total_duration_ms = sum_step_durations(trace.steps);
  return trace;
}

Json fixture_of_trace(const Trace& trace) {
  Json run = {{"id", trace.id}};
  if (trace.title) run["title"] = *trace.title;
  if (trace.status) run["status"] = *trace.status;
  if (trace.recorded_from) run["recorded_from"] = *trace.recorded_from;
  if (trace.status_inferred) run["status_inferred"] = true;
  if (trace.service_name) run["service_name"] = *trace.service_name;
  if (trace.total_cost) run["total_cost"] = *trace.total_cost;
  Json steps = Json::array();
  for (const auto& s : trace.steps) {
    Json step = Json::object();
    if (s.id) step["id"] = *s.id;
    if (s.step_index) step["step_index"] = static_cast<uint64_t>(*s.step_index);
    if (s.step_type) step["step_type"] = *s.step_type;
    if (s.display_name) step["display_name"] = *s.display_name;
    if (s.summary) step["summary"] = *s.summary;
    if (s.raw_input) step["raw_input"] = *s.raw_input;
    if (s.raw_output) step["raw_output"] = *s.raw_output;
    if (s.status) step["status"] = *s.status;
    if (s.duration_ms) step["duration_ms"] = *s.duration_ms;
    if (s.error_message) step["error_message"] = *s.error_message;
    if (s.metadata) step["metadata"] = *s.metadata;
    steps.push_back(std::move(step));
  }
  return {{"run", std::move(run)}, {"steps", std::move(steps)}};
}

Json fixture_of_spans(std::vector<OtlpSpan>& spans) {
  return fixture_of_trace(trace_of_spans(spans));
}

}  // namespace tracedx::otlp
