#include "server/open_file_limit.h"

#include <sys/resource.h>

#include <cerrno>
#include <system_error>

namespace vx::server {

OpenFileLimit RaiseOpenFileLimit() {
  OpenFileLimit limit;
  rlimit current{};
  if (::getrlimit(RLIMIT_NOFILE, &current) != 0) {
    limit.problem = std::system_category().message(errno);
    return limit;
  }
  limit.soft = current.rlim_cur;
  limit.hard = current.rlim_max;
  if (current.rlim_cur == current.rlim_max) return limit;
  rlimit raised = current;
  raised.rlim_cur = current.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
    limit.problem = std::system_category().message(errno);
    return limit;
  }
  limit.soft = raised.rlim_cur;
  return limit;
}

std::size_t AgentCapacity(uint64_t limit) {
  return limit > kReservedFiles ? static_cast<std::size_t>(limit - kReservedFiles) : 0;
}

}  // namespace vx::server
