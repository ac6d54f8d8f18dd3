#include "server/spdlog_session_log.h"

#include <spdlog/sinks/stdout_sinks.h>

namespace vx::server {

void SpdlogSessionLog::Write(LogLevel level, const std::string& line) {
  switch (level) {
    case LogLevel::Debug:
      logger_->debug("{}", line);
      break;
    case LogLevel::Info:
      logger_->info("{}", line);
      break;
    case LogLevel::Warning:
      logger_->warn("{}", line);
      break;
    case LogLevel::Error:
      logger_->error("{}", line);
      break;
  }
}

bool MakeServerLogger(const std::string& level, std::shared_ptr<spdlog::logger>& logger) {
  spdlog::level::level_enum threshold;
  if (level == "debug")
    threshold = spdlog::level::debug;
  else if (level == "info")
    threshold = spdlog::level::info;
  else if (level == "warning")
    threshold = spdlog::level::warn;
  else if (level == "error")
    threshold = spdlog::level::err;
  else
    return false;
  logger = std::make_shared<spdlog::logger>("vxmgmtd", std::make_shared<spdlog::sinks::stderr_sink_mt>());
  logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%l] %v");
  logger->set_level(threshold);
  logger->flush_on(spdlog::level::debug);
  return true;
}

}  // namespace vx::server
