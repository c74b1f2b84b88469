#include "trace/fixture_loader.h"

#include <fcntl.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "input/input.h"

namespace tracedx {
namespace {

using value_t = Json::value_t;

// Builds the document from the parser's events, enforcing the depth limit and keeping the
// parse error as a value. The parser itself is iterative, so depth costs no stack. A key
// seen twice in one object keeps its last value, as the object's map assigns over it.
class BoundedDomSax {
 public:
  explicit BoundedDomSax(Json& root) : root_(root) {}

  bool null() { return put(nullptr); }
  bool boolean(bool v) { return put(v); }
  bool number_integer(Json::number_integer_t v) {
    // The lexer yields a signed integer only for a leading minus; "-0" is then the only
    // way to get zero, and it is kept as the float it denotes.
    if (v == 0) return put(-0.0);
    return put(v);
  }
  bool number_unsigned(Json::number_unsigned_t v) { return put(v); }
  bool number_float(Json::number_float_t v, const Json::string_t& /*text*/) { return put(v); }
  bool string(Json::string_t& v) { return put(std::move(v)); }
  bool binary(Json::binary_t& v) { return put(Json::binary(std::move(v))); }
  bool key(Json::string_t& v) {
    member_ = &stack_.back()->get_ref<Json::object_t&>()[std::move(v)];
    return true;
  }
  bool start_object(size_t) { return enter(value_t::object); }
  bool end_object() { return leave(); }
  bool start_array(size_t) { return enter(value_t::array); }
  bool end_array() { return leave(); }
  bool parse_error(size_t position, const std::string& /*token*/, const Json::exception& ex) {
    what_ = ex.what();
    position_ = position;
    return false;
  }

  bool too_deep() const { return too_deep_; }
  const std::string& what() const { return what_; }
  size_t position() const { return position_; }

 private:
  // Places a value where the document is: the root, the next element of the open array,
  // or the member whose key came last. Returns where it went.
  template <typename Value>
  Json* place(Value&& value) {
    if (stack_.empty()) {
      root_ = Json(std::forward<Value>(value));
      return &root_;
    }
    Json& open = *stack_.back();
    if (open.is_array()) {
      auto& elements = open.get_ref<Json::array_t&>();
      elements.emplace_back(std::forward<Value>(value));
      return &elements.back();
    }
    *member_ = Json(std::forward<Value>(value));
    return member_;
  }
  template <typename Value>
  bool put(Value&& value) {
    place(std::forward<Value>(value));
    return true;
  }
  bool enter(value_t kind) {
    if (stack_.size() >= kMaxJsonDepth) {
      too_deep_ = true;
      return false;
    }
    stack_.push_back(place(kind));
    return true;
  }
  bool leave() {
    stack_.pop_back();
    return true;
  }

