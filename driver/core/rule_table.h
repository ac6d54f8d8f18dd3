// The ordered rule list with its generation, and the judgement of a disk
// against it. The caller serialises access: a replacement and an evaluation
// never run at the same time on one table. How the driver keeps two tables
// and publishes the generation to its lock-free path: see the head of
// driver/driver_state.cpp.
#pragma once

#include <stdint.h>

#include "driver/core/matcher.h"

namespace vx::driver {

// One rule with its four patterns prepared for matching.
struct PREPARED_RULE {
  PREPARED_PATTERN vendor;
  PREPARED_PATTERN product;
  PREPARED_PATTERN revision;
  PREPARED_PATTERN serial;
  uint32_t flags;
  int32_t action;
};

struct RULE_TABLE {
  PREPARED_RULE ruleList[USB_MAX_RULES];
  uint32_t ruleCount;
  uint32_t ruleGeneration;
};

// Empty list at generation 1.
void InitRuleTable(RULE_TABLE* table);

// The record count of an input of `inputLength` bytes (rounded down), as the
// control device reports it.
inline uint32_t RuleCountOf(uint32_t inputLength) { return inputLength / sizeof(USB_RULE); }

// Replaces the whole list with the records of `input`, which must be a whole
// number of at most 128 records (0 empties the list), and advances the
// generation by one. Returns false and changes nothing otherwise.
[[nodiscard]] bool SetRules(RULE_TABLE* table, const void* input, uint32_t inputLength);

// The action of the first rule whose checked fields all match, or
// ACTION_ALLOW when none does.
int32_t EvaluateRules(const RULE_TABLE* table, const PREPARED_IDENTITY* identity);

}  // namespace vx::driver
