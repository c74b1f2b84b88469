// Bytes -> the input layer: JSON Lines read with a small line bound, every byte-range
// split of them, and the OTLP stream (lines or one document) with its per-line errors.
// Checks what must hold whatever the bytes: ranges give each line once, the stream ends,
// and no trace is given twice. Any crash, sanitizer report or exception is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "import/importers.h"
#include "input/input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tracedx;
  if (size == 0) return 0;
  const uint8_t knob = data[size - 1];
  std::string_view bytes(reinterpret_cast<const char*>(data), size - 1);

  // Lines with a bound small enough to be reached.
  const size_t bound = 1 + knob % 64;
  std::vector<std::string> lines;
  {
    Input in = Input::of_bytes(bytes, "fuzz");
    LineReader reader(in, 0, 1, bound);
    Line line;
    while (auto got = reader.next(line)) {
      if (!*got) break;
      if (line.text.size() > bound) std::abort();
      lines.push_back(line.too_long ? "\x01" : std::string(line.text));
    }
  }
  // The ranges of a split read the same lines, once each.
  // Small blocks split lines everywhere; at most 16 ranges keep a run fast (each range
  // reads a chunk of its own).
  const uint64_t block = std::max<uint64_t>(1 + knob % 7, bytes.size() / 16);
  std::vector<std::string> ranged;
  uint64_t before = 0;
  for (uint64_t start = 0; start < bytes.size(); start += block) {
    Input in = Input::of_bytes(bytes, "fuzz");
    if (start > 0) before += *count_newlines(in, start - block, start);
    auto ok =
        for_each_line_in_range(in, start, std::min<uint64_t>(start + block, bytes.size()), before,
                               [&](const Line& l) { ranged.push_back(std::string(l.text)); });
    if (!ok) std::abort();
  }
  size_t i = 0;
  for (const auto& l : lines) {
    if (l == "\x01") return 0;  // a line over the bound: the ranges read it whole
    if (i >= ranged.size() || ranged[i++] != l) std::abort();
  }
  if (i != ranged.size()) std::abort();

  // The OTLP stream: each trace at most once.
  Input in = Input::of_bytes(bytes, "fuzz.jsonl");
  std::set<std::string> seen;
  auto ok = for_each_otlp_trace(in, [&](OtlpItem item) {
    if (!item.trace_id.empty() && !seen.insert(item.trace_id).second) std::abort();
  });
  return ok ? 0 : 0;
}
