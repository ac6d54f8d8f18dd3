// "/i" and "/u": the filter driver's entry in the disk class's filter list,
// then the service's registration. Both return the process exit code, 0 or
// -1, and are otherwise silent. The registry edit comes first and is never
// undone.
#pragma once

#include <string>
#include <string_view>

#include "platform/registry.h"
#include "service/service_manager.h"

namespace vx {

[[nodiscard]] int InstallService(Registry& registry, InstallPlatform& platform);
[[nodiscard]] int RemoveService(Registry& registry, InstallPlatform& platform);

// The service's executable path as the service control manager stores it
// (ImagePath): in double quotes when it holds a space or a tab, so that the
// platform does not try the shorter names before the first blank as
// programs; unchanged otherwise.
[[nodiscard]] std::u16string ServiceImagePath(std::u16string_view executablePath);

}  // namespace vx
