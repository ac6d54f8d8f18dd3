// The caller check of a control device's create (see control_caller.h).
#include "driver/control_caller.h"

#include <stddef.h>

namespace vx::driver {

namespace {

// Pool tag "zqv3" of the token query buffers.
constexpr ULONG kTokenTag = 'z' | ('q' << 8) | ('v' << 16) | ('3' << 24);
// Far beyond any real token's groups; a larger answer is refused unread.
constexpr ULONG kMaxTokenInformation = 64 * 1024;

// S-1-5-18 (LocalSystem) and S-1-5-32-544 (Administrators) in binary form:
// revision, count of parts, the 6-byte authority 5, then each part as a
// little-endian 32-bit number.
const UCHAR kLocalSystemSid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
const UCHAR kAdministratorsSid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};

// One query answer in a pool buffer of the size the token asked for.
struct TokenAnswer {
  UCHAR* bytes = nullptr;
  ULONG length = 0;
};

// Whether the `size` bytes of `sid` lie inside the answer.
bool Inside(const TokenAnswer& answer, const void* sid, ULONG size) {
  const auto* at = static_cast<const UCHAR*>(sid);
  if (at < answer.bytes || at > answer.bytes + answer.length) return false;
  return size <= answer.length - static_cast<ULONG>(at - answer.bytes);
}

// Whether `sid`, which points into the answer, is the expected SID. The count
// of parts is read first, so no byte past the SID is compared.
bool SidIs(const TokenAnswer& answer, const void* sid, const UCHAR* expected, ULONG size) {
  if (!Inside(answer, sid, 2)) return false;
  const auto* bytes = static_cast<const UCHAR*>(sid);
  if (bytes[1] != expected[1] || !Inside(answer, sid, size)) return false;
  for (ULONG i = 0; i < size; ++i) {
    if (bytes[i] != expected[i]) return false;
  }
  return true;
}

// Allocates paged pool. The caller frees `bytes` with kTokenTag.
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) bool QueryToken(HANDLE token, TOKEN_INFORMATION_CLASS what,
                                                             TokenAnswer* answer) {
  ULONG needed = 0;
  // Asked with no room, the token says how much it needs; the status is the
  // expected "buffer too small" and carries nothing else.
  (void)ZwQueryInformationToken(token, what, nullptr, 0, &needed);
  if (needed == 0 || needed > kMaxTokenInformation) return false;
  auto* bytes = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, needed, kTokenTag));
  if (bytes == nullptr) return false;
  ULONG returned = 0;
  const NTSTATUS status = ZwQueryInformationToken(token, what, bytes, needed, &returned);
  if (!NT_SUCCESS(status) || returned > needed) {
    ExFreePoolWithTag(bytes, kTokenTag);
    return false;
  }
  answer->bytes = bytes;
  answer->length = returned;
  return true;
}

// Allocates paged pool, so no lock may be held.
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) bool UserIsLocalSystem(HANDLE token) {
  TokenAnswer answer;
  if (!QueryToken(token, TokenUser, &answer)) return false;
  bool system = false;
  if (answer.length >= sizeof(TOKEN_USER)) {
    const auto* user = reinterpret_cast<const TOKEN_USER*>(answer.bytes);
    system = SidIs(answer, user->User.Sid, kLocalSystemSid, sizeof kLocalSystemSid);
  }
  ExFreePoolWithTag(answer.bytes, kTokenTag);
  return system;
}

// Administrators counts only when enabled and not held for deny only.
// Allocates paged pool, so no lock may be held.
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) bool AdministratorsInForce(HANDLE token) {
  TokenAnswer answer;
  if (!QueryToken(token, TokenGroups, &answer)) return false;
  bool administrator = false;
  const ULONG header = offsetof(TOKEN_GROUPS, Groups);
  if (answer.length >= header) {
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(answer.bytes);
    const SID_AND_ATTRIBUTES* entries = groups->Groups;  // GroupCount of them
    const ULONG room = (answer.length - header) / sizeof(SID_AND_ATTRIBUTES);
    const ULONG count = groups->GroupCount < room ? groups->GroupCount : room;
    for (ULONG i = 0; i < count && !administrator; ++i) {
      const ULONG attributes = entries[i].Attributes;
      administrator = (attributes & SE_GROUP_ENABLED) != 0 && (attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0 &&
                      SidIs(answer, entries[i].Sid, kAdministratorsSid, sizeof kAdministratorsSid);
    }
  }
  ExFreePoolWithTag(answer.bytes, kTokenTag);
  return administrator;
}

}  // namespace

_Use_decl_annotations_ NTSTATUS CheckControlCaller() {
  HANDLE token = nullptr;
  // A kernel handle, opened with the driver's own rights, to the token the
  // thread acts with: its impersonation token, else its process's.
  NTSTATUS status = ZwOpenThreadTokenEx(NtCurrentThread(), TOKEN_QUERY, TRUE, OBJ_KERNEL_HANDLE, &token);
  if (status == STATUS_NO_TOKEN)
    status = ZwOpenProcessTokenEx(NtCurrentProcess(), TOKEN_QUERY, OBJ_KERNEL_HANDLE, &token);
  if (!NT_SUCCESS(status)) return STATUS_ACCESS_DENIED;  // anonymous impersonation among others
  const bool allowed = UserIsLocalSystem(token) || AdministratorsInForce(token);
  // A kernel handle this routine opened; a failed close leaves nothing to undo.
  (void)ZwClose(token);
  return allowed ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

}  // namespace vx::driver
