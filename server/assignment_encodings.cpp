#include "server/assignment_encodings.h"

#include <algorithm>
#include <tuple>

#include "management/protocol/policy_list.h"

namespace vx::server {

bool AssignmentEncodings::Less::operator()(const management::ParentPolicy& a, const management::ParentPolicy& b) const {
  return std::tie(a.ruleUsb__Parent, a.ruleUsb__Lock, a.lockCdDvd__Parent, a.lockCdDvd__Lock, a.password__Parent,
                  a.password__Lock, a.lockFloppy__Parent, a.lockFloppy__Lock) <
         std::tie(b.ruleUsb__Parent, b.ruleUsb__Lock, b.lockCdDvd__Parent, b.lockCdDvd__Lock, b.password__Parent,
                  b.password__Lock, b.lockFloppy__Parent, b.lockFloppy__Lock);
}

std::shared_ptr<const EncodedAssignment> AssignmentEncodings::For(const management::ParentPolicy& policy) {
  const auto found = cache_.find(policy);
  if (found != cache_.end()) {
    if (auto held = found->second.lock()) return held;
  }
  auto encoded = std::make_shared<EncodedAssignment>();
  encoded->policySetBody = management::EncodePolicyList(management::PolicySetEntries(policy));
  // What the agent stores from these very bytes, and so the digest it will
  // report.
  const management::DecodedPolicyList sent =
      management::DecodePolicyList(encoded->policySetBody.data(), encoded->policySetBody.size());
  encoded->expectedDigest =
      management::ParentPolicyDigest(management::ApplyPolicyEntries(sent.entries, management::ParentPolicy{}));
  cache_[policy] = encoded;
  if (cache_.size() >= sweepAt_) ForgetUnheld();
  return encoded;
}

void AssignmentEncodings::ForgetUnheld() {
  std::erase_if(cache_, [](const auto& entry) { return entry.second.expired(); });
  sweepAt_ = std::max<std::size_t>(64, cache_.size() * 2);
}

}  // namespace vx::server
