// A parent policy shown to a person (rules numbered in words, the drive
// locks, the lock flags, the digest an agent holding it reports) and to a
// program (JSON). The password itself is never shown, only whether one is set.
#pragma once

#include <ostream>
#include <string>

#include "management/protocol/parent_policy.h"

namespace vx::server {

// Lines that each begin with `indent`.
void WriteParentPolicy(std::ostream& out, const management::ParentPolicy& policy, const std::string& indent);

// {"rules": [{"number", "action", "words" (what it matches), "rule" (as
//  --rule takes it)}...], "cdrom": "locked", "floppy": ..., "password": {...},
//  "locks": {...}, "digest": "0x..."}
[[nodiscard]] std::string ParentPolicyJson(const management::ParentPolicy& policy);

}  // namespace vx::server
