#include "monitor/windows/setupdi_usb_storage.h"

#include <windows.h>
// The device setup header needs the base Windows types first.
#include <objbase.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace vx {
namespace {

constexpr ULONG kKeyNameInformation = 3;
constexpr LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023);
using NtQueryKeyRoutine = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

// The key's full name (\REGISTRY\MACHINE\...), or empty when it cannot be read.
std::u16string GetRegistryKeyName(HKEY key) {
  HMODULE ntdll = LoadLibraryW(L"ntdll.dll");
  if (!ntdll) return {};
  std::u16string name;
  auto query = reinterpret_cast<NtQueryKeyRoutine>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryKey")));
  ULONG needed = 0;
  if (query && query(key, kKeyNameInformation, nullptr, 0, &needed) == kStatusBufferTooSmall && needed >= 4) {
    auto buffer = std::make_unique<uint8_t[]>(needed + 2);
    std::fill(buffer.get(), buffer.get() + needed + 2, 0);
    if (query(key, kKeyNameInformation, buffer.get(), needed, &needed) == 0) {
      // KEY_NAME_INFORMATION: a 4-byte length in bytes, then the name.
      ULONG length = 0;
      std::memcpy(&length, buffer.get(), sizeof length);
      if (length > needed - 4) length = needed - 4;
      name.resize(length / 2);
      std::memcpy(name.data(), buffer.get() + 4, (length / 2) * 2);
    }
  }
  // ntdll stays loaded for the process's life; the call only drops our count.
  (void)FreeLibrary(ntdll);
  return name;
}

}  // namespace

std::vector<std::u16string> SetupDiUsbStorageSource::PresentDiskKeyNames() {
  std::vector<std::u16string> names;
  CLSID diskClass;
  wchar_t classText[] = L"{4d36e967-e325-11ce-bfc1-08002be10318}";
  if (CLSIDFromString(classText, &diskClass) != NOERROR) return names;
  HDEVINFO devices = SetupDiGetClassDevsW(&diskClass, L"USBSTOR", nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return names;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
    wchar_t instanceId[512];
    if (!SetupDiGetDeviceInstanceIdW(devices, &device, instanceId, 512, nullptr)) continue;
    wchar_t keyPath[600];
    wsprintfW(keyPath, L"%s%s", L"SYSTEM\\CurrentControlSet\\Enum\\", instanceId);
    HKEY key = nullptr;
    if (RegOpenKeyW(HKEY_LOCAL_MACHINE, keyPath, &key) != ERROR_SUCCESS) continue;
    std::u16string name = GetRegistryKeyName(key);
    (void)RegCloseKey(key);  // closed whether or not its name could be read; nothing to do if it fails
    if (!name.empty()) names.push_back(std::move(name));
  }
  (void)SetupDiDestroyDeviceInfoList(devices);  // the list is ours and valid: nothing to act on
  return names;
}

}  // namespace vx
