#include "control_rpc/windows/rpc_caller_identity.h"

#include <windows.h>

#include <rpc.h>

#include "control_rpc/windows/token_rights.h"

namespace vx {

bool RpcCallerIdentity::MayChangePolicy() const {
  if (RpcImpersonateClient(nullptr) != RPC_S_OK) return false;
  HANDLE token = nullptr;
  // Opened with the service's own rights, so the caller's token need not
  // grant the caller access to itself.
  const bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != FALSE;
  // Back to the service's identity before anything else runs on this thread.
  const bool reverted = RpcRevertToSelf() == RPC_S_OK;
  bool allowed = false;
  if (opened) {
    allowed = reverted && TokenIsAdministratorOrLocalSystem(token);
    (void)CloseHandle(token);  // checked already; only the handle goes
  }
  return allowed;
}

}  // namespace vx
