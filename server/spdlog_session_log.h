// The session log over spdlog: one line per event on standard error, with
// the time and the level.
#pragma once

#include <spdlog/spdlog.h>

#include <memory>

#include "server/session_environment.h"

namespace vx::server {

class SpdlogSessionLog final : public SessionLog {
 public:
  explicit SpdlogSessionLog(std::shared_ptr<spdlog::logger> logger) : logger_(std::move(logger)) {}
  void Write(LogLevel level, const std::string& line) override;

 private:
  std::shared_ptr<spdlog::logger> logger_;
};

// "[2026-01-02 03:04:05.678] [info] ..." on standard error, at `level` and
// above ("debug", "info", "warning", "error"; false for another name).
[[nodiscard]] bool MakeServerLogger(const std::string& level, std::shared_ptr<spdlog::logger>& logger);

}  // namespace vx::server
