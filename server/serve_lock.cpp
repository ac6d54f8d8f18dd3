#include "server/serve_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace vx::server {

ServeLock::~ServeLock() {
  if (fd_ >= 0) (void)::close(fd_);  // closing releases the lock; nothing else depends on the result
}

std::string ServeLock::Acquire(const std::filesystem::path& database) {
  const std::string path = database.string() + ".serve-lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return "cannot create the lock file " + path + ": " + std::system_category().message(errno);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    char holder[32] = {};
    const ssize_t got = ::pread(fd, holder, sizeof holder - 1, 0);
    (void)::close(fd);  // not ours to keep
    if (error == EWOULDBLOCK)
      return "another vxmgmtd serve uses the store " + database.string() +
             (got > 0 ? " (process " + std::string(holder, static_cast<std::size_t>(got)) + ")" : std::string());
    return "cannot lock " + path + ": " + std::system_category().message(error);
  }
  // The holder's process id, for the message above; the lock, not the text,
  // is what counts.
  const std::string pid = std::to_string(::getpid());
  const bool recorded =
      ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
  (void)recorded;  // without the text a second serve is still refused, only without the process id
  fd_ = fd;
  return {};
}

}  // namespace vx::server
