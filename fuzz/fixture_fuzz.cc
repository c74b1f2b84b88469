// Fixture bytes -> loader -> diagnose_trace with options taken from the last input byte ->
// JSON and text reports. Any crash, sanitizer report or exception escaping is a finding.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/recorded_analysis.h"
#include "diagnosis/diagnosis.h"
#include "diagnosis/signals.h"
#include "report/report_json.h"
#include "report/report_text.h"
#include "trace/fixture_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tracedx;
  if (size == 0) return 0;
  const uint8_t knobs = data[size - 1];
  std::string_view bytes(reinterpret_cast<const char*>(data), size - 1);
  // The fast loader and the document path must agree on every input.
  auto trace = load_trace("fuzz.json", bytes);
  auto document = parse_json(bytes);
  auto slow =
      document ? build_trace("fuzz.json", std::move(*document)) : std::move(document).error();
  if (trace.ok() != slow.ok()) __builtin_trap();
  if (!trace) {
    if (trace.error().debug() != slow.error().debug() ||
        trace.error().line() != slow.error().line() ||
        trace.error().column() != slow.error().column())
      __builtin_trap();
    return 0;
  }
  DiagnoseOptions options;
  if (knobs & 1) options.slow_threshold_ms = (knobs >> 4) * 250;
  if (knobs & 2) options.include_secondary_issues = false;
  if (knobs & 4) options.include_recommendations = false;
  Diagnosis d = diagnose_trace(*trace, options);
  TraceSignals signals = extract_signals(*trace, options.slow_threshold_ms.value_or(2500));
  std::string report = dump_report(to_json(d, &signals), (knobs & 8) != 0);
  if (report != dump_report(to_json(diagnose_trace(*slow, options), &signals), (knobs & 8) != 0))
    __builtin_trap();
  std::string text = diagnosis_text(d, (knobs & 8) != 0);
  return report.empty() || text.empty() ? -1 : 0;
}
