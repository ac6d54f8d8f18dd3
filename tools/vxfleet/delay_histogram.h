// The delays from a row's creation to the proof that the server stored it,
// in constant memory however many rows a run makes: 1-ms buckets up to 60
// seconds, 1-second buckets up to an hour, one bucket beyond, and the exact
// largest delay.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/vxfleet/fleet_time.h"

namespace vx::fleet {

class DelayHistogram {
 public:
  DelayHistogram();

  // `count` rows whose delay was `delay` (a negative delay counts as 0).
  void Add(FleetTime delay, uint64_t count = 1);

  [[nodiscard]] uint64_t Samples() const { return samples_; }
  [[nodiscard]] FleetTime Max() const { return max_; }
  // The delay at or below which at least `fraction` (0 < fraction <= 1) of
  // the samples lie: the upper edge of the bucket holding that sample, never
  // above Max(). 0 when there are no samples.
  [[nodiscard]] FleetTime Quantile(double fraction) const;

 private:
  [[nodiscard]] static std::size_t BucketOf(FleetTime delay);
  [[nodiscard]] static FleetTime UpperEdge(std::size_t bucket);

  std::vector<uint64_t> buckets_;
  uint64_t samples_ = 0;
  FleetTime max_{0};
};

}  // namespace vx::fleet