  Json& root_;
  std::vector<Json*> stack_;  // the open containers, outermost first
  Json* member_ = nullptr;
  bool too_deep_ = false;
  std::string what_;
  size_t position_ = 0;
};

// Line and column (both 1-based, column in bytes) of a byte offset.
std::pair<size_t, size_t> position_of(std::string_view bytes, size_t offset) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < offset && i < bytes.size(); ++i) {
    if (bytes[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return {line, column};
}

// Offset of the bracket that opens the first container deeper than the limit. Only called
// after the parser stopped there, so the bytes before it are well-formed JSON.
size_t offset_of_excess_depth(std::string_view bytes) {
  size_t depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return i;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return bytes.size();
}

// Longest token a parse error quotes whole; a longer one is cut to its first (a number
// out of range) or last (the bytes read up to a syntax error) kShortToken bytes and "...".
constexpr size_t kLongToken = 64;
constexpr size_t kShortToken = 32;

// The message with the token quoted after `lead` (up to the message's last quote) cut.
std::string shorten_token(std::string message, std::string_view lead, bool keep_front) {
  size_t begin = message.find(lead);
  size_t end = message.rfind('\'');
  if (begin == std::string::npos) return message;
  begin += lead.size();
  if (end == std::string::npos || end < begin || end - begin <= kLongToken) return message;
  std::string_view token(message.data() + begin, end - begin);
  std::string cut;
  if (keep_front) {
    size_t n = kShortToken;
    while (n < token.size() && (static_cast<unsigned char>(token[n]) & 0xC0) == 0x80) ++n;
    cut = std::string(token.substr(0, n)) + "...";
  } else {
    size_t from = token.size() - kShortToken;
    while (from < token.size() && (static_cast<unsigned char>(token[from]) & 0xC0) == 0x80) ++from;
    cut = "..." + std::string(token.substr(from));
  }
  return message.replace(begin, end - begin, cut);
}

// Splits the library's "[json.exception...] parse error at line L, column C: msg". Errors
// without a position in their text (a number out of range) take it from the byte offset.
// Quoted tokens are cut short, so a megabyte of digits does not make a megabyte of error.
Error json_error_from(const std::string& what, std::string_view bytes, size_t offset) {
  auto [line, column] = position_of(bytes, offset > 0 ? offset - 1 : 0);
  std::string message = what;
  if (auto at = what.find(" at line "); at != std::string::npos) {
    std::sscanf(what.c_str() + at, " at line %zu, column %zu", &line, &column);
    if (auto colon = what.find(": ", at); colon != std::string::npos) {
      message = what.substr(colon + 2);
    }
  } else if (auto close = what.find("] "); close != std::string::npos) {
    message = what.substr(close + 2);
  }
  message = shorten_token(std::move(message), "number overflow parsing '", true);
  message = shorten_token(std::move(message), "; last read: '", false);
  return Error::json(std::move(message), line, column);
}

std::optional<std::string> string_field(const Json& v) {
  if (v.is_string()) return v.get_ref<const std::string&>();
  return std::nullopt;
}

std::optional<std::string> take_string(Json::object_t& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end() || !it->second.is_string()) return std::nullopt;
  return std::move(it->second.get_ref<std::string&>());
}

std::optional<int64_t> signed_integer(const Json& v) {
  if (v.type() == value_t::number_integer) return v.get<int64_t>();
  if (v.type() == value_t::number_unsigned) {
    uint64_t u = v.get<uint64_t>();
    if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return static_cast<int64_t>(u);
    }
  }
  return std::nullopt;
}

// The members of a step object, one row each, and what each becomes; both readers (the
// document's and the tape's) go by this table. One member pointer of a row is set.
struct StepField {
  std::string_view key;
  Boxed<Json> TraceStep::*value = nullptr;                     // any JSON value, as it is
  Boxed<std::string> TraceStep::*text = nullptr;               // a string; else absent
  std::optional<int64_t> TraceStep::*signed_int = nullptr;     // an integer in int64 range
  std::optional<uint64_t> TraceStep::*unsigned_int = nullptr;  // an integer from 0
};

// clang-format off
constexpr StepField kStepFields[] = {
    {"id", &TraceStep::id},
    {"step_index", nullptr, nullptr, &TraceStep::step_index},
    {"step_type", nullptr, &TraceStep::step_type},
    {"display_name", nullptr, &TraceStep::display_name},
    {"summary", nullptr, &TraceStep::summary},
    {"status", nullptr, &TraceStep::status},
    {"duration_ms", nullptr, nullptr, nullptr, &TraceStep::duration_ms},
    {"error_message", nullptr, &TraceStep::error_message},
    {"raw_input", &TraceStep::raw_input},
    {"raw_output", &TraceStep::raw_output},
    {"metadata", &TraceStep::metadata},
};
// clang-format on

const StepField* step_field(std::string_view key) {
  for (const auto& f : kStepFields) {
    if (f.key == key) return &f;
  }
  return nullptr;
}

TraceStep build_step(Json& element) {
  TraceStep step;
  if (!element.is_object()) return step;
  auto& obj = element.get_ref<Json::object_t&>();
  for (const auto& f : kStepFields) {
    auto it = obj.find(f.key);
    if (it == obj.end()) continue;
    Json& v = it->second;
    if (f.value) {
      step.*f.value = std::move(v);
    } else if (f.text) {
      if (v.is_string()) step.*f.text = std::move(v.get_ref<std::string&>());
    } else if (f.signed_int) {
      step.*f.signed_int = signed_integer(v);
    } else if (v.type() == value_t::number_unsigned) {
      step.*f.unsigned_int = v.get<uint64_t>();
    }
  }
  return step;
}

// Releases a JSON value when the scope is left by an exception or without dismiss().
class ReleaseGuard {
 public:
  explicit ReleaseGuard(Json& v) : v_(&v) {}
  ReleaseGuard(const ReleaseGuard&) = delete;
  ReleaseGuard& operator=(const ReleaseGuard&) = delete;
  ~ReleaseGuard() {
    if (v_) release_json(*v_);
  }
  void dismiss() { v_ = nullptr; }

