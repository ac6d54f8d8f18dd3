#include "tools/vxfleet/delay_histogram.h"

#include <algorithm>
#include <cmath>

namespace vx::fleet {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr FleetTime kFineEnd = seconds(60);      // 1-ms buckets below this
constexpr FleetTime kCoarseEnd = seconds(3600);  // 1-s buckets below this
constexpr std::size_t kFineBuckets = 60'000;
constexpr std::size_t kCoarseBuckets = 3'540;
constexpr std::size_t kBuckets = kFineBuckets + kCoarseBuckets + 1;  // and one for the rest

}  // namespace

DelayHistogram::DelayHistogram() : buckets_(kBuckets, 0) {}

std::size_t DelayHistogram::BucketOf(FleetTime delay) {
  if (delay < kFineEnd) return static_cast<std::size_t>(delay / milliseconds(1));
  if (delay < kCoarseEnd) return kFineBuckets + static_cast<std::size_t>((delay - kFineEnd) / seconds(1));
  return kBuckets - 1;
}

FleetTime DelayHistogram::UpperEdge(std::size_t bucket) {
  if (bucket < kFineBuckets) return milliseconds(bucket + 1);
  if (bucket < kFineBuckets + kCoarseBuckets) return kFineEnd + seconds(bucket - kFineBuckets + 1);
  return kNever;
}

void DelayHistogram::Add(FleetTime delay, uint64_t count) {
  if (count == 0) return;
  delay = std::max(delay, FleetTime{0});
  buckets_[BucketOf(delay)] += count;
  samples_ += count;
  max_ = std::max(max_, delay);
}

FleetTime DelayHistogram::Quantile(double fraction) const {
  if (samples_ == 0) return FleetTime{0};
  // The rank of the sample asked for, 1-based: ceil(fraction * samples).
  const double wanted = std::ceil(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(samples_));
  const uint64_t rank = std::max<uint64_t>(1, static_cast<uint64_t>(wanted));
  uint64_t seen = 0;
  for (std::size_t bucket = 0; bucket < buckets_.size(); ++bucket) {
    seen += buckets_[bucket];
    if (seen >= rank) return std::min(UpperEdge(bucket), max_);
  }
  return max_;
}

}  // namespace vx::fleet
