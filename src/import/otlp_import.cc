// OTLP JSON spans to fixture documents. Steps are the spans that do work: a container span
// (an OpenInference CHAIN, a GenAI invoke_workflow, the root agent) that has children is
// represented by them and is not a step of its own; a container without children is.
#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <unordered_map>

#include "import/importers.h"
#include "import/json_members.h"
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

Json any_value(const Json& v) {
  if (!v.is_object()) return nullptr;
  if (auto it = v.find("stringValue"); it != v.end()) return *it;
  if (auto it = v.find("boolValue"); it != v.end()) return *it;
  if (auto it = v.find("intValue"); it != v.end()) {
    if (it->is_number_integer()) return *it;
    if (it->is_string()) {
      try {
        return Json(std::stoll(it->get<std::string>()));
      } catch (...) {
        return *it;
      }
    }
  }
  if (auto it = v.find("doubleValue"); it != v.end()) return *it;
  if (auto it = v.find("bytesValue"); it != v.end()) return *it;
  if (auto it = v.find("arrayValue"); it != v.end()) {
    Json out = Json::array();
    if (it->is_object() && it->contains("values") && (*it)["values"].is_array()) {
      for (const auto& e : (*it)["values"]) out.push_back(any_value(e));
    }
    return out;
  }
  if (auto it = v.find("kvlistValue"); it != v.end()) {
    Json out = Json::object();
    if (it->is_object() && it->contains("values") && (*it)["values"].is_array()) {
      for (const auto& kv : (*it)["values"]) {
        if (kv.is_object() && kv.contains("key") && kv["key"].is_string()) {
          out[kv["key"].get<std::string>()] = any_value(kv.value("value", Json()));
        }
      }
    }
    return out;
  }
  return nullptr;
}

Json attributes(const Json& list) {
  Json out = Json::object();
  if (!list.is_array()) return out;
  for (const auto& kv : list) {
    if (kv.is_object() && kv.contains("key") && kv["key"].is_string()) {
      out[kv["key"].get<std::string>()] = any_value(kv.value("value", Json()));
    }
  }
  return out;
}

std::string hex_of(const Json& v) {
  return v.is_string() ? v.get<std::string>() : std::string();
}

Result<Ok> collect_spans(const Json& doc, std::string_view where, std::vector<Span>& out) {
  if (!doc.is_object()) return bad(where, "expected an object with resourceSpans");
  auto rs = doc.find("resourceSpans");
  if (rs == doc.end()) return Ok{};
  if (!rs->is_array()) return bad(where, "resourceSpans is not an array");
  for (size_t r = 0; r < rs->size(); ++r) {
    const Json& resource = (*rs)[r];
    std::string rwhere = std::string(where) + ": resourceSpans[" + std::to_string(r) + "]";
    if (!resource.is_object()) return bad(rwhere, "not an object");
    for (const char* scopes_key : {"scopeSpans", "instrumentationLibrarySpans"}) {
      auto ss = resource.find(scopes_key);
      if (ss == resource.end()) continue;
      if (!ss->is_array()) return bad(rwhere, std::string(scopes_key) + " is not an array");
      for (size_t s = 0; s < ss->size(); ++s) {
        const Json& scope = (*ss)[s];
        std::string swhere = rwhere + "." + scopes_key + "[" + std::to_string(s) + "]";
        if (!scope.is_object()) return bad(swhere, "not an object");
        auto spans = scope.find("spans");
        if (spans == scope.end()) continue;
        if (!spans->is_array()) return bad(swhere, "spans is not an array");
        for (size_t i = 0; i < spans->size(); ++i) {
          const Json& j = (*spans)[i];
          Span span;
          span.where = swhere + ".spans[" + std::to_string(i) + "]";
          if (!j.is_object()) return bad(span.where, "not an object");
          span.trace_id = hex_of(j.value("traceId", Json()));
          if (span.trace_id.empty()) return bad(span.where, "traceId missing");
          span.span_id = hex_of(j.value("spanId", Json()));
          span.parent_id = hex_of(j.value("parentSpanId", Json()));
          span.name =
              j.value("name", Json()).is_string() ? j["name"].get<std::string>() : std::string();
          int kind = enum_of(j.value("kind", Json()), kKindNames);
          span.kind = kind >= 0 && kind < 6 ? std::string(kKindNames[kind]) : std::to_string(kind);
          span.start = u64_of(j.value("startTimeUnixNano", Json()));
          span.end = u64_of(j.value("endTimeUnixNano", Json()));
          span.attrs = attributes(j.value("attributes", Json()));
          if (auto ev = j.find("events"); ev != j.end() && ev->is_array()) {
            for (const auto& e : *ev) {
              if (!e.is_object()) continue;
              span.events.push_back(
                  {{"name", e.value("name", Json()).is_string() ? e["name"] : Json("")},
                   {"attributes", attributes(e.value("attributes", Json()))}});
            }
          }
          if (auto st = j.find("status"); st != j.end() && st->is_object()) {
            span.status_code = enum_of(st->value("code", Json()), kStatusNames);
            if (st->contains("message") && (*st)["message"].is_string())
              span.status_message = (*st)["message"];
          }
          out.push_back(std::move(span));
        }
      }
    }
  }
  return Ok{};
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

}  // namespace

