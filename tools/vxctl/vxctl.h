// vxctl: the local administration command line of the service. Every
// command checks its arguments before anything is sent, then calls the
// control interface through `service`.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tools/vxctl/control_service.h"

namespace vx {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;         // wrong password, change refused or without effect, not an administrator
inline constexpr int kExitBadArguments = 2;    // nothing was sent
inline constexpr int kExitServiceFailure = 3;  // the service is not running or the call failed

// The usage text.
std::string VxctlUsage();

// The message of a policy change that the service refused because this
// process does not run with administrator rights.
inline constexpr char kRunAsAdministrator[] = "only an administrator may change the policy: run as administrator";

// Asks a person at the console for a password with `question` and reads it
// without echo; nullopt when the console's input ended first.
using SecretReader = std::function<std::optional<std::string>(const char* question)>;

// Whether this process runs with administrator rights.
using AdministratorCheck = std::function<bool()>;

// Runs one command line (`args` without the program name). A password not
// given as an option is asked for through `readSecret` when there is a
// console (empty: none), a new password twice; else it is a line of `in`.
// Input that ends before a password is given is refused (kExitBadArguments),
// and so are two new passwords that differ: nothing is sent then.
//
// The service serves policy changes only to administrators and answers
// anyone else with the same 0 as for a wrong password; vxctl sends the change
// and, when the service refuses it while `runsAsAdministrator` says this
// process is no administrator, says kRunAsAdministrator (kExitRefused). An
// empty check counts as an administrator.
//
// `server show` and `server set` read and write the management settings in
// `registry` (none: those two commands fail).
[[nodiscard]] int RunVxctl(const std::vector<std::string>& args, ControlService& service, std::istream& in,
                           std::ostream& out, std::ostream& err, const SecretReader& readSecret = {},
                           const AdministratorCheck& runsAsAdministrator = {}, Registry* registry = nullptr);

}  // namespace vx
