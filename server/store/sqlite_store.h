// The store in one SQLite file: WAL journal (the administration commands read
// while serve writes), a busy timeout, a schema_version table and numbered
// migrations applied when the file is opened (sqlite_migrations.h).
#pragma once

#include <filesystem>
#include <memory>

#include "server/store/store.h"

namespace vx::server {

struct StoreOpenOptions {
  // Opens without writing anything: every write is refused (Unavailable). A
  // missing file, or one whose schema is older than this program's, is then
  // refused too, since it cannot be brought up to date.
  bool readOnly = false;
  // synchronous=FULL: each commit is on disk before it returns, so an
  // administrator's change survives a power cut. serve turns it off
  // (synchronous=NORMAL, still safe against a crash of the process): a report
  // page lost to a power cut is asked for again, since the agent keeps its
  // rows and the cursor is stored with them.
  bool durableCommits = true;
  int busyTimeoutMs = 5000;
};

// The schema version this program writes. A store with a higher version was
// written by a newer program and is refused with an error that says so.
[[nodiscard]] int SqliteStoreSchemaVersion();

// Opens (creating when missing and not read-only) the store at `path`.
[[nodiscard]] StoreResult<std::unique_ptr<Store>> OpenSqliteStore(const std::filesystem::path& path,
                                                                  const StoreOpenOptions& options = {});

}  // namespace vx::server
