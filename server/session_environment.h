// What an agent session works with besides its store: the server's clock,
// its log, the directory of agents connected right now, and the settings.
// serve gives the real ones (server/serve.h); the fuzzer and the unit tests
// give a manual clock and a recording log, and drive the session directly.
#pragma once

#include <cstdint>
#include <string>

#include "server/store/agent_id.h"
#include "server/store/store.h"

namespace vx::server {

class ServerClock {
 public:
  virtual ~ServerClock() = default;
  // A monotonic clock for time-outs and intervals.
  [[nodiscard]] virtual int64_t SteadyMs() = 0;
  // Seconds since 1970 (UTC), for what the store records.
  [[nodiscard]] virtual int64_t WallSeconds() = 0;
};

enum class LogLevel { Debug, Info, Warning, Error };

class SessionLog {
 public:
  virtual ~SessionLog() = default;
  virtual void Write(LogLevel level, const std::string& line) = 0;
};

class AgentSession;

// The agents that have a session now, so one ClientId never has two.
class AgentDirectory {
 public:
  virtual ~AgentDirectory() = default;
  // Records `session` as the agent's; false (nothing recorded) when another
  // session holds the agent. `holderAddress` then receives the holder's
  // address.
  [[nodiscard]] virtual bool Claim(const AgentId& agent, AgentSession& session, std::string& holderAddress) = 0;
  virtual void Release(const AgentId& agent, const AgentSession& session) = 0;
};

struct SessionSettings {
  EnrollMode enrollMode = EnrollMode::Open;
  // The serve instance the sessions belong to (Store::RegisterInstance):
  // connections and update sends are claimed in its name.
  int64_t instanceId = 0;
  // A statusRequest at the start of a session and this often after.
  int64_t statusIntervalMs = 5 * 60 * 1000;
  // A message begun and not finished, a hello not complete, a request not
  // answered, or output not taken by the agent for this long ends the
  // session.
  int64_t stallMs = 30 * 1000;
  // Nothing at all from the agent for this long ends the session: an agent
  // sends a keep-alive every 120 seconds, so a longer silence is a
  // connection that died without closing.
  int64_t silenceMs = 150 * 1000;
  // While a backlog drains, a progress line this often.
  int64_t progressIntervalMs = 5 * 1000;
  // An empty page while the last notice announced more rows (the agent could
  // not read its database just then) is asked again after this long, at
  // most emptyPageRetries times before the next notice.
  int64_t emptyPageRetryMs = 10 * 1000;
  int emptyPageRetries = 3;
  // An update another instance is sending is asked for again this often
  // (that instance's session may end without delivering it).
  int64_t updateRetryMs = 10 * 1000;
};

}  // namespace vx::server
