// Run as the first program of its own Wine session (root_device_test.sh):
// registers a ROOT-enumerated device served by the filter driver, loads the
// driver as a kernel service (which makes the platform call its AddDevice
// for that device), and checks from user mode that the device, whose bus is
// not USB, was left unfiltered and unlogged. Exit code 0 when all held; the
// script checks the platform's and the driver's debug output.
#include <windows.h>

#include <cstdio>

#include "common/filter_control.h"
#include "tests/driver/kernel_service.h"

namespace {

const wchar_t kRootKey[] = L"System\\CurrentControlSet\\Enum\\ROOT\\VXDEVFLTRTEST\\0000";
const wchar_t kRootParent[] = L"System\\CurrentControlSet\\Enum\\ROOT\\VXDEVFLTRTEST";

bool SetString(HKEY key, const wchar_t* name, DWORD type, const wchar_t* value, size_t characters) {
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(value),
                        static_cast<DWORD>(characters * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool CreateRootDevice() {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRootKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  static const wchar_t kService[] = L"VXDevFltr";
  static const wchar_t kClass[] = L"{4d36e967-e325-11ce-bfc1-08002be10318}";
  static const wchar_t kHardwareId[] = L"VXDevFltrTest\0";
  const bool ok = SetString(key, L"Service", REG_SZ, kService, sizeof kService / sizeof(wchar_t)) &&
                  SetString(key, L"ClassGUID", REG_SZ, kClass, sizeof kClass / sizeof(wchar_t)) &&
                  SetString(key, L"HardwareID", REG_MULTI_SZ, kHardwareId, sizeof kHardwareId / sizeof(wchar_t));
  RegCloseKey(key);
  return ok;
}

void DeleteRootDevice() {
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRootKey);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRootParent);
}

int Fail(const char* what) {
  std::printf("FAIL: %s (error %lu)\n", what, GetLastError());
  return 1;
}

int Probe(const wchar_t* driverPath) {
  if (!CreateRootDevice()) return Fail("root device key");
  vx::test::KernelService service(L"VXDevFltr", driverPath);
  if (!service.Running()) return Fail("service start");
  Sleep(1500);  // the platform enumerates the driver's root devices after the load
  HANDLE device = CreateFileW(VX_FILTER_USER_PATH, GENERIC_ALL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return Fail("open control device");
  DWORD bytes = 0;
  int result = 0;
  if (!DeviceIoControl(device, IOCTL_SET_RULE_LIST, nullptr, 0, nullptr, 0, &bytes, nullptr)) {
    result = Fail("empty rule list");
  }
  static unsigned char oddBytes[265];
  if (DeviceIoControl(device, IOCTL_SET_RULE_LIST, oddBytes, sizeof oddBytes, nullptr, 0, &bytes, nullptr) ||
      GetLastError() != ERROR_ACCESS_DENIED) {
    result = Fail("265 bytes of rules were not refused");
  }
  static USB_LOG logs[USB_MAX_LOGS];
  if (!DeviceIoControl(device, IOCTL_GET_LOGS, nullptr, 0, logs, sizeof logs, &bytes, nullptr)) {
    result = Fail("GetLogs");
  } else if (bytes != 0) {
    std::printf("FAIL: %lu log bytes for a device that is not USB\n", bytes);
    result = 1;
  }
  CloseHandle(device);
  DeleteRootDevice();
  if (result == 0) std::printf("root device probe: ok\n");
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const int result = Probe(argv[1]);
  DeleteRootDevice();
  return result;
}
