/* The records as the interface description defines them must be the shared
 * records byte for byte: the stubs copy them as plain structures. */
#include <stddef.h>

#include "control_rpc/DeviceControl.h"

_Static_assert(sizeof(USB_RULE) == 264, "USB_RULE is 264 bytes on the wire");
_Static_assert(offsetof(USB_RULE, flags) == 256, "USB_RULE.flags");
_Static_assert(offsetof(USB_RULE, action) == 260, "USB_RULE.action");
_Static_assert(sizeof(DEVICE_POLICY) == 33808, "DEVICE_POLICY is 33,808 bytes on the wire");
_Static_assert(_Alignof(DEVICE_POLICY) == 4, "DEVICE_POLICY alignment");
_Static_assert(offsetof(DEVICE_POLICY, count) == 33792, "DEVICE_POLICY.count");
_Static_assert(offsetof(DEVICE_POLICY, ruleUsb__Inherit) == 33796, "DEVICE_POLICY.ruleUsb__Inherit");
_Static_assert(offsetof(DEVICE_POLICY, lockCdDvd) == 33798, "DEVICE_POLICY.lockCdDvd");
_Static_assert(offsetof(DEVICE_POLICY, lockFloppy__Lock) == 33803, "DEVICE_POLICY.lockFloppy__Lock");
_Static_assert(offsetof(DEVICE_POLICY, password__Lock) == 33804, "DEVICE_POLICY.password__Lock");
_Static_assert(offsetof(DEVICE_POLICY, password__Inherit) == 33805, "DEVICE_POLICY.password__Inherit");

/* One object for the archive. */
int vxControlRecordsChecked = 1;
