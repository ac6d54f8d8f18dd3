#include "tools/vxfleet/held_policies.h"

#include <iterator>

namespace vx::fleet {

std::shared_ptr<const HeldPolicy> HeldPolicies::Hold(management::ParentPolicy policy) {
  const uint32_t digest = management::ParentPolicyDigest(policy);
  const auto [first, last] = byDigest_.equal_range(digest);
  for (auto at = first; at != last;) {
    if (auto held = at->second.lock()) {
      if (held->policy == policy) return held;
      ++at;
    } else {
      at = byDigest_.erase(at);  // no agent holds it any more
    }
  }
  auto held = std::make_shared<const HeldPolicy>(HeldPolicy{std::move(policy), digest});
  byDigest_.emplace(digest, held);
  return held;
}

}  // namespace vx::fleet
