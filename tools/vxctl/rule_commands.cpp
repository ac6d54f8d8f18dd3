// policy show, rule list, rule add, rule remove: the policy as a whole and
// the USB storage rules, shown and changed in words.
#include <cstring>
#include <ostream>

#include "policy/policy_state.h"
#include "policy/rule_text.h"
#include "policy/rule_words.h"
#include "tools/vxctl/commands.h"
#include "tools/vxctl/json_text.h"
#include "tools/vxctl/policy_items.h"

namespace vx {
namespace {

void PrintRules(std::ostream& out, const DEVICE_POLICY& policy, const char* indent) {
  if (policy.count == 0) out << indent << "(no rules: every USB disk is allowed)\n";
  for (int32_t i = 0; i < policy.count && i < USB_MAX_RULES; ++i)
    out << indent << (i + 1) << ". " << RuleLine(policy.rules[i]) << "\n";
}

std::string RulesJson(const DEVICE_POLICY& policy) {
  std::string json = "[";
  for (int32_t i = 0; i < policy.count && i < USB_MAX_RULES; ++i) {
    const USB_RULE& rule = policy.rules[i];
    json += i ? ", " : "";
    json += "{\"number\": " + std::to_string(i + 1) + ", \"action\": " + JsonString(ActionWords(rule.action)) +
            ", \"actionCode\": " + std::to_string(rule.action) + ", \"flags\": " + std::to_string(rule.flags) +
            ", \"match\": {";
    bool first = true;
    for (int f = 0; f < kRuleFieldCount; ++f) {
      if (!(rule.flags & kRuleFields[f].checkBit)) continue;
      json += first ? "" : ", ";
      first = false;
      json += std::string("\"") + kRuleFields[f].name + "\": {\"text\": " + JsonString(RuleFieldText(rule, f)) +
              ", \"exact\": " + FlagJson(rule.flags & kRuleFields[f].exactBit) + "}";
    }
    json += "}, \"words\": " + JsonString(MatchWords(rule)) + "}";
  }
  return json + "]";
}

// Where the value in force comes from, in words.
std::string Source(uint8_t inherit, uint8_t lock) {
  if (lock) return "set by the management server";
  if (inherit) return "follows the parent policy";
  return "local";
}

// A local change of the rule list lasts only when the list is neither set by
// the management server nor following the parent; and a count the list
// cannot hold is the service's fault, never edited.
std::optional<Failure> EditableRules(const DEVICE_POLICY& policy) {
  if (auto failure = RefuseUnlessLocal(kRulesItem, policy)) return failure;
  if (policy.count < 0 || policy.count > static_cast<int32_t>(kMaxTextRules))
    return Failure{kExitServiceFailure, "the service sent a rule count of " + std::to_string(policy.count)};
  return std::nullopt;
}

}  // namespace

std::optional<Failure> PolicyShowCommand(CommandSession& session) {
  DEVICE_POLICY policy;
  if (auto failure = session.ReadPolicy(policy)) return failure;
  std::ostream& out = session.Out();
  if (session.Json()) {
    auto item = [](uint8_t inherit, uint8_t lock) {
      return "\"followParent\": " + FlagJson(inherit) + ", \"lockedByServer\": " + FlagJson(lock);
    };
    out << "{\"rules\": {\"count\": " << policy.count << ", " << item(policy.ruleUsb__Inherit, policy.ruleUsb__Lock)
        << ", \"list\": " << RulesJson(policy) << "},\n"
        << " \"cdrom\": {\"locked\": " << FlagJson(policy.lockCdDvd) << ", "
        << item(policy.lockCdDvd__Inherit, policy.lockCdDvd__Lock) << "},\n"
        << " \"floppy\": {\"locked\": " << FlagJson(policy.lockFloppy) << ", "
        << item(policy.lockFloppy__Inherit, policy.lockFloppy__Lock) << "},\n"
        << " \"password\": {" << item(policy.password__Inherit, policy.password__Lock) << "}}\n";
    return std::nullopt;
  }
  out << "USB storage rules (" << policy.count << ", " << Source(policy.ruleUsb__Inherit, policy.ruleUsb__Lock)
      << "), the first that matches decides:\n";
  PrintRules(out, policy, "  ");
  out << "CD/DVD drives:  " << (policy.lockCdDvd ? "locked" : "unlocked") << " ("
      << Source(policy.lockCdDvd__Inherit, policy.lockCdDvd__Lock) << ")\n"
      << "Floppy drives:  " << (policy.lockFloppy ? "locked" : "unlocked") << " ("
      << Source(policy.lockFloppy__Inherit, policy.lockFloppy__Lock) << ")\n"
      << "Password:       " << Source(policy.password__Inherit, policy.password__Lock) << "\n";
  return std::nullopt;
}

std::optional<Failure> RuleListCommand(CommandSession& session) {
  DEVICE_POLICY policy;
  if (auto failure = session.ReadPolicy(policy)) return failure;
  if (session.Json())
    session.Out() << RulesJson(policy) << "\n";
  else
    PrintRules(session.Out(), policy, "");
  return std::nullopt;
}

std::optional<Failure> RuleAddCommand(CommandSession& session) {
  // The options build the rule through the same model as rules in words.
  USB_RULE rule{};
  for (int i = 0; i < kRuleFieldCount; ++i) {
    const char* name = kRuleFields[i].name;
    if (!session.Given(name)) continue;
    if (std::optional<std::string> fault = SetRulePattern(rule, i, session.Value(name)))
      return Failure{kExitBadArguments, std::string("--") + name + ": " + *fault};
  }
  for (const std::string& exact : session.Line().exactFields) {
    const std::optional<int> index = RuleFieldIndex(exact);
    if (!index)
      return Failure{kExitBadArguments, "--exact takes vendor, product, revision or serial, not \"" + exact + "\""};
    if (!(rule.flags & kRuleFields[*index].checkBit))
      return Failure{kExitBadArguments, "--exact " + exact + " needs --" + exact + " TEXT"};
    rule.flags |= kRuleFields[*index].exactBit;
  }
  if (!session.Given("action")) return Failure{kExitBadArguments, "rule add needs --action block|read-only|allow"};
  const std::optional<int32_t> action = ParseAction(session.Value("action"));
  if (!action) return Failure{kExitBadArguments, "--action takes block, read-only or allow"};
  rule.action = *action;
  std::optional<long> at;
  if (session.Given("at")) {
    at = ParseNumber(session.Value("at"));
    if (!at || *at < 1) return Failure{kExitBadArguments, "--at takes a rule number from 1"};
  }

  DEVICE_POLICY policy;
  if (auto failure = session.ReadPolicy(policy)) return failure;
  if (auto failure = EditableRules(policy)) return failure;
  // The arguments are sound; the list in force has no room.
  if (policy.count >= static_cast<int32_t>(kMaxTextRules))
    return Failure{kExitRefused, "the rule list already holds the most rules it can (124)"};
  const long position = at ? *at : policy.count + 1;
  if (position > policy.count + 1)
    return Failure{kExitBadArguments, "--at " + std::to_string(position) + " is past the end; the list has " +
                                          std::to_string(policy.count) + " rules"};
  for (long i = policy.count; i >= position; --i) policy.rules[i] = policy.rules[i - 1];
  policy.rules[position - 1] = rule;
  ++policy.count;
  if (auto failure = session.WritePolicy(policy)) return failure;
  session.Out() << "Rule " << position << " added: " << ActionWords(rule.action) << " " << MatchWords(rule) << "\n";
  return std::nullopt;
}

std::optional<Failure> RuleRemoveCommand(CommandSession& session) {
  const std::optional<long> number = ParseNumber(session.Arguments()[0]);
  if (!number || *number < 1) return Failure{kExitBadArguments, "rule remove takes a rule number from 1"};
  DEVICE_POLICY policy;
  if (auto failure = session.ReadPolicy(policy)) return failure;
  if (auto failure = EditableRules(policy)) return failure;
  if (*number > policy.count)
    return Failure{kExitBadArguments,
                   "there is no rule " + std::to_string(*number) + "; the list has " + std::to_string(policy.count)};
  const USB_RULE removed = policy.rules[*number - 1];
  for (long i = *number - 1; i + 1 < policy.count; ++i) policy.rules[i] = policy.rules[i + 1];
  --policy.count;
  std::memset(&policy.rules[policy.count], 0, sizeof(USB_RULE));
  if (auto failure = session.WritePolicy(policy)) return failure;
  session.Out() << "Rule " << *number << " removed: " << ActionWords(removed.action) << " " << MatchWords(removed)
                << "\n";
  return std::nullopt;
}

}  // namespace vx
