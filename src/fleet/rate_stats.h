// Statistics of failure rates for the regression gate. Rates come with a Wilson score
// interval (95% by default), which stays inside [0, 1] and behaves at 0 and n failures,
// where the normal approximation does not. Whether two rates differ beyond the noise of
// their sample sizes is Fisher's exact test on the 2x2 table (failed/passed by side),
// two-sided: the summed probability of every table with the same margins no more likely
// than the one observed. It is exact at any sample size, trials of 4 as well as 10,000.
#pragma once

#include <cstdint>

namespace tracedx {

struct Interval {
  double low = 0, high = 1;
};

// The Wilson score interval of `failed` out of `runs` at the normal quantile `z`
// (1.959964 for 95%); [0, 1] when there are no runs.
Interval wilson_interval(uint64_t failed, uint64_t runs, double z = 1.959963984540054);

// The two-sided p-value of Fisher's exact test for failed_a of runs_a against failed_b of
// runs_b; 1 when either side has no runs.
double fisher_exact_p(uint64_t failed_a, uint64_t runs_a, uint64_t failed_b, uint64_t runs_b);

}  // namespace tracedx
