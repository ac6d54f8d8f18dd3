// The parent policy the server assigns, and how `policy set` changes it: the
// options name what changes, everything else stays as assigned.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "management/protocol/parent_policy.h"

namespace vx::server {

// The parent policy an agent holds when it starts without a policy file:
// every USB disk allowed by one allow-all rule, CD/DVD and floppy drives
// locked, nothing locked by the parent, no password (digest 0xBE9BB610).
// It is what the fleet default reads as before an administrator sets one,
// and so where the first `policy set` starts from.
[[nodiscard]] management::ParentPolicy ProductDefaultParentPolicy();

// The digest an agent reports once it has stored `policy` from the policySet
// the server sends for it (what the agent keeps, not the text as assigned).
[[nodiscard]] uint32_t AssignedDigest(const management::ParentPolicy& policy);

// "0xBE9BB610".
[[nodiscard]] std::string DigestText(uint32_t digest);

// The change options of `policy set`, as typed.
struct PolicyEditArguments {
  std::vector<std::string> rules;            // each a rule in words; given at least once: the whole new list
  std::optional<std::string> cdrom, floppy;  // "locked" or "unlocked"
  std::vector<std::string> locks;            // ITEM, then on|off, for each --lock in turn
  std::optional<std::string> password;
  // The rules replace the list even when there are none (no rule: every
  // disk allowed); the console's editor always sends the whole list.
  bool replaceRules = false;
};

// What the options change; an item not named stays as it is.
struct PolicyEdit {
  std::optional<std::string> ruleText;  // the new rule list, encoded (at most 124 rules)
  std::optional<uint8_t> lockCdDvd, lockFloppy;
  std::optional<uint8_t> ruleUsbLock, lockCdDvdLock, lockFloppyLock, passwordLock;
  std::optional<std::string> password;

  [[nodiscard]] bool Empty() const;
};

struct ParsedPolicyEdit {
  std::optional<PolicyEdit> edit;
  std::string message;  // when no edit: what is wrong, naming the option and word
};

// Refuses a rule that ParseRuleWords refuses (naming the rule and the word),
// more than 124 rules, a lock value other than locked/unlocked, a --lock item
// other than rules, cdrom, floppy or password or a value other than on/off,
// the same item locked twice, and a password above 120 characters.
[[nodiscard]] ParsedPolicyEdit ParsePolicyEdit(const PolicyEditArguments& arguments);

// `base` with the edit's items replaced.
[[nodiscard]] management::ParentPolicy ApplyPolicyEdit(management::ParentPolicy base, const PolicyEdit& edit);

}  // namespace vx::server
