// The caller of the control interface call in progress, from its token: the
// routine's thread impersonates the RPC client, opens the thread's token,
// reverts to the service's own identity and checks the token for
// Administrators or LocalSystem. Every failure (no call in progress, no
// token, a failed revert) refuses.
#pragma once

#include "control_rpc/caller_identity.h"

namespace vx {

class RpcCallerIdentity final : public CallerIdentity {
 public:
  [[nodiscard]] bool MayChangePolicy() const override;
};

}  // namespace vx
