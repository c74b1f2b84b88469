#include "fleet/rate_stats.h"

#include <algorithm>
#include <cmath>

namespace tracedx {

Interval wilson_interval(uint64_t failed, uint64_t runs, double z) {
  if (runs == 0) return {0, 1};
  const double n = static_cast<double>(runs);
  const double p = static_cast<double>(std::min(failed, runs)) / n;
  const double z2 = z * z;
  const double denom = 1 + z2 / n;
  const double centre = (p + z2 / (2 * n)) / denom;
  const double half = z / denom * std::sqrt(p * (1 - p) / n + z2 / (4 * n * n));
  return {std::max(0.0, centre - half), std::min(1.0, centre + half)};
}

namespace {

double log_choose(double n, double k) {
  return std::lgamma(n + 1) - std::lgamma(k + 1) - std::lgamma(n - k + 1);
}

}  // namespace

double fisher_exact_p(uint64_t failed_a, uint64_t runs_a, uint64_t failed_b, uint64_t runs_b) {
  if (runs_a == 0 || runs_b == 0) return 1;
  failed_a = std::min(failed_a, runs_a);
  failed_b = std::min(failed_b, runs_b);
  // Side a's failures X given the margins is hypergeometric: K failures in N runs, runs_a drawn.
  const double n = static_cast<double>(runs_a) + static_cast<double>(runs_b);
  const double k = static_cast<double>(failed_a) + static_cast<double>(failed_b);
  const double drawn = static_cast<double>(runs_a);
  const double log_total = log_choose(n, drawn);
  auto log_p = [&](double x) {
    return log_choose(k, x) + log_choose(n - k, drawn - x) - log_total;
  };
  const double lo = std::max(0.0, drawn - (n - k)), hi = std::min(k, drawn);
  const double observed = log_p(static_cast<double>(failed_a));
  // Tables as likely as the observed one within rounding count as "no more likely".
  const double bound = observed + 1e-7;
  double p = 0;
  for (double x = lo; x <= hi; x += 1) {
    const double lp = log_p(x);
    if (lp <= bound) p += std::exp(lp);
  }
  return std::min(1.0, p);
}

}  // namespace tracedx
