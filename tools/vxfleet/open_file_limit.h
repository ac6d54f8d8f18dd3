// The process's open-file limit: every simulated agent holds one socket, so
// vxfleet raises the soft limit as far as the hard limit lets it before the
// fleet is made.
#pragma once

#include <cstdint>
#include <string>

namespace vx::fleet {

// Raises RLIMIT_NOFILE's soft limit to its hard limit and returns the soft
// limit in force afterwards; 0 with `error` set when it cannot be read.
[[nodiscard]] uint64_t RaiseOpenFileLimit(std::string& error);

}  // namespace vx::fleet
