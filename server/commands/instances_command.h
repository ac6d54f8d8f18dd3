// `vxmgmtd instances [--json]`: the serve instances that have used the store,
// for an administrator who runs several on one PostgreSQL database (or wants
// to know whether the one serve of an SQLite store is running).
#pragma once

#include <cstdint>
#include <ostream>

#include "server/store/store.h"

namespace vx::server {

// One line per instance: id, host, listen address, process, started, last
// heartbeat, state ("running", "silent" when its heartbeat is older than the
// life time and no other instance has ended it yet, "ended"), and the agents
// it holds. Anyone who can read the store may list.
[[nodiscard]] int RunInstancesList(Store& store, bool json, int64_t now, std::ostream& out, std::ostream& err);

}  // namespace vx::server
