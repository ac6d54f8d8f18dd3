// A session log that keeps every line, for tests that look for what the
// server said (from any thread). Set VX_SERVER_TEST_LOG=1 to see the lines.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/session_environment.h"

namespace vx::server::test {

class RecordingLog final : public SessionLog {
 public:
  void Write(LogLevel level, const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
    levels_.push_back(level);
    if (std::getenv("VX_SERVER_TEST_LOG")) std::fprintf(stderr, "[log] %s\n", line.c_str());
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // The lines holding every one of `parts`.
  std::vector<std::string> Matching(std::initializer_list<std::string> parts) const {
    std::vector<std::string> found;
    for (const std::string& line : Lines()) {
      bool all = true;
      for (const std::string& part : parts) all = all && line.find(part) != std::string::npos;
      if (all) found.push_back(line);
    }
    return found;
  }
  // The level of the first line holding `part`, when there is one.
  std::optional<LogLevel> LevelOf(const std::string& part) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < lines_.size(); ++i)
      if (lines_[i].find(part) != std::string::npos) return levels_[i];
    return std::nullopt;
  }
  std::size_t ErrorsAndWarnings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t count = 0;
    for (LogLevel level : levels_) count += level == LogLevel::Warning || level == LogLevel::Error;
    return count;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<LogLevel> levels_;
};

}  // namespace vx::server::test
