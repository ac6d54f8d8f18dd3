// Who is calling the control interface, as far as the policy is concerned.
// Changing the policy is a security boundary: SetDriveLocks, SetPolicy and
// ChangePassword serve only callers that are Administrators or LocalSystem;
// every other operation is open to any local caller. The operations ask this
// seam; on Windows it checks the token of the RPC caller
// (control_rpc/windows/rpc_caller_identity.h), in tests a scripted caller
// answers.
#pragma once

namespace vx {

class CallerIdentity {
 public:
  virtual ~CallerIdentity() = default;

  // True only when the caller of the call in progress on this thread is a
  // member of Administrators or is LocalSystem. Whatever cannot be told for
  // certain is false.
  [[nodiscard]] virtual bool MayChangePolicy() const = 0;
};

}  // namespace vx
