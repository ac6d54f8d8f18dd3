// Installs the real crash reporter, then faults on a worker thread, so the
// whole crash path can be run and its bundle inspected.
//
//   crash_probe                     access violation on a worker thread
//   crash_probe no-exception-info   calls the filter with no exception pointers
//   crash_probe two-threads         two worker threads fault at the same moment
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

HANDLE startSignal = nullptr;

DWORD WINAPI FaultingThread(void*) {
  if (startSignal != nullptr) WaitForSingleObject(startSignal, INFINITE);
  *reinterpret_cast<volatile int*>(faultAddress) = 1;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  vx::crash::InstallCrashHandler("VXDC", 1, 5, 0, 1155);
  if (argc > 1 && std::strcmp(argv[1], "no-exception-info") == 0) vx::crash::CrashFilter(nullptr);

  const bool twoThreads = argc > 1 && std::strcmp(argv[1], "two-threads") == 0;
  if (twoThreads) startSignal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE threads[2] = {};
  const DWORD count = twoThreads ? 2 : 1;
  for (DWORD i = 0; i < count; ++i) {
    threads[i] = CreateThread(nullptr, 0, &FaultingThread, nullptr, 0, nullptr);
    if (threads[i] == nullptr) return 2;
  }
  if (startSignal != nullptr) SetEvent(startSignal);
  WaitForMultipleObjects(count, threads, TRUE, INFINITE);
  return 3;
}
