#include "tools/vxctl/command_table.h"

#include <algorithm>

#include "tools/vxctl/commands.h"

namespace vx {

const std::vector<VxctlCommand>& VxctlCommands() {
  static const std::vector<VxctlCommand> commands = {
      {{"help"},
       0,
       2,
       "help [COMMAND]",
       "lists the commands, or tells more of one",
       "\"vxctl COMMAND --help\" tells the same of one command.\n",
       "vxctl help rule add",
       {},
       HelpCommand},
      {{"ping"}, 0, 0, "ping [--json]", "is the service running?", "", "vxctl ping", {"json"}, PingCommand},
      {{"policy", "show"},
       0,
       0,
       "policy show [--json]",
       "rules in words, drive locks, where each value comes from",
       "Each item is local, follows the parent policy, or is set by the management server.\n",
       "vxctl policy show",
       {"json"},
       PolicyShowCommand},
      {{"rule", "list"},
       0,
       0,
       "rule list [--json]",
       "the USB storage rules, numbered; the first that matches decides",
       "",
       "vxctl rule list --json",
       {"json"},
       RuleListCommand},
      {{"rule", "add"},
       0,
       0,
       "rule add [--vendor TEXT] [--product TEXT] [--revision TEXT] [--serial TEXT]\n"
       "[--exact FIELD...] --action block|read-only|allow [--at N]",
       "adds a rule as number N (at the end without --at)",
       "A field given is matched as a part of the disk's text (letter case ignored), or whole\n"
       "with --exact; a rule with no field matches every disk. A text holds at most 63 characters.\n"
       "The list holds at most 124 rules and must be local (vxctl follow-parent rules off).\n",
       "vxctl rule add --vendor SanDisk --product \"Cruzer Blade\" --exact product --action read-only --at 1",
       {"vendor", "product", "revision", "serial", "exact", "action", "at"},
       RuleAddCommand},
      {{"rule", "remove"},
       1,
       1,
       "rule remove N",
       "removes rule N; the rules after it move up",
       "",
       "vxctl rule remove 2",
       {},
       RuleRemoveCommand},
      {{"locks", "show"},
       0,
       0,
       "locks show [--json]",
       "whether CD/DVD and floppy drives are locked",
       "",
       "vxctl locks show",
       {"json"},
       LocksShowCommand},
      {{"locks", "set"},
       0,
       0,
       "locks set [--cdrom on|off] [--floppy on|off] [--json]",
       "locks or unlocks drives; a kind not named keeps its lock",
       "A lock must be local (vxctl follow-parent cdrom off, or floppy). Shows the locks after.\n",
       "vxctl locks set --cdrom on --floppy off",
       {"cdrom", "floppy", "json"},
       LocksSetCommand},
      {{"password", "check"},
       0,
       0,
       "password check [--password TEXT] [--json]",
       "is this the administration password? (exit 1 when not)",
       "Without --password the password is asked for at the console without echo,\n"
       "or else read as a line of standard input.\n",
       "vxctl password check",
       {"password", "json"},
       PasswordCheckCommand},
      {{"password", "change"},
       0,
       0,
       "password change [--current TEXT] [--new TEXT]",
       "changes the administration password",
       "A password that follows the parent policy becomes local. Passwords not given as\n"
       "options are asked for at the console without echo (the new one twice), or else read\n"
       "from standard input, one a line: the current one, then the new one.\n",
       "vxctl password change",
       {"current", "new"},
       PasswordChangeCommand},
      {{"follow-parent"},
       2,
       2,
       "follow-parent rules|cdrom|floppy|password on|off [--password TEXT]",
       "on: take the parent policy's value; off: keep the value in force as local",
       "Refused while the management server sets the item. The password item needs the\n"
       "administration password: --password, or asked for as password check asks.\n",
       "vxctl follow-parent rules off",
       {"password"},
       FollowParentCommand},
      {{"arrivals"},
       0,
       0,
       "arrivals [--json]",
       "the USB disks seen since the last call, with their action",
       "Each disk is told once, oldest first: the service hands it out with this call.\n",
       "vxctl arrivals --json",
       {"json"},
       ArrivalsCommand},
      {{"language"},
       0,
       0,
       "language [--json]",
       "the user interface language",
       "",
       "vxctl language",
       {"json"},
       LanguageCommand},
      {{"server", "show"},
       0,
       0,
       "server show [--json]",
       "the management server settings, and whether the service is connected",
       "",
       "vxctl server show",
       {"json"},
       ServerShowCommand},
      {{"server", "set"},
       0,
       0,
       "server set --host NAME | --off",
       "points the service at a management server, or turns its client off",
       "The settings are written to the registry; the service applies them at its next start.\n",
       "vxctl server set --host mgmt.corp.example",
       {"host", "off"},
       ServerSetCommand},
  };
  return commands;
}

std::string CommandName(const VxctlCommand& command) {
  std::string name;
  for (const std::string& word : command.words) name += (name.empty() ? "" : " ") + word;
  return name;
}

const VxctlCommand* FindCommand(const std::vector<std::string>& words) {
  const VxctlCommand* found = nullptr;
  for (const VxctlCommand& command : VxctlCommands()) {
    if (command.words.size() > words.size()) continue;
    if (!std::equal(command.words.begin(), command.words.end(), words.begin())) continue;
    if (!found || command.words.size() > found->words.size()) found = &command;
  }
  return found;
}

std::vector<const VxctlCommand*> CommandsUnder(const std::vector<std::string>& words) {
  std::vector<const VxctlCommand*> under;
  for (const VxctlCommand& command : VxctlCommands())
    if (command.words.size() >= words.size() && std::equal(words.begin(), words.end(), command.words.begin()))
      under.push_back(&command);
  return under;
}

std::optional<Failure> CheckAgainstCommand(const VxctlCommand& command, const CommandLine& line) {
  const std::string name = CommandName(command);
  const std::string usage =
      "usage: vxctl " + std::string(command.usage).substr(0, std::string(command.usage).find('\n'));
  const std::size_t arguments = line.words.size() - command.words.size();
  if (arguments < command.minArguments) return Failure{kExitBadArguments, name + " needs more words; " + usage};
  if (arguments > command.maxArguments)
    return Failure{kExitBadArguments, name + " does not take \"" +
                                          line.words[command.words.size() + command.maxArguments] + "\"; " + usage};
  for (const std::string& option : line.given) {
    if (option == "help") continue;
    if (std::find(command.options.begin(), command.options.end(), option) == command.options.end())
      return Failure{kExitBadArguments,
                     name + " does not take --" + option + " (vxctl " + name + " --help tells what it takes)"};
  }
  return std::nullopt;
}

}  // namespace vx
