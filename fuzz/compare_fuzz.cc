// Two fixtures (the input split at its first NUL byte) -> compare_runs -> JSON report.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "diagnosis/compare/comparison.h"
#include "report/report_json.h"
#include "report/report_text.h"
#include "trace/fixture_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tracedx;
  std::string_view all(reinterpret_cast<const char*>(data), size);
  size_t cut = all.find('\0');
  if (cut == std::string_view::npos) return 0;
  auto p = parse_json(all.substr(0, cut));
  auto c = parse_json(all.substr(cut + 1));
  if (!p || !c) return 0;
  auto primary = build_trace("p.json", std::move(*p));
  auto compared = build_trace("c.json", std::move(*c));
  if (!primary || !compared) return 0;
  Comparison cmp = compare_runs(*primary, *compared);
  std::string report = dump_report(to_json(cmp), false) + comparison_text(cmp, false);
  return report.empty() ? -1 : 0;
}
