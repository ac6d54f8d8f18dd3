// vxctl: the local administration command line of the service. Every
// command checks its arguments before anything is sent, then calls the
// control interface through `service`.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "tools/vxctl/control_service.h"

namespace vx {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;         // wrong password, change refused or without effect
inline constexpr int kExitBadArguments = 2;    // nothing was sent
inline constexpr int kExitServiceFailure = 3;  // the service is not running or the call failed

// The usage text.
std::string VxctlUsage();

// Asks a person at the console for a password with `question` and reads it
// without echo; nullopt when there is no console to ask.
using SecretReader = std::function<std::optional<std::string>(const char* question)>;

// Runs one command line (`args` without the program name). A password not
// given as an option is asked for through `readSecret`, or else read as a
// line of `in`.
int RunVxctl(const std::vector<std::string>& args, ControlService& service, std::istream& in, std::ostream& out,
             std::ostream& err, const SecretReader& readSecret = {});

}  // namespace vx
