#include "import/otlp_steps.h"

#include <algorithm>
#include <map>

#include "import/json_members.h"
#include "import/otlp_values.h"
#include "text/json_writer.h"
#include "text/text.h"
#include "trace/fixture_loader.h"

namespace tracedx::otlp {
namespace {

// Takes an attribute out of the bag (so the rest can go to metadata).
std::optional<Json> take(Json& attrs, std::string_view key) {
  auto it = attrs.find(key);
  if (it == attrs.end()) return std::nullopt;
  Json v = std::move(*it);
  attrs.erase(it);
  return v;
}

std::string text_of(const std::optional<Json>& v) {
  if (!v) return {};
  return v->is_string() ? v->get<std::string>() : compact_json(*v);
}

// A value that says it is JSON (by mime type or by its first character) is decoded.
Json decoded(Json value, const std::optional<Json>& mime) {
  if (!value.is_string()) return value;
  std::string_view s = trim_ascii(value.get_ref<const std::string&>());
  bool json_mime = mime && mime->is_string() && contains(mime->get<std::string>(), "json");
  if (json_mime || (!s.empty() && (s.front() == '{' || s.front() == '['))) {
    if (auto parsed = parse_json(s)) return std::move(*parsed);
  }
  return value;
}

// Flattened lists ("llm.input_messages.0.message.content") are re-nested at most this many
// levels deep; the segments after that stay one key, so a key of any length costs one pass.
constexpr size_t kMaxPathSegments = 32;

// Sorts index keys by their number: "2" before "10". Keys are all digits.
bool index_less(std::string_view x, std::string_view y) {
  auto strip = [](std::string_view s) {
    size_t i = s.find_first_not_of('0');
    return i == std::string_view::npos ? std::string_view("0") : s.substr(i);
  };
  x = strip(x), y = strip(y);
  return x.size() != y.size() ? x.size() < y.size() : x < y;
}

// Objects whose keys are all indices become arrays in index order, without gaps: an index
// names a position, not a size (`llm.input_messages.999999` makes a one-element list).
// Children before parents, with an explicit stack.
void arrays_from_indices(Json& root) {
  std::vector<std::pair<Json*, bool>> stack{{&root, false}};
  while (!stack.empty()) {
    auto [node, children_done] = stack.back();
    stack.pop_back();
    if (!node->is_object() && !node->is_array()) continue;
    if (!children_done) {
      stack.push_back({node, true});
      for (auto& child : *node) stack.push_back({&child, false});
      continue;
    }
    if (!node->is_object() || node->empty()) continue;
    std::vector<std::pair<std::string_view, Json*>> items;
    for (auto it = node->begin(); it != node->end(); ++it) {
      if (!digits(it.key())) break;
      items.emplace_back(it.key(), &it.value());
    }
    if (items.size() != node->size()) continue;
    std::stable_sort(items.begin(), items.end(),
                     [](const auto& x, const auto& y) { return index_less(x.first, y.first); });
    Json list = Json::array();
    for (auto& item : items) list.push_back(std::move(*item.second));
    *node = std::move(list);
  }
}

// Puts `value` at the dotted `path` under `root`, one object level per segment.
void set_path(Json& root, std::string_view path, Json value) {
  Json* node = &root;
  for (size_t segments = 1;; ++segments) {
    size_t dot = segments < kMaxPathSegments ? path.find('.') : std::string_view::npos;
    if (!node->is_object()) *node = Json::object();
    Json& child = (*node)[std::string(path.substr(0, dot))];
    if (dot == std::string_view::npos) {
      child = std::move(value);
      return;
    }
    node = &child;
    path.remove_prefix(dot + 1);
  }
}

// Takes the flattened list under `prefix` ("prefix.N...") out of the bag, re-nested.
std::optional<Json> nested(Json& attrs, std::string_view prefix) {
  std::optional<Json> out;
  if (!attrs.is_object()) return out;
  auto& bag = attrs.get_ref<Json::object_t&>();
  std::string lead = std::string(prefix) + ".";
  for (auto it = bag.lower_bound(lead); it != bag.end();) {
    const std::string& key = it->first;
    if (key.rfind(lead, 0) != 0) break;
    if (key.size() > lead.size() && key[lead.size()] >= '0' && key[lead.size()] <= '9') {
      if (!out) out = Json::object();
      set_path(*out, std::string_view(key).substr(lead.size()), std::move(it->second));
      it = bag.erase(it);
    } else {
      ++it;
    }
  }
  if (out) arrays_from_indices(*out);
  return out;
}

std::string lower(std::string s) {
  for (char& c : s) c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
  return s;
}

// True when an output holds a non-empty list of tool calls, or a part or message typed as
// one. Empty `tool_calls: []` lists (LangChain writes them on every message) do not count.
bool calls_tools(const Json& output) {
  std::vector<const Json*> stack{&output};
  while (!stack.empty()) {
    const Json* node = stack.back();
    stack.pop_back();
    if (node->is_object()) {
      for (auto it = node->begin(); it != node->end(); ++it) {
        if ((it.key() == "tool_calls" || it.key() == "function_call") && !it->empty() &&
            (it->is_array() || it->is_object()))
          return true;
        if (it.key() == "type" && it->is_string() &&
            one_of(it->get_ref<const std::string&>(), kToolFinishes))
          return true;
        stack.push_back(&*it);
      }
    } else if (node->is_array()) {
      for (const auto& e : *node) stack.push_back(&e);
    }
  }
  return false;
}

// A status message that holds a stack trace after a blank line keeps the part before it.
std::string without_stack(const std::string& message) {
  size_t blank = message.find("\n\n");
  if (blank == std::string::npos) return message;
  std::string_view rest = std::string_view(message).substr(blank);
  if (contains(rest, "\n    at ") || contains(rest, "Traceback (most recent call last)"))
    return message.substr(0, blank);
  return message;
}

}  // namespace

Failure failure_of(const OtlpSpan& span) {
  Failure f;
  std::string exception;
  for (const auto& e : span.events) {
    if (e["name"] != "exception") continue;
    const Json& ea = e["attributes"];
    f.exception_type = string_member(ea, "exception.type");
    std::string msg = string_member(ea, "exception.message");
    exception = f.exception_type.empty() ? msg
                : msg.empty()            ? f.exception_type
                                         : f.exception_type + ": " + msg;
    if (exception.empty()) exception = "exception";
  }
  auto error_type = span.attrs.find("error.type");
  bool has_error_type = error_type != span.attrs.end() && !error_type->is_null();
  f.failed = span.status_code == 2 || !exception.empty() || has_error_type;
  if (!span.status_message.empty())
    f.message = without_stack(span.status_message);
  else if (!exception.empty())
    f.message = exception;
  else if (has_error_type)
    f.message = text_of(*error_type);
  return f;
}

Kind kind_of(const OtlpSpan& span) {
  // The rows of one attribute stand together: it is looked up once for them.
  std::string_view looked_up;
  const std::string* value = nullptr;
  for (const auto& row : kKinds) {
    if (row.attribute != looked_up) {
      looked_up = row.attribute;
      auto it = span.attrs.find(row.attribute);
      value =
          it != span.attrs.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
    }
    if (value && *value == row.value) return {std::string(row.step_type), row.role};
  }
  // The GenAI memory operations (search_memory, update_memory, ...) keep their own words.
  auto op = span.attrs.find("gen_ai.operation.name");
  if (op != span.attrs.end() && op->is_string() &&
      op->get_ref<const std::string&>().ends_with("_memory"))
    return {op->get<std::string>(), Role::kStep};
  return {};
}

namespace {

// A GenAI message event as a message object: its JSON content (the gen_ai.event.content
// attribute of a span event, the body of a log record), else its attributes.
Json event_message(const Json& event, std::string_view role) {
  const Json& ea = event["attributes"];
  Json msg = Json::object();
  if (auto body = ea.find("gen_ai.event.content"); body != ea.end()) {
    Json parsed = decoded(*body, std::nullopt);
    if (parsed.is_object()) msg = std::move(parsed);
  } else if (auto log_body = event.find("body"); log_body != event.end()) {
    // A log record's body is the message (the GenAI instrumentations that log content).
    Json parsed = decoded(*log_body, std::nullopt);
    if (parsed.is_object()) msg = std::move(parsed);
  }
  if (msg.empty()) {
    for (auto it = ea.begin(); it != ea.end(); ++it) {
      if (it.key() != "gen_ai.system") msg[it.key()] = decoded(*it, std::nullopt);
    }
  }
  if (!role.empty() && !msg.contains("role")) msg["role"] = role;
  return msg;
}

// Adds the finish reasons in `v` (a word or a list of words), each once.
void add_finish(Json& reasons, const Json& v) {
  auto add = [&](const Json& word) {
    if (!word.is_string()) return;
    Json w = lower(word.get<std::string>());
    if (std::find(reasons.begin(), reasons.end(), w) == reasons.end()) reasons.push_back(w);
  };
  if (v.is_array()) {
    for (const auto& e : v) add(e);
  } else {
    add(v);
  }
}

// Finish reasons found in a list of output messages or completions, or a chat response.
void finishes_in(Json& reasons, const Json& output) {
  const Json* list = &output;
  if (output.is_object() && output.contains("choices")) list = &output["choices"];
  if (!list->is_array()) return;
  for (const auto& m : *list) {
    if (m.is_object() && m.contains("finish_reason")) add_finish(reasons, m["finish_reason"]);
  }
}

// What a span recorded of its input, output and documents, by where it was found. Each is
// taken out of the attributes, so it is not also kept in the step's metadata.
struct Contents {
  std::optional<Json> input, output;              // input.value, output.value
  std::optional<Json> in_messages, out_messages;  // llm.input_messages.N, llm.output_messages.N
  std::optional<Json> documents;                  // retrieval.documents.N
  std::optional<Json> reranked, reranker_in;      // reranker.output_documents.N, .input_...
  std::optional<Json> prompts, completions;       // gen_ai.prompt.N, gen_ai.completion.N
  std::optional<Json> gen_in, gen_out;            // gen_ai.input.messages, .output.messages
  std::optional<Json> tool_args, tool_result;     // gen_ai.tool.call.arguments, .result
  std::optional<Json> gen_docs;                   // gen_ai.retrieval.documents
  std::optional<Json> entity_in, entity_out;      // traceloop.entity.input, .output
  std::optional<Json> prompt, completion;         // gen_ai.prompt, gen_ai.completion
  std::optional<Json> event_in, event_out;        // message events of the older conventions
};
using ContentField = std::optional<Json> Contents::*;

// Where a step's raw_input and raw_output come from: the first found. A model call's
// messages come first, since its input.value/output.value are the whole request and
// response, tool definitions and parameters included.
constexpr ContentField kModelInputs[] = {&Contents::in_messages, &Contents::gen_in,
                                         &Contents::event_in,    &Contents::prompts,
                                         &Contents::prompt,      &Contents::input};
constexpr ContentField kModelOutputs[] = {&Contents::out_messages, &Contents::gen_out,
                                          &Contents::event_out,    &Contents::completions,
                                          &Contents::completion,   &Contents::output};
constexpr ContentField kStepInputs[] = {
    &Contents::input,       &Contents::entity_in, &Contents::tool_args, &Contents::reranker_in,
    &Contents::in_messages, &Contents::gen_in,    &Contents::event_in};
constexpr ContentField kStepOutputs[] = {
    &Contents::output,   &Contents::entity_out,  &Contents::documents,    &Contents::reranked,
    &Contents::gen_docs, &Contents::tool_result, &Contents::out_messages, &Contents::gen_out};
// Outputs that can list finish reasons (messages, completions, a chat response).
constexpr ContentField kFinishOutputs[] = {&Contents::out_messages, &Contents::gen_out,
                                           &Contents::event_out, &Contents::completions,
                                           &Contents::output};

Contents take_contents(OtlpSpan& span) {
  Json& a = span.attrs;
  Contents c;
  auto input_mime = take(a, "input.mime_type");
  auto output_mime = take(a, "output.mime_type");
  c.input = take(a, "input.value");
  if (c.input) c.input = decoded(std::move(*c.input), input_mime);
  c.output = take(a, "output.value");
  if (c.output) c.output = decoded(std::move(*c.output), output_mime);
  // A GenAI value is decoded when it is a JSON text; OpenLLMetry writes entity values as
  // JSON texts, a string included.
  auto genai = [&](std::string_view key) {
    auto v = take(a, key);
    if (v) v = decoded(std::move(*v), std::nullopt);
    return v;
  };
  auto entity = [&](std::string_view key) {
    auto v = take(a, key);
    if (v) v = decoded(std::move(*v), Json("application/json"));
    return v;
  };
  c.in_messages = nested(a, "llm.input_messages");
  c.out_messages = nested(a, "llm.output_messages");
  c.documents = nested(a, "retrieval.documents");
  c.reranked = nested(a, "reranker.output_documents");
  c.reranker_in = nested(a, "reranker.input_documents");
  c.prompts = nested(a, "gen_ai.prompt");
  c.completions = nested(a, "gen_ai.completion");
  c.gen_in = genai("gen_ai.input.messages");
  c.gen_out = genai("gen_ai.output.messages");
  auto instructions = genai("gen_ai.system_instructions");
  c.tool_args = genai("gen_ai.tool.call.arguments");
  c.tool_result = genai("gen_ai.tool.call.result");
  c.gen_docs = genai("gen_ai.retrieval.documents");
  c.entity_in = entity("traceloop.entity.input");
  c.entity_out = entity("traceloop.entity.output");
  c.prompt = genai("gen_ai.prompt");
  c.completion = genai("gen_ai.completion");
  // System instructions are the first message of the input.
  if (instructions) {
    Json system = {{"role", "system"}, {"parts", *instructions}};
    if (c.gen_in && c.gen_in->is_array())
      c.gen_in->insert(c.gen_in->begin(), std::move(system));
    else if (!c.gen_in)
      c.gen_in = Json::array({std::move(system)});
  }

  for (const auto& e : span.events) {
    const std::string& ename = e["name"].get_ref<const std::string&>();
    for (const auto& row : kInputEvents) {
      if (ename != row.name) continue;
      if (!c.event_in) c.event_in = Json::array();
      c.event_in->push_back(event_message(e, row.role));
    }
    if (ename == "gen_ai.choice") {
      if (!c.event_out) c.event_out = Json::array();
      c.event_out->push_back(event_message(e, ""));
    } else if (ename == "gen_ai.content.prompt" && !c.prompt) {
      if (auto v = e["attributes"].find("gen_ai.prompt"); v != e["attributes"].end())
        c.prompt = decoded(*v, std::nullopt);
    } else if (ename == "gen_ai.content.completion" && !c.completion) {
      if (auto v = e["attributes"].find("gen_ai.completion"); v != e["attributes"].end())
        c.completion = decoded(*v, std::nullopt);
    }
  }
  return c;
}

// The first of `fields` that the span recorded.
template <size_t N>
std::optional<Json>& first_found(Contents& c, const ContentField (&fields)[N]) {
  for (ContentField field : fields) {
    if (c.*field) return c.*field;
  }
  thread_local std::optional<Json> none;  // stays empty: nothing is moved out of it
  return none;
}

struct Finishes {
  Json reasons = Json::array();  // every finish reason, lowercased, each once
  std::string filtered;          // the first that says the answer was withheld
  bool tool_calls = false;       // one says the model answered by calling tools
};

Finishes finishes_of(const Json& attrs, const Contents& c) {
  Finishes f;
  for (std::string_view key : kFinishKeys) {
    if (auto v = attrs.find(key); v != attrs.end()) add_finish(f.reasons, *v);
  }
  for (ContentField field : kFinishOutputs) {
    if (c.*field) finishes_in(f.reasons, *(c.*field));
  }
  for (const auto& reason : f.reasons) {
    const std::string& word = reason.get_ref<const std::string&>();
    if (f.filtered.empty() && one_of(word, kFilteredFinishes)) f.filtered = word;
    f.tool_calls = f.tool_calls || one_of(word, kToolFinishes);
  }
  return f;
}

// How many documents a retrieval returned: the length of the documents it recorded (a
// list, or a LangChain retriever's {"documents": [...]}); 0 when it recorded none at all.
std::optional<size_t> results_count(const Contents& c) {
  const std::optional<Json>* found = c.documents  ? &c.documents
                                     : c.reranked ? &c.reranked
                                     : c.gen_docs ? &c.gen_docs
                                                  : nullptr;
  const Json* list = found ? &**found : c.output ? &*c.output : nullptr;
  if (list && list->is_object() && list->contains("documents")) list = &(*list)["documents"];
  if (list && list->is_array()) return list->size();
  if (!found && !c.output) return 0;
  return std::nullopt;
}

}  // namespace

StepDraft make_step(OtlpSpan& span, size_t index, std::string type, Role role, bool is_root) {
  Json& a = span.attrs;
  StepDraft d;
  d.model = role == Role::kModel;
  if (is_root && type == "delegation") type = "agent_run";

  std::optional<Json> name;
  for (std::string_view key : kNameKeys) {
    if (!name) name = take(a, key);
  }
  std::string display = name && name->is_string() ? name->get<std::string>() : span.name;
  if (type.empty()) type = span.kind == "SPAN_KIND_CLIENT" ? "api_call" : display;
  d.operation = type + '\n' + display;
  d.tool = type == "tool_call" || type == "retrieval" || type == "rerank_retrieval";

  TraceStep& step = d.step;
  step.id = Json(span.span_id);
  step.step_index = static_cast<int64_t>(index);
  step.step_type = type;
  step.display_name = display;
  step.summary = span.name;

  Contents contents = take_contents(span);
  auto& input = d.model ? first_found(contents, kModelInputs) : first_found(contents, kStepInputs);
  auto& output =
      d.model ? first_found(contents, kModelOutputs) : first_found(contents, kStepOutputs);
  d.has_output = output.has_value();

  Failure failure = failure_of(span);
  const Finishes finishes = finishes_of(a, contents);
  d.failed = failure.failed || !finishes.filtered.empty();
  d.calls_tools = finishes.tool_calls || (output && calls_tools(*output));
  if (!finishes.filtered.empty() && failure.message.empty()) {
    failure.message = "The response was withheld by the provider's content filter (finish reason " +
                      finishes.filtered + ")";
  }
  std::optional<size_t> count;
  if (type == "retrieval" || type == "rerank_retrieval") count = results_count(contents);
  // Read above; the step takes them now.
  if (input) step.raw_input = std::move(*input);
  if (output) step.raw_output = std::move(*output);
  step.status = d.failed ? "failed" : "completed";
  if (span.start && span.end && *span.end >= *span.start)
    step.duration_ms = (*span.end - *span.start) / 1000000;
  if (!failure.message.empty()) step.error_message = std::move(failure.message);
  if (auto cost = a.find("llm.cost.total"); cost != a.end() && cost->is_number())
    d.cost = cost->get<double>();

  // The metadata: the attributes left, request configuration aside, then what the span
  // says of itself where no attribute of the same key does (an attribute wins).
  Json meta = std::move(a);
  a = Json::object();
  auto& m = meta.get_ref<Json::object_t&>();
  for (auto it = m.begin(); it != m.end();) it = is_configuration(it->first) ? m.erase(it) : ++it;
  m.try_emplace("span_name", span.name);
  m.try_emplace("span_kind", span.kind);
  m.try_emplace("trace_id", span.trace_id);
  m.try_emplace("span_id", span.span_id);
  if (!span.parent_id.empty()) m.try_emplace("parent_span_id", span.parent_id);
  if (!span.scope_name.empty()) m.try_emplace("otel.scope.name", span.scope_name);
  if (!failure.exception_type.empty()) m.try_emplace("exception.type", failure.exception_type);
  if (!finishes.reasons.empty()) m.try_emplace("finish_reasons", finishes.reasons);
  if (count) m.try_emplace("results_count", *count);
  step.metadata = std::move(meta);
  return d;
}

}  // namespace tracedx::otlp
