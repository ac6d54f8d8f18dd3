#include "tests/support/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vx::test {

long TempDir::Pid() {
#ifdef _WIN32
  return static_cast<long>(GetCurrentProcessId());
#else
  return static_cast<long>(getpid());
#endif
}

}  // namespace vx::test
