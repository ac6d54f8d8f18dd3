// The JSON API under /api/v1 over the store seam, with no HTTP library in
// sight: a request is a method, a path below /api/v1, its parameters (query
// and form fields) and an uploaded file; the answer a status and a JSON body.
// The HTTP side (http_console.h) checks the bearer token before any of this
// runs, and holds the one store connection the handlers use.
//
// Routes:
//   GET  agents                   every agent with its standing
//   GET  agents/ID                one agent: status, policy, last events, updates
//   GET  reports                  rows newest first: agent, since, until, action, limit, after (paged)
//   GET  reports/hourly           rows per hour by action: since, until (at most 31 days), agent
//   GET  policy                   the fleet default, or with agent=ID the agent's assignment
//   POST policy                   all=1 or agent=ID; rule (repeated, with rules=replace: the whole list),
//                                 cdrom, floppy (locked|unlocked), lock-rules, lock-cdrom, lock-floppy,
//                                 lock-password (on|off), fleet=1 (the agent follows the fleet default)
//   GET  drift                    the agents that are drifted or pending
//   GET  updates                  queued updates and their delivery, all or agent=ID
//   POST updates                  multipart: file, and all=1 or agent=ID
//
// Who may call: any holder of a token in use; the changing routes (POST) are
// the same changes the administration commands make, with the same checks.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "server/store/store.h"

namespace vx::server {

struct ApiUpload {
  std::string filename;
  std::string content;
};

struct ApiRequest {
  std::string method;  // "GET" or "POST"
  std::string path;    // below /api/v1/, as "agents/0123..."
  std::multimap<std::string, std::string> params;
  std::optional<ApiUpload> file;
};

struct ApiResponse {
  int status = 200;
  std::string json;
};

// The most rows one reports page holds, and what a page holds unless asked.
inline constexpr std::size_t kMaxReportPage = 500;
inline constexpr std::size_t kDefaultReportPage = 100;
// The longest range the hourly counts cover.
inline constexpr int64_t kMaxHourlyRange = 31 * 24 * 3600;

[[nodiscard]] ApiResponse HandleApiRequest(Store& store, const ApiRequest& request, int64_t now);

}  // namespace vx::server
