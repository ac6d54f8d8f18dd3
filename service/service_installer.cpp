#include "service/service_installer.h"

#include <string>

#include "service/filter_list.h"

namespace vx {
namespace {

std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

// Rewrites the filter list through `edit` when the value exists and can be
// read; a class without the value is left without it.
template <typename Edit>
void EditFilterList(Registry& registry, Edit edit) {
  const std::wstring key = Wide(kDiskClassKey), name = Wide(kUpperFiltersValue);
  auto value = registry.ReadValue(key, name, kUpperFiltersReadBytes);
  if (!value) return;
  RegistryValue updated{kRegistryMultiString, FormatMultiString(edit(ParseMultiString(value->data)))};
  // Silent by design: a list that cannot be written keeps its old entries,
  // and the service's registration goes on either way.
  (void)registry.WriteValue(key, name, updated);
}

}  // namespace

std::u16string ServiceImagePath(std::u16string_view executablePath) {
  if (executablePath.find_first_of(u" \t") == std::u16string_view::npos) return std::u16string(executablePath);
  return u'"' + std::u16string(executablePath) + u'"';
}

int InstallService(Registry& registry, InstallPlatform& platform) {
  EditFilterList(registry, [](std::vector<std::u16string> entries) {
    return WithFilterEntry(std::move(entries), kFilterServiceName);
  });
  auto manager = platform.OpenServiceManager();
  if (!manager) return -1;
  auto path = platform.ExecutablePath();
  if (!path) return -1;
  ServiceRegistration registration;
  registration.name = kServiceName;
  registration.displayName = kServiceDisplayName;
  registration.type = kServiceType;
  registration.startType = kServiceAutoStart;
  registration.errorControl = kServiceErrorNormal;
  registration.executablePath = ServiceImagePath(*path);
  registration.loadOrderGroup = kServiceGroup;
  registration.dependencies = std::u16string(kServiceDependency) + u'\0' + u'\0';
  auto service = manager->Create(registration);
  if (!service) return -1;
  // The service is registered; a manager that does not keep the restart
  // policy or the description still runs it, so install reports success.
  (void)service->SetFailureActions(ServiceFailureActions{});
  (void)service->SetDescription(kServiceDescription);
  return 0;
}

int RemoveService(Registry& registry, InstallPlatform& platform) {
  EditFilterList(registry, [](const std::vector<std::u16string>& entries) {
    return WithoutFilterEntry(entries, kFilterServiceName);
  });
  auto manager = platform.OpenServiceManager();
  if (!manager) return -1;
  auto service = manager->Open(kServiceName);
  if (!service) return -1;
  auto state = service->QueryState();
  if (!state) return -1;
  if (*state != 1) {
    if (!service->SendStop()) return -1;
    platform.SleepMilliseconds(1000);
  }
  // A service already marked for deletion, or one the manager deletes once
  // its last handle closes, is gone all the same: removal reports success.
  (void)service->Delete();
  return 0;
}

}  // namespace vx
