// OTLP JSON spans to fixture documents, for the OpenInference, GenAI (span events and
// attributes) and OpenLLMetry conventions. A step is something an agent did: a model call, a
// tool call, a retrieval, an agent's turn, a guardrail, an evaluation. Framework plumbing
// (chains, prompt templates, workflows), the root agent that has children and wrappers of
// unknown kind that have children are not steps, but a failed one whose error no span below
// it carries becomes a failed step. Request configuration stays out of steps.
#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

#include "import/importers.h"
#include "import/json_members.h"
#include "input/input.h"
#include "text/text.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

struct Span {
  std::string trace_id, span_id, parent_id, name, kind;
  std::optional<uint64_t> start, end;
  Json attrs = Json::object();
  Json events = Json::array();
  int status_code = 0;
  std::string status_message;
  std::string where;
  Json resource = Json::object();  // the attributes of the span's resource (service.name...)
  std::string scope_name;          // the instrumentation scope that recorded it
};

constexpr std::string_view kStatusNames[] = {"STATUS_CODE_UNSET", "STATUS_CODE_OK",
                                             "STATUS_CODE_ERROR"};
constexpr std::string_view kKindNames[] = {"SPAN_KIND_UNSPECIFIED", "SPAN_KIND_INTERNAL",
                                           "SPAN_KIND_SERVER",      "SPAN_KIND_CLIENT",
                                           "SPAN_KIND_PRODUCER",    "SPAN_KIND_CONSUMER"};

Error bad(std::string_view where, const std::string& what) {
  return Error::message(std::string(where) + ": " + what);
}

