#include <vector>

#include "import/importers.h"
#include "text/text.h"
#include "trace/fixture_loader.h"

namespace tracedx {

size_t flatten_deep_values(Json& document) {
  // Walks the containers level by level (the top one is level 1) without recursing.
  size_t flattened = 0;
  std::vector<std::pair<Json*, size_t>> pending;
  if (document.is_structured()) pending.emplace_back(&document, 1);
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

Result<Json> import_document(std::string_view bytes, Source source, const std::string& where,
                             const std::string& trace_id, size_t* flattened) {
  auto loadable = [&](Json document) -> Result<Json> {
    size_t n = flatten_deep_values(document);
    if (flattened) *flattened = n;
    return document;
  };
  if (source == Source::kOtlp) {
    auto traces = import_otlp(bytes, where);
    if (!traces) return std::move(traces).error();
    // Ids are matched as the importer writes them (lower-case hex), however they are typed.
    const std::string wanted = normalize_trace_id(trace_id);
    std::string ids;
    for (auto& t : *traces) {
      if (trace_id.empty() ? traces->size() == 1 : t.id == wanted)
        return loadable(std::move(t.fixture));
      ids += (ids.empty() ? "" : ", ") + t.id;
    }
    if (traces->empty()) return Error::message(where + ": no spans found");
    if (!trace_id.empty())
      return Error::message(where + ": no trace " + trace_id + " (traces: " + ids + ")");
    return Error::message(where + " holds " + std::to_string(traces->size()) +
                          " traces; pick one with --trace-id (traces: " + ids + ")");
  }
  auto document = parse_json(bytes);
  if (!document) return std::move(document).error().with_path(where);
  if (source == Source::kChat) {
    auto imported = import_chat(*document, where);
    if (!imported) return imported;
    return loadable(std::move(*imported));
  }
  return std::move(*document);
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
}

}  // namespace tracedx