 private:
  Json* v_;
};

}  // namespace

Result<Json> parse_json(std::string_view bytes) {
  Json root;
  ReleaseGuard guard(root);  // what was built when memory runs out, or a partial document
  BoundedDomSax sax(root);
  bool ok = Json::sax_parse(bytes.begin(), bytes.end(), &sax, Json::input_format_t::json,
                            /*strict=*/true);
  if (ok) {
    guard.dismiss();
    return root;
  }
  if (sax.too_deep()) {
    auto [line, column] = position_of(bytes, offset_of_excess_depth(bytes));
    return Error::json("nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels", line,
                       column);
  }
  return json_error_from(sax.what(), bytes, sax.position());
}

Result<Trace> build_trace(std::string_view name, Json document) {
  ReleaseGuard guard(document);  // what was not moved into the Trace
  if (!document.is_object()) return Error::message("fixture.run missing");
  auto& top = document.get_ref<Json::object_t&>();
  auto run_it = top.find("run");
  if (run_it == top.end() || !run_it->second.is_object()) {
    return Error::message("fixture.run missing");
  }
  auto steps_it = top.find("steps");
  if (steps_it == top.end() || !steps_it->second.is_array()) {
    return Error::message("fixture.steps missing");
  }

  Trace trace;
  auto& elements = steps_it->second.get_ref<Json::array_t&>();
  trace.steps.reserve(elements.size());
  for (auto& element : elements) trace.steps.push_back(build_step(element));
  trace.total_duration_ms = sum_step_durations(trace.steps);

  auto& run = run_it->second.get_ref<Json::object_t&>();
  trace.status = take_string(run, "status");
  if (auto it = run.find("diagnostic_summary"); it != run.end()) {
    trace.diagnostic_summary = string_field(it->second);
  } else {
    trace.diagnostic_summary = take_string(run, "failure_reason");
  }
  trace.title = take_string(run, "title");
  trace.recorded_from = take_string(run, "recorded_from");
  if (auto it = run.find("status_inferred"); it != run.end() && it->second.is_boolean()) {
    trace.status_inferred = it->second.get<bool>();
  }
  trace.service_name = take_string(run, "service_name");
  trace.agent_name = take_string(run, "agent_name");
  if (auto it = run.find("total_cost"); it != run.end() && it->second.is_number()) {
    trace.total_cost = it->second.get<double>();
  }
  trace.id = std::string(name);
  return trace;
}

namespace {

// The fast path: simdjson's parser validates the whole document (UTF-8, escapes, numbers,
// structure, the depth limit) into its compact tape, and the Trace is built from the tape
// with no generic document in between. Whatever the fast path does not take is handed to
// parse_json and build_trace, which then give the result or the error message.
namespace dom = simdjson::dom;
using simdjson::dom::element_type;

static_assert(kLoadPadding >= simdjson::SIMDJSON_PADDING);

// Thrown inside the build when the document needs the slow path after all.
struct NeedsSlowPath {};

// Views of an element known to be of that type.
dom::object object_of(dom::element e) {
  dom::object o;
  if (e.get(o) != simdjson::SUCCESS) throw NeedsSlowPath{};
  return o;
}
dom::array array_of(dom::element e) {
  dom::array a;
  if (e.get(a) != simdjson::SUCCESS) throw NeedsSlowPath{};
  return a;
}

// Parsers keep their buffers between documents; one per thread, reused for documents up
// to this size. A larger document gets a parser of its own, freed with it.
constexpr size_t kReusedParserBytes = size_t{16} << 20;

class TapeBuilder {
 public:
  // `negative_zero` tells whether the bytes hold a "-0" integer token, which the tape
  // cannot tell from "0": only asked when an integer zero is met.
  explicit TapeBuilder(const std::function<bool()>& negative_zero)
      : negative_zero_(negative_zero) {}

