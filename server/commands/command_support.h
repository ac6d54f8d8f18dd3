// What every administration command shares: its exit codes, how a refusal
// is told, and how a store failure becomes one.
//
// Who may run a command: whoever may open the store file. Reading commands
// open it read-only; the commands that change the policy, an enrollment or
// the queued updates open it for writing, which the file's owner only may
// (the store creates it 0600), and a store that cannot be written refuses
// the change with exit code 3, nothing changed.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "server/store/store.h"

namespace vx::server {

inline constexpr int kExitDone = 0;
inline constexpr int kExitRefused = 1;       // an unknown agent, nothing to do
inline constexpr int kExitBadArguments = 2;  // nothing was written
inline constexpr int kExitStoreFailure = 3;  // the store cannot be opened, read or written

// Writes "vxmgmtd: MESSAGE" and gives `code`.
[[nodiscard]] int Refuse(std::ostream& err, int code, std::string_view message);

// The exit code of a store failure: NotFound 1, InvalidValue 2, Unavailable 3.
[[nodiscard]] int ExitCodeOf(StoreFailure failure);

// Tells a failed store operation: "vxmgmtd: the store could not WHAT: REASON".
template <typename T>
int RefuseStoreFailure(std::ostream& err, const StoreResult<T>& result, std::string_view what) {
  return Refuse(err, ExitCodeOf(result.failure()), "the store could not " + std::string(what) + ": " + result.error());
}

// An agent id typed by a person: 32 hexadecimal digits. Refused with exit
// code 2 and a message through `err` (nullopt).
[[nodiscard]] std::optional<AgentId> ParseAgentArgument(std::string_view text, std::ostream& err);

// The message for a text that is not an agent id.
[[nodiscard]] std::string NotAnAgentIdMessage(std::string_view text);

// The message for an id that never said hello.
[[nodiscard]] std::string UnknownAgentMessage(const AgentId& agent);

// Finds an agent, telling an unknown one (exit 1) or a store failure (3);
// the exit code lands in `code` when it fails.
[[nodiscard]] std::optional<AgentRecord> FindKnownAgent(Store& store, const AgentId& agent, std::ostream& err,
                                                        int& code);

}  // namespace vx::server
