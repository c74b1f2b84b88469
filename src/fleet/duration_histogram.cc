#include "fleet/duration_histogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace tracedx {

size_t DurationHistogram::bucket_of(uint64_t ms) {
  if (ms < kSubBuckets) return static_cast<size_t>(ms);
  const unsigned e = 63 - static_cast<unsigned>(std::countl_zero(ms));  // >= 5
  const uint64_t sub = (ms >> (e - 5)) & (kSubBuckets - 1);
  return kSubBuckets + (e - 5) * kSubBuckets + static_cast<size_t>(sub);
}

uint64_t DurationHistogram::bucket_low(size_t bucket) {
  if (bucket < kSubBuckets) return bucket;
  const size_t e = (bucket - kSubBuckets) / kSubBuckets + 5;
  const uint64_t sub = (bucket - kSubBuckets) % kSubBuckets;
  return (uint64_t{1} << e) | (sub << (e - 5));
}

uint64_t DurationHistogram::bucket_high(size_t bucket) {
  if (bucket + 1 >= kBuckets) return UINT64_MAX;
  return bucket_low(bucket + 1) - 1;
}

void DurationHistogram::add(uint64_t ms) {
  ++counts_[bucket_of(ms)];
  ++count_;
  min_ = std::min(min_, ms);
  max_ = std::max(max_, ms);
}

uint64_t DurationHistogram::percentile(double p) const {
  if (count_ == 0) return 0;
  p = std::clamp(p, 0.0, 100.0);
  uint64_t rank = static_cast<uint64_t>(std::ceil(p / 100.0 * static_cast<double>(count_)));
  rank = std::clamp<uint64_t>(rank, 1, count_);
  // The ends are known exactly.
  if (rank == count_) return max_;
  if (rank == 1) return min_;
  uint64_t seen = 0;
  for (size_t b = 0; b < kBuckets; ++b) {
    seen += counts_[b];
    if (seen >= rank) {
      const uint64_t low = bucket_low(b), high = bucket_high(b);
      const uint64_t mid = low + (high - low) / 2;
      return std::clamp(mid, min_, max_);
    }
  }
  return max_;
}

}  // namespace tracedx
