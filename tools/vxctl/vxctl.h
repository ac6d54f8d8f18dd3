// vxctl: the local administration command line of the service. Every
// command checks its arguments before anything is sent, then calls the
// control interface through `service`.
#pragma once

#include <iosfwd>
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

// Runs one command line (`args` without the program name). Passwords not
// given as options are read a line at a time from `in`.
int RunVxctl(const std::vector<std::string>& args, ControlService& service, std::istream& in, std::ostream& out,
             std::ostream& err);

}  // namespace vx
