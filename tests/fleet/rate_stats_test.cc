// Wilson intervals and Fisher's exact test against values computed independently
// (exact sums over the hypergeometric distribution in rational arithmetic), and the histogram's
// percentiles against sorting.
#include "fleet/rate_stats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "fleet/duration_histogram.h"
#include "test_random.h"

namespace tracedx {
namespace {

TEST(RateStats, WilsonInterval) {
  struct Row {
    uint64_t failed, runs;
    double low, high;
  } rows[] = {
      {0, 10, 0.0, 0.2775328},           {5, 10, 0.2365931, 0.7634069}, {10, 10, 0.7224672, 1.0},
      {19, 25, 0.5657, 0.8850},          {1, 1, 0.2065493, 1.0},        {0, 0, 0.0, 1.0},
      {50, 10000, 0.0037949, 0.0065853},
  };
  for (const auto& r : rows) {
    Interval i = wilson_interval(r.failed, r.runs);
    EXPECT_NEAR(i.low, r.low, 5e-4) << r.failed << "/" << r.runs;
    EXPECT_NEAR(i.high, r.high, 5e-4) << r.failed << "/" << r.runs;
  }
}

TEST(RateStats, FisherExactTwoSided) {
  struct Row {
    uint64_t fa, na, fb, nb;
    double p;
  } rows[] = {
      {3, 4, 1, 4, 0.4857143},      // the tea-tasting table
      {1, 10, 11, 14, 0.002759},    // a classic textbook table
      {19, 25, 17, 25, 0.7536135},  // the two tau-bench trials
      {0, 5, 0, 5, 1.0},            // nothing failed
      {0, 0, 3, 4, 1.0},            // an empty side
      {100, 1000, 150, 1000, 0.0008950875},
  };
  for (const auto& r : rows)
    EXPECT_NEAR(fisher_exact_p(r.fa, r.na, r.fb, r.nb), r.p, r.p * 2e-3 + 1e-6)
        << r.fa << "/" << r.na << " vs " << r.fb << "/" << r.nb;
  // Symmetric in its sides.
  EXPECT_NEAR(fisher_exact_p(1, 10, 11, 14), fisher_exact_p(11, 14, 1, 10), 1e-12);
}

TEST(DurationHistogram, BucketsTileTheRange) {
  for (size_t b = 0; b < DurationHistogram::kBuckets; ++b) {
    EXPECT_EQ(DurationHistogram::bucket_of(DurationHistogram::bucket_low(b)), b);
    EXPECT_EQ(DurationHistogram::bucket_of(DurationHistogram::bucket_high(b)), b);
    if (b > 0) {
      EXPECT_EQ(DurationHistogram::bucket_low(b), DurationHistogram::bucket_high(b - 1) + 1);
    }
  }
  EXPECT_EQ(DurationHistogram::bucket_of(UINT64_MAX), DurationHistogram::kBuckets - 1);
}

TEST(DurationHistogram, PercentilesWithinTheBound) {
  DurationHistogram empty;
  EXPECT_EQ(empty.percentile(50), 0u);
  // Below 64 ms every value has its own bucket: exact.
  DurationHistogram small;
  for (uint64_t v : {5, 1, 63, 40, 2}) small.add(v);
  EXPECT_EQ(small.percentile(50), 5u);
  EXPECT_EQ(small.percentile(100), 63u);
  EXPECT_EQ(small.percentile(1), 1u);

  test_support::SplitMix rng(7);
  DurationHistogram h;
  std::vector<uint64_t> all;
  for (int i = 0; i < 20000; ++i) {
    uint64_t v = rng.next() % (uint64_t{1} << (rng.next() % 40));
    h.add(v);
    all.push_back(v);
  }
  std::sort(all.begin(), all.end());
  for (double p : {1.0, 50.0, 90.0, 99.0, 99.9, 100.0}) {
    size_t rank = static_cast<size_t>(std::ceil(p / 100 * all.size()));
    double exact = static_cast<double>(all[rank - 1]);
    double got = static_cast<double>(h.percentile(p));
    EXPECT_LE(std::fabs(got - exact), exact / 64 + 1) << "p" << p;
  }
  EXPECT_EQ(h.percentile(100), all.back());
  EXPECT_EQ(h.max(), all.back());
}

}  // namespace
}  // namespace tracedx
