// What every vxctl command works with: its command line, the service, the
// streams, and the steps several commands share (checking a call, reading
// a password, reading and writing the policy). A command reads and checks
// its arguments first and sends nothing until they are sound.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "policy/device_policy.h"
#include "tools/vxctl/command_line.h"
#include "tools/vxctl/control_service.h"
#include "tools/vxctl/vxctl.h"

namespace vx {

// A failed command: its message and exit code.
struct Failure {
  int code;
  std::string message;
};

class CommandSession {
 public:
  CommandSession(ControlService& service, const CommandLine& line, std::vector<std::string> arguments, std::istream& in,
                 std::ostream& out, const SecretReader& readSecret, const AdministratorCheck& runsAsAdministrator,
                 Registry* registry);

  ControlService& Service() { return service_; }
  std::ostream& Out() { return out_; }
  Registry* RegistryOrNull() { return registry_; }
  const CommandLine& Line() const { return line_; }

  // The words after the command's own: `rule remove 3` has "3".
  const std::vector<std::string>& Arguments() const { return arguments_; }
  bool Json() const { return line_.flags.count("json") != 0; }
  bool Given(const std::string& option) const;
  // The value of a value option; empty when not given.
  std::string Value(const std::string& option) const;

  // Whether this process runs with administrator rights (an empty check counts as one).
  bool RunsAsAdministrator() const { return !runsAsAdministrator_ || runsAsAdministrator_(); }

  // The transport's failure, when a call did not run.
  [[nodiscard]] std::optional<Failure> Check(unsigned long status) const;
  // A change the service answered with 0. The service gives the same 0 to a
  // caller that is no administrator, which, when this process is none, is
  // the reason to tell; otherwise `reason` is.
  [[nodiscard]] Failure Refused(const std::string& reason) const;

  // A password from `option`, or typed by a person at the console after
  // `question`, or else a line of standard input; a failure saying that the
  // input ended before `what` ("the password was given").
  [[nodiscard]] std::optional<Failure> Password(const std::string& option, const char* question, const char* what,
                                                std::string& password);
  // A new password: from --new, typed twice at the console (the two must
  // agree), or a line of standard input.
  [[nodiscard]] std::optional<Failure> NewPassword(std::string& password);

  [[nodiscard]] std::optional<Failure> ReadPolicy(DEVICE_POLICY& policy);
  // Sends the policy; the service's refusal is a Failure.
  [[nodiscard]] std::optional<Failure> WritePolicy(const DEVICE_POLICY& policy);

 private:
  // One line of standard input without its line end; nullopt when the input
  // ended before it (a last line without a line end still counts).
  std::optional<std::string> ReadLine();

  ControlService& service_;
  const CommandLine& line_;
  std::vector<std::string> arguments_;
  std::istream& in_;
  std::ostream& out_;
  const SecretReader& readSecret_;
  const AdministratorCheck& runsAsAdministrator_;
  Registry* registry_;
};

// "true" or "false".
std::string FlagJson(bool value);

// "on" or "off" as a flag.
[[nodiscard]] std::optional<bool> ParseOnOff(const std::string& text);

// A whole positive number of at most nine digits, nothing else.
[[nodiscard]] std::optional<long> ParseNumber(const std::string& text);

}  // namespace vx
