#include "fleet/run_record.h"

#include <simdjson.h>

#include <memory>

#include "text/text.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

namespace dom = simdjson::dom;
using simdjson::dom::element_type;

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kExpected =
    "expected a batch record (an object with \"id\" and \"diagnosis\" or \"error\")";

// The two readers of a record's values. simdjson's tape reads every line; a line holding
// an integer token "-0", which the tape shows as the integer 0, is read from the document
// parser instead, where it is the float -0.0 (so a "duration_ms" of -0 is no count).
struct TapeValues {
  using Value = dom::element;
  static std::optional<Value> member(Value object, std::string_view key) {
    Value v;
    if (object.type() != element_type::OBJECT || object.get_object().at_key(key).get(v))
      return std::nullopt;
    return v;
  }
  static bool is_object(Value v) { return v.type() == element_type::OBJECT; }
  static std::optional<std::string> text(Value v) {
    if (v.type() != element_type::STRING) return std::nullopt;
    return std::string(v.get_string().value_unsafe());
  }
  static std::optional<uint64_t> count(Value v) {
    if (v.type() == element_type::UINT64) return v.get_uint64().value_unsafe();
    if (v.type() == element_type::INT64 && v.get_int64().value_unsafe() >= 0)
      return static_cast<uint64_t>(v.get_int64().value_unsafe());
    return std::nullopt;
  }
  static std::optional<double> number(Value v) {
    switch (v.type()) {
      case element_type::DOUBLE:
        return v.get_double().value_unsafe();
      case element_type::INT64:
        return static_cast<double>(v.get_int64().value_unsafe());
      case element_type::UINT64:
        return static_cast<double>(v.get_uint64().value_unsafe());
      default:
        return std::nullopt;
    }
  }
};

struct DocumentValues {
  using Value = const Json*;
  static std::optional<Value> member(Value object, std::string_view key) {
    if (!object->is_object()) return std::nullopt;
    auto it = object->find(key);
    if (it == object->end()) return std::nullopt;
    return &*it;
  }
  static bool is_object(Value v) { return v->is_object(); }
  static std::optional<std::string> text(Value v) {
    return v->is_string() ? std::optional(v->get<std::string>()) : std::nullopt;
  }
  static std::optional<uint64_t> count(Value v) {
    if (v->is_number_unsigned()) return v->get<uint64_t>();
    if (v->is_number_integer() && v->get<int64_t>() >= 0)
      return static_cast<uint64_t>(v->get<int64_t>());
    return std::nullopt;
  }
  static std::optional<double> number(Value v) {
    return v->is_number() ? std::optional(v->get<double>()) : std::nullopt;
  }
};

// The record from its root value, read through `R`.
template <typename R>
Result<RunRecord> record_from(typename R::Value root) {
  auto get = [](std::optional<typename R::Value> object, std::string_view key) {
    return object ? R::member(*object, key) : std::nullopt;
  };
  auto text = [&](std::optional<typename R::Value> object, std::string_view key) {
    auto v = get(object, key);
    return v ? R::text(*v) : std::nullopt;
  };
  auto id = text(root, "id");
  if (!id) {
    // A trace given where its batch record was expected: say so.
    if (get(root, "steps") || get(root, "run") || get(root, "resourceSpans"))
      return Error::message(std::string(kExpected) + "; this looks like a trace, not its record");
    return Error::message(std::string(kExpected));
  }
  RunRecord r;
  r.id = std::move(*id);
  auto diagnosis = get(root, "diagnosis");
  if (!diagnosis || !R::is_object(*diagnosis)) {
    auto error = text(root, "error");
    if (!error) return Error::message(std::string(kExpected));
    r.readable = false;
    r.error = std::move(*error);
    return r;
  }
  r.outcome = text(diagnosis, "outcome").value_or("unknown");
  if (auto rc = get(diagnosis, "root_cause"); rc && R::is_object(*rc)) {
    r.label = text(rc, "label");
    r.severity = text(rc, "severity");
  }
  if (auto run = get(root, "run"); run && R::is_object(*run)) {
    r.title = text(run, "title");
    r.service = text(run, "service");
    r.agent = text(run, "agent");
    r.status = text(run, "status");
    if (auto v = get(run, "duration_ms")) r.duration_ms = R::count(*v);
    if (auto v = get(run, "cost")) r.cost = R::number(*v);
    if (auto v = get(run, "tokens")) r.tokens = R::count(*v);
    r.tool = text(run, "tool");
    r.error_message = text(run, "error_message");
  }
  return r;
}

dom::parser& parser() {
  thread_local std::unique_ptr<dom::parser> p;
  if (!p) {
    p = std::make_unique<dom::parser>();
    if (p->allocate(1 << 16, kMaxJsonDepth) != simdjson::SUCCESS) throw std::bad_alloc();
  }
  return *p;
}

}  // namespace

Result<RunRecord> parse_run_record(std::string_view line) {
  if (line.substr(0, kBom.size()) == kBom) line.remove_prefix(kBom.size());
  dom::element root;
  if (auto error = parser().parse(line.data(), line.size()).get(root)) {
    return Error::message("invalid JSON (" + std::string(simdjson::error_message(error)) + "); " +
                          std::string(kExpected));
  }
  if (holds_negative_zero_token(line)) {
    auto document = parse_json(line);
    if (!document) return Error::message(document.error().text() + "; " + std::string(kExpected));
    return record_from<DocumentValues>(&*document);
  }
  return record_from<TapeValues>(root);
}

bool run_failed(const RunRecord& run, bool* by_outcome) {
  if (run.status) {
    std::string status = norm(*run.status);
    if (status == "failed" || status == "completed" || status == "success") {
      if (by_outcome) *by_outcome = true;
      return status == "failed";
    }
  }
  if (by_outcome) *by_outcome = false;
  return run.outcome == "failed";
}

}  // namespace tracedx
