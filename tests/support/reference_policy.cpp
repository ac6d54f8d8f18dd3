#include "tests/support/reference_policy.h"

#include <cstring>

#include "policy/device_policy.h"
#include "policy/rule_text.h"

namespace vx::test {

USB_RULE MakeRule(const char* vendor, const char* product, const char* revision, const char* serial, uint32_t flags,
                  int32_t action) {
  USB_RULE rule{};
  std::strncpy(rule.vendor, vendor, sizeof rule.vendor - 1);
  std::strncpy(rule.product, product, sizeof rule.product - 1);
  std::strncpy(rule.revision, revision, sizeof rule.revision - 1);
  std::strncpy(rule.serial, serial, sizeof rule.serial - 1);
  rule.flags = flags;
  rule.action = action;
  return rule;
}

void BuildReferencePolicy(PolicyState& state) {
  BuildDefaultPolicy(state);
  const USB_RULE parentRules[] = {
      MakeRule("SanDisk", "", "", "", RULE_CHECK_VENDOR, ACTION_READ_ONLY),
      MakeRule("", "", "", "", 0, ACTION_BLOCK),
  };
  StoreFieldText(state.ruleUsb__Parent, RulesToHex(parentRules, 2));
  StoreFieldText(state.password__Parent, "parent-secret");
  state.lockFloppy__Lock = 1;
  state.lockFloppy__Parent = 0;
  state.statusWord = 0x01020304;

  DEVICE_POLICY local{};
  local.rules[0] =
      MakeRule("Kingston", "DataTraveler", "PMAP", "0019E06B",
               RULE_CHECK_VENDOR | RULE_CHECK_PRODUCT | RULE_EXACT_PRODUCT | RULE_CHECK_SERIAL, ACTION_ALLOW);
  local.rules[1] = MakeRule("", "Cruzer", "", "", RULE_CHECK_PRODUCT, ACTION_BLOCK);
  local.rules[2] = MakeRule("", "", "", "", 0, ACTION_READ_ONLY);
  local.count = 3;
  local.lockCdDvd = 0;
  local.lockFloppy = 1;
  // Three rules are always taken; a refusal would show in the reference file test.
  (void)TakeDevicePolicy(state, local);
  state.password__Inherit = 0;
  StoreFieldText(state.password, "Loc@l p4ss");
  CopyParentValues(state);
}

}  // namespace vx::test
