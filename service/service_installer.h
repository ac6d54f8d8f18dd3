// "/i" and "/u": the filter driver's entry in the disk class's filter list,
// then the service's registration. Both return the process exit code, 0 or
// -1, and are otherwise silent. The registry edit comes first and is never
// undone.
#pragma once

#include "platform/registry.h"
#include "service/service_manager.h"

namespace vx {

int InstallService(Registry& registry, InstallPlatform& platform);
int RemoveService(Registry& registry, InstallPlatform& platform);

}  // namespace vx
