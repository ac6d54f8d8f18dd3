// How the service is registered with the service control manager.
#pragma once

#include <cstdint>
#include <vector>

namespace vx {

inline constexpr char16_t kServiceName[] = u"VestaraDeviceControlWinService";
// "Vestara device control", in Persian.
inline constexpr char16_t kServiceDisplayName[] =
    u"\u06A9\u0646\u062A\u0631\u0644 \u0627\u0628\u0632\u0627\u0631 \u0648\u0633\u062A\u0627\u0631\u0627";
// "This service manages the devices connected to the system", in Persian.
inline constexpr char16_t kServiceDescription[] =
    u"\u0627\u06CC\u0646 \u0633\u0631\u0648\u06CC\u0633 \u0645\u062F\u06CC\u0631\u06CC\u062A "
    u"\u0627\u0628\u0632\u0627\u0631\u0647\u0627\u06CC \u0645\u062A\u0635\u0644 \u0634\u062F\u0647 \u0628\u0647 "
    u"\u0633\u06CC\u0633\u062A\u0645 \u0631\u0627 \u0628\u0631 \u0639\u0647\u062F\u0647 \u062F\u0627\u0631\u062F";
inline constexpr char16_t kServiceGroup[] = u"COM Infrastructure";
inline constexpr char16_t kServiceDependency[] = u"RpcSs";

inline constexpr uint32_t kServiceType = 0x110;  // own process, interactive
inline constexpr uint32_t kServiceAutoStart = 2;
inline constexpr uint32_t kServiceErrorNormal = 1;

// The disk drive class, whose filter list names the filter driver.
inline constexpr char16_t kDiskClassKey[] =
    u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e967-e325-11ce-bfc1-08002be10318}";
inline constexpr char16_t kUpperFiltersValue[] = u"UpperFilters";
inline constexpr std::size_t kUpperFiltersReadBytes = 131072;

struct ServiceRestartAction {
  uint32_t type;  // 1: restart the service
  uint32_t delayMs;
  bool operator==(const ServiceRestartAction&) const = default;
};

struct ServiceFailureActions {
  uint32_t resetPeriodSeconds = 180;
  std::vector<ServiceRestartAction> actions{{1, 200}, {1, 1000}, {1, 1000}};
  bool operator==(const ServiceFailureActions&) const = default;
};

}  // namespace vx
