// Opens the store a location names, with the engine it names: the one place
// that knows both engines.
#pragma once

#include <memory>

#include "server/store/store.h"
#include "server/store/store_location.h"
#include "server/store/store_options.h"

namespace vx::server {

[[nodiscard]] StoreResult<std::unique_ptr<Store>> OpenStore(const StoreLocation& location,
                                                            const StoreOpenOptions& options = {});

}  // namespace vx::server
