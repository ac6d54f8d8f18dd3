// The plain rule matcher, written step by step from the rule semantics with
// no preparation and no cleverness. The driver's fast matcher must give the
// same answer for every rule list and identity.
#pragma once

#include "common/filter_control.h"
#include "driver/core/identity.h"

namespace vx::test {

int ReferenceFindNoCase(const char* text, const char* pattern);
bool ReferenceMatchField(const char* text, const char* pattern, bool exact);
int ReferenceEvaluateRules(const USB_RULE* rules, unsigned count, const vx::driver::DEVICE_IDENTITY& identity);

}  // namespace vx::test
