#include "analysis/run_facts.h"

#include <functional>
#include <map>
#include <set>
#include <span>
#include <string_view>

#include "text/json_writer.h"
#include "text/keyword_matcher.h"
#include "text/text.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

struct RoleRow {
  std::string_view step_type;
  StepRole role;
};

// Step types the importers write, by what the step is.
// clang-format off
constexpr RoleRow kRoles[] = {
  {"llm_reasoning",        StepRole::kModel},
  {"final_answer",         StepRole::kModel},
  {"reasoning",            StepRole::kModel},
  {"planner",              StepRole::kModel},
  {"web_search",           StepRole::kModel},      // a searching agent's message in a chat
  {"tool_call",            StepRole::kToolCall},
  {"tool_result",          StepRole::kToolResult},
  {"retrieval",            StepRole::kRetrieval},
  {"rerank_retrieval",     StepRole::kRetrieval},
  {"delegation",           StepRole::kWorker},
  {"agent_run",            StepRole::kRun},
  {"user_input",           StepRole::kUser},
  {"setup",                StepRole::kSetup},
};
// clang-format on

// Words of a tool's name that make it a search: what it returns is evidence it looked for.
constexpr std::string_view kSearchWords[] = {"search", "retriev", "lookup",
                                             "query",  "browse",  "find"};

// Phrases by which an answer declines or gives up rather than answering.
constexpr std::string_view kDeclines[] = {
    "i'm sorry",
    "i am sorry",
    "sorry,",
    "unfortunately",
    "could not",
    "couldn't",
    "was unable",
    "were unable",
    "i'm unable",
    "i am unable",
    "unable to",
    "not able to",
    "cannot",
    "can't",
    "no information",
    "don't have",
    "do not have",
    "don't know",
    "do not know",
    "no results",
    "nothing relevant",
    "not find",
    "failed to",
    "did not find",
    "didn't find",
    "no relevant",
    "not available",
    "not found",
    // ...or reports that nothing was found, which the empty result supports
    "there are no",
    "there is no",
    "there were no",
    "no matching",
    "none of",
    "nothing",
};

// Members of a message that hold its text.
constexpr std::string_view kTextKeys[] = {"content", "text"};

// Arguments and values shown in evidence are cut to this many bytes.
constexpr size_t kShownValueBytes = 120;

const Json kNoValue;  // null, for a member that is missing

StepRole role_of(const TraceStep& step) {
  const std::string type = norm(MaybeText(step.step_type));
  for (const auto& row : kRoles) {
    if (type == row.step_type) return row.role;
  }
  return StepRole::kOther;
}

const Json* meta_member(const TraceStep& step, std::string_view key) {
  if (!step.metadata || !step.metadata->is_object()) return nullptr;
  auto it = step.metadata->find(key);
  return it == step.metadata->end() ? nullptr : &*it;
}

std::string meta_text(const TraceStep& step, std::string_view key) {
  const Json* v = meta_member(step, key);
  return v && v->is_string() ? v->get<std::string>() : std::string();
}

// A JSON text held in a string is decoded (into `storage`), so "[]" and [] are the same
// result; any other value is given as it is, without a copy.
const Json& decoded(const Json& v, Json& storage) {
  if (!v.is_string()) return v;
  std::string_view s = trim_ascii(v.get_ref<const std::string&>());
  if (s.empty() || (s.front() != '{' && s.front() != '[')) return v;
  // Read with the loader's limits (nesting depth among them), so no text makes a value
  // deeper than the rest of the run can hold.
  auto parsed = parse_json(s);
  if (!parsed) return v;
  storage = std::move(*parsed);
  return storage;
}

// Nothing came back: null, an empty text, list or object, or an object whose lists and
// objects are all empty ({"results": [], "message": "No results found"}).
bool is_empty_value(const Json& v) {
  if (v.is_null()) return true;
  if (v.is_string()) return trim_ascii(v.get_ref<const std::string&>()).empty();
  if (v.is_array()) return v.empty();
  if (!v.is_object()) return false;
  bool container = false;
  for (const auto& [k, m] : v.items()) {
    if (m.is_array() || m.is_object()) {
      container = true;
      if (!is_empty_value(m)) return false;
    }
  }
  return v.empty() || container;
}

// Values nested in strings, trimmed and lowercased, so that the same call written twice
// gives the same text.
std::string normalised_json(const Json& v) {
  // norm without its trim: compact JSON neither starts nor ends with white space.
  return lowered(compact_json(v));
}

