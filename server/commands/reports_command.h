// `vxmgmtd reports [--agent ID] [--since TIME] [--action block|read-only|allow]
// [--json|--csv]`: the report rows the agents sent, oldest first per agent.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "server/store/store.h"

namespace vx::server {

struct ReportsOptions {
  std::optional<std::string> agent;
  std::optional<std::string> since;   // command_time.h's forms
  std::optional<std::string> action;  // block, read-only or allow
  bool json = false;
  bool csv = false;
};

// Text: a line per row with local times. --json: one array of objects with
// agent, id, time (seconds), vendor, product, serial and action (the stored
// number: 0 blocked, 1 allowed, 2 read-only). --csv: a header line and a
// line per row with the same fields, RFC 4180, lines ended by CRLF. The
// device texts are those the agent sent, each UTF-16 unit one character.
// Rows are read from the store a page at a time and written as they come.
// Anyone who can read the store may list.
[[nodiscard]] int RunReports(Store& store, const ReportsOptions& options, std::ostream& out, std::ostream& err);

}  // namespace vx::server
