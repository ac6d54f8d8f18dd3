#include "server/commands/policy_view.h"

#include <vector>

#include "policy/rule_text.h"
#include "policy/rule_words.h"
#include "server/commands/policy_assignment.h"
#include "server/commands/text_output.h"

namespace vx::server {
namespace {

const char* Locked(uint8_t flag) { return flag ? "locked" : "unlocked"; }
const char* OnOff(uint8_t flag) { return flag ? "on" : "off"; }
const char* JsonFlag(uint8_t flag) { return flag ? "true" : "false"; }

// The words of a rule, or null for one that words cannot carry (the server's
// own assignments are always made from words).
std::string RuleWordsJson(const USB_RULE& rule) {
  const std::optional<std::string> words = RuleWords(rule);
  return words ? JsonBytes(*words) : "null";
}

}  // namespace

void WriteParentPolicy(std::ostream& out, const management::ParentPolicy& policy, const std::string& indent) {
  const std::vector<USB_RULE> rules = RuleListOfText(policy.ruleUsb__Parent);
  out << indent << "USB storage rules (" << rules.size() << "), the first that matches decides:\n";
  if (rules.empty()) out << indent << "  (no rules: every USB disk is allowed)\n";
  for (std::size_t i = 0; i < rules.size(); ++i) out << indent << "  " << (i + 1) << ". " << RuleLine(rules[i]) << "\n";
  out << indent << "CD/DVD drives:  " << Locked(policy.lockCdDvd__Parent) << "\n"
      << indent << "Floppy drives:  " << Locked(policy.lockFloppy__Parent) << "\n"
      << indent << "Password:       "
      << (policy.password__Parent.empty() ? std::string("none")
                                          : "set (" + std::to_string(policy.password__Parent.size()) + " characters)")
      << "\n"
      << indent << "Lock flags:     rules " << OnOff(policy.ruleUsb__Lock) << ", cdrom "
      << OnOff(policy.lockCdDvd__Lock) << ", floppy " << OnOff(policy.lockFloppy__Lock) << ", password "
      << OnOff(policy.password__Lock) << " (on: the agent's own changes do not last)\n"
      << indent << "Digest:         " << DigestText(AssignedDigest(policy)) << "\n";
}

std::string ParentPolicyJson(const management::ParentPolicy& policy) {
  const std::vector<USB_RULE> rules = RuleListOfText(policy.ruleUsb__Parent);
  std::string json = "{\"rules\": [";
  for (std::size_t i = 0; i < rules.size(); ++i) {
    json += i ? ", " : "";
    // The keys vxctl uses for a rule, and the rule as policy set --rule takes it.
    json += "{\"number\": " + std::to_string(i + 1) + ", \"action\": " + JsonBytes(ActionWords(rules[i].action)) +
            ", \"words\": " + JsonBytes(MatchWords(rules[i])) + ", \"rule\": " + RuleWordsJson(rules[i]) + "}";
  }
  json += "], \"cdrom\": \"" + std::string(Locked(policy.lockCdDvd__Parent)) + "\", \"floppy\": \"" +
          Locked(policy.lockFloppy__Parent) +
          "\", \"password\": {\"set\": " + JsonFlag(!policy.password__Parent.empty()) +
          ", \"length\": " + std::to_string(policy.password__Parent.size()) +
          "}, \"locks\": {\"rules\": " + JsonFlag(policy.ruleUsb__Lock) +
          ", \"cdrom\": " + JsonFlag(policy.lockCdDvd__Lock) + ", \"floppy\": " + JsonFlag(policy.lockFloppy__Lock) +
          ", \"password\": " + JsonFlag(policy.password__Lock) + "}, \"digest\": \"" +
          DigestText(AssignedDigest(policy)) + "\"}";
  return json;
}

}  // namespace vx::server
