// The store in a PostgreSQL database, which several serve instances and any
// number of administration commands share: numbered migrations applied when
// it is opened (postgres_migrations.h), each operation one statement or one
// transaction, claims made in one statement (store.h), and every change
// announced with NOTIFY, which serve LISTENs for (ListenForChanges).
//
// Who may change the policy, the enrollments and the queued updates: the
// database roles that may write its tables. A role granted SELECT only can
// run the reading commands; its changes are refused by PostgreSQL and
// nothing changes. A store opened read-only refuses every write itself.
#pragma once

#include <memory>
#include <string>

#include "server/store/store.h"
#include "server/store/store_options.h"

namespace vx::server {

// Opens the store at `url` (postgresql://...), bringing its schema up to
// date unless read-only. The database must exist; its first schema on the
// search path holds the store's tables and nothing else's.
[[nodiscard]] StoreResult<std::unique_ptr<Store>> OpenPostgresStore(const std::string& url,
                                                                    const StoreOpenOptions& options = {});

}  // namespace vx::server
