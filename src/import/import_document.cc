#include "import/importers.h"
#include "trace/fixture_loader.h"

namespace tracedx {

Result<Json> import_document(std::string_view bytes, Source source, const std::string& where,
                             const std::string& trace_id) {
  if (source == Source::kOtlp) {
    auto traces = import_otlp(bytes, where);
    if (!traces) return std::move(traces).error();
    // Ids are matched as the importer writes them (lower-case hex), however they are typed.
    const std::string wanted = normalize_trace_id(trace_id);
    std::string ids;
    for (auto& t : *traces) {
      if (trace_id.empty() ? traces->size() == 1 : t.id == wanted) return std::move(t.fixture);
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
  if (source == Source::kChat) return import_chat(*document, where);
  return std::move(*document);
}

}  // namespace tracedx