// A value as a user reads it in evidence: compact JSON with long strings shortened, and
// the whole shortened too.
std::string shown(const Json& v) {
  return compact_json_shortened(v, kShownValueBytes, 4 * kShownValueBytes);
}

// A result is kept as a hash and a preview, not a copy: results can be whole documents.
// A long text is hashed as it is and only its start is written: its compact JSON is one
// to one with it. Its hash is set apart from the hashes of compact JSON texts, so a text
// never equals a value whose JSON it spells.
void set_result(Call& c, const Json& out) {
  constexpr uint64_t kTextResult = 0x9e3779b97f4a7c15ull;
  if (out.is_string()) {
    const std::string& s = out.get_ref<const std::string&>();
    if (s.size() > 2 * kShownValueBytes && (is_ascii(s) || is_valid_utf8(s))) {
      c.result_hash = std::hash<std::string_view>{}(s) ^ kTextResult;
      // Whole characters past the preview's length: their JSON is at least as long.
      size_t cut = kShownValueBytes + 4;
      while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
      std::string text;
      append_json_string(text, std::string_view(s).substr(0, cut));
      c.result_preview = text.substr(0, kShownValueBytes);
      return;
    }
  }
  const std::string text = compact_json(out);
  c.result_hash = std::hash<std::string>{}(text);
  c.result_preview = text.substr(0, std::min<size_t>(text.size(), kShownValueBytes));
}

bool search_like(std::string_view tool) {
  const std::string name = lower(tool);
  for (auto word : kSearchWords) {
    if (contains(name, word)) return true;
  }
  return false;
}

void collect_text(const Json& v, std::string& out, int depth) {
  if (depth > 8) return;
  if (v.is_string()) {
    if (!out.empty()) out += '\n';
    out += v.get_ref<const std::string&>();
  } else if (v.is_array()) {
    for (const auto& m : v) collect_text(m, out, depth + 1);
  } else if (v.is_object()) {
    for (auto key : kTextKeys) {
      if (auto it = v.find(key); it != v.end()) collect_text(*it, out, depth + 1);
    }
    for (const char* key : {"parts", "message", "messages", "choices"}) {
      if (auto it = v.find(key); it != v.end()) collect_text(*it, out, depth + 1);
    }
  }
}

// The calls of a span: a tool call or retrieval with its input and output in one step.
Call span_call(const TraceStep& step, size_t at, StepRole role) {
  Call c;
  c.step = at;
  c.tool = step.display_name ? *step.display_name : std::string();
  const Json& in = step.raw_input ? *step.raw_input : kNoValue;
  Json storage;
  const Json& args = decoded(in, storage);
  c.arguments = normalised_json(args);
  c.shown_arguments = step.raw_input ? shown(args) : std::string();
  c.failed = norm(MaybeText(step.status)) == "failed" || norm(MaybeText(step.status)) == "error";
  c.search = role == StepRole::kRetrieval || search_like(c.tool);
  if (const Json* count = meta_member(step, "results_count"); count && count->is_number()) {
    c.has_result = true;
    c.empty = count->get<double>() == 0;
  }
  if (step.raw_output) {
    Json out_storage;
    const Json& out = decoded(*step.raw_output, out_storage);
    c.has_result = true;
    set_result(c, out);
    c.empty = c.empty || is_empty_value(out);
  }
  return c;
}

