#include "server/commands/policy_assignment.h"

#include <cstdio>
#include <memory>

#include "policy/policy_state.h"
#include "policy/rule_text.h"
#include "policy/rule_words.h"

namespace vx::server {

management::ParentPolicy ProductDefaultParentPolicy() {
  // Taken from the agent's own default record, so the two cannot part.
  auto state = std::make_unique<PolicyState>();
  BuildDefaultPolicy(*state);
  management::ParentPolicy parent;
  parent.ruleUsb__Parent = std::string(FieldText(state->ruleUsb__Parent));
  parent.ruleUsb__Lock = state->ruleUsb__Lock;
  parent.lockCdDvd__Parent = state->lockCdDvd__Parent;
  parent.lockCdDvd__Lock = state->lockCdDvd__Lock;
  parent.password__Parent = std::string(FieldText(state->password__Parent));
  parent.password__Lock = state->password__Lock;
  parent.lockFloppy__Parent = state->lockFloppy__Parent;
  parent.lockFloppy__Lock = state->lockFloppy__Lock;
  return parent;
}

uint32_t AssignedDigest(const management::ParentPolicy& policy) {
  return management::ParentPolicyDigest(
      management::ApplyPolicyEntries(management::PolicySetEntries(policy), management::ParentPolicy{}));
}

std::string DigestText(uint32_t digest) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", digest);
  return text;
}

bool PolicyEdit::Empty() const {
  return !ruleText && !lockCdDvd && !lockFloppy && !ruleUsbLock && !lockCdDvdLock && !lockFloppyLock && !passwordLock &&
         !password;
}

namespace {

ParsedPolicyEdit Refusal(std::string message) {
  ParsedPolicyEdit parsed;
  parsed.message = std::move(message);
  return parsed;
}

std::optional<uint8_t> LockedValue(const std::string& text) {
  if (text == "locked") return 1;
  if (text == "unlocked") return 0;
  return std::nullopt;
}

}  // namespace

ParsedPolicyEdit ParsePolicyEdit(const PolicyEditArguments& arguments) {
  PolicyEdit edit;
  if (!arguments.rules.empty() || arguments.replaceRules) {
    if (arguments.rules.size() > kMaxTextRules)
      return Refusal(std::to_string(arguments.rules.size()) + " rules given; an agent holds at most 124");
    std::vector<USB_RULE> rules;
    for (std::size_t i = 0; i < arguments.rules.size(); ++i) {
      const ParsedRuleWords parsed = ParseRuleWords(arguments.rules[i]);
      if (!parsed.rule)
        return Refusal("--rule \"" + arguments.rules[i] + "\" (rule " + std::to_string(i + 1) + "): " + parsed.message);
      rules.push_back(*parsed.rule);
    }
    edit.ruleText = RuleListText(rules);  // at most 124: a text, as checked above
  }
  if (arguments.cdrom && !(edit.lockCdDvd = LockedValue(*arguments.cdrom)))
    return Refusal("--cdrom takes locked or unlocked, not \"" + *arguments.cdrom + "\"");
  if (arguments.floppy && !(edit.lockFloppy = LockedValue(*arguments.floppy)))
    return Refusal("--floppy takes locked or unlocked, not \"" + *arguments.floppy + "\"");
  if (arguments.locks.size() % 2 != 0) return Refusal("--lock takes an item and on or off: --lock rules on");
  for (std::size_t i = 0; i < arguments.locks.size(); i += 2) {
    const std::string& item = arguments.locks[i];
    const std::string& value = arguments.locks[i + 1];
    std::optional<uint8_t>* flag = item == "rules"      ? &edit.ruleUsbLock
                                   : item == "cdrom"    ? &edit.lockCdDvdLock
                                   : item == "floppy"   ? &edit.lockFloppyLock
                                   : item == "password" ? &edit.passwordLock
                                                        : nullptr;
    if (flag == nullptr) return Refusal("--lock takes rules, cdrom, floppy or password, not \"" + item + "\"");
    if (value != "on" && value != "off") return Refusal("--lock " + item + " takes on or off, not \"" + value + "\"");
    if (*flag) return Refusal("--lock " + item + " is given twice");
    *flag = value == "on" ? 1 : 0;
  }
  if (arguments.password) {
    if (arguments.password->size() > management::kMaxParentPassword)
      return Refusal("the password is " + std::to_string(arguments.password->size()) +
                     " characters; an agent keeps at most 120 of the server's");
    edit.password = *arguments.password;
  }
  ParsedPolicyEdit parsed;
  parsed.edit = std::move(edit);
  return parsed;
}

management::ParentPolicy ApplyPolicyEdit(management::ParentPolicy base, const PolicyEdit& edit) {
  if (edit.ruleText) base.ruleUsb__Parent = *edit.ruleText;
  if (edit.lockCdDvd) base.lockCdDvd__Parent = *edit.lockCdDvd;
  if (edit.lockFloppy) base.lockFloppy__Parent = *edit.lockFloppy;
  if (edit.ruleUsbLock) base.ruleUsb__Lock = *edit.ruleUsbLock;
  if (edit.lockCdDvdLock) base.lockCdDvd__Lock = *edit.lockCdDvdLock;
  if (edit.lockFloppyLock) base.lockFloppy__Lock = *edit.lockFloppyLock;
  if (edit.passwordLock) base.password__Lock = *edit.passwordLock;
  if (edit.password) base.password__Parent = *edit.password;
  return base;
}

}  // namespace vx::server
