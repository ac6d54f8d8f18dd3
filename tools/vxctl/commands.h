// The routines of vxctl's commands, one file per group: rule_commands
// (policy show, rule ...), lock_commands, password_commands,
// follow_parent_command, service_commands (ping, language, arrivals),
// server_commands and command_help (help). The command table names them.
#pragma once

#include <optional>

#include "tools/vxctl/command_session.h"

namespace vx {

[[nodiscard]] std::optional<Failure> HelpCommand(CommandSession& session);
[[nodiscard]] std::optional<Failure> PingCommand(CommandSession& session);
[[nodiscard]] std::optional<Failure> PolicyShowCommand(CommandSession& session);
[[nodiscard]] std::optional<Failure> RuleListCommand(CommandSession& session);
[[nodiscard]] std::optional<Failure> RuleAddCommand(CommandSession& session);
[[nodiscard]] std::optional<Failure> RuleRemoveCommand(CommandSession& session);
[[nodiscard]] std::optional<Failure> LocksShowCommand(CommandSession& session);
[[nodiscard]] std::optional<Failure> LocksSetCommand(CommandSession& session);
[[nodiscard]] std::optional<Failure> PasswordCheckCommand(CommandSession& session);
[[nodiscard]] std::optional<Failure> PasswordChangeCommand(CommandSession& session);
[[nodiscard]] std::optional<Failure> FollowParentCommand(CommandSession& session);
[[nodiscard]] std::optional<Failure> ArrivalsCommand(CommandSession& session);
[[nodiscard]] std::optional<Failure> LanguageCommand(CommandSession& session);
[[nodiscard]] std::optional<Failure> ServerShowCommand(CommandSession& session);
[[nodiscard]] std::optional<Failure> ServerSetCommand(CommandSession& session);

}  // namespace vx
