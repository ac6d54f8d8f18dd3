// The one table of vxctl's commands: how each is written, what it does, an
// example, the options it takes and the routine that runs it. Dispatch, the
// usage text, each command's --help and the refusal of an option a command
// does not take all come from it.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "tools/vxctl/command_session.h"

namespace vx {

using CommandHandler = std::optional<Failure> (*)(CommandSession& session);

struct VxctlCommand {
  std::vector<std::string> words;  // "rule", "add"
  std::size_t minArguments;        // words after them: `rule remove N` takes one
  std::size_t maxArguments;
  const char* usage;                 // after "vxctl "; '\n' starts a continuation line
  const char* summary;               // one line: what it does
  const char* details;               // more lines for its --help, or ""
  const char* example;               // a whole command line, from "vxctl "
  std::vector<std::string> options;  // the options it takes, without dashes (--help: every command)
  CommandHandler handler;
};

// Every command, in the order the usage lists them.
const std::vector<VxctlCommand>& VxctlCommands();

// The command whose words begin `words` (the longest such); nullptr for none.
[[nodiscard]] const VxctlCommand* FindCommand(const std::vector<std::string>& words);

// The commands whose words begin with `words`, for a group such as "rule".
[[nodiscard]] std::vector<const VxctlCommand*> CommandsUnder(const std::vector<std::string>& words);

// "rule add", the command's words with spaces.
std::string CommandName(const VxctlCommand& command);

// Whether the command line fits the command: its number of arguments and
// the options it takes; the refusal (kExitBadArguments) when not.
[[nodiscard]] std::optional<Failure> CheckAgainstCommand(const VxctlCommand& command, const CommandLine& line);

// (VxctlUsage, in vxctl.h, lists every command of the table.)

// One command's usage, what it does and its example, for `vxctl COMMAND --help`.
std::string CommandHelp(const VxctlCommand& command);

// Help for the command `words` names, or the list of a group's commands
// (`vxctl rule --help`); unknown words are refused.
[[nodiscard]] std::optional<Failure> PrintHelpOf(const std::vector<std::string>& words, std::ostream& out);

}  // namespace vx
