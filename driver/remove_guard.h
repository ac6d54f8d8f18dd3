// The filter device's count of requests inside the driver. Removal marks the
// device as going away, gives up the device's own count and waits until the
// last request has left, so the extension and its key-name buffer are never
// used after they are freed. Requests that arrive once removal has begun are
// turned away. Inline: it is on every read and write.
#pragma once

#include "driver/kernel_api.h"

namespace vx::driver {

struct REMOVE_GUARD {
  LONG count;     // 1 for the device itself, plus one per request inside
  LONG removing;  // set once removal has begun
  KEVENT drained;
};

_IRQL_requires_(PASSIVE_LEVEL) inline void InitRemoveGuard(REMOVE_GUARD* guard) {
  guard->count = 1;
  guard->removing = 0;
  KeInitializeEvent(&guard->drained, NotificationEvent, FALSE);
}

// Takes no lock; the last one out wakes the removal.
_IRQL_requires_max_(DISPATCH_LEVEL) inline void LeaveGuard(REMOVE_GUARD* guard) {
  if (__atomic_sub_fetch(&guard->count, 1, __ATOMIC_ACQ_REL) == 0) {
    KeSetEvent(&guard->drained, IO_NO_INCREMENT, FALSE);
  }
}

// False when the device is being removed; the request must then be refused.
// Takes no lock.
[[nodiscard]] _IRQL_requires_max_(DISPATCH_LEVEL) inline bool EnterGuard(REMOVE_GUARD* guard) {
  __atomic_add_fetch(&guard->count, 1, __ATOMIC_ACQ_REL);
  if (__atomic_load_n(&guard->removing, __ATOMIC_ACQUIRE)) {
    LeaveGuard(guard);
    return false;
  }
  return true;
}

// Called by the removal request, which entered the guard itself. It waits
// for the last request, so no lock may be held.
_IRQL_requires_(PASSIVE_LEVEL) inline void LeaveGuardAndWait(REMOVE_GUARD* guard) {
  __atomic_store_n(&guard->removing, 1, __ATOMIC_RELEASE);
  LeaveGuard(guard);  // the removal request's own count
  LeaveGuard(guard);  // the device's count
  // A kernel-mode, non-alertable wait with no time-out returns only once the
  // event is signalled.
  (void)KeWaitForSingleObject(&guard->drained, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace vx::driver
