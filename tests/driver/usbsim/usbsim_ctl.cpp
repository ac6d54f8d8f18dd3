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
const char kStick[] = "Acme Sim Stick (revision 1.00, serial SIM0001)";

// What the stack's answer to a read or a write means for the person at the
// main job: the filter driver's verdict, or why the request found no disk.
const char* StatusWords(ULONG status) {
  switch (status) {
    case 0x00000000:
      return "done";
    case 0xC0000022:  // STATUS_ACCESS_DENIED: the filter's answer for a blocked disk
      return "refused: the disk is blocked (access denied)";
    case 0xC00000A2:  // STATUS_MEDIA_WRITE_PROTECTED: a write to a read-only disk
      return "refused: the disk is read-only (write-protected)";
    case 0xC000000E:  // STATUS_NO_SUCH_DEVICE: the bus has no disk
      return "the stick is not plugged (scripts/dev stick plug)";
    case 0xC0000056:  // STATUS_DELETE_PENDING: unplugged, its stack going away
      return "the stick is being unplugged";
    default:
      return nullptr;
  }
}

int Usage() {
  std::fprintf(stderr, "usage: usbsim_ctl plug|unplug|read|write\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return Usage();
  const bool plug = std::wcscmp(argv[1], L"plug") == 0;
  const bool unplug = std::wcscmp(argv[1], L"unplug") == 0;
  const bool read = std::wcscmp(argv[1], L"read") == 0;
  const bool write = std::wcscmp(argv[1], L"write") == 0;
  if (!plug && !unplug && !read && !write) return Usage();
  HANDLE bus = CreateFileW(L"\\\\.\\VXUsbSim", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (bus == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "usbsim_ctl: the simulated USB bus is not loaded\n");
    return 1;
  }
  DWORD bytes = 0;
  int result = 0;
  if (plug || unplug) {
    ULONG wasPlugged = 0;
    if (!DeviceIoControl(bus, plug ? kPlug : kUnplug, nullptr, 0, &wasPlugged, sizeof wasPlugged, &bytes, nullptr) ||
        bytes < sizeof wasPlugged) {
      std::fprintf(stderr, "usbsim_ctl: the bus refused the %ls request (error %lu)\n", argv[1], GetLastError());
      result = 1;
    } else if (plug) {
      std::printf(wasPlugged ? "already plugged: %s\n" : "plugged: %s; the filter driver judges its reads and writes\n",
                  kStick);
    } else {
      std::printf(wasPlugged ? "unplugged: %s\n" : "not plugged: %s; nothing to unplug\n", kStick);
    }
  } else {
    ULONG words[2] = {read ? kRead : kWrite, 0};
    if (!DeviceIoControl(bus, kSendThroughStack, words, sizeof words, words, sizeof words, &bytes, nullptr) ||
        bytes < 4) {
      std::printf("%ls: the bus did not carry the request (error %lu)\n", argv[1], GetLastError());
      result = 1;
    } else if (const char* meaning = StatusWords(words[0])) {
      std::printf("%ls: %s\n", argv[1], meaning);
      result = words[0] == 0 ? 0 : 1;
    } else {
      std::printf("%ls: failed with status 0x%08lX\n", argv[1], words[0]);
      result = 1;
    }
  }
  CloseHandle(bus);
  return result;
}
