// usbsim_ctl: drives the simulated USB stick of the test bus driver from the
// command line, for the main job: plug and unplug it, and send a read or a
// write through the top of its stack (the filter driver judges it there).
//
//   usbsim_ctl plug | unplug | read | write
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cwchar>

namespace {

const ULONG kPlug = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kUnplug = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kSendThroughStack = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);
const UCHAR kRead = 0x03;
const UCHAR kWrite = 0x04;

const char* StatusWords(ULONG status) {
  switch (status) {
    case 0:
      return "done";
    case 0xC0000022:
      return "refused: access denied";
    case 0xC00000A2:
      return "refused: the disk is write-protected";
    default:
      return "failed";
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: usbsim_ctl plug|unplug|read|write\n");
    return 2;
  }
  HANDLE bus = CreateFileW(L"\\\\.\\VXUsbSim", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (bus == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "usbsim_ctl: the simulated USB bus is not loaded\n");
    return 1;
  }
  DWORD bytes = 0;
  int result = 0;
  if (std::wcscmp(argv[1], L"plug") == 0 || std::wcscmp(argv[1], L"unplug") == 0) {
    const bool plug = std::wcscmp(argv[1], L"plug") == 0;
    if (!DeviceIoControl(bus, plug ? kPlug : kUnplug, nullptr, 0, nullptr, 0, &bytes, nullptr)) result = 1;
  } else if (std::wcscmp(argv[1], L"read") == 0 || std::wcscmp(argv[1], L"write") == 0) {
    ULONG words[2] = {std::wcscmp(argv[1], L"read") == 0 ? kRead : kWrite, 0};
    if (!DeviceIoControl(bus, kSendThroughStack, words, sizeof words, words, sizeof words, &bytes, nullptr) ||
        bytes < 4) {
      std::printf("%ls: the stick is not plugged\n", argv[1]);
      result = 1;
    } else {
      std::printf("%ls: %s\n", argv[1], StatusWords(words[0]));
    }
  } else {
    std::fprintf(stderr, "usage: usbsim_ctl plug|unplug|read|write\n");
    result = 2;
  }
  CloseHandle(bus);
  return result;
}
