#include "management/policy_exchange.h"

#include <array>
#include <new>
#include <vector>

#include "management/protocol/message_catalogue.h"
#include "management/protocol/policy_list.h"

namespace vx::management {

ParentPolicy ParentPolicyOf(const PolicyState& state) {
  ParentPolicy parent;
  parent.ruleUsb__Parent = std::string(FieldText(state.ruleUsb__Parent));
  parent.ruleUsb__Lock = state.ruleUsb__Lock;
  parent.lockCdDvd__Parent = state.lockCdDvd__Parent;
  parent.lockCdDvd__Lock = state.lockCdDvd__Lock;
  parent.password__Parent = std::string(FieldText(state.password__Parent));
  parent.password__Lock = state.password__Lock;
  parent.lockFloppy__Parent = state.lockFloppy__Parent;
  parent.lockFloppy__Lock = state.lockFloppy__Lock;
  return parent;
}

void StoreParentPolicy(const ParentPolicy& parent, PolicyState& state) {
  StoreFieldText(state.ruleUsb__Parent, parent.ruleUsb__Parent);
  state.ruleUsb__Lock = parent.ruleUsb__Lock;
  state.lockCdDvd__Parent = parent.lockCdDvd__Parent;
  state.lockCdDvd__Lock = parent.lockCdDvd__Lock;
  StoreFieldText(state.password__Parent, parent.password__Parent);
  state.password__Lock = parent.password__Lock;
  state.lockFloppy__Parent = parent.lockFloppy__Parent;
  state.lockFloppy__Lock = parent.lockFloppy__Lock;
}

Outcome AnswerPolicyDigest(const Connection& connection, const PolicyStore& policy) {
  const ParentPolicy parent = policy.Read([](const PolicyState& s) { return ParentPolicyOf(s); });
  const uint32_t digest = ParentPolicyDigest(parent);
  const std::array<uint8_t, 4> body{static_cast<uint8_t>(digest), static_cast<uint8_t>(digest >> 8),
                                    static_cast<uint8_t>(digest >> 16), static_cast<uint8_t>(digest >> 24)};
  return SendHeaderAndBody(connection, MessageHeader{kPolicyDigestReply, 0}, body.data(), body.size())
             ? Outcome::KeepConnection
             : Outcome::EndConnection;
}

Outcome ApplyPolicySet(const Connection& connection, MessageHeader header, PolicyStore& policy) {
  // Bounded before anything is allocated or read.
  if (header.length > kMaxPolicySetBody) return Outcome::EndConnection;
  std::vector<uint8_t> body;
  try {
    body.resize(header.length);
  } catch (const std::bad_alloc&) {
    return Outcome::EndConnection;  // the body cannot be read, so the stream cannot go on
  }
  const int length = static_cast<int>(header.length);
  if (ReceiveExactWithin(connection, body.data(), length, kBodyTimeLimitSeconds) != length)
    return Outcome::EndConnection;

  const DecodedPolicyList list = DecodePolicyList(body.data(), body.size());
  // A list that claims more than its body holds is not the server's whole
  // intent: none of it is applied.
  if (!list.complete) return Outcome::KeepConnection;
  policy.ChangeParentValues(
      [&](PolicyState& state) { StoreParentPolicy(ApplyPolicyEntries(list.entries, ParentPolicyOf(state)), state); });
  return Outcome::KeepConnection;
}

}  // namespace vx::management
