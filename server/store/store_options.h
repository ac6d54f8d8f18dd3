// How a store is opened, whichever engine holds it.
#pragma once

namespace vx::server {

struct StoreOpenOptions {
  // Opens without writing anything: every write is refused (Unavailable). A
  // missing store, or one whose schema is older than this program's, is then
  // refused too, since it cannot be brought up to date.
  bool readOnly = false;
  // Each commit is on disk before it returns, so an administrator's change
  // survives a power cut. serve turns it off (SQLite's synchronous=NORMAL,
  // PostgreSQL's synchronous_commit=off; both still safe against a crash of
  // the process): a report page lost to a power cut is asked for again, since
  // the agent keeps its rows and the cursor is stored with them.
  bool durableCommits = true;
  // How long a statement waits for a lock another connection holds.
  int busyTimeoutMs = 5000;
};

}  // namespace vx::server
