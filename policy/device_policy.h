// DEVICE_POLICY, the record that GetPolicy and SetPolicy exchange with the
// local administration program, and its conversions to and from PolicyState.
// The drive lock mask of SetDriveLocks and GetDriveLocks lives here too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/filter_control.h"
#include "policy/policy_state.h"

extern "C" {

typedef struct DEVICE_POLICY {
  USB_RULE rules[USB_MAX_RULES];
  int32_t count;
  uint8_t ruleUsb__Inherit;
  uint8_t ruleUsb__Lock;
  uint8_t lockCdDvd;
  uint8_t lockCdDvd__Inherit;
  uint8_t lockCdDvd__Lock;
  uint8_t lockFloppy;
  uint8_t lockFloppy__Inherit;
  uint8_t lockFloppy__Lock;
  uint8_t password__Lock;  // lock before inherit, unlike the other items
  uint8_t password__Inherit;
  uint8_t padding[2];
} DEVICE_POLICY;

}  // extern "C"

static_assert(sizeof(DEVICE_POLICY) == 33808);
static_assert(alignof(DEVICE_POLICY) == 4);
static_assert(offsetof(DEVICE_POLICY, rules) == 0);
static_assert(offsetof(DEVICE_POLICY, count) == 33792);
static_assert(offsetof(DEVICE_POLICY, ruleUsb__Inherit) == 33796);
static_assert(offsetof(DEVICE_POLICY, ruleUsb__Lock) == 33797);
static_assert(offsetof(DEVICE_POLICY, lockCdDvd) == 33798);
static_assert(offsetof(DEVICE_POLICY, lockCdDvd__Inherit) == 33799);
static_assert(offsetof(DEVICE_POLICY, lockCdDvd__Lock) == 33800);
static_assert(offsetof(DEVICE_POLICY, lockFloppy) == 33801);
static_assert(offsetof(DEVICE_POLICY, lockFloppy__Inherit) == 33802);
static_assert(offsetof(DEVICE_POLICY, lockFloppy__Lock) == 33803);
static_assert(offsetof(DEVICE_POLICY, password__Lock) == 33804);
static_assert(offsetof(DEVICE_POLICY, password__Inherit) == 33805);

namespace vx {

inline constexpr uint32_t kDriveLockCdDvd = 0x2;
inline constexpr uint32_t kDriveLockFloppy = 0x4;

// Decodes the effective rule list and copies the ten flags. Rule slots past
// `count` are zero.
void FillDevicePolicy(const PolicyState& state, DEVICE_POLICY& out);

// Takes the six local values of `in` into `state` in the order lockCdDvd,
// lockCdDvd__Inherit, ruleUsb, ruleUsb__Inherit, lockFloppy,
// lockFloppy__Inherit; the lock flags and password__Inherit are ignored.
// A count below 0 or above the 124 rules that the rule text holds is refused:
// returns false and leaves `state` untouched.
[[nodiscard]] bool TakeDevicePolicy(PolicyState& state, const DEVICE_POLICY& in);

// Sets lockCdDvd from bit 1 and lockFloppy from bit 2, each stored as 0 or 1.
void TakeDriveLockMask(PolicyState& state, uint32_t mask);

// 2 for lockCdDvd plus 4 for lockFloppy; every other bit is zero.
[[nodiscard]] uint32_t DriveLockMaskOf(const PolicyState& state);

}  // namespace vx
