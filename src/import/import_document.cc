#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "import/detect_source.h"
#include "import/importers.h"
#include "import/otlp_steps.h"
#include "text/json_writer.h"
#include "text/text.h"
#include "trace/fixture_loader.h"

namespace tracedx {

size_t flatten_deep_values(Json& document) {
  return flatten_deep_values(document, 1);
}

size_t flatten_deep_values(Json& value, size_t value_level) {
  // Walks the containers level by level without recursing.
  size_t flattened = 0;
  std::vector<std::pair<Json*, size_t>> pending;
  if (value.is_structured() && value_level > kMaxJsonDepth) {
    value = compact_json(value);
    return 1;
  }
  if (value.is_structured()) pending.emplace_back(&value, value_level);
  while (!pending.empty()) {
    // Plain variables, not a structured binding: the lambda below captures them.
    Json* node = pending.back().first;
    size_t level = pending.back().second;
    pending.pop_back();
    auto visit = [&](Json& child) {
      if (!child.is_structured()) return;
      if (level + 1 > kMaxJsonDepth) {
        child = compact_json(child);
        ++flattened;
      } else {
        pending.emplace_back(&child, level + 1);
      }
    };
    if (node->is_array()) {
      for (auto& child : node->get_ref<Json::array_t&>()) visit(child);
    } else {
      for (auto& [key, child] : node->get_ref<Json::object_t&>()) visit(child);
    }
  }
  return flattened;
}

namespace {

// Values nested deeper than the loader reads are flattened, so the document loads again.
Result<Json> loadable(Json document, size_t* flattened) {
  size_t n = flatten_deep_values(document);
  if (flattened) *flattened = n;
  return document;
}

// The one trace of an OTLP input that `trace_id` names, or its only trace. The input is
// streamed: only the trace picked is kept, with the ids of the others for the messages.
Result<Trace> pick_otlp_trace(Input& input, const std::string& where, const std::string& trace_id,
                              std::string_view pick_option, OtlpLogsByTrace* logs) {
  // Ids are matched as the importer writes them (lower-case hex), however they are typed.
  const std::string wanted = normalize_trace_id(trace_id);
  std::optional<Error> failed;
  std::optional<Trace> picked;
  size_t picked_sequence = 0;
  std::vector<std::pair<size_t, std::string>> seen;  // (rank of first appearance, id)
  auto done = for_each_otlp_trace(
      input,
      [&](OtlpItem item) {
        if (failed) return;
        if (item.error) {
          failed = std::move(item.error);
          picked.reset();
          return;
        }
        seen.emplace_back(item.sequence, item.trace_id);
        if (trace_id.empty()) {
          // A second trace means none is picked; it is not kept either.
          if (seen.size() == 1)
            picked = std::move(item.trace);
          else
            picked.reset();
        } else if (item.trace_id == wanted && (!picked || item.sequence < picked_sequence)) {
          picked = std::move(item.trace);
          picked_sequence = item.sequence;
        }
      },
      logs);
  if (!done) return std::move(done).error();
  if (failed) return std::move(*failed);
  if (picked) return std::move(*picked);
  if (seen.empty()) return Error::message(where + ": no spans found");
  std::stable_sort(seen.begin(), seen.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string ids;
  for (const auto& entry : seen) ids += (ids.empty() ? "" : ", ") + entry.second;
  if (!trace_id.empty())
    return Error::message(where + ": no trace " + trace_id + " (traces: " + ids + ")");
  return Error::message(where + " holds " + std::to_string(seen.size()) +
                        " traces; pick one with " + std::string(pick_option) + " (traces: " + ids +
                        ")");
}

Result<Json> import_otlp_trace(Input& input, const std::string& where, const std::string& trace_id,
                               size_t* flattened, std::string_view pick_option,
                               OtlpLogsByTrace* logs) {
  auto trace = pick_otlp_trace(input, where, trace_id, pick_option, logs);
  if (!trace) return std::move(trace).error();
  return loadable(otlp::fixture_of_trace(*trace), flattened);
}

}  // namespace

Result<Json> import_document(std::string_view bytes, Source source, const std::string& where,
                             const std::string& trace_id, size_t* flattened,
                             std::string_view pick_option, OtlpLogsByTrace* logs) {
  if (source == Source::kDetect) {
    auto detected = detect_source(bytes, where);
    if (!detected) return std::move(detected).error();
    source = *detected;
  }
  if (source == Source::kOtlp) {
    Input input = Input::of_bytes(bytes, where);
    return import_otlp_trace(input, where, trace_id, flattened, pick_option, logs);
  }
  auto document = parse_json(bytes);
  if (!document) return std::move(document).error().with_path(where);
  if (source == Source::kChat) {
    auto imported = import_chat(*document, where);
    if (!imported) return imported;
    return loadable(std::move(*imported), flattened);
  }
  return std::move(*document);
}

Result<Json> import_document(Input& input, Source source, const std::string& trace_id,
                             size_t* flattened, std::string_view pick_option,
                             OtlpLogsByTrace* logs) {
  if (source == Source::kDetect) {
    auto detected = detect_source(input);
    if (!detected) return std::move(detected).error();
    source = *detected;
  }
  if (source == Source::kOtlp)
    return import_otlp_trace(input, input.name(), trace_id, flattened, pick_option, logs);
  auto bytes = input.read_all();
  if (!bytes) return std::move(bytes).error();
  return import_document(*bytes, source, input.name(), trace_id, flattened, pick_option);
}

Result<Trace> import_otlp(Input& input, const std::string& trace_id, std::string_view pick_option,
                          OtlpLogsByTrace* logs) {
  auto trace = pick_otlp_trace(input, input.name(), trace_id, pick_option, logs);
  if (!trace) return trace;
  flatten_deep_values(*trace);
  return trace;
}

size_t flatten_deep_values(Trace& trace) {
  // Where the values stand in the trace's document: document 1, steps 2, a step 3, its
  // values 4.
  size_t flattened = 0;
  for (auto& step : trace.steps) {
    for (Boxed<Json>* value : {&step.raw_input, &step.raw_output, &step.metadata}) {
      if (*value) flattened += flatten_deep_values(**value, 4);
    }
  }
  return flattened;
}

std::optional<RunStatus> parse_run_status(std::string_view word) {
  if (word == "failed") return RunStatus::kFailed;
  if (word == "completed") return RunStatus::kCompleted;
  return std::nullopt;
}

void state_run_status(Json& fixture, RunStatus status) {
  if (!fixture.is_object()) return;
  auto run = fixture.find("run");
  if (run == fixture.end() || !run->is_object()) return;
  (*run)["status"] = status == RunStatus::kFailed ? "failed" : "completed";
  run->erase("status_inferred");  // stated by the user, no longer inferred
}

}  // namespace tracedx
