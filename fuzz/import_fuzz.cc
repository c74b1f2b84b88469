// Bytes -> OTLP or chat importer, or the format told from the bytes (the last input byte
// picks which) -> loader -> the verdict (the analysis of recorded runs, or the fixed engine)
// -> JSON report. Any crash, sanitizer report or exception escaping is a finding.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/recorded_analysis.h"
#include "diagnosis/diagnosis.h"
#include "import/importers.h"
#include "report/report_json.h"
#include "trace/fixture_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tracedx;
  if (size == 0) return 0;
  const uint8_t knobs = data[size - 1];
  std::string_view bytes(reinterpret_cast<const char*>(data), size - 1);
  const Source source = (knobs & 4) ? Source::kDetect : (knobs & 1) ? Source::kChat : Source::kOtlp;
  auto document =
      import_document(bytes, source, "fuzz.json", (knobs & 2) ? "0af7651916cd43dd" : "");
  if (!document) return 0;
  auto trace = build_trace("fuzz.json", std::move(*document));
  if (!trace) return 0;
  DiagnoseOptions options;
  options.exact_engine = (knobs & 8) != 0;
  return dump_report(to_json(diagnose_trace(*trace, options)), true).empty() ? -1 : 0;
}
