// password check, password change: the administration password.
#include <ostream>

#include "policy/policy_state.h"
#include "tools/vxctl/commands.h"
#include "tools/vxctl/policy_items.h"

namespace vx {

std::optional<Failure> PasswordCheckCommand(CommandSession& session) {
  std::string candidate;
  if (auto failure = session.Password("password", "Password: ", "the password was given", candidate)) return failure;
  int result = 0;
  if (auto failure = session.Check(session.Service().CheckPassword(candidate, result))) return failure;
  // A wrong password is an answer too: the JSON says so, the exit code as well.
  if (session.Json()) session.Out() << "{\"right\": " << FlagJson(result == 1) << "}\n";
  if (result != 1) return Failure{kExitRefused, "the password is wrong"};
  if (!session.Json()) session.Out() << "The password is right.\n";
  return std::nullopt;
}

std::optional<Failure> PasswordChangeCommand(CommandSession& session) {
  std::string current, replacement;
  if (auto failure = session.Password("current", "Current password: ", "the current password was given", current))
    return failure;
  if (auto failure = session.NewPassword(replacement)) return failure;
  if (replacement.size() > kMaxPasswordLength)
    return Failure{kExitBadArguments,
                   "the new password is " + std::to_string(replacement.size()) + " characters; it holds at most 127"};
  DEVICE_POLICY policy;
  if (auto failure = session.ReadPolicy(policy)) return failure;
  if (auto failure = RefuseWhileServerSets(kPasswordItem, policy)) return failure;
  int result = 0;
  // Changing it to a value of its own makes a password that followed the
  // parent policy local: the service clears its follow flag.
  if (auto failure = session.Check(session.Service().ChangePassword(current, replacement, 0, result))) return failure;
  if (result != 1) return session.Refused("the current password is wrong; nothing changed");
  session.Out() << "The password is changed.\n";
  if (policy.password__Inherit) session.Out() << "It no longer follows the parent policy: the password is now local.\n";
  return std::nullopt;
}

}  // namespace vx
