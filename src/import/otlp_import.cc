// OTLP JSON spans to fixture documents. Steps are the spans that do work: a container span
// (an OpenInference CHAIN, a GenAI invoke_workflow, the root agent) that has children is
// represented by them and is not a step of its own; a container without children is.
#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

#include "diagnosis/text.h"
#include "import/importers.h"
#include "import/json_members.h"
#include "input/input.h"
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

// Operation words of both conventions mapped onto step types the rules understand.
struct OperationRow {
  std::string_view operation;
  std::string_view step_type;
  bool container;
};

// clang-format off
constexpr OperationRow kOpenInferenceKinds[] = {
  {"LLM",       "llm_reasoning",        false},
  {"EMBEDDING", "embedding",            false},
  {"CHAIN",     "chain",                true},
  {"RETRIEVER", "retrieval",            false},
  {"RERANKER",  "rerank_retrieval",     false},
  {"TOOL",      "tool_call",            false},
  {"AGENT",     "delegation",           false},
  {"GUARDRAIL", "guardrail_validation", false},
  {"EVALUATOR", "evaluator",            false},
  {"PROMPT",    "prompt_template",      false},
};
constexpr OperationRow kGenAiOperations[] = {
  {"chat",             "llm_reasoning", false},
  {"text_completion",  "llm_reasoning", false},
  {"generate_content", "llm_reasoning", false},
  {"embeddings",       "embedding",     false},
  {"retrieval",        "retrieval",     false},
  {"execute_tool",     "tool_call",     false},
  {"create_agent",     "agent_setup",   false},
  {"invoke_agent",     "delegation",    false},
  {"invoke_workflow",  "workflow",      true},
  {"plan",             "planner",       false},
};
// clang-format on

constexpr std::string_view kNestedPrefixes[] = {
    "llm.input_messages",       "llm.output_messages",       "retrieval.documents",
    "reranker.input_documents", "reranker.output_documents", "llm.tools"};
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

void set_path(Json& node, std::string_view path, Json value) {
  size_t dot = path.find('.');
  std::string_view head = path.substr(0, dot);
  Json* child;
  if (digits(head) && head.size() < 7) {
    if (!node.is_array()) node = Json::array();
    size_t index = std::stoul(std::string(head));
    while (node.size() <= index) node.push_back(Json::object());
    child = &node[index];
  } else {
    if (!node.is_object()) node = Json::object();
    child = &node[std::string(head)];
  }
  if (dot == std::string_view::npos)
    *child = std::move(value);
  else
    set_path(*child, path.substr(dot + 1), std::move(value));
}

