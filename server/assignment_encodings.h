// The policySet an assignment becomes, and the digest an agent reports once
// it has stored it: made once per distinct assignment and shared by every
// session that follows it. A full rule list encodes to about 131 KB, so a
// fleet of sessions on one fleet default holds one copy, not one each; and
// a change reaches thousands of sessions without encoding anything twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "management/protocol/parent_policy.h"

namespace vx::server {

struct EncodedAssignment {
  std::vector<uint8_t> policySetBody;
  // The digest of what an agent stores from exactly these bytes.
  uint32_t expectedDigest = 0;
};

// One per serve, used on its event loop's thread only.
class AssignmentEncodings {
 public:
  // The shared encoding of `policy`: the same object for equal policies for
  // as long as a session holds it.
  [[nodiscard]] std::shared_ptr<const EncodedAssignment> For(const management::ParentPolicy& policy);

  [[nodiscard]] std::size_t Cached() const { return cache_.size(); }

 private:
  struct Less {
    bool operator()(const management::ParentPolicy& a, const management::ParentPolicy& b) const;
  };
  void ForgetUnheld();

  std::map<management::ParentPolicy, std::weak_ptr<const EncodedAssignment>, Less> cache_;
  std::size_t sweepAt_ = 64;
};

}  // namespace vx::server
