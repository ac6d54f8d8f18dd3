// Access tokens of the kernel stand-in: each thread carries the identity a
// test gave it (a process token and, optionally, an impersonation token), and
// the token routines hand it out in the platform's layout: a TOKEN_USER or
// TOKEN_GROUPS header whose SID pointers lead into the same buffer.
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "driver/host/host_control.h"
#include "driver/host/kernel.h"

namespace vx::host {

[[noreturn]] void Fatal(const char* what);

namespace {

using Sid = std::vector<uint8_t>;

// S-1-<authority>-<parts...> in its binary form.
Sid MakeSid(uint8_t authority, std::initializer_list<uint32_t> parts) {
  Sid sid = {1, static_cast<uint8_t>(parts.size()), 0, 0, 0, 0, 0, authority};
  for (uint32_t part : parts) {
    for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<uint8_t>(part >> shift));
  }
  return sid;
}

struct Group {
  Sid sid;
  ULONG attributes;
};

struct Identity {
  Sid user;
  std::vector<Group> groups;
};

constexpr ULONG kEnabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

Identity IdentityOf(Caller caller) {
  const Sid system = MakeSid(5, {18});
  const Sid administrators = MakeSid(5, {32, 544});
  const Sid users = MakeSid(5, {32, 545});
  const Sid everyone = MakeSid(1, {0});
  const Sid authenticated = MakeSid(5, {11});
  switch (caller) {
    case Caller::kLocalSystem:
      return {system, {{administrators, kEnabled | SE_GROUP_OWNER}, {everyone, kEnabled}, {authenticated, kEnabled}}};
    case Caller::kAdministrator:
      return {MakeSid(5, {21, 1, 2, 3, 500}),
              {{everyone, kEnabled}, {administrators, kEnabled | SE_GROUP_OWNER}, {users, kEnabled}}};
    case Caller::kFilteredAdministrator:
      return {MakeSid(5, {21, 1, 2, 3, 500}),
              {{everyone, kEnabled}, {administrators, SE_GROUP_USE_FOR_DENY_ONLY}, {users, kEnabled}}};
    case Caller::kStandardUser:
    case Caller::kAnonymous:
      break;
  }
  // A domain group whose last part is 544 is not the local Administrators.
  return {MakeSid(5, {21, 1, 2, 3, 1001}),
          {{everyone, kEnabled}, {users, kEnabled}, {MakeSid(5, {21, 1, 2, 3, 544}), kEnabled}}};
}

thread_local Caller threadProcess = Caller::kLocalSystem;
thread_local std::optional<Caller> threadImpersonated;

struct TokenObject {
  Identity identity;
};
std::mutex tokenMutex;
std::set<TokenObject*> openTokens;

NTSTATUS OpenToken(Caller caller, PHANDLE token) {
  auto* object = new TokenObject{IdentityOf(caller)};
  std::lock_guard<std::mutex> lock(tokenMutex);
  openTokens.insert(object);
  *token = object;
  return STATUS_SUCCESS;
}

// Lays out `sids` after a header of `headerBytes`, pointer-aligned, and
// returns where each one went.
std::vector<uint8_t*> PlaceSids(uint8_t* buffer, size_t headerBytes, const std::vector<const Sid*>& sids) {
  std::vector<uint8_t*> placed;
  size_t at = headerBytes;
  for (const Sid* sid : sids) {
    std::memcpy(buffer + at, sid->data(), sid->size());
    placed.push_back(buffer + at);
    at += sid->size();
  }
  return placed;
}

size_t SidBytes(const std::vector<const Sid*>& sids) {
  size_t bytes = 0;
  for (const Sid* sid : sids) bytes += sid->size();
  return bytes;
}

}  // namespace

CallerScope::CallerScope(Caller process, std::optional<Caller> impersonated)
    : previousProcess_(threadProcess), previousImpersonated_(threadImpersonated) {
  if (process == Caller::kAnonymous) Fatal("a process token cannot be anonymous");
  threadProcess = process;
  threadImpersonated = impersonated;
}

CallerScope::~CallerScope() {
  threadProcess = previousProcess_;
  threadImpersonated = previousImpersonated_;
}

size_t TokenHandlesOutstanding() {
  std::lock_guard<std::mutex> lock(tokenMutex);
  return openTokens.size();
}

bool CloseTokenHandle(HANDLE handle, NTSTATUS* status) {
  std::lock_guard<std::mutex> lock(tokenMutex);
  auto* token = static_cast<TokenObject*>(handle);
  if (openTokens.erase(token) == 0) return false;
  delete token;
  *status = STATUS_SUCCESS;
  return true;
}

}  // namespace vx::host

using vx::host::Caller;

NTSTATUS ZwOpenThreadTokenEx(HANDLE thread, ACCESS_MASK, BOOLEAN, ULONG, PHANDLE token) {
  if (thread != NtCurrentThread()) return STATUS_INVALID_HANDLE;
  if (!vx::host::threadImpersonated) return STATUS_NO_TOKEN;
  if (*vx::host::threadImpersonated == Caller::kAnonymous) return STATUS_CANT_OPEN_ANONYMOUS;
  return vx::host::OpenToken(*vx::host::threadImpersonated, token);
}

NTSTATUS ZwOpenProcessTokenEx(HANDLE process, ACCESS_MASK, ULONG, PHANDLE token) {
  if (process != NtCurrentProcess()) return STATUS_INVALID_HANDLE;
  return vx::host::OpenToken(vx::host::threadProcess, token);
}

NTSTATUS ZwQueryInformationToken(HANDLE handle, TOKEN_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                                 PULONG resultLength) {
  vx::host::TokenObject* token;
  {
    std::lock_guard<std::mutex> lock(vx::host::tokenMutex);
    token = static_cast<vx::host::TokenObject*>(handle);
    if (vx::host::openTokens.count(token) == 0) return STATUS_INVALID_HANDLE;
  }
  const vx::host::Identity& identity = token->identity;
  std::vector<const vx::host::Sid*> sids;
  size_t header = 0;
  if (infoClass == TokenUser) {
    header = sizeof(TOKEN_USER);
    sids.push_back(&identity.user);
  } else if (infoClass == TokenGroups) {
    header = offsetof(TOKEN_GROUPS, Groups) + identity.groups.size() * sizeof(SID_AND_ATTRIBUTES);
    header = (header + sizeof(void*) - 1) / sizeof(void*) * sizeof(void*);
    for (const vx::host::Group& group : identity.groups) sids.push_back(&group.sid);
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  const size_t needed = header + vx::host::SidBytes(sids);
  *resultLength = static_cast<ULONG>(needed);
  if (length < needed) return STATUS_BUFFER_TOO_SMALL;
  auto* buffer = static_cast<uint8_t*>(info);
  std::memset(buffer, 0, needed);
  const std::vector<uint8_t*> placed = vx::host::PlaceSids(buffer, header, sids);
  if (infoClass == TokenUser) {
    static_cast<PTOKEN_USER>(info)->User.Sid = placed[0];
  } else {
    auto* groups = static_cast<PTOKEN_GROUPS>(info);
    groups->GroupCount = static_cast<ULONG>(identity.groups.size());
    SID_AND_ATTRIBUTES* entries = groups->Groups;  // GroupCount of them, past the declared one
    for (size_t i = 0; i < identity.groups.size(); ++i) {
      entries[i].Sid = placed[i];
      entries[i].Attributes = identity.groups[i].attributes;
    }
  }
  return STATUS_SUCCESS;
}
