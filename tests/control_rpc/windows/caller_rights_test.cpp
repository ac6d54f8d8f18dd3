// The Windows side of the policy boundary: the group checks on a token and
// the RPC caller's identity outside a call. The checks on a call in
// progress run in control_rpc_wine_test, over the real pipe.
#include <gtest/gtest.h>
#include <windows.h>

#include "control_rpc/windows/rpc_caller_identity.h"
#include "control_rpc/windows/token_rights.h"

namespace vx {
namespace {

TEST(RpcCallerIdentity, WithoutACallInProgressNobodyMayChangeThePolicy) {
  // Impersonating a client fails when no call runs on this thread: refused.
  const RpcCallerIdentity caller;
  EXPECT_FALSE(caller.MayChangePolicy());
}

// Wine runs every program as an administrator.
TEST(TokenRights, ThisProcessIsAnAdministrator) {
  EXPECT_TRUE(TokenIsAdministrator(nullptr));
  EXPECT_TRUE(TokenIsAdministratorOrLocalSystem(nullptr));
}

// The same account with Administrators kept only for deny, as a user of an
// administrator account who did not elevate has it: not an administrator.
TEST(TokenRights, AnAdministratorsGroupForDenyOnlyDoesNotCount) {
  HANDLE process = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process));
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                       0, 0, 0, &administrators));
  SID_AND_ATTRIBUTES disabled{administrators, 0};
  HANDLE restricted = nullptr;
  ASSERT_TRUE(CreateRestrictedToken(process, 0, 1, &disabled, 0, nullptr, 0, nullptr, &restricted)) << GetLastError();
  HANDLE impersonation = nullptr;
  ASSERT_TRUE(DuplicateToken(restricted, SecurityImpersonation, &impersonation));

  EXPECT_FALSE(TokenIsAdministrator(impersonation));
  EXPECT_FALSE(TokenIsAdministratorOrLocalSystem(impersonation));
  // A check that fails is a refusal: the process's own token is a primary
  // token, which the membership check does not take.
  EXPECT_FALSE(TokenIsAdministratorOrLocalSystem(process));

  CloseHandle(impersonation);
  CloseHandle(restricted);
  CloseHandle(process);
  FreeSid(administrators);
}

}  // namespace
}  // namespace vx
