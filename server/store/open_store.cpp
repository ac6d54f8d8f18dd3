#include "server/store/open_store.h"

#include "server/store/postgres_store.h"
#include "server/store/sqlite_store.h"

namespace vx::server {

StoreResult<std::unique_ptr<Store>> OpenStore(const StoreLocation& location, const StoreOpenOptions& options) {
  if (location.engine == StoreEngine::Postgres) return OpenPostgresStore(location.url, options);
  return OpenSqliteStore(location.file, options);
}

}  // namespace vx::server
