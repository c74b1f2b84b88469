#include <cstdio>

#include "fleet/fleet_format.h"
#include "fleet/gate_writers.h"

namespace tracedx {
namespace {

// The length of the valid UTF-8 sequence at `s[i]`, or 0.
size_t utf8_length(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  }
  const uint32_t cp = n == 1   ? c
                      : n == 2 ? ((c & 0x1F) << 6) | (b(i + 1) & 0x3F)
                      : n == 3 ? ((c & 0x0F) << 12) | ((b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F)
                               : ((c & 0x07) << 18) | ((b(i + 1) & 0x3F) << 12) |
                                     ((b(i + 2) & 0x3F) << 6) | (b(i + 3) & 0x3F);
  const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  // U+FFFE and U+FFFF are not XML characters.
  if (cp == 0xFFFE || cp == 0xFFFF) return 0;
  return n;
}

std::string attr(const char* name, std::string_view value) {
  return " " + std::string(name) + "=\"" + xml_escape(value) + "\"";
}

}  // namespace

std::string xml_escape(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 16);
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = utf8_length(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(s.substr(i, n));
      i += n;
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  return out;
}

std::string gate_junit(const GateResult& g) {
  uint64_t failures = 0, skipped = 0;
  for (const auto& t : g.tasks) {
    failures += t.change == TaskChange::kRegressed;
    skipped += t.change == TaskChange::kOnlyBaseline || t.change == TaskChange::kOnlyCandidate;
  }
  const bool rate_failed =
      g.rate_changed && g.candidate.rate - g.baseline.rate > g.options.max_rate_increase;
  failures += rate_failed;
  const std::string tests = std::to_string(g.tasks.size() + 1);
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites" +
                    attr("name", "tracedx gate") + attr("tests", tests) +
                    attr("failures", std::to_string(failures)) + ">\n";
  out += "  <testsuite" + attr("name", "tracedx gate") + attr("tests", tests) +
         attr("failures", std::to_string(failures)) + attr("errors", "0") +
         attr("skipped", std::to_string(skipped)) + ">\n";
  // The overall rate first: the test case CI shows when the whole batch got worse.
  out += "    <testcase" + attr("classname", "tracedx.gate") + attr("name", "overall failure rate");
  const std::string rates =
      "baseline " + format_rate(g.baseline.rate) + " (" + std::to_string(g.baseline.failed) + "/" +
      std::to_string(g.baseline.runs) + "), candidate " + format_rate(g.candidate.rate) + " (" +
      std::to_string(g.candidate.failed) + "/" + std::to_string(g.candidate.runs) + ")";
  if (rate_failed) {
    out += ">\n      <failure" + attr("type", "rate") +
           attr("message", "the failure rate rose beyond the noise: " + rates) +
           "/>\n    </testcase>\n";
  } else {
    out += ">\n      <system-out>" + xml_escape(rates) + "</system-out>\n    </testcase>\n";
  }
  for (const auto& t : g.tasks) {
    out += "    <testcase" + attr("classname", "tracedx.gate.task") + attr("name", t.key);
    const std::string change = std::string(task_change_name(t.change)) + ": " +
                               side_text(t.baseline) + " -> " + side_text(t.candidate);
    if (t.change == TaskChange::kRegressed) {
      std::string detail = "baseline finding: " + t.baseline.label.value_or("-") +
                           "\ncandidate finding: " + t.candidate.label.value_or("-") + "\nruns:";
      for (const auto& id : t.ids) detail += " " + id;
      out += ">\n      <failure" + attr("type", "regression") + attr("message", change) + ">" +
             xml_escape(detail) + "</failure>\n    </testcase>\n";
    } else if (t.change == TaskChange::kOnlyBaseline || t.change == TaskChange::kOnlyCandidate) {
      out += ">\n      <skipped" + attr("message", change) + "/>\n    </testcase>\n";
    } else {
      out += ">\n      <system-out>" + xml_escape(change) + "</system-out>\n    </testcase>\n";
    }
  }
  out += "  </testsuite>\n</testsuites>\n";
  return out;
}

}  // namespace tracedx