bool digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A 64-bit integer written as a number or a decimal string.
std::optional<uint64_t> u64_of(const Json& v) {
  if (v.type() == Json::value_t::number_unsigned) return v.get<uint64_t>();
  if (v.is_string() && digits(v.get_ref<const std::string&>()) &&
      v.get_ref<const std::string&>().size() <= 20) {
    try {
      return std::stoull(v.get<std::string>());
    } catch (...) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// An enum written as its number or its name.
int enum_of(const Json& v, std::span<const std::string_view> names) {
  if (v.is_number_integer()) return v.get<int>();
  if (v.is_string()) {
    for (size_t i = 0; i < names.size(); ++i) {
      if (names[i] == v.get_ref<const std::string&>()) return static_cast<int>(i);
    }
  }
  return 0;
}

// The member `camel` of an object, or its proto field name `snake` (protobuf JSON printed
// with the field names, as some exporters and collectors write it).
const Json* member(const Json& object, std::string_view camel, std::string_view snake) {
  if (!object.is_object()) return nullptr;
  if (auto it = object.find(camel); it != object.end()) return &*it;
  if (auto it = object.find(snake); it != object.end()) return &*it;
  return nullptr;
}

Json any_value(const Json& v) {
  if (!v.is_object()) return nullptr;
  if (auto* s = member(v, "stringValue", "string_value")) return *s;
  if (auto* b = member(v, "boolValue", "bool_value")) return *b;
  if (auto* i = member(v, "intValue", "int_value")) {
    if (i->is_number_integer()) return *i;
    if (i->is_string()) {
      try {
        return Json(std::stoll(i->get<std::string>()));
      } catch (...) {
        return *i;
      }
    }
  }
  if (auto* d = member(v, "doubleValue", "double_value")) return *d;
  if (auto* b = member(v, "bytesValue", "bytes_value")) return *b;
  if (auto* a = member(v, "arrayValue", "array_value")) {
    Json out = Json::array();
    if (a->is_object() && a->contains("values") && (*a)["values"].is_array()) {
      for (const auto& e : (*a)["values"]) out.push_back(any_value(e));
    }
    return out;
  }
  if (auto* kv = member(v, "kvlistValue", "kvlist_value")) {
    Json out = Json::object();
    if (kv->is_object() && kv->contains("values") && (*kv)["values"].is_array()) {
      for (const auto& e : (*kv)["values"]) {
        if (e.is_object() && e.contains("key") && e["key"].is_string()) {
          out[e["key"].get<std::string>()] = any_value(e.value("value", Json()));
        }
      }
    }
    return out;
  }
  return nullptr;
}

Json attributes(const Json* list) {
  Json out = Json::object();
  if (!list || !list->is_array()) return out;
  for (const auto& kv : *list) {
    if (kv.is_object() && kv.contains("key") && kv["key"].is_string()) {
      out[kv["key"].get<std::string>()] = any_value(kv.value("value", Json()));
    }
  }
  return out;
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The bytes of a padded base64 text (standard or URL alphabet), or nullopt.
std::optional<std::string> base64_bytes(std::string_view s) {
  if (s.empty() || s.size() % 4 != 0) return std::nullopt;
  size_t pad = s.ends_with("==") ? 2 : s.ends_with('=') ? 1 : 0;
  std::string out;
  uint32_t bits = 0;
  int held = 0;
  for (char c : s.substr(0, s.size() - pad)) {
    int v = c >= 'A' && c <= 'Z'   ? c - 'A'
            : c >= 'a' && c <= 'z' ? c - 'a' + 26
            : c >= '0' && c <= '9' ? c - '0' + 52
            : c == '+' || c == '-' ? 62
            : c == '/' || c == '_' ? 63
                                   : -1;
    if (v < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out += static_cast<char>((bits >> held) & 0xFF);
    }
  }
  return out;
}

// A trace or span id as lower-case hex. Hex is lower-cased; a 16-byte trace id or 8-byte
// span id in padded base64 (24 or 12 characters: how protobuf JSON writes bytes fields) is
// decoded; anything else is kept as written.
std::string normalized_id(std::string_view s) {
  if (std::all_of(s.begin(), s.end(), is_hex_digit)) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    return out;
  }
  if (s.size() == 12 || s.size() == 24) {
    if (auto bytes = base64_bytes(s); bytes && bytes->size() == (s.size() == 12 ? 8u : 16u)) {
      static constexpr char kHex[] = "0123456789abcdef";
      std::string out;
      for (unsigned char c : *bytes) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
      return out;
    }
  }
  return std::string(s);
}

std::string hex_of(const Json* v) {
  return v && v->is_string() ? normalized_id(v->get_ref<const std::string&>()) : std::string();
}

// The keys an export's lists go by: OTLP JSON (lowerCamelCase), the proto field names, and
// the name of the scope list before OTLP 1.0.
constexpr std::string_view kResourceKeys[] = {"resourceSpans", "resource_spans"};
constexpr std::string_view kScopeKeys[] = {
    "scopeSpans", "scope_spans", "instrumentationLibrarySpans", "instrumentation_library_spans"};
constexpr std::string_view kTraceIdKeys[] = {"traceId", "trace_id"};

constexpr std::string_view kExpected =
    "expected an object with resourceSpans (or resource_spans), or one ResourceSpans object per "
    "line";

// Inputs in the SDKs' own span formats (the Python SDK's span.to_json(), span lists under
// "spans" with a "context"), named so the error says what they are.
bool looks_like_sdk_spans(const Json& doc) {
  auto sdk_span = [](const Json& s) { return s.is_object() && s.contains("context"); };
  if (doc.is_array()) return !doc.empty() && sdk_span(doc.front());
  if (!doc.is_object()) return false;
  if (sdk_span(doc) && doc.contains("name")) return true;
  auto spans = doc.find("spans");
  return spans != doc.end() && spans->is_array() && !spans->empty() && sdk_span(spans->front());
}

Error not_otlp(std::string_view where, const Json& doc) {
  std::string what(kExpected);
  if (looks_like_sdk_spans(doc))
    what += "; this is a list of SDK spans (span.to_json() or {\"spans\": [...]}), not OTLP JSON";
  return bad(where, what);
}

Result<Ok> collect_scope(const Json& scope, const std::string& swhere, const Json& resource,
                         std::vector<Span>& out) {
  if (!scope.is_object()) return bad(swhere, "not an object");
  auto spans = scope.find("spans");
  if (spans == scope.end()) return Ok{};
  if (!spans->is_array()) return bad(swhere, "spans is not an array");
  std::string scope_name;
  const Json* library = member(scope, "scope", "scope");
  if (!library) library = member(scope, "instrumentationLibrary", "instrumentation_library");
  if (library && library->is_object()) scope_name = string_member(*library, "name");
  for (size_t i = 0; i < spans->size(); ++i) {
    const Json& j = (*spans)[i];
    Span span;
    span.where = swhere + ".spans[" + std::to_string(i) + "]";
    if (!j.is_object()) return bad(span.where, "not an object");
    span.trace_id = hex_of(member(j, "traceId", "trace_id"));
    if (span.trace_id.empty()) return bad(span.where, "traceId missing");
    span.span_id = hex_of(member(j, "spanId", "span_id"));
    span.parent_id = hex_of(member(j, "parentSpanId", "parent_span_id"));
    span.name = string_member(j, "name");
    int kind = enum_of(j.value("kind", Json()), kKindNames);
    span.kind = kind >= 0 && kind < 6 ? std::string(kKindNames[kind]) : std::to_string(kind);
    if (auto* t = member(j, "startTimeUnixNano", "start_time_unix_nano")) span.start = u64_of(*t);
    if (auto* t = member(j, "endTimeUnixNano", "end_time_unix_nano")) span.end = u64_of(*t);
    span.attrs = attributes(member(j, "attributes", "attributes"));
    if (auto ev = j.find("events"); ev != j.end() && ev->is_array()) {
      for (const auto& e : *ev) {
        if (!e.is_object()) continue;
        span.events.push_back({{"name", e.value("name", Json()).is_string() ? e["name"] : Json("")},
                               {"attributes", attributes(member(e, "attributes", "attributes"))}});
      }
    }
    if (auto st = j.find("status"); st != j.end() && st->is_object()) {
      span.status_code = enum_of(st->value("code", Json()), kStatusNames);
      if (st->contains("message") && (*st)["message"].is_string())
        span.status_message = (*st)["message"];
    }
    span.resource = resource;
    span.scope_name = scope_name;
    out.push_back(std::move(span));
  }
  return Ok{};
}

// The spans of one ResourceSpans object; `where` names it in messages and `lead` starts the
// names of its scopes.
Result<Ok> collect_resource(const Json& rs, const std::string& where, const std::string& lead,
                            std::vector<Span>& out) {
  Json resource = Json::object();
  if (auto r = rs.find("resource"); r != rs.end() && r->is_object())
    resource = attributes(member(*r, "attributes", "attributes"));
  for (std::string_view key : kScopeKeys) {
    auto ss = rs.find(key);
    if (ss == rs.end()) continue;
    if (!ss->is_array()) return bad(where, std::string(key) + " is not an array");
    for (size_t s = 0; s < ss->size(); ++s) {
      std::string swhere = lead + std::string(key) + "[" + std::to_string(s) + "]";
      if (auto ok = collect_scope((*ss)[s], swhere, resource, out); !ok) return ok;
    }
  }
  return Ok{};
}

// The spans of one OTLP document: an export ({"resourceSpans": [...]}) or a bare
// ResourceSpans object (as some exporters log one per line).
Result<Ok> collect_spans(const Json& doc, std::string_view where, std::vector<Span>& out) {
  if (!doc.is_object()) return not_otlp(where, doc);
  bool otlp = false;
  for (std::string_view key : kResourceKeys) {
    auto rs = doc.find(key);
    if (rs == doc.end()) continue;
    otlp = true;
    if (!rs->is_array()) return bad(where, std::string(key) + " is not an array");
    for (size_t r = 0; r < rs->size(); ++r) {
      std::string rwhere =
          std::string(where) + ": " + std::string(key) + "[" + std::to_string(r) + "]";
      if (!(*rs)[r].is_object()) return bad(rwhere, "not an object");
      if (auto ok = collect_resource((*rs)[r], rwhere, rwhere + ".", out); !ok) return ok;
    }
  }
  for (std::string_view key : kScopeKeys) otlp = otlp || doc.contains(key);
  if (!otlp) return looks_like_sdk_spans(doc) ? not_otlp(where, doc) : Result<Ok>(Ok{});
  return collect_resource(doc, std::string(where), std::string(where) + ": ", out);
}

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

// What a span is, by the conventions' kind attributes. Plumbing is framework machinery
// (chains, prompt templates, workflows): never a step. An unknown span is a step when it
// has no children and a wrapper otherwise.
enum class Role { kStep, kModel, kAgent, kPlumbing, kUnknown };

struct KindRow {
  std::string_view attribute;
  std::string_view value;
  std::string_view step_type;
  Role role;
};

// clang-format off
constexpr KindRow kKinds[] = {
  {"openinference.span.kind", "LLM",              "llm_reasoning",        Role::kModel},
  {"openinference.span.kind", "EMBEDDING",        "embedding",            Role::kStep},
  {"openinference.span.kind", "CHAIN",            "chain",                Role::kPlumbing},
  {"openinference.span.kind", "RETRIEVER",        "retrieval",            Role::kStep},
  {"openinference.span.kind", "RERANKER",         "rerank_retrieval",     Role::kStep},
  {"openinference.span.kind", "TOOL",             "tool_call",            Role::kStep},
  {"openinference.span.kind", "AGENT",            "delegation",           Role::kAgent},
  {"openinference.span.kind", "GUARDRAIL",        "guardrail_validation", Role::kStep},
  {"openinference.span.kind", "EVALUATOR",        "evaluator",            Role::kStep},
  {"openinference.span.kind", "PROMPT",           "prompt_template",      Role::kPlumbing},
  {"gen_ai.operation.name",   "chat",             "llm_reasoning",        Role::kModel},
  {"gen_ai.operation.name",   "text_completion",  "llm_reasoning",        Role::kModel},
  {"gen_ai.operation.name",   "generate_content", "llm_reasoning",        Role::kModel},
  {"gen_ai.operation.name",   "embeddings",       "embedding",            Role::kStep},
  {"gen_ai.operation.name",   "retrieval",        "retrieval",            Role::kStep},
  {"gen_ai.operation.name",   "execute_tool",     "tool_call",            Role::kStep},
  {"gen_ai.operation.name",   "create_agent",     "agent_setup",          Role::kStep},
  {"gen_ai.operation.name",   "invoke_agent",     "delegation",           Role::kAgent},
  {"gen_ai.operation.name",   "invoke_workflow",  "workflow",             Role::kPlumbing},
  {"gen_ai.operation.name",   "plan",             "planner",              Role::kStep},
  {"traceloop.span.kind",     "workflow",         "workflow",             Role::kPlumbing},
  {"traceloop.span.kind",     "session",          "session",              Role::kPlumbing},
  {"traceloop.span.kind",     "agent",            "delegation",           Role::kAgent},
  {"traceloop.span.kind",     "tool",             "tool_call",            Role::kStep},
  {"traceloop.span.kind",     "task",             "",                     Role::kUnknown},
  {"llm.request.type",        "chat",             "llm_reasoning",        Role::kModel},
  {"llm.request.type",        "completion",       "llm_reasoning",        Role::kModel},
  {"llm.request.type",        "embedding",        "embedding",            Role::kStep},
  {"llm.request.type",        "rerank",           "rerank_retrieval",     Role::kStep},
};
// clang-format on

// Request configuration: what was set up before the call, not what happened in it. Kept out
// of steps, since every field of a step is evidence to the rules (a tool's JSON schema reads
// as a noisy artifact). Keys equal to an entry or starting with it followed by ".".
constexpr std::string_view kConfiguration[] = {
    "llm.tools",         "llm.invocation_parameters", "llm.prompt_template",
    "gen_ai.request",    "gen_ai.tool.definitions",   "llm.request.functions",
    "gen_ai.agent.tools"};
// ...except the model asked for, which says which model ran.
constexpr std::string_view kConfigurationKept[] = {"gen_ai.request.model"};

// Finish reasons that mean the provider's filter withheld the answer, and those that mean
// the model answered by calling tools.
constexpr std::string_view kFilteredFinishes[] = {"content_filter", "content_filtered", "safety",
                                                  "prohibited_content", "blocklist"};
constexpr std::string_view kToolFinishes[] = {"tool_calls", "tool_call", "function_call",
                                              "tool_use"};

// The older GenAI conventions record messages as span events.
struct MessageEvent {
  std::string_view name;
  std::string_view role;
};
constexpr MessageEvent kInputEvents[] = {{"gen_ai.system.message", "system"},
                                         {"gen_ai.user.message", "user"},
                                         {"gen_ai.assistant.message", "assistant"},
                                         {"gen_ai.tool.message", "tool"}};

bool is_configuration(std::string_view key) {
  for (auto kept : kConfigurationKept) {
    if (key == kept) return false;
  }
  for (auto c : kConfiguration) {
    if (key.starts_with(c) && (key.size() == c.size() || key[c.size()] == '.')) return true;
  }
  return false;
}

template <size_t N>
bool one_of(std::string_view word, const std::string_view (&words)[N]) {
  return std::find(std::begin(words), std::end(words), word) != std::end(words);
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

// Everything a span says about its own failure.
struct Failure {
  bool failed = false;
  std::string message;  // status message, else "type: message" of the last exception, else
                        // the error type
  std::string exception_type;
};

// A status message that holds a stack trace after a blank line keeps the part before it.
std::string without_stack(const std::string& message) {
  size_t blank = message.find("\n\n");
  if (blank == std::string::npos) return message;
  std::string_view rest = std::string_view(message).substr(blank);
  if (contains(rest, "\n    at ") || contains(rest, "Traceback (most recent call last)"))
    return message.substr(0, blank);
  return message;
}

Failure failure_of(const Span& span) {
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

struct StepDraft {
  Json step;
  std::string operation;  // step type and name: a later success of the same one is a retry
  bool model = false;
  bool failed = false;
  bool calls_tools = false;
  bool has_output = false;
  bool tool = false;  // a tool call or a retrieval
  std::optional<double> cost;
};

struct Kind {
  std::string step_type;  // empty: unknown, typed later by the span's name
  Role role = Role::kUnknown;
};

Kind kind_of(const Span& span) {
  for (const auto& row : kKinds) {
    auto it = span.attrs.find(row.attribute);
    if (it != span.attrs.end() && it->is_string() && *it == row.value)
      return {std::string(row.step_type), row.role};
  }
  // The GenAI memory operations (search_memory, update_memory, ...) keep their own words.
  auto op = span.attrs.find("gen_ai.operation.name");
  if (op != span.attrs.end() && op->is_string() &&
      op->get_ref<const std::string&>().ends_with("_memory"))
    return {op->get<std::string>(), Role::kStep};
  return {};
}

// A GenAI message event as a message object: its JSON body, else its attributes.
Json event_message(const Json& event, std::string_view role) {
  const Json& ea = event["attributes"];
  Json msg = Json::object();
  if (auto body = ea.find("gen_ai.event.content"); body != ea.end()) {
    Json parsed = decoded(*body, std::nullopt);
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

// Attributes that name what a span's step did, in order of preference; else the span name.
constexpr const char* kNameKeys[] = {"gen_ai.agent.name", "gen_ai.tool.name", "tool.name",
                                     "agent.name", "traceloop.entity.name"};

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
// Attributes that hold finish reasons (a word or a list).
constexpr const char* kFinishKeys[] = {"gen_ai.response.finish_reasons", "llm.finish_reason"};

Contents take_contents(Span& span) {
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
  auto genai = [&](const char* key) {
    auto v = take(a, key);
    if (v) v = decoded(std::move(*v), std::nullopt);
    return v;
  };
  auto entity = [&](const char* key) {
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
const std::optional<Json>& first_found(const Contents& c, const ContentField (&fields)[N]) {
  for (ContentField field : fields) {
    if (c.*field) return c.*field;
  }
  static const std::optional<Json> kNone;
  return kNone;
}

struct Finishes {
  Json reasons = Json::array();  // every finish reason, lowercased, each once
  std::string filtered;          // the first that says the answer was withheld
  bool tool_calls = false;       // one says the model answered by calling tools
};

Finishes finishes_of(const Json& attrs, const Contents& c) {
  Finishes f;
  for (const char* key : kFinishKeys) {
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

StepDraft make_step(Span& span, size_t index, std::string type, Role role, bool is_root) {
  Json& a = span.attrs;
  StepDraft d;
  d.model = role == Role::kModel;
  if (is_root && type == "delegation") type = "agent_run";

  std::optional<Json> name;
  for (const char* key : kNameKeys) {
    if (!name) name = take(a, key);
  }
  std::string display = name && name->is_string() ? name->get<std::string>() : span.name;
  if (type.empty()) type = span.kind == "SPAN_KIND_CLIENT" ? "api_call" : display;
  d.operation = type + '\n' + display;
  d.tool = type == "tool_call" || type == "retrieval" || type == "rerank_retrieval";

  Json step = Json::object();
  step["id"] = span.span_id;
  step["step_index"] = index;
  step["step_type"] = type;
  step["display_name"] = display;
  step["summary"] = span.name;

  const Contents contents = take_contents(span);
  const auto& input =
      d.model ? first_found(contents, kModelInputs) : first_found(contents, kStepInputs);
  const auto& output =
      d.model ? first_found(contents, kModelOutputs) : first_found(contents, kStepOutputs);
  if (input) step["raw_input"] = *input;
  if (output) step["raw_output"] = *output;
  d.has_output = output.has_value();

  Failure failure = failure_of(span);
  const Finishes finishes = finishes_of(a, contents);
  d.failed = failure.failed || !finishes.filtered.empty();
  d.calls_tools = finishes.tool_calls || (output && calls_tools(*output));
  if (!finishes.filtered.empty() && failure.message.empty()) {
    failure.message = "The response was withheld by the provider's content filter (finish reason " +
                      finishes.filtered + ")";
  }
  step["status"] = d.failed ? "failed" : "completed";
  if (span.start && span.end && *span.end >= *span.start)
    step["duration_ms"] = (*span.end - *span.start) / 1000000;
  if (!failure.message.empty()) step["error_message"] = failure.message;

  Json meta = Json::object();
  meta["span_name"] = span.name;
  meta["span_kind"] = span.kind;
  meta["trace_id"] = span.trace_id;
  meta["span_id"] = span.span_id;
  if (!span.parent_id.empty()) meta["parent_span_id"] = span.parent_id;
  if (!span.scope_name.empty()) meta["otel.scope.name"] = span.scope_name;
  if (!failure.exception_type.empty()) meta["exception.type"] = failure.exception_type;
  if (!finishes.reasons.empty()) meta["finish_reasons"] = finishes.reasons;
  if (type == "retrieval" || type == "rerank_retrieval") {
    if (auto count = results_count(contents)) meta["results_count"] = *count;
  }
  if (auto cost = a.find("llm.cost.total"); cost != a.end() && cost->is_number())
    d.cost = cost->get<double>();
  // The attributes left, request configuration aside; an attribute of the same key as one
  // set above wins.
  for (auto& [k, v] : a.items()) {
    if (!is_configuration(k)) meta[k] = v;
  }
  step["metadata"] = std::move(meta);
  d.step = std::move(step);
  return d;
}

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

SpanTree tree_of(const std::vector<Span>& spans) {
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

// Root attributes that name the run, in order of preference; else the root's span name.
constexpr const char* kTitleKeys[] = {"gen_ai.agent.name", "gen_ai.workflow.name", "agent.name",
                                      "traceloop.workflow.name", "traceloop.entity.name"};

std::string run_title(const Span* root) {
  if (!root) return "OTLP trace";
  for (const char* key : kTitleKeys) {
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

std::string span_agent_name(const Span& span) {
  for (const char* key : kNameKeys) {
    auto it = span.attrs.find(key);
    if (it != span.attrs.end() && it->is_string()) return it->get<std::string>();
  }
  return span.name;
}

Agents agents_of(const std::vector<Span>& spans, const SpanTree& tree,
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
std::vector<Chosen> choose_steps(const std::vector<Span>& spans, const std::vector<size_t>& order,
                                 const SpanTree& tree, const std::vector<Kind>& kinds,
                                 const std::vector<Failure>& failures,
                                 const std::vector<std::vector<std::string>>& below,
                                 const Span* root, const Agents& agents) {
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

Json build_fixture(std::vector<Span>& spans) {
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
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  auto key = [&](size_t i) {
    return std::tuple(spans[i].start.value_or(0), tree.depth[i], spans[i].end.value_or(0),
                      std::string_view(spans[i].span_id));
  };
  std::sort(order.begin(), order.end(), [&](size_t x, size_t y) { return key(x) < key(y); });
  const Span* root = nullptr;
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
    if (!agents.issuer[c.span].empty()) d.step["metadata"]["agent"] = agents.issuer[c.span];
    if (d.cost) cost = cost.value_or(0) + *d.cost;
    drafts.push_back(std::move(d));
  }
  // The final answer is the last model output that did not finish by calling tools.
  for (size_t i = drafts.size(); i-- > 0;) {
    if (!drafts[i].model || drafts[i].failed || drafts[i].calls_tools) continue;
    drafts[i].step["step_type"] = "final_answer";
    break;
  }
  const bool failed = run_failed(drafts, root && failures[root - spans.data()].failed);

  const bool root_failed = root && failures[root - spans.data()].failed;
  Json run = {{"id", spans.empty() ? "" : spans.front().trace_id},
              {"title", title},
              {"status", failed ? "failed" : "completed"},
              {"recorded_from", "otlp"}};
  // Only a failed root span records the run's outcome; otherwise it is read off the steps.
  if (!root_failed) run["status_inferred"] = true;
  if (root) {
    std::string service = string_member(root->resource, "service.name");
    if (!service.empty()) run["service_name"] = service;
  }
  if (cost) run["total_cost"] = *cost;
  Json steps = Json::array();
  for (auto& d : drafts) steps.push_back(std::move(d.step));
  return {{"run", std::move(run)}, {"steps", std::move(steps)}};
}

// The trace ids of the spans of one OTLP document, found without building it: a SAX pass
// that follows the envelope (resource list, scope list, span list) and keeps the traceId
// members of span objects. On malformed JSON it keeps the ids read before the fault, the
// traces the document would have touched.
class TraceIdScanner {
 public:
  explicit TraceIdScanner(std::vector<std::string>& ids) : ids_(ids) {}

  bool null() { return value(); }
  bool boolean(bool) { return value(); }
  bool number_integer(Json::number_integer_t) { return value(); }
  bool number_unsigned(Json::number_unsigned_t) { return value(); }
  bool number_float(Json::number_float_t, const Json::string_t&) { return value(); }
  bool binary(Json::binary_t&) { return value(); }
  bool string(Json::string_t& v) {
    if (!stack_.empty() && stack_.back() == kSpan && is_one_of(key_, kTraceIdKeys))
      ids_.push_back(normalized_id(v));
    return value();
  }
  bool key(Json::string_t& k) {
    key_ = std::move(k);
    return true;
  }
  bool start_object(size_t) { return enter(true); }
  bool start_array(size_t) { return enter(false); }
  bool end_object() { return leave(); }
  bool end_array() { return leave(); }
  bool parse_error(size_t, const std::string&, const Json::exception& e) {
    cut_ = contains(e.what(), "unexpected end of input");
    return false;
  }
  // Whether the document was valid JSON up to its end, where it was cut short.
  bool cut() const { return cut_; }

 private:
  enum Role : uint8_t {
    kOther,
    kTop,
    kResourceList,
    kResource,
    kScopeList,
    kScope,
    kSpanList,
    kSpan
  };

  template <size_t N>
  static bool is_one_of(std::string_view key, const std::string_view (&keys)[N]) {
    return std::find(std::begin(keys), std::end(keys), key) != std::end(keys);
  }

  bool value() {
    key_.clear();
    return true;
  }
  bool enter(bool object) {
    if (stack_.size() >= kMaxJsonDepth) return false;
    Role parent = stack_.empty() ? kOther : stack_.back();
    Role role = kOther;
    if (object) {
      role = stack_.empty()            ? kTop
             : parent == kResourceList ? kResource
             : parent == kScopeList    ? kScope
             : parent == kSpanList     ? kSpan
                                       : kOther;
    } else if (parent == kTop && is_one_of(key_, kResourceKeys)) {
      role = kResourceList;
    } else if ((parent == kTop || parent == kResource) && is_one_of(key_, kScopeKeys)) {
      role = kScopeList;
    } else if (parent == kScope && key_ == "spans") {
      role = kSpanList;
    }
    stack_.push_back(role);
    key_.clear();
    return true;
  }
  bool leave() {
    stack_.pop_back();
    key_.clear();
    return true;
  }

  std::vector<std::string>& ids_;
  std::vector<Role> stack_;
  std::string key_;
  bool cut_ = false;
};

// The trace ids of a document's spans (repeats included); false when it is not valid JSON,
// and then `cut` tells whether it was cut short.
bool scan_trace_ids(std::string_view text, std::vector<std::string>& ids, bool* cut = nullptr) {
  TraceIdScanner scanner(ids);
  bool ok = Json::sax_parse(text.begin(), text.end(), &scanner, Json::input_format_t::json,
                            /*strict=*/true);
  if (cut) *cut = !ok && scanner.cut();
  return ok;
}

// A parse error of one line, placed in the file: the line's number, the column in it.
Error line_error(Error e, uint64_t number, const std::string& where) {
  if (e.kind() == Error::Kind::kJson) return Error::json(e.text(), number, e.column(), where);
  return std::move(e).with_path(where + ":" + std::to_string(number));
}

// Whether an input is one JSON document rather than JSON Lines: it has one non-blank line,
// or its first line is the beginning of a document cut by the line feed (printed over
// several lines) and the next is no document of its own. A first line malformed elsewhere
// is a bad line of JSON Lines, so the error names it.
Result<bool> is_one_document(Input& input) {
  LineReader reader(input);
  Line line;
  auto next_record = [&]() -> Result<bool> {
    for (;;) {
      auto got = reader.next(line);
      if (!got || !*got) return got;
      if (line.too_long || !is_blank_line(line.text)) return true;
    }
  };
  auto got = next_record();
  if (!got || !*got) return got ? Result<bool>(false) : std::move(got).error();
  if (line.too_long) return false;
  // Checked without building it (the line may be a whole export).
  std::vector<std::string> ignored;
  bool cut = false;
  const bool first_ok = scan_trace_ids(line.text, ignored, &cut);
  got = next_record();
  if (!got) return std::move(got).error();
  if (!*got) return true;
  if (first_ok || !cut || line.too_long) return false;
  ignored.clear();
  return !scan_trace_ids(line.text, ignored);
}

// Spans grouped by trace in order of first appearance.
std::vector<std::pair<std::string, std::vector<Span>>> by_trace(std::vector<Span>& spans) {
  std::vector<std::pair<std::string, std::vector<Span>>> groups;
  std::unordered_map<std::string, size_t> index;
  for (auto& s : spans) {
    auto [it, fresh] = index.try_emplace(s.trace_id, groups.size());
    if (fresh) groups.emplace_back(s.trace_id, std::vector<Span>());
    groups[it->second].second.push_back(std::move(s));
  }
  return groups;
}

Status emit_document(Input& input, const std::string& where,
                     const std::function<void(OtlpItem)>& emit) {
  std::vector<Span> spans;
  {
    auto bytes = input.read_all();
    if (!bytes) return std::move(bytes).error();
    auto doc = parse_json(*bytes);
    std::string().swap(*bytes);
    if (!doc) {
      emit({"", 0, 0, Json(), std::move(doc).error().with_path(where)});
      return Ok{};
    }
    if (auto ok = collect_spans(*doc, where, spans); !ok) {
      emit({"", 0, 0, Json(), std::move(ok).error()});
      return Ok{};
    }
  }
  auto groups = by_trace(spans);
  std::vector<Span>().swap(spans);
  for (size_t i = 0; i < groups.size(); ++i) {
    std::vector<Span> mine = std::move(groups[i].second);
    emit({groups[i].first, 0, i, build_fixture(mine), std::nullopt});
  }
  return Ok{};
}

// JSON Lines in two passes over the lines. The first finds, without building documents,
// the last line that holds spans of each trace; the second parses each line once, hands
// its spans to the traces in flight and emits each trace after its last line.
Status emit_lines(Input& input, const std::string& where,
                  const std::function<void(OtlpItem)>& emit) {
  struct Known {
    uint64_t last_line = 0;
    size_t sequence = 0;
  };
  std::unordered_map<std::string, Known> known;
  std::vector<std::string> ids;
  {
    LineReader reader(input);
    Line line;
    for (;;) {
      auto got = reader.next(line);
      if (!got) return std::move(got).error();
      if (!*got) break;
      if (line.too_long || is_blank_line(line.text)) continue;
      ids.clear();
      scan_trace_ids(line.text, ids);
      for (auto& id : ids) {
        auto [it, fresh] = known.try_emplace(std::move(id), Known{line.number, known.size()});
        it->second.last_line = line.number;
      }
    }
  }
  // Traces in the order they are due: by last line, then by first appearance.
  std::vector<std::pair<Known, std::string>> due;
  due.reserve(known.size());
  for (auto& [id, k] : known) due.emplace_back(k, id);
  known.clear();
  std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
    return std::tie(a.first.last_line, a.first.sequence) <
           std::tie(b.first.last_line, b.first.sequence);
  });

  struct Flight {
    std::vector<Span> spans;
    std::optional<uint64_t> bad_line;  // a line with spans of it that could not be read
  };
  std::unordered_map<std::string, Flight> flight;
  size_t next_due = 0;
  auto finish = [&](const std::string& id, size_t sequence) {
    auto it = flight.find(id);
    if (it == flight.end()) return;
    Flight f = std::move(it->second);
    flight.erase(it);
    if (f.bad_line) {
      emit({id, 0, sequence, Json(),
            Error::message(where + ": trace " + id + " is incomplete: line " +
                           std::to_string(*f.bad_line) + " could not be read")});
    } else if (!f.spans.empty()) {
      emit({id, 0, sequence, build_fixture(f.spans), std::nullopt});
    }
  };
  LineReader reader(input);
  Line line;
  std::vector<Span> spans;
  for (;;) {
    auto got = reader.next(line);
    if (!got) return std::move(got).error();
    if (!*got) break;
    if (line.too_long) {
      emit({"", line.number, 0, Json(),
            Error::message(where + ":" + std::to_string(line.number) + ": a line longer than " +
                           std::to_string(kMaxRecordBytes >> 20) + " MiB")});
      continue;
    }
    if (is_blank_line(line.text)) continue;
    spans.clear();
    std::optional<Error> failed;
    const std::string lwhere = where + ":" + std::to_string(line.number);
    if (auto doc = parse_json(line.text); !doc) {
      failed = line_error(std::move(doc).error(), line.number, where);
    } else if (auto ok = collect_spans(*doc, lwhere, spans); !ok) {
      failed = std::move(ok).error();
    }
    if (failed) {
      ids.clear();
      scan_trace_ids(line.text, ids);
      for (const auto& id : ids) {
        auto& f = flight[id];
        if (!f.bad_line) f.bad_line = line.number;
      }
      emit({"", line.number, 0, Json(), std::move(failed)});
    } else {
      for (auto& s : spans) flight[s.trace_id].spans.push_back(std::move(s));
    }
    for (; next_due < due.size() && due[next_due].first.last_line <= line.number; ++next_due)
      finish(due[next_due].second, due[next_due].first.sequence);
  }
  for (; next_due < due.size(); ++next_due)
    finish(due[next_due].second, due[next_due].first.sequence);
  // Spans the first pass did not see (it and the parser disagree only on odd input).
  while (!flight.empty()) {
    std::string id = flight.begin()->first;
    finish(id, due.size());
  }
  return Ok{};
}

}  // namespace

Result<Source> parse_source(std::string_view word) {
  if (word == "fixture") return Source::kFixture;
  if (word == "otlp") return Source::kOtlp;
  if (word == "chat") return Source::kChat;
  return Error::message("--from needs fixture, otlp or chat, got \"" + std::string(word) + "\"");
}

std::string normalize_trace_id(std::string_view id) {
  return normalized_id(id);
}

Status for_each_otlp_trace(Input& input, const std::function<void(OtlpItem)>& emit) {
  if (auto ok = input.spool(); !ok) return ok;
  const std::string where = display_path(input.name());
  auto one = is_one_document(input);
  if (!one) return std::move(one).error();
  return *one ? emit_document(input, where, emit) : emit_lines(input, where, emit);
}

Status for_each_otlp_trace(const std::string& path, const std::function<void(OtlpItem)>& emit) {
  auto input = Input::open(path);
  if (!input) return std::move(input).error();
  return for_each_otlp_trace(*input, emit);
}

}  // namespace tracedx
