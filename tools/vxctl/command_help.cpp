// The usage text and each command's --help, written from the command table.
#include <cctype>
#include <ostream>

#include "tools/vxctl/command_table.h"
#include "tools/vxctl/commands.h"

namespace vx {
namespace {

constexpr std::size_t kSummaryColumn = 32;  // where the usage text's descriptions begin

// `usage` after `prefix`, its continuation lines lined up under the first
// option, which stands after the command's words.
std::string UsageLines(const VxctlCommand& command, const std::string& prefix) {
  const std::string indent(prefix.size() + CommandName(command).size() + 1, ' ');
  std::string lines = prefix;
  for (const char* c = command.usage; *c; ++c) {
    lines += *c;
    if (*c == '\n') lines += indent;
  }
  return lines;
}

// Each command's usage with what it does beside it, or under it when the usage is too wide.
std::string CommandList(const std::vector<const VxctlCommand*>& commands) {
  std::string text;
  for (const VxctlCommand* command : commands) {
    const std::string usage = UsageLines(*command, "  ");
    const std::size_t lastLine = usage.size() - (usage.rfind('\n') == std::string::npos ? 0 : usage.rfind('\n') + 1);
    if (usage.find('\n') == std::string::npos && lastLine < kSummaryColumn)
      text += usage + std::string(kSummaryColumn - lastLine, ' ');
    else
      text += usage + "\n" + std::string(kSummaryColumn, ' ');
    text += std::string(command->summary) + "\n";
  }
  return text;
}

// The summary as a sentence: a capital first letter, a closing full stop.
std::string Sentence(const std::string& summary) {
  std::string sentence = summary;
  if (!sentence.empty()) sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
  if (!sentence.empty() && sentence.back() != '?' && sentence.back() != '.') sentence += '.';
  return sentence;
}

}  // namespace

std::string VxctlUsage() {
  std::vector<const VxctlCommand*> all;
  for (const VxctlCommand& command : VxctlCommands()) all.push_back(&command);
  return "usage: vxctl COMMAND [OPTIONS]; vxctl COMMAND --help tells more of one command\n" + CommandList(all) +
         "Passwords not given as options are asked for at the console without echo (a new one\n"
         "twice), or else read from standard input, one a line; input that ends first sends nothing.\n"
         "With --json, standard output holds one complete JSON text, or nothing when the command\n"
         "failed before its answer; messages go to standard error. arrivals that fails part-way\n"
         "still lists the disks it took (the service has handed them out) as complete JSON.\n"
         "Changes of the policy and of the server settings need administrator rights.\n"
         "Exit codes: 0 done, 1 refused, wrong password or not an administrator,\n"
         "2 bad arguments (nothing sent), 3 the service is not running or the call failed.\n";
}

std::string CommandHelp(const VxctlCommand& command) {
  return UsageLines(command, "usage: vxctl ") + "\n" + Sentence(command.summary) + "\n" + command.details +
         "Example: " + command.example + "\n";
}

std::optional<Failure> PrintHelpOf(const std::vector<std::string>& words, std::ostream& out) {
  const VxctlCommand* command = FindCommand(words);
  if (command && command->words.size() == words.size()) {
    out << CommandHelp(*command);
    return std::nullopt;
  }
  const std::vector<const VxctlCommand*> group = CommandsUnder(words);
  if (!words.empty() && !group.empty()) {
    out << CommandList(group);
    return std::nullopt;
  }
  std::string name;
  for (const std::string& word : words) name += (name.empty() ? "" : " ") + word;
  return Failure{kExitBadArguments, "unknown command \"" + name + "\" (vxctl help lists the commands)"};
}

std::optional<Failure> HelpCommand(CommandSession& session) {
  if (session.Arguments().empty()) {
    session.Out() << VxctlUsage();
    return std::nullopt;
  }
  return PrintHelpOf(session.Arguments(), session.Out());
}

}  // namespace vx
