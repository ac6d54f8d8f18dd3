// follow-parent ITEM on|off: whether the rule list, a drive lock or the
// password takes the parent policy's value, or keeps a local one.
#include <ostream>

#include "policy/rule_text.h"
#include "tools/vxctl/commands.h"
#include "tools/vxctl/policy_items.h"

namespace vx {
namespace {

// The password follows the parent through ChangePassword, which checks the
// administration password.
std::optional<Failure> FollowParentPassword(CommandSession& session, bool follow) {
  std::string current;
  if (auto failure = session.Password("password", "Password: ", "the password was given", current)) return failure;
  DEVICE_POLICY policy;
  if (auto failure = session.ReadPolicy(policy)) return failure;
  if (auto failure = RefuseWhileServerSets(kPasswordItem, policy)) return failure;
  // Off keeps the password now in force as the local one.
  int result = 0;
  if (auto failure = session.Check(session.Service().ChangePassword(current, current, follow ? 1 : 0, result)))
    return failure;
  if (result != 1) return session.Refused("the password is wrong; nothing changed");
  session.Out() << (follow ? "The password now follows the parent policy.\n" : "The password is now local.\n");
  return std::nullopt;
}

}  // namespace

std::optional<Failure> FollowParentCommand(CommandSession& session) {
  const std::string& word = session.Arguments()[0];
  const PolicyItem* item = PolicyItemNamed(word);
  if (!item)
    return Failure{kExitBadArguments, "follow-parent takes rules, cdrom, floppy or password, not \"" + word + "\""};
  const std::optional<bool> follow = ParseOnOff(session.Arguments()[1]);
  if (!follow) return Failure{kExitBadArguments, "follow-parent takes on or off"};
  if (item == &kPasswordItem) return FollowParentPassword(session, *follow);
  if (session.Given("password")) return Failure{kExitBadArguments, "--password is for follow-parent password only"};

  DEVICE_POLICY policy;
  if (auto failure = session.ReadPolicy(policy)) return failure;
  // While the server sets the item the service puts the parent's value back
  // after every change, so the item cannot become local; following the
  // parent is a choice that holds once the server lets go of it.
  if (!*follow)
    if (auto failure = RefuseWhileServerSets(*item, policy)) return failure;
  if (policy.count < 0 || policy.count > static_cast<int32_t>(kMaxTextRules))
    return Failure{kExitServiceFailure, "the service sent a rule count of " + std::to_string(policy.count)};
  policy.*item->inherit = *follow ? 1 : 0;
  if (auto failure = session.WritePolicy(policy)) return failure;
  // When it stops following, the item keeps the value now in force.
  session.Out() << "The " << item->name << (*follow ? " now follows the parent policy.\n" : " is now local.\n");
  return std::nullopt;
}

}  // namespace vx
