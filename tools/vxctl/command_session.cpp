#include "tools/vxctl/command_session.h"

#include <istream>
#include <utility>

namespace vx {
namespace {

constexpr unsigned long kRpcServerUnavailable = 1722;  // nothing listens on the pipe

Failure InputEnded(const char* what) {
  return Failure{kExitBadArguments, std::string("the input ended before ") + what + "; nothing was sent"};
}

}  // namespace

CommandSession::CommandSession(ControlService& service, const CommandLine& line, std::vector<std::string> arguments,
                               std::istream& in, std::ostream& out, const SecretReader& readSecret,
                               const AdministratorCheck& runsAsAdministrator, Registry* registry)
    : service_(service),
      line_(line),
      arguments_(std::move(arguments)),
      in_(in),
      out_(out),
      readSecret_(readSecret),
      runsAsAdministrator_(runsAsAdministrator),
      registry_(registry) {}

bool CommandSession::Given(const std::string& option) const {
  return line_.values.count(option) != 0 || line_.flags.count(option) != 0;
}

std::string CommandSession::Value(const std::string& option) const {
  auto it = line_.values.find(option);
  return it == line_.values.end() ? std::string() : it->second;
}

std::optional<Failure> CommandSession::Check(unsigned long status) const {
  if (status == 0) return std::nullopt;
  if (status == kRpcServerUnavailable)
    return Failure{kExitServiceFailure,
                   "the Vestara Device Control service is not running (RPC error " + std::to_string(status) + ")"};
  return Failure{kExitServiceFailure, "the call to the service failed (RPC error " + std::to_string(status) + ")"};
}

Failure CommandSession::Refused(const std::string& reason) const {
  if (!RunsAsAdministrator()) return Failure{kExitRefused, kRunAsAdministrator};
  return Failure{kExitRefused, reason};
}

std::optional<Failure> CommandSession::Password(const std::string& option, const char* question, const char* what,
                                                std::string& password) {
  if (line_.values.count(option)) {
    password = Value(option);
    return std::nullopt;
  }
  std::optional<std::string> text = readSecret_ ? readSecret_(question) : ReadLine();
  if (!text) return InputEnded(what);
  password = *text;
  return std::nullopt;
}

std::optional<Failure> CommandSession::NewPassword(std::string& password) {
  if (line_.values.count("new") || !readSecret_)
    return Password("new", "New password: ", "the new password was given", password);
  const std::optional<std::string> first = readSecret_("New password: ");
  if (!first) return InputEnded("the new password was given");
  const std::optional<std::string> second = readSecret_("New password again: ");
  if (!second) return InputEnded("the new password was given a second time");
  if (*first != *second) return Failure{kExitBadArguments, "the two new passwords differ; nothing was sent"};
  password = *first;
  return std::nullopt;
}

std::optional<std::string> CommandSession::ReadLine() {
  std::string text;
  if (!std::getline(in_, text)) return std::nullopt;
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

std::optional<Failure> CommandSession::ReadPolicy(DEVICE_POLICY& policy) {
  int result = 0;
  return Check(service_.GetPolicy(policy, result));
}

std::optional<Failure> CommandSession::WritePolicy(const DEVICE_POLICY& policy) {
  int result = 0;
  if (auto failure = Check(service_.SetPolicy(policy, result))) return failure;
  if (result != 1) return Refused("the service refused the policy");
  return std::nullopt;
}

std::string FlagJson(bool value) { return value ? "true" : "false"; }

std::optional<bool> ParseOnOff(const std::string& text) {
  if (text == "on") return true;
  if (text == "off") return false;
  return std::nullopt;
}

std::optional<long> ParseNumber(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace vx
