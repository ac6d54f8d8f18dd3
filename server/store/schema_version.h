// The store's schema version, one numbering for both engines: version N
// holds the same tables, columns and meanings in an SQLite file and in a
// PostgreSQL database, each engine reaching it through its own numbered
// migrations (sqlite_migrations.h, postgres_migrations.h). A store of a
// higher version was written by a newer vxmgmtd and is refused.
#pragma once

namespace vx::server {

inline constexpr int kStoreSchemaVersion = 3;

}  // namespace vx::server
