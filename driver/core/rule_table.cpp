#include "driver/core/rule_table.h"

namespace vx::driver {

namespace {

void PrepareRule(const USB_RULE* rule, PREPARED_RULE* prepared) {
  PreparePattern(rule->vendor, &prepared->vendor);
  PreparePattern(rule->product, &prepared->product);
  PreparePattern(rule->revision, &prepared->revision);
  PreparePattern(rule->serial, &prepared->serial);
  prepared->flags = rule->flags;
  prepared->action = rule->action;
}

bool RuleMatches(const PREPARED_RULE* rule, const PREPARED_IDENTITY* identity) {
  const uint32_t flags = rule->flags;
  if ((flags & RULE_CHECK_VENDOR) && !MatchField(&identity->vendor, &rule->vendor, flags & RULE_EXACT_VENDOR)) {
    return false;
  }
  if ((flags & RULE_CHECK_PRODUCT) && !MatchField(&identity->product, &rule->product, flags & RULE_EXACT_PRODUCT)) {
    return false;
  }
  if ((flags & RULE_CHECK_REVISION) && !MatchField(&identity->revision, &rule->revision, flags & RULE_EXACT_REVISION)) {
    return false;
  }
  if ((flags & RULE_CHECK_SERIAL) && !MatchField(&identity->serial, &rule->serial, flags & RULE_EXACT_SERIAL)) {
    return false;
  }
  return true;
}

}  // namespace

void InitRuleTable(RULE_TABLE* table) {
  static const USB_RULE kEmpty = {};
  for (PREPARED_RULE& rule : table->ruleList) PrepareRule(&kEmpty, &rule);
  table->ruleCount = 0;
  table->ruleGeneration = 1;
}

bool SetRules(RULE_TABLE* table, const void* input, uint32_t inputLength) {
  if (inputLength % sizeof(USB_RULE) != 0 || RuleCountOf(inputLength) > USB_MAX_RULES) return false;
  const uint32_t count = RuleCountOf(inputLength);
  // The input is a byte buffer with no alignment promise: copy each record
  // out before reading its fields.
  const unsigned char* bytes = static_cast<const unsigned char*>(input);
  for (uint32_t i = 0; i < count; ++i) {
    USB_RULE rule;
    __builtin_memcpy(&rule, bytes + i * sizeof(USB_RULE), sizeof(USB_RULE));
    PrepareRule(&rule, &table->ruleList[i]);
  }
  table->ruleCount = count;
  ++table->ruleGeneration;
  return true;
}

int32_t EvaluateRules(const RULE_TABLE* table, const PREPARED_IDENTITY* identity) {
  for (uint32_t i = 0; i < table->ruleCount; ++i) {
    if (RuleMatches(&table->ruleList[i], identity)) return table->ruleList[i].action;
  }
  return ACTION_ALLOW;
}

}  // namespace vx::driver
