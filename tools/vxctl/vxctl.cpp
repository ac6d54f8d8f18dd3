// RunVxctl: reads the command line, finds the command in the table, checks
// the line against it and runs it; --help and help answer from the table.
#include "tools/vxctl/vxctl.h"

#include <ostream>

#include "tools/vxctl/command_line.h"
#include "tools/vxctl/command_session.h"
#include "tools/vxctl/command_table.h"

namespace vx {
namespace {

std::optional<Failure> Run(const std::vector<std::string>& args, ControlService& service, std::istream& in,
                           std::ostream& out, const SecretReader& readSecret,
                           const AdministratorCheck& runsAsAdministrator, Registry* registry) {
  CommandLine line;
  if (std::optional<std::string> malformed = ReadCommandLine(args, line)) return Failure{kExitBadArguments, *malformed};
  if (line.flags.count("help")) {
    if (line.words.empty()) {
      out << VxctlUsage();
      return std::nullopt;
    }
    return PrintHelpOf(line.words, out);
  }
  const VxctlCommand* command = FindCommand(line.words);
  if (command == nullptr) {
    std::string words;
    for (const std::string& word : line.words) words += (words.empty() ? "" : " ") + word;
    return Failure{kExitBadArguments, "unknown command \"" + words + "\" (vxctl help lists the commands)"};
  }
  if (auto failure = CheckAgainstCommand(*command, line)) return failure;
  std::vector<std::string> arguments(line.words.begin() + static_cast<std::ptrdiff_t>(command->words.size()),
                                     line.words.end());
  CommandSession session(service, line, std::move(arguments), in, out, readSecret, runsAsAdministrator, registry);
  return command->handler(session);
}

}  // namespace

int RunVxctl(const std::vector<std::string>& args, ControlService& service, std::istream& in, std::ostream& out,
             std::ostream& err, const SecretReader& readSecret, const AdministratorCheck& runsAsAdministrator,
             Registry* registry) {
  if (args.empty()) {
    err << VxctlUsage();
    return kExitBadArguments;
  }
  if (args.size() == 1 && args[0] == "-h") {
    out << VxctlUsage();
    return kExitOk;
  }
  const std::optional<Failure> failure = Run(args, service, in, out, readSecret, runsAsAdministrator, registry);
  if (!failure) return kExitOk;
  err << "vxctl: " << failure->message << "\n";
  return failure->code;
}

}  // namespace vx