Result<Source> parse_source(std::string_view word) {
  if (word == "fixture") return Source::kFixture;
  if (word == "otlp") return Source::kOtlp;
  if (word == "chat") return Source::kChat;
  return Error::message("--from needs fixture, otlp or chat, got \"" + std::string(word) + "\"");
}

Result<std::vector<ImportedTrace>> import_otlp(std::string_view bytes, std::string_view where) {
  std::vector<Span> spans;
  if (auto whole = parse_json(bytes)) {
    if (auto ok = collect_spans(*whole, where, spans); !ok) return std::move(ok).error();
  } else {
    // JSON Lines: one export per line.
    size_t line_no = 0, start = 0;
    bool any = false;
    while (start < bytes.size()) {
      size_t end = bytes.find('\n', start);
      if (end == std::string_view::npos) end = bytes.size();
      std::string_view line = bytes.substr(start, end - start);
      ++line_no;
      start = end + 1;
      if (trim_ascii(line).empty()) continue;
      std::string lwhere = std::string(where) + ":" + std::to_string(line_no);
      auto doc = parse_json(line);
      if (!doc) {
        if (!any && line_no == 1 && end == bytes.size())
          return std::move(whole).error().with_path(std::string(where));
        return std::move(doc).error().with_path(lwhere);
      }
      any = true;
      if (auto ok = collect_spans(*doc, lwhere, spans); !ok) return std::move(ok).error();
    }
  }
  // Group by trace, in order of first appearance.
  std::vector<std::string> ids;
  std::map<std::string, std::vector<Span>> groups;
  for (auto& s : spans) {
    auto [it, fresh] = groups.try_emplace(s.trace_id);
    if (fresh) ids.push_back(s.trace_id);
    it->second.push_back(std::move(s));
  }
  std::vector<ImportedTrace> out;
  for (const auto& id : ids) out.push_back({id, build_fixture(groups[id])});
  return out;
}

}  // namespace tracedx

namespace tracedx {

Result<Ok> for_each_otlp_trace(const std::string& path,
                               const std::function<void(ImportedTrace)>& emit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    auto bytes = read_file(path);  // gives the operating system's reason
    return bytes ? Error::message(path + ": cannot be read") : std::move(bytes).error();
  }
  struct Place {
    std::streamoff offset;
    size_t line_no;
  };
  std::vector<std::string> ids;
  std::unordered_map<std::string, std::vector<Place>> lines_of;
  std::string line;
  size_t line_no = 0;
  for (std::streamoff offset = in.tellg(); std::getline(in, line); offset = in.tellg()) {
    ++line_no;
    if (trim_ascii(line).empty()) continue;
    auto doc = parse_json(line);
    if (!doc) {
      if (ids.empty()) {
        // Not JSON Lines: one document, read whole.
        auto bytes = read_file(path);
        if (!bytes) return std::move(bytes).error();
        auto traces = import_otlp(*bytes, path);
        if (!traces) return std::move(traces).error();
        for (auto& t : *traces) emit(std::move(t));
        return Ok{};
      }
      return std::move(doc).error().with_path(path + ":" + std::to_string(line_no));
    }
    std::vector<Span> spans;
    std::string where = path + ":" + std::to_string(line_no);
    if (auto ok = collect_spans(*doc, where, spans); !ok) return std::move(ok).error();
    for (const auto& s : spans) {
      auto& places = lines_of[s.trace_id];
      if (places.empty()) ids.push_back(s.trace_id);
      if (places.empty() || places.back().line_no != line_no) places.push_back({offset, line_no});
    }
  }
  for (const auto& id : ids) {
    std::vector<Span> mine;
    for (const auto& place : lines_of[id]) {
      in.clear();
      in.seekg(place.offset);
      std::getline(in, line);
      auto doc = parse_json(line);
      std::vector<Span> spans;
      if (!doc || !collect_spans(*doc, path, spans)) continue;  // read fine the first time
      for (auto& s : spans) {
        if (s.trace_id == id) mine.push_back(std::move(s));
      }
    }
    lines_of.erase(id);
    emit(ImportedTrace{id, build_fixture(mine)});
  }
  return Ok{};
}

}  // namespace tracedx
