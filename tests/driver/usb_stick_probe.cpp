// Run as the first program of its own Wine session (usb_stick_test.sh): a
// test bus driver plugs a simulated USB stick, the platform calls the filter
// driver's AddDevice for it, and from user mode the probe checks the arrival
// entry, the enforcement of a new rule list on the next request, the
// writability query, and a second arrival after unplug and replug. Exit code
// 0 when all held.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/filter_control.h"
#include "tests/driver/kernel_service.h"

namespace {

const ULONG kPlug = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kUnplug = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kSendThroughStack = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kStatusAccessDenied = 0xC0000022;
const ULONG kStatusMediaWriteProtected = 0xC00000A2;
const ULONG kIoctlDiskIsWritable = 0x00070024;
// Major functions, as the kernel numbers them.
const UCHAR kRead = 0x03;
const UCHAR kWrite = 0x04;
const UCHAR kDeviceControl = 0x0e;

const wchar_t kEnum[] = L"System\\CurrentControlSet\\Enum\\";
const wchar_t kBusKey[] = L"ROOT\\VXUSBSIM\\0000";
const wchar_t kStickKey[] = L"USBSTOR\\Disk&Ven_Acme&Prod_Sim_Stick&Rev_1.00\\SIM0001&0";
const wchar_t kDiskClass[] = L"{4d36e967-e325-11ce-bfc1-08002be10318}";
const wchar_t kClassKey[] = L"System\\CurrentControlSet\\Control\\Class\\{4d36e967-e325-11ce-bfc1-08002be10318}\\0099";

int failures = 0;

void Check(bool condition, const char* what) {
  std::printf("%s: %s\n", condition ? "ok" : "FAIL", what);
  if (!condition) ++failures;
}

bool SetValue(const std::wstring& path, const wchar_t* name, DWORD type, const std::wstring& value) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  // REG_MULTI_SZ values carry their extra closing zero in `value`.
  const LONG result = name == nullptr ? ERROR_SUCCESS
                                      : RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                                                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool CreateKeys() {
  const std::wstring bus = std::wstring(kEnum) + kBusKey;
  const std::wstring stick = std::wstring(kEnum) + kStickKey;
  return SetValue(bus, L"Service", REG_SZ, L"VXUsbSim") &&
         SetValue(bus, L"ClassGUID", REG_SZ, L"{4d36e97d-e325-11ce-bfc1-08002be10318}") &&
         SetValue(bus, L"HardwareID", REG_MULTI_SZ, std::wstring(L"VXUsbSim") + L'\0') &&
         SetValue(stick, L"ClassGUID", REG_SZ, kDiskClass) && SetValue(stick, L"Service", REG_SZ, L"VXDevFltr") &&
         SetValue(stick, L"Driver", REG_SZ, std::wstring(kDiskClass) + L"\\0099") &&
         SetValue(stick + L"\\Device Parameters", nullptr, 0, L"") &&
         SetValue(kClassKey, L"InfPath", REG_SZ, L"disk.inf");
}

void DeleteKeys() {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kEnum) + L"ROOT\\VXUSBSIM").c_str());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kEnum) + L"USBSTOR\\Disk&Ven_Acme&Prod_Sim_Stick&Rev_1.00").c_str());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
}

HANDLE Open(const wchar_t* path) { return CreateFileW(path, GENERIC_ALL, 0, nullptr, OPEN_EXISTING, 0, nullptr); }

bool Control(HANDLE device, ULONG code, void* input, DWORD inputLength, void* output, DWORD outputLength,
             DWORD* bytes) {
  return DeviceIoControl(device, code, input, inputLength, output, outputLength, bytes, nullptr) != 0;
}

// Status of one request sent through the top of the stick's stack.
ULONG Through(HANDLE bus, UCHAR major, ULONG code = 0) {
  ULONG words[2] = {major, code};
  DWORD bytes = 0;
  if (!Control(bus, kSendThroughStack, words, sizeof words, words, sizeof words, &bytes) || bytes < 4) return 1;
  return words[0];
}

int TakeLogs(HANDLE filter, USB_LOG* logs) {
  DWORD bytes = 0;
  if (!Control(filter, IOCTL_GET_LOGS, nullptr, 0, logs, USB_MAX_LOGS * sizeof(USB_LOG), &bytes)) return -1;
  return static_cast<int>(bytes / sizeof(USB_LOG));
}

