#include "batch/run_info.h"

#include <nlohmann/json.hpp>
#include <string_view>

#include "text/json_writer.h"
#include "text/text.h"

namespace tracedx {
namespace {

// Token counts as step metadata records them: a total, or its parts. The first row of a
// group that is present decides; "tokens" may also be an object of such counts.
struct TokenKeys {
  std::string_view total;
  std::string_view part1, part2;
};
constexpr TokenKeys kTokenKeys[] = {
    {"tokens", "", ""},
    {"total_tokens", "", ""},
    {"llm.token_count.total", "llm.token_count.prompt", "llm.token_count.completion"},
    {"gen_ai.usage.total_tokens", "gen_ai.usage.input_tokens", "gen_ai.usage.output_tokens"},
};
// Members of a "tokens" object, in the same sense.
constexpr TokenKeys kTokenObject = {"total", "prompt", "completion"};
constexpr TokenKeys kTokenObjectAlt = {"total_tokens", "input", "output"};

uint64_t add_saturating(uint64_t a, uint64_t b) {
  uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

std::optional<uint64_t> count_of(const Json* v) {
  if (!v || !v->is_number_integer()) return std::nullopt;
  if (v->is_number_unsigned()) return v->get<uint64_t>();
  int64_t n = v->get<int64_t>();
  return n < 0 ? std::nullopt : std::optional<uint64_t>(static_cast<uint64_t>(n));
}

const Json* member(const Json& object, std::string_view key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// A total, else the sum of the parts present.
std::optional<uint64_t> counted(const Json& object, const TokenKeys& keys) {
  if (auto total = count_of(member(object, keys.total))) return total;
  if (keys.part1.empty()) return std::nullopt;
  auto a = count_of(member(object, keys.part1)), b = count_of(member(object, keys.part2));
  if (!a && !b) return std::nullopt;
  return add_saturating(a.value_or(0), b.value_or(0));
}

std::optional<uint64_t> step_tokens(const TraceStep& step) {
  if (!step.metadata || !step.metadata->is_object()) return std::nullopt;
  const Json& meta = *step.metadata;
  if (const Json* t = member(meta, "tokens"); t && t->is_object()) {
    if (auto n = counted(*t, kTokenObject)) return n;
    if (auto n = counted(*t, kTokenObjectAlt)) return n;
  }
  for (const auto& keys : kTokenKeys) {
    if (auto n = counted(meta, keys)) return n;
  }
  return std::nullopt;
}

bool failed_step(const TraceStep& step) {
  if (!step.status) return false;
  std::string s = norm(*step.status);
  return s == "failed" || s == "error" || s == "failure";
}

}  // namespace

RunInfo run_info_of(const Trace& trace, const Diagnosis& diagnosis, bool status_recorded) {
  RunInfo run;
  run.title = trace.title;
  run.service = trace.service_name;
  run.agent = trace.agent_name;
  if (status_recorded) run.status = trace.status;
  run.outcome = diagnosis.outcome;
  run.cost = trace.total_cost;
  run.steps = trace.steps.size();

  const TraceStep* anchor = nullptr;
  const TraceStep* first_failed = nullptr;
  const auto& rc = diagnosis.root_cause;
  for (const auto& step : trace.steps) {
    if (auto n = step_tokens(step)) run.tokens = add_saturating(run.tokens.value_or(0), *n);
    if (step.duration_ms) run.duration_ms = trace.total_duration_ms;
    if (!first_failed && failed_step(step)) first_failed = &step;
    if (!anchor && rc && rc->step_index && step.step_index == rc->step_index) anchor = &step;
    // The agent named on the steps when the run does not name one.
    if (!run.agent && step.metadata && step.metadata->is_object()) {
      for (const char* key : {"gen_ai.agent.name", "agent.name"}) {
        const Json* name = member(*step.metadata, key);
        if (name && name->is_string()) {
          run.agent = name->get<std::string>();
          break;
        }
      }
    }
  }
  if (rc && rc->step_name)
    run.tool = rc->step_name;
  else if (first_failed && first_failed->display_name)
    run.tool = *first_failed->display_name;
  if (anchor && anchor->error_message)
    run.error_message = *anchor->error_message;
  else if (first_failed && first_failed->error_message)
    run.error_message = *first_failed->error_message;
  return run;
}

namespace {

template <typename V>
void run_fields(V& v, const RunInfo& run) {
  v.member("title", run.title);
  v.member("service", run.service);
  v.member("agent", run.agent);
  v.member("status", run.status);
  v.member("outcome", run.outcome);
  v.member("duration_ms", run.duration_ms);
  v.member("cost", run.cost);
  v.member("tokens", run.tokens);
  v.member("steps", run.steps);
  v.member("tool", run.tool);
  v.member("error_message", run.error_message);
}

}  // namespace

OrderedJson to_json(const RunInfo& run) {
  return JsonBuilder::build(run, run_fields<JsonBuilder>);
}

void append_run_json(std::string& out, const RunInfo& run) {
  CompactWriter(out).write(run, run_fields<CompactWriter>);
}

}  // namespace tracedx
