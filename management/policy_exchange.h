// The parent side of the policy on the management connection: the digest the
// server checks, and the policySet that makes the server the parent.
#pragma once

#include "management/connection.h"
#include "management/outcome.h"
#include "management/protocol/message_header.h"
#include "management/protocol/parent_policy.h"
#include "policy/policy_state.h"
#include "policy/policy_store.h"

namespace vx::management {

// The four parent values and four lock flags of the record, and the way back.
[[nodiscard]] ParentPolicy ParentPolicyOf(const PolicyState& state);
void StoreParentPolicy(const ParentPolicy& parent, PolicyState& state);

// Sends policyDigestReply: the digest of the parent side as it is now.
[[nodiscard]] Outcome AnswerPolicyDigest(const Connection& connection, const PolicyStore& policy);

// Reads a policySet body of `header.length` bytes and stores what it names
// through the policy owner (change, ApplyParentValues and save under the
// owner's one lock), then sends nothing.
//
// Who may call it: only the session loop, for a policySet from the server
// this client connected to and that accepted its hello; the server is the
// parent and may change only the parent values and lock flags. Every other
// field (the effective values, the inherit flags, statusWord) keeps its
// value whatever the body names.
//
// A body above 1,048,576 bytes ends the connection unread; a body that does
// not arrive in full within 30 seconds without progress ends the connection
// and changes nothing; a body whose entries run past its end changes nothing
// (the connection continues); a text entry holding a unit above 0x00FF is
// skipped, so its field keeps its value.
[[nodiscard]] Outcome ApplyPolicySet(const Connection& connection, MessageHeader header, PolicyStore& policy);

}  // namespace vx::management
