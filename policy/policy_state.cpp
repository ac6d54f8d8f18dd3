#include "policy/policy_state.h"

#include <cstring>

#include "common/filter_control.h"
#include "policy/rule_text.h"

namespace vx {

void BuildDefaultPolicy(PolicyState& state) {
  std::memset(&state, 0, sizeof state);

  state.lockCdDvd__Inherit = 1;
  state.lockCdDvd__Parent = 1;
  state.lockCdDvd__Lock = 0;

  USB_RULE allowAll{};
  allowAll.action = ACTION_ALLOW;
  state.ruleUsb__Inherit = 1;
  state.ruleUsb__Lock = 0;
  StoreFieldText(state.ruleUsb__Parent, RulesToHex(&allowAll, 1));

  state.lockFloppy__Inherit = 1;
  state.lockFloppy__Parent = 1;
  state.lockFloppy__Lock = 0;

  state.password__Inherit = 1;
  state.password__Lock = 0;
  state.statusWord = 0;
}

void CopyParentValues(PolicyState& state) {
  if (state.lockCdDvd__Lock || state.lockCdDvd__Inherit) state.lockCdDvd = state.lockCdDvd__Parent;
  if (state.ruleUsb__Lock || state.ruleUsb__Inherit) StoreFieldText(state.ruleUsb, FieldText(state.ruleUsb__Parent));
  if (state.lockFloppy__Lock || state.lockFloppy__Inherit) state.lockFloppy = state.lockFloppy__Parent;
  if (state.password__Lock || state.password__Inherit)
    StoreFieldText(state.password, FieldText(state.password__Parent));
}

}  // namespace vx
