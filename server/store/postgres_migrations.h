// The schema of the PostgreSQL store as numbered migrations, in step with
// the SQLite store's (schema_version.h): migration N brings a database from
// version N-1 to N, in one transaction with the version's update, under an
// advisory lock so instances starting together migrate once. A migration,
// once released, is never edited: a change is a new migration.
//
// Texts that come from agents or administrators are bytea, kept byte for
// byte as the SQLite store keeps them: an agent's UTF-16 may hold lone
// surrogates, whose three-byte forms PostgreSQL's text would refuse.
#pragma once

#include <span>
#include <string_view>

namespace vx::server {

struct PostgresMigration {
  int version;
  std::string_view sql;
};

[[nodiscard]] std::span<const PostgresMigration> PostgresMigrations();

}  // namespace vx::server
