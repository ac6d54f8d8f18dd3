// The schema of the SQLite store as numbered migrations. Migration N brings a
// store from version N-1 to N; each runs in one transaction with the
// version's update, so an interrupted upgrade leaves the previous version.
// A migration, once released, is never edited: a change is a new migration.
// The numbering is shared with the PostgreSQL store (schema_version.h).
#pragma once

#include <span>
#include <string_view>

namespace vx::server {

struct SqliteMigration {
  int version;
  std::string_view sql;  // one or more statements
};

[[nodiscard]] std::span<const SqliteMigration> SqliteMigrations();

}  // namespace vx::server