// The "name" of a call or of its function, when it is a text.
std::string name_member(const Json& object) {
  auto it = object.find("name");
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The call a chat message's function object ({"name", "arguments"}) makes, at step `at`.
Call function_call(const Json& fn, size_t at) {
  Call c;
  c.step = at;
  c.tool = name_member(fn);
  Json storage;
  auto given = fn.find("arguments");
  const Json& args = decoded(given != fn.end() ? *given : kNoValue, storage);
  c.arguments = normalised_json(args);
  c.shown_arguments = shown(args);
  c.search = search_like(c.tool);
  return c;
}

// The calls of a chat message that requests tools: one per entry of its tool_calls (else
// its one function_call).
void chat_calls(const TraceStep& step, size_t at, std::vector<Call>& calls,
                std::map<std::string, size_t, std::less<>>& by_id) {
  if (!step.raw_input || !step.raw_input->is_object()) return;
  auto list = step.raw_input->find("tool_calls");
  if (list == step.raw_input->end() || !list->is_array()) {
    auto fn = step.raw_input->find("function_call");
    if (fn == step.raw_input->end() || !fn->is_object()) return;
    calls.push_back(function_call(*fn, at));
    return;
  }
  for (const auto& call : *list) {
    if (!call.is_object()) continue;
    const Json* fn =
        call.contains("function") && call["function"].is_object() ? &call["function"] : &call;
    if (call.contains("id") && call["id"].is_string())
      by_id[call["id"].get<std::string>()] = calls.size();
    calls.push_back(function_call(*fn, at));
  }
}

// Gives a chat tool result to the call it answers: by its tool_call_id, else to the oldest
// call of the same tool (or of any tool) still waiting for its result.
void answer_call(const TraceStep& step, size_t at, std::vector<Call>& calls,
                 const std::map<std::string, size_t, std::less<>>& by_id, size_t& waiting_from) {
  std::optional<size_t> target;
  if (auto it = by_id.find(meta_text(step, "tool_call_id")); it != by_id.end()) target = it->second;
  const std::string name = step.display_name ? *step.display_name : std::string();
  for (size_t k = waiting_from; !target && k < calls.size(); ++k) {
    if (!calls[k].result_step && (calls[k].tool == name || name.empty())) target = k;
  }
  for (size_t k = waiting_from; !target && k < calls.size(); ++k) {
    if (!calls[k].result_step) target = k;
  }
  if (!target) return;
  Call& c = calls[*target];
  if (c.result_step) return;
  c.result_step = at;
  Json storage;
  const Json& out = step.raw_output ? decoded(*step.raw_output, storage) : kNoValue;
  c.has_result = true;
  set_result(c, out);
  c.empty = is_empty_value(out);
  c.failed = norm(MaybeText(step.status)) == "failed";
  while (waiting_from < calls.size() && calls[waiting_from].result_step) ++waiting_from;
}

}  // namespace

std::string answer_text(const TraceStep& step) {
  std::string out;
  if (step.raw_output) collect_text(*step.raw_output, out, 0);
  return out;
}

RunFacts read_run_facts(const Trace& trace) {
  RunFacts f;
  f.chat = trace.recorded_from && *trace.recorded_from == "chat";
  const std::string status = norm(trace.status);
  f.run_failed = status == "failed" || status == "error";
  f.run_succeeded = status == "completed" || status == "success" || status == "passed";
  f.steps.reserve(trace.steps.size());
  std::map<std::string, size_t, std::less<>> by_id;
  size_t waiting_from = 0;
  for (size_t i = 0; i < trace.steps.size(); ++i) {
    const TraceStep& step = trace.steps[i];
    StepFacts s;
    s.role = role_of(step);
    const std::string st = norm(MaybeText(step.status));
    s.failed = st == "failed" || st == "error";
    s.agent = meta_text(step, "agent");
    if (step.id) s.id = step.id->is_string() ? step.id->get<std::string>() : compact_json(*step.id);
    if (s.failed) s.error = classify_error(step);
    if (norm(MaybeText(step.step_type)) == "final_answer") f.final_answer = i;
    if (f.chat) {
      if (s.role == StepRole::kToolCall) chat_calls(step, i, f.calls, by_id);
      if (s.role == StepRole::kToolResult) answer_call(step, i, f.calls, by_id, waiting_from);
    } else if (s.role == StepRole::kToolCall || s.role == StepRole::kRetrieval ||
               (s.role == StepRole::kOther && (step.raw_input || step.raw_output))) {
      // A step of no known kind that took input or gave output (a framework's task) is a
      // call too.
      f.calls.push_back(span_call(step, i, s.role));
    }
    f.steps.push_back(std::move(s));
  }
  if (f.final_answer) {
    const std::string text = answer_text(trace.steps[*f.final_answer]);
    f.final_has_text = !trim_ascii(text).empty();
    f.final_declines = declines(text);
  }
  std::set<std::string_view> agents;
  for (const auto& s : f.steps) {
    if (!s.agent.empty()) agents.insert(s.agent);
  }
  f.agents = agents.size();
  return f;
}

bool declines(std::string_view answer) {
  // All the phrases in one automaton: the answer is read once, however many there are.
  static const KeywordMatcher matcher = [] {
    std::string joined;
    for (auto phrase : kDeclines) joined += (joined.empty() ? "" : "|") + std::string(phrase);
    const std::string_view lists[] = {joined};
    return KeywordMatcher(lists);
  }();
  KeywordScan scan(matcher);
  scan.feed_lower(answer);
  return scan.hits().test(0);
}

}  // namespace tracedx
