// Installs the real crash reporter, then faults on a worker thread, so the
// whole crash path can be run and its bundle inspected.
//
//   crash_probe                     access violation on a worker thread
//   crash_probe no-exception-info   calls the filter with no exception pointers
//
// Either way the reporter ends the process with exit code 0xFFFFFFFF; exit
// code 3 means the crash was not caught.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "service/crash/windows/crash_reporter.h"

namespace {

// Read through a volatile so the compiler emits a real store to an unmapped
// page rather than a trap instruction.
volatile uintptr_t faultAddress = 0x10;

DWORD WINAPI FaultingThread(void*) {
  *reinterpret_cast<volatile int*>(faultAddress) = 1;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  vx::crash::InstallCrashHandler("VXDC", 1, 5, 0, 1155);
  if (argc > 1 && std::strcmp(argv[1], "no-exception-info") == 0) vx::crash::CrashFilter(nullptr);

  HANDLE thread = CreateThread(nullptr, 0, &FaultingThread, nullptr, 0, nullptr);
  if (thread == nullptr) return 2;
  WaitForSingleObject(thread, INFINITE);
  return 3;
}
