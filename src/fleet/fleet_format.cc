#include "fleet/fleet_format.h"

#include <cmath>
#include <cstdio>

namespace tracedx {

std::string format_ms(uint64_t ms) {
  char buf[48];
  const double v = static_cast<double>(ms);
  if (ms < 1000)
    std::snprintf(buf, sizeof buf, "%llu ms", static_cast<unsigned long long>(ms));
  else if (ms < 60'000)
    std::snprintf(buf, sizeof buf, "%.1f s", v / 1000);
  else if (ms < 3'600'000)
    std::snprintf(buf, sizeof buf, "%.1f min", v / 60'000);
  else
    std::snprintf(buf, sizeof buf, "%.1f h", v / 3'600'000);
  return buf;
}

std::string format_cost(double cost) {
  if (!std::isfinite(cost)) return cost > 0 ? "inf" : cost < 0 ? "-inf" : "nan";
  // Very large sums print whole (1e308 has 309 digits): %f never switches to exponents.
  std::string buf(400, '\0');
  const double a = std::fabs(cost);
  int n = std::snprintf(buf.data(), buf.size(), a != 0 && a < 1 ? "%.4f" : "%.2f", cost);
  buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return buf;
}

std::string format_share(uint64_t part, uint64_t total) {
  return format_rate(total ? static_cast<double>(part) / static_cast<double>(total) : 0.0);
}

std::string format_rate(double rate) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f%%", rate * 100);
  return buf;
}

std::string p_text(double p) {
  if (p < 1e-300) return "< 1e-300";
  char buf[32];
  std::snprintf(buf, sizeof buf, "= %.3g", p);
  return buf;
}

std::string run_report_name(std::string_view id) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : id) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out + ".html";
}

}  // namespace tracedx