  Json value(dom::element e) {
    switch (e.type()) {
      case element_type::ARRAY: {
        Json j(value_t::array);
        ReleaseGuard guard(j);  // released on the way out of a failed build
        auto& out = j.get_ref<Json::array_t&>();
        dom::array a = array_of(e);
        out.reserve(a.size());
        for (dom::element x : a) out.push_back(value(x));
        guard.dismiss();
        return j;
      }
      case element_type::OBJECT: {
        Json j(value_t::object);
        ReleaseGuard guard(j);
        auto& out = j.get_ref<Json::object_t&>();
        for (dom::key_value_pair kv : object_of(e)) {
          // A later duplicate replaces the earlier value, as the document parser does.
          out.insert_or_assign(std::string(kv.key), value(kv.value));
        }
        guard.dismiss();
        return j;
      }
      case element_type::INT64: {
        int64_t v = e.get_int64().value_unsafe();
        if (v < 0) return Json(v);
        if (v == 0) zero();
        return Json(static_cast<uint64_t>(v));
      }
      case element_type::UINT64:
        return Json(e.get_uint64().value_unsafe());
      case element_type::DOUBLE:
        return Json(e.get_double().value_unsafe());
      case element_type::STRING:
        return Json(std::string(e.get_string().value_unsafe()));
      case element_type::BOOL:
        return Json(e.get_bool().value_unsafe());
      case element_type::NULL_VALUE:
        return Json(nullptr);
    }
    return Json();
  }

  static std::optional<std::string> text(dom::element e) {
    if (e.type() != element_type::STRING) return std::nullopt;
    return std::string(e.get_string().value_unsafe());
  }

  std::optional<int64_t> signed_integer(dom::element e) {
    if (e.type() != element_type::INT64) return std::nullopt;  // UINT64 is above the range
    int64_t v = e.get_int64().value_unsafe();
    if (v == 0) zero();
    return v;
  }

  std::optional<uint64_t> unsigned_integer(dom::element e) {
    if (e.type() == element_type::UINT64) return e.get_uint64().value_unsafe();
    if (e.type() != element_type::INT64) return std::nullopt;
    int64_t v = e.get_int64().value_unsafe();
    if (v < 0) return std::nullopt;
    if (v == 0) zero();
    return static_cast<uint64_t>(v);
  }

  TraceStep step(dom::element e) {
    TraceStep step;
    if (e.type() != element_type::OBJECT) return step;
    for (dom::key_value_pair kv : object_of(e)) {
      // Every occurrence of a key is applied in turn, so the last one decides.
      const StepField* f = step_field(kv.key);
      if (!f) continue;
      dom::element v = kv.value;
      if (f->value)
        step.*f->value = value(v);
      else if (f->text)
        step.*f->text = text(v);
      else if (f->signed_int)
        step.*f->signed_int = signed_integer(v);
      else
        step.*f->unsigned_int = unsigned_integer(v);
    }
    return step;
  }

  Result<Trace> trace(std::string_view name, dom::element root) {
    if (root.type() != element_type::OBJECT) return Error::message("fixture.run missing");
    std::optional<dom::element> run, steps;
    for (dom::key_value_pair kv : object_of(root)) {
      if (kv.key == "run")
        run = kv.value;
      else if (kv.key == "steps")
        steps = kv.value;
    }
    if (!run || run->type() != element_type::OBJECT) return Error::message("fixture.run missing");
    if (!steps || steps->type() != element_type::ARRAY) {
      return Error::message("fixture.steps missing");
    }

    Trace trace;
    dom::array elements = array_of(*steps);
    trace.steps.reserve(elements.size());
    for (dom::element e : elements) trace.steps.push_back(step(e));
    trace.total_duration_ms = sum_step_durations(trace.steps);

    bool has_diagnostic_summary = false;
    std::optional<std::string> failure_reason;
    for (dom::key_value_pair kv : object_of(*run)) {
      std::string_view k = kv.key;
      dom::element v = kv.value;
      if (k == "status") {
        trace.status = text(v);
      } else if (k == "diagnostic_summary") {
        has_diagnostic_summary = true;
        trace.diagnostic_summary = text(v);
      } else if (k == "failure_reason") {
        failure_reason = text(v);
      } else if (k == "title") {
        trace.title = text(v);
      } else if (k == "recorded_from") {
        trace.recorded_from = text(v);
      } else if (k == "status_inferred") {
        trace.status_inferred = v.type() == element_type::BOOL && v.get_bool().value_unsafe();
      } else if (k == "service_name") {
        trace.service_name = text(v);
      } else if (k == "agent_name") {
        trace.agent_name = text(v);
      } else if (k == "total_cost") {
        switch (v.type()) {
          case element_type::INT64:
            trace.total_cost = static_cast<double>(*signed_integer(v));
            break;
          case element_type::UINT64:
            trace.total_cost = static_cast<double>(v.get_uint64().value_unsafe());
            break;
          case element_type::DOUBLE:
            trace.total_cost = v.get_double().value_unsafe();
            break;
          default:
            trace.total_cost.reset();
        }
      }
    }
    if (!has_diagnostic_summary) trace.diagnostic_summary = std::move(failure_reason);
    trace.id = std::string(name);
    return trace;
  }

