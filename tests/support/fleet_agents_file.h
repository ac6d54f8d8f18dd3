// The agents file vxfleet writes (--agents-file): one line per agent.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "tests/support/child_process.h"

namespace vx::test {

// One line of the agents file.
struct AgentLine {
  int32_t created = 0;
  int32_t proven = 0;
  uint32_t deliveries = 0;
  std::string digest;
  uint64_t updateBytes = 0;
  std::string updateHash;
  uint32_t unconfirmed = 0;  // deliveries whose connection ended before the status reply after them
};

inline std::map<std::string, AgentLine> ReadAgentsFile(const std::filesystem::path& path) {
  std::map<std::string, AgentLine> agents;
  std::istringstream lines(ReadFile(path));
  std::string id;
  AgentLine line;
  while (lines >> id >> line.created >> line.proven >> line.deliveries >> line.digest >> line.updateBytes >>
         line.updateHash >> line.unconfirmed)
    agents[id] = line;
  return agents;
}

}  // namespace vx::test