bool SetRules(HANDLE filter, const USB_RULE* rules, DWORD count) {
  DWORD bytes = 0;
  return Control(filter, IOCTL_SET_RULE_LIST, const_cast<USB_RULE*>(rules), count * sizeof(USB_RULE), nullptr, 0,
                 &bytes);
}

void Probe(const wchar_t* filterPath, const wchar_t* busPath) {
  Check(CreateKeys(), "registry keys of the bus and the stick");
  vx::test::KernelService filterService(L"VXDevFltr", filterPath, L"VXTest");
  Check(filterService.Running(), "filter driver started");
  vx::test::KernelService busService(L"VXUsbSim", busPath, L"VXTest");
  Check(busService.Running(), "bus driver started");
  Sleep(1500);
  HANDLE filter = Open(VX_FILTER_USER_PATH);
  HANDLE bus = Open(L"\\\\.\\VXUsbSim");
  Check(filter != INVALID_HANDLE_VALUE && bus != INVALID_HANDLE_VALUE, "both control devices open");
  if (filter == INVALID_HANDLE_VALUE || bus == INVALID_HANDLE_VALUE) return;
  static USB_LOG logs[USB_MAX_LOGS];
  TakeLogs(filter, logs);

  DWORD bytes = 0;
  Check(Control(bus, kPlug, nullptr, 0, nullptr, 0, &bytes), "plug");
  Sleep(2000);
  int count = TakeLogs(filter, logs);
  Check(count == 1, "one arrival entry");
  if (count >= 1) {
    std::printf("arrival: vendor '%s' product '%s' revision '%s' serial '%s' action %d\n", logs[0].vendor,
                logs[0].product, logs[0].revision, logs[0].serial, static_cast<int>(logs[0].action));
    Check(std::strcmp(logs[0].vendor, "Acme") == 0 && std::strcmp(logs[0].product, "Sim Stick") == 0 &&
              std::strcmp(logs[0].revision, "1.00") == 0 && std::strcmp(logs[0].serial, "SIM0001") == 0,
          "identity read from the key name");
    Check(logs[0].action == ACTION_ALLOW, "allowed under the empty list");
  }
  Check(Through(bus, kRead) == 0 && Through(bus, kWrite) == 0, "allowed stick reads and writes");

  USB_RULE block = {};
  std::strcpy(block.vendor, "acme");
  block.flags = RULE_CHECK_VENDOR;
  block.action = ACTION_BLOCK;
  Check(SetRules(filter, &block, 1), "block rule set");
  Check(Through(bus, kRead) == kStatusAccessDenied, "blocked stick refuses reads");
  Check(Through(bus, kWrite) == kStatusAccessDenied, "blocked stick refuses writes");
  Check(Through(bus, kDeviceControl, kIoctlDiskIsWritable) == kStatusMediaWriteProtected,
        "blocked stick reports itself write-protected");
  count = TakeLogs(filter, logs);
  Check(count == 1 && logs[0].action == ACTION_BLOCK, "one entry for the change to blocked");

  block.action = ACTION_READ_ONLY;
  Check(SetRules(filter, &block, 1), "read-only rule set");
  Check(Through(bus, kRead) == 0, "read-only stick reads");
  Check(Through(bus, kWrite) == kStatusAccessDenied, "read-only stick refuses writes");

  Check(Control(bus, kUnplug, nullptr, 0, nullptr, 0, &bytes), "unplug");
  Sleep(1500);
  Check(Control(bus, kPlug, nullptr, 0, nullptr, 0, &bytes), "plug again");
  Sleep(2000);
  count = TakeLogs(filter, logs);
  std::printf("entries after replug: %d\n", count);
  Check(count >= 2 && logs[count - 1].action == ACTION_READ_ONLY && std::strcmp(logs[count - 1].serial, "SIM0001") == 0,
        "the replugged stick arrives again under the current list");
  Check(Control(bus, kUnplug, nullptr, 0, nullptr, 0, &bytes), "unplug at the end");
  Sleep(1500);
  CloseHandle(bus);
  CloseHandle(filter);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  Probe(argv[1], argv[2]);
  DeleteKeys();
  std::printf("usb stick probe: %d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
