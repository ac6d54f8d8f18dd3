// The parent policies the simulated agents hold, each kept once: a fleet of
// ten thousand agents holding the same policy (with a rule text of up to 64
// KiB) holds one copy of it and its digest. A policy no agent holds any more
// is freed.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "management/protocol/parent_policy.h"

namespace vx::fleet {

struct HeldPolicy {
  management::ParentPolicy policy;
  uint32_t digest = 0;  // ParentPolicyDigest(policy)
};

class HeldPolicies {
 public:
  // The shared copy of `policy`: the same object for equal policies.
  [[nodiscard]] std::shared_ptr<const HeldPolicy> Hold(management::ParentPolicy policy);

 private:
  std::unordered_multimap<uint32_t, std::weak_ptr<const HeldPolicy>> byDigest_;
};

}  // namespace vx::fleet
