// Every agent connection is an open file, so the open-file limit bounds the
// agents one serve can hold. serve raises its soft limit to the hard limit
// at start and keeps a few files for itself (the store, the listening
// sockets, the console, the log).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vx::server {

// Files serve keeps for itself besides its agents' connections.
inline constexpr std::size_t kReservedFiles = 64;

struct OpenFileLimit {
  uint64_t soft = 0;  // in force now
  uint64_t hard = 0;
  std::string problem;  // why the soft limit could not be raised, empty when it was (or was already the hard one)
};

// Raises the soft limit to the hard limit and gives both.
[[nodiscard]] OpenFileLimit RaiseOpenFileLimit();

// The agents a process with `limit` open files can hold.
[[nodiscard]] std::size_t AgentCapacity(uint64_t limit);

}  // namespace vx::server
