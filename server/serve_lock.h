// One serve per store: a serve holds an exclusive lock on "<store>.serve-lock"
// for as long as it runs, so a second serve started on the same file is
// refused at once instead of both taking the same agents' sessions (a
// ClientId's one session, the drains and the update deliveries are each
// serve's own). Commands do not take it: they may run beside serve.
#pragma once

#include <filesystem>
#include <string>

namespace vx::server {

class ServeLock {
 public:
  ServeLock() = default;
  ServeLock(const ServeLock&) = delete;
  ServeLock& operator=(const ServeLock&) = delete;
  ~ServeLock();

  // Takes the lock beside `database`. An error text (empty on success): for
  // a store another serve holds, which process holds it.
  [[nodiscard]] std::string Acquire(const std::filesystem::path& database);

 private:
  int fd_ = -1;
};

}  // namespace vx::server
