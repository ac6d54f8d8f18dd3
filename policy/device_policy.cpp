#include "policy/device_policy.h"

#include <cstring>

#include "policy/rule_text.h"

namespace vx {

void FillDevicePolicy(const PolicyState& state, DEVICE_POLICY& out) {
  std::memset(&out, 0, sizeof out);
  // Slots past `count` stay zero: a trailing partial rule is not handed out.
  const std::string_view text = FieldText(state.ruleUsb);
  const std::size_t count = RuleCountOf(text);
  HexToRules(text, out.rules, count * sizeof(USB_RULE));
  out.count = static_cast<int32_t>(count);

  out.ruleUsb__Inherit = state.ruleUsb__Inherit;
  out.ruleUsb__Lock = state.ruleUsb__Lock;
  out.lockCdDvd = state.lockCdDvd;
  out.lockCdDvd__Inherit = state.lockCdDvd__Inherit;
  out.lockCdDvd__Lock = state.lockCdDvd__Lock;
  out.lockFloppy = state.lockFloppy;
  out.lockFloppy__Inherit = state.lockFloppy__Inherit;
  out.lockFloppy__Lock = state.lockFloppy__Lock;
  out.password__Lock = state.password__Lock;
  out.password__Inherit = state.password__Inherit;
}

bool TakeDevicePolicy(PolicyState& state, const DEVICE_POLICY& in) {
  if (in.count < 0 || static_cast<std::size_t>(in.count) > kMaxTextRules) return false;
  state.lockCdDvd = in.lockCdDvd;
  state.lockCdDvd__Inherit = in.lockCdDvd__Inherit;
  StoreFieldText(state.ruleUsb, RulesToHex(in.rules, static_cast<std::size_t>(in.count)));
  state.ruleUsb__Inherit = in.ruleUsb__Inherit;
  state.lockFloppy = in.lockFloppy;
  state.lockFloppy__Inherit = in.lockFloppy__Inherit;
  return true;
}

void TakeDriveLockMask(PolicyState& state, uint32_t mask) {
  state.lockCdDvd = (mask & kDriveLockCdDvd) ? 1 : 0;
  state.lockFloppy = (mask & kDriveLockFloppy) ? 1 : 0;
}

uint32_t DriveLockMaskOf(const PolicyState& state) {
  uint32_t mask = 0;
  if (state.lockFloppy) mask |= kDriveLockFloppy;
  if (state.lockCdDvd) mask |= kDriveLockCdDvd;
  return mask;
}

}  // namespace vx
