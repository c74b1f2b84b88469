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

std::optional<dom::element> member(dom::element object, std::string_view key) {
  dom::element v;
  if (object.type() != element_type::OBJECT || object.get_object().at_key(key).get(v))
    return std::nullopt;
  return v;
}

std::optional<std::string> text(std::optional<dom::element> e) {
  if (!e || e->type() != element_type::STRING) return std::nullopt;
  return std::string(e->get_string().value_unsafe());
}

std::optional<uint64_t> count(std::optional<dom::element> e) {
  if (!e) return std::nullopt;
  if (e->type() == element_type::UINT64) return e->get_uint64().value_unsafe();
  if (e->type() == element_type::INT64) {
    int64_t v = e->get_int64().value_unsafe();
    if (v >= 0) return static_cast<uint64_t>(v);
  }
  return std::nullopt;
}

std::optional<double> number(std::optional<dom::element> e) {
  if (!e) return std::nullopt;
  switch (e->type()) {
    case element_type::DOUBLE:
      return e->get_double().value_unsafe();
    case element_type::INT64:
      return static_cast<double>(e->get_int64().value_unsafe());
    case element_type::UINT64:
      return static_cast<double>(e->get_uint64().value_unsafe());
    default:
      return std::nullopt;
  }
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
  auto id = text(member(root, "id"));
  if (!id) return Error::message(std::string(kExpected));
  RunRecord r;
  r.id = std::move(*id);
  auto diagnosis = member(root, "diagnosis");
  if (!diagnosis || diagnosis->type() != element_type::OBJECT) {
    auto error = text(member(root, "error"));
    if (!error) return Error::message(std::string(kExpected));
    r.readable = false;
    r.error = std::move(*error);
    return r;
  }
  r.outcome = text(member(*diagnosis, "outcome")).value_or("unknown");
  if (auto rc = member(*diagnosis, "root_cause"); rc && rc->type() == element_type::OBJECT) {
    r.label = text(member(*rc, "label"));
    r.severity = text(member(*rc, "severity"));
  }
  if (auto run = member(root, "run"); run && run->type() == element_type::OBJECT) {
    r.title = text(member(*run, "title"));
    r.service = text(member(*run, "service"));
    r.agent = text(member(*run, "agent"));
    r.status = text(member(*run, "status"));
    r.duration_ms = count(member(*run, "duration_ms"));
    r.cost = number(member(*run, "cost"));
    r.tokens = count(member(*run, "tokens"));
    r.tool = text(member(*run, "tool"));
    r.error_message = text(member(*run, "error_message"));
  }
  return r;
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
