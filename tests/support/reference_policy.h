// A fixed policy record with rules, flags and a password, built through the
// store's own conversions. Both builds seal it to the same file.
#pragma once

#include "common/filter_control.h"
#include "policy/policy_state.h"

namespace vx::test {

USB_RULE MakeRule(const char* vendor, const char* product, const char* revision, const char* serial, uint32_t flags,
                  int32_t action);

// The reference record; the same bytes on every build.
void BuildReferencePolicy(PolicyState& state);

}  // namespace vx::test
