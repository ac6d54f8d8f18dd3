// The store in one SQLite file: WAL journal (the administration commands read
// while serve writes), a busy timeout, a schema_version table and numbered
// migrations applied when the file is opened (sqlite_migrations.h).
#pragma once

#include <filesystem>
#include <memory>

#include "server/store/store.h"
#include "server/store/store_options.h"

namespace vx::server {

// The schema version this program writes. A store with a higher version was
// written by a newer program and is refused with an error that says so.
[[nodiscard]] int SqliteStoreSchemaVersion();

// Opens (creating when missing and not read-only) the store at `path`.
[[nodiscard]] StoreResult<std::unique_ptr<Store>> OpenSqliteStore(const std::filesystem::path& path,
                                                                  const StoreOpenOptions& options = {});

}  // namespace vx::server
