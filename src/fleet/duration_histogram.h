// Percentiles of durations in constant memory: a fixed log-scale histogram of 1,920
// counters. Durations below 64 ms are counted exactly; above, each power of two is split
// into 32 buckets, so a percentile is reported within 1.6% of the true value (the
// middle of its bucket, kept inside the smallest and largest duration seen; the first and
// last ranks are those durations exactly).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tracedx {

class DurationHistogram {
 public:
  static constexpr size_t kSubBuckets = 32;
  static constexpr size_t kBuckets = kSubBuckets + (64 - 5) * kSubBuckets;

  void add(uint64_t ms);
  uint64_t count() const { return count_; }
  uint64_t min() const { return count_ ? min_ : 0; }
  uint64_t max() const { return max_; }
  // The nearest-rank percentile, `p` in (0, 100]; 0 when nothing was added.
  uint64_t percentile(double p) const;

  // Bucket of a duration, and the smallest and largest duration of a bucket.
  static size_t bucket_of(uint64_t ms);
  static uint64_t bucket_low(size_t bucket);
  static uint64_t bucket_high(size_t bucket);

 private:
  std::array<uint64_t, kBuckets> counts_{};
  uint64_t count_ = 0, min_ = UINT64_MAX, max_ = 0;
};

}  // namespace tracedx