// Re-nests the flattened OpenInference lists ("llm.input_messages.0.message.content").
std::optional<Json> nested(Json& attrs, std::string_view prefix) {
  std::optional<Json> out;
  std::string lead = std::string(prefix) + ".";
  for (auto it = attrs.begin(); it != attrs.end();) {
    if (it.key().rfind(lead, 0) == 0 && it.key().size() > lead.size() &&
        it.key()[lead.size()] >= '0' && it.key()[lead.size()] <= '9') {
      if (!out) out = Json::array();
      set_path(*out, std::string_view(it.key()).substr(lead.size()), std::move(it.value()));
      it = attrs.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

struct StepDraft {
  Json step;
  bool llm = false;
  bool failed = false;
  std::optional<double> cost;
};

StepDraft make_step(Span& span, size_t index, bool is_root) {
  Json& a = span.attrs;
  StepDraft d;
  std::string type;
  auto oi = take(a, "openinference.span.kind");
  auto op = take(a, "gen_ai.operation.name");
  if (oi && oi->is_string()) {
    for (const auto& row : kOpenInferenceKinds) {
      if (row.operation == oi->get<std::string>()) type = row.step_type;
    }
    d.llm = oi->get<std::string>() == "LLM";
  }
  if (type.empty() && op && op->is_string()) {
    std::string o = op->get<std::string>();
    for (const auto& row : kGenAiOperations) {
      if (row.operation == o) type = row.step_type;
    }
    if (type.empty() && o.ends_with("_memory")) type = o;
    d.llm = o == "chat" || o == "text_completion" || o == "generate_content";
  }
  if (type.empty()) type = span.kind == "SPAN_KIND_CLIENT" ? "api_call" : span.name;
  if (is_root && type == "delegation") type = "agent_run";

  Json step = Json::object();
  step["id"] = span.span_id;
  step["step_index"] = index;
  step["step_type"] = type;
  std::optional<Json> name;
  for (const char* key : {"gen_ai.agent.name", "gen_ai.tool.name", "tool.name", "agent.name"}) {
    if (!name) name = take(a, key);
  }
  step["display_name"] = name && name->is_string() ? name->get<std::string>() : span.name;
  step["summary"] = span.name;

  // Failure: an ERROR status, an exception event or an error.type attribute.
  auto error_type = take(a, "error.type");
  std::string exception;
  for (const auto& e : span.events) {
    if (e["name"] != "exception") continue;
    const Json& ea = e["attributes"];
    exception = string_member(ea, "exception.type");
    std::string msg = string_member(ea, "exception.message");
    exception = exception.empty() ? msg : msg.empty() ? exception : exception + ": " + msg;
    if (exception.empty()) exception = "exception";
  }
  d.failed = span.status_code == 2 || !exception.empty() || error_type.has_value();
  step["status"] = d.failed ? "failed" : "completed";
  if (span.start && span.end && *span.end >= *span.start)
    step["duration_ms"] = (*span.end - *span.start) / 1000000;
  if (!span.status_message.empty())
    step["error_message"] = span.status_message;
  else if (!exception.empty())
    step["error_message"] = exception;
  else if (error_type)
    step["error_message"] = text_of(error_type);

  auto input_mime = take(a, "input.mime_type");
  auto output_mime = take(a, "output.mime_type");
  std::optional<Json> input = take(a, "input.value");
  if (input) input = decoded(std::move(*input), input_mime);
  std::optional<Json> output = take(a, "output.value");
  if (output) output = decoded(std::move(*output), output_mime);
  auto in_messages = nested(a, "llm.input_messages");
  auto out_messages = nested(a, "llm.output_messages");
  auto documents = nested(a, "retrieval.documents");
  auto reranked = nested(a, "reranker.output_documents");
  for (std::string_view p : kNestedPrefixes) {
    if (auto rest = nested(a, p)) a[std::string(p)] = std::move(*rest);
  }
  auto genai = [&](const char* key) {
    auto v = take(a, key);
    if (v) v = decoded(std::move(*v), std::nullopt);
    return v;
  };
  auto gen_in = genai("gen_ai.input.messages");
  auto gen_out = genai("gen_ai.output.messages");
  auto tool_args = genai("gen_ai.tool.call.arguments");
  auto tool_result = genai("gen_ai.tool.call.result");
  auto gen_docs = genai("gen_ai.retrieval.documents");
  auto prompt = genai("gen_ai.prompt");
  auto completion = genai("gen_ai.completion");
  for (auto* v : {&input, &in_messages, &gen_in, &tool_args, &prompt}) {
    if (!step.contains("raw_input") && *v) step["raw_input"] = **v;
  }
  for (auto* v : {&output, &out_messages, &documents, &reranked, &gen_docs, &gen_out, &tool_result,
                  &completion}) {
    if (!step.contains("raw_output") && *v) step["raw_output"] = **v;
  }

  Json meta = Json::object();
  meta["span_name"] = span.name;
  meta["span_kind"] = span.kind;
  meta["trace_id"] = span.trace_id;
  meta["span_id"] = span.span_id;
  if (!span.parent_id.empty()) meta["parent_span_id"] = span.parent_id;
  if (oi) meta["openinference.span.kind"] = *oi;
  if (op) meta["gen_ai.operation.name"] = *op;
  if (type == "retrieval" || type == "rerank_retrieval") {
    const std::optional<Json>* found = documents  ? &documents
                                       : reranked ? &reranked
                                       : gen_docs ? &gen_docs
                                                  : nullptr;
    // A retriever that recorded no documents at all returned none.
    if (found && (*found)->is_array())
      meta["results_count"] = (*found)->size();
    else if (output && output->is_array())
      meta["results_count"] = output->size();
    else if (!found && !output)
      meta["results_count"] = 0;
  }
  if (auto cost = a.find("llm.cost.total"); cost != a.end() && cost->is_number())
    d.cost = cost->get<double>();
  for (auto& [k, v] : a.items()) meta[k] = v;
  step["metadata"] = std::move(meta);
  d.step = std::move(step);
  return d;
}

Json build_fixture(std::vector<Span>& spans) {
  std::unordered_map<std::string, size_t> by_id;
  for (size_t i = 0; i < spans.size(); ++i) by_id.emplace(spans[i].span_id, i);
  std::vector<size_t> depth(spans.size(), 0);
  std::set<std::string> parents;
  for (size_t i = 0; i < spans.size(); ++i) {
    size_t d = 0, at = i;
    // Walk up the parents; a cycle or a missing parent ends the walk.
    for (size_t hops = 0; hops <= spans.size(); ++hops) {
      auto it = by_id.find(spans[at].parent_id);
      if (spans[at].parent_id.empty() || it == by_id.end() || it->second == at) break;
      at = it->second;
      ++d;
    }
    depth[i] = d;
    if (!spans[i].parent_id.empty() && by_id.count(spans[i].parent_id))
      parents.insert(spans[i].parent_id);
  }
  std::vector<size_t> order(spans.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t x, size_t y) {
    auto key = [&](size_t i) {
      return std::tuple(spans[i].start.value_or(0), depth[i], spans[i].end.value_or(0),
                        spans[i].span_id);
    };
    return key(x) < key(y);
  });

  const Span* root = nullptr;
  for (size_t i : order) {
    if (depth[i] == 0) {
      root = &spans[i];
      break;
    }
  }
  std::string title = root ? root->name : "OTLP trace";
  if (root) {
    for (const char* key : {"gen_ai.agent.name", "gen_ai.workflow.name", "agent.name"}) {
      auto it = root->attrs.find(key);
      if (it != root->attrs.end() && it->is_string()) {
        title = it->get<std::string>();
        break;
      }
    }
  }
  bool root_failed = root && root->status_code == 2;

  std::vector<StepDraft> drafts;
  bool any_failed = false;
  std::optional<double> cost;
  for (size_t i : order) {
    Span& span = spans[i];
    bool is_root = &span == root;
    auto oi = span.attrs.find("openinference.span.kind");
    auto op = span.attrs.find("gen_ai.operation.name");
    bool container = (oi != span.attrs.end() && *oi == "CHAIN") ||
                     (op != span.attrs.end() && *op == "invoke_workflow") ||
                     (is_root && ((oi != span.attrs.end() && *oi == "AGENT") ||
                                  (op != span.attrs.end() && *op == "invoke_agent")));
    if (container && parents.count(span.span_id)) {
      // Represented by its children; its failure still fails the run.
      any_failed = any_failed || span.status_code == 2;
      continue;
    }
    StepDraft d = make_step(span, drafts.size(), is_root);
    any_failed = any_failed || d.failed;
    if (d.cost) cost = cost.value_or(0) + *d.cost;
    drafts.push_back(std::move(d));
  }
  // The last model output without tool calls is the final answer.
  for (size_t i = drafts.size(); i-- > 0;) {
    if (!drafts[i].llm) continue;
    std::string out =
        drafts[i].step.contains("raw_output") ? compact_json(drafts[i].step["raw_output"]) : "";
    if (!contains(out, "tool_call")) drafts[i].step["step_type"] = "final_answer";
    break;
  }

  Json run = {{"id", spans.empty() ? "" : spans.front().trace_id},
              {"title", title},
              {"status", root_failed || any_failed ? "failed" : "completed"}};
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
  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception& e) {
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
  bool ok = Json::sax_parse(text.begin(), text.end(), &scanner,
                            nlohmann::detail::input_format_t::json, /*strict=*/true);
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

Result<std::vector<ImportedTrace>> import_otlp(std::string_view bytes, std::string_view where) {
  Input input = Input::of_bytes(bytes, std::string(where));
  std::vector<OtlpItem> items;
  std::optional<Error> failed;
  auto done = for_each_otlp_trace(input, [&](OtlpItem item) {
    if (item.error && !failed) failed = std::move(item.error);
    if (!failed) items.push_back(std::move(item));
  });
  if (!done) return std::move(done).error();
  if (failed) return std::move(*failed);
  // In order of first appearance, whatever line completed each trace.
  std::stable_sort(items.begin(), items.end(),
                   [](const auto& a, const auto& b) { return a.sequence < b.sequence; });
  std::vector<ImportedTrace> out;
  out.reserve(items.size());
  for (auto& item : items) out.push_back({std::move(item.trace_id), std::move(item.fixture)});
  return out;
}

}  // namespace tracedx
