// Where a store is, as `--db` names it: a PostgreSQL database by its URL
// ("postgresql://..." or "postgres://...", libpq's own form), or else an
// SQLite file by its path.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vx::server {

enum class StoreEngine { Sqlite, Postgres };

struct StoreLocation {
  StoreEngine engine = StoreEngine::Sqlite;
  std::filesystem::path file;  // SQLite
  std::string url;             // PostgreSQL, as given (it may hold a password)

  // How the location is shown in messages and logs: the file, or the URL
  // with any password replaced by "***".
  [[nodiscard]] std::string Shown() const;
};

// `text` as a location: a PostgreSQL URL by its scheme, else a file path.
[[nodiscard]] StoreLocation StoreLocationOf(std::string_view text);

// A PostgreSQL URL with its password (the part after "user:" before "@" in
// the authority, and any "password=" query parameter) replaced by "***".
[[nodiscard]] std::string UrlWithoutPassword(std::string_view url);

}  // namespace vx::server
