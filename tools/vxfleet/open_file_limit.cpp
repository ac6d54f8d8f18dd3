#include "tools/vxfleet/open_file_limit.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

namespace vx::fleet {

uint64_t RaiseOpenFileLimit(std::string& error) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    error = std::string("cannot read the open-file limit: ") + std::strerror(errno);
    return 0;
  }
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    // A refusal leaves the soft limit as it was, which the caller then
    // weighs against the fleet's size.
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(limit.rlim_cur);
}

}  // namespace vx::fleet
