#include "control_rpc/windows/token_rights.h"

namespace vx {
namespace {

// Whether `token` holds, enabled, the well-known SID of the NT authority
// with the `count` sub-authorities `first` (and `second`).
bool TokenHolds(HANDLE token, BYTE count, DWORD first, DWORD second) {
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID sid = nullptr;
  if (!AllocateAndInitializeSid(&ntAuthority, count, first, second, 0, 0, 0, 0, 0, 0, &sid)) return false;
  BOOL member = FALSE;
  const bool checked = CheckTokenMembership(token, sid, &member) != FALSE;
  FreeSid(sid);
  return checked && member != FALSE;
}

}  // namespace

bool TokenIsAdministrator(HANDLE token) {
  return TokenHolds(token, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
}

bool TokenIsAdministratorOrLocalSystem(HANDLE token) {
  return TokenIsAdministrator(token) || TokenHolds(token, 1, SECURITY_LOCAL_SYSTEM_RID, 0);
}

}  // namespace vx