 private:
  // An integer zero read "-0" is the float -0.0, which the tape does not show; documents
  // holding such a token take the slow path.
  void zero() {
    if (!zero_checked_) {
      zero_checked_ = true;
      has_negative_zero_ = negative_zero_();
    }
    if (has_negative_zero_) throw NeedsSlowPath{};
  }

  const std::function<bool()>& negative_zero_;
  bool zero_checked_ = false;
  bool has_negative_zero_ = false;
};

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// The fast path over `bytes` (padded when `padded`). Returns no value when the slow path
// must decide. `release`, when given, is freed once parsed and no longer needed.
std::optional<Result<Trace>> fast_load(std::string_view name, std::string_view bytes, bool padded,
                                       std::string* release) {
  std::string_view json = bytes;
  if (json.substr(0, kBom.size()) == kBom) json.remove_prefix(kBom.size());

  thread_local std::unique_ptr<dom::parser> reused;
  std::unique_ptr<dom::parser> own;
  dom::parser* parser;
  if (json.size() <= kReusedParserBytes) {
    if (!reused) {
      reused = std::make_unique<dom::parser>();
      if (reused->allocate(4096, kMaxJsonDepth) != simdjson::SUCCESS) return std::nullopt;
    }
    parser = reused.get();
  } else {
    own = std::make_unique<dom::parser>();
    if (own->allocate(json.size(), kMaxJsonDepth) != simdjson::SUCCESS) return std::nullopt;
    parser = own.get();
  }
  dom::element root;
  if (parser->parse(json.data(), json.size(), /*realloc_if_needed=*/!padded).get(root)) {
    return std::nullopt;
  }

  // The tape holds every text and value now; the bytes are only needed to tell "-0" apart.
  std::optional<bool> negative_zero;
  if (release) {
    negative_zero = holds_negative_zero_token(json);
    if (!*negative_zero) std::string().swap(*release);
  }
  std::function<bool()> ask = [&] {
    if (!negative_zero) negative_zero = holds_negative_zero_token(json);
    return *negative_zero;
  };
  try {
    return TapeBuilder(ask).trace(name, root);
  } catch (const NeedsSlowPath&) {
    return std::nullopt;  // the bytes are still there: they were kept for this
  }
}

Result<Trace> slow_load(std::string_view name, std::string_view bytes) {
  auto document = parse_json(bytes);
  if (!document) return std::move(document).error();
  return build_trace(name, std::move(*document));
}

}  // namespace

bool holds_negative_zero_token(std::string_view bytes) {
  for (size_t at = bytes.find("-0"); at != std::string_view::npos; at = bytes.find("-0", at + 2)) {
    if (at + 2 >= bytes.size()) return true;
    char c = bytes[at + 2];
    if (!(c >= '0' && c <= '9') && c != '.' && c != 'e' && c != 'E') return true;
  }
  return false;
}

Result<Trace> load_trace_padded(std::string_view name, std::string_view bytes) {
  if (auto fast = fast_load(name, bytes, /*padded=*/true, nullptr)) return std::move(*fast);
  return slow_load(name, bytes);
}

Result<Trace> load_trace(std::string_view name, std::string_view bytes) {
  if (auto fast = fast_load(name, bytes, /*padded=*/false, nullptr)) return std::move(*fast);
  return slow_load(name, bytes);
}

Result<Trace> load_trace_owned(std::string_view name, std::string&& bytes) {
  const bool padded = bytes.capacity() - bytes.size() >= kLoadPadding;
  if (auto fast = fast_load(name, bytes, padded, &bytes)) return std::move(*fast);
  // The fast path releases the bytes only once it cannot give up any more.
  return slow_load(name, bytes);
}

std::filesystem::path fixture_path(const std::filesystem::path& fixture_dir,
                                   std::string_view name) {
  return fixture_dir / std::filesystem::path(std::string(name));
}

Result<Trace> load_fixture(const std::filesystem::path& fixture_dir, std::string_view name) {
  auto path = fixture_path(fixture_dir, name);
  auto bytes = read_file(path);
  if (!bytes) return std::move(bytes).error();
  auto trace = load_trace_owned(name, std::move(*bytes));
  if (!trace && trace.error().kind() == Error::Kind::kJson) {
    return std::move(trace).error().with_path(path.string());
  }
  return trace;
}

}  // namespace tracedx
