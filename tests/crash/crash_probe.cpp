// Installs the real crash reporter, then crashes in one of several ways, so
// the whole crash path can be run and its bundle inspected.
//
//   crash_probe                     access violation on a worker thread
//   crash_probe no-exception-info   calls the filter with no exception pointers
//   crash_probe two-threads         two worker threads fault at the same moment
//   crash_probe nearly-full-stack [BYTES]
//                                   a worker thread with a small stack uses it up
//                                   to BYTES (default 20 KiB) above its end, then
//                                   raises an access violation
//   crash_probe exit-normally       no crash: the program returns 7
//
// A single faulting thread first writes "fault-thread.txt" beside the probe:
// its thread id and how many bytes of stack it had left when it faulted.
// A crash ends the process with exit code 0xFFFFFFFF; exit code 3 means the
// crash was not caught.
#include <malloc.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "service/crash/windows/crash_reporter.h"

namespace {

// Read through a volatile so the compiler emits a real store to an unmapped
// page rather than a trap instruction.
volatile uintptr_t faultAddress = 0x10;

HANDLE startSignal = nullptr;
// Under Wine the fault's dispatch to the filter needs about 14 KiB; a report
// written on the faulting thread itself needs far more (it still fails with
// 28 KiB left, leaving a loose minidump and no bundle).
std::size_t stackLeftWanted = 20 * 1024;

void Fault() { *reinterpret_cast<volatile int*>(faultAddress) = 1; }
// Called through a volatile pointer, so that nothing is inlined into the
// frame whose stack is used up.
void (*volatile faultRoutine)() = &Fault;

void WriteFaultThread(std::size_t stackLeft) {
  std::FILE* file = std::fopen("fault-thread.txt", "w");
  if (file == nullptr) std::exit(4);
  std::fprintf(file, "%lu %zu\n", static_cast<unsigned long>(GetCurrentThreadId()), stackLeft);
  if (std::fclose(file) != 0) std::exit(4);
}

// Bytes between `here` and the lowest address of this thread's stack.
std::size_t StackLeftBelow(const void* here) {
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(here, &region, sizeof region) == 0) std::exit(5);
  return static_cast<std::size_t>(static_cast<const char*>(here) - static_cast<const char*>(region.AllocationBase));
}

DWORD WINAPI FaultingThread(void*) {
  if (startSignal != nullptr) {
    if (WaitForSingleObject(startSignal, INFINITE) != WAIT_OBJECT_0) std::exit(6);
  } else {
    int here = 0;
    WriteFaultThread(StackLeftBelow(&here));
  }
  faultRoutine();
  return 0;
}

// Writes the decimal digits of `value` into `out`, most significant first;
// returns the count. Used where a library formatter would need more stack
// than is left.
std::size_t Digits(unsigned long long value, char* out) {
  char reversed[24];
  std::size_t count = 0;
  do {
    reversed[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (std::size_t i = 0; i < count; ++i) out[i] = reversed[count - 1 - i];
  return count;
}

// alloca commits the block page by page from the top (the compiler probes
// every page of a large frame), so the stack's guard page follows it down
// as it would for a deep recursion. The report file is opened first, and
// written with nothing but WriteFile, so that only the fault itself meets
// the nearly full stack.
DWORD WINAPI NearlyFullStackThread(void*) {
  HANDLE report = CreateFileW(L"fault-thread.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (report == INVALID_HANDLE_VALUE) std::exit(4);
  int here = 0;
  const std::size_t left = StackLeftBelow(&here);
  if (left <= stackLeftWanted + 4096) std::exit(7);
  volatile char* block = static_cast<volatile char*>(alloca(left - stackLeftWanted));
  block[0] = 1;
  char line[64];
  std::size_t length = Digits(GetCurrentThreadId(), line);
  line[length++] = ' ';
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(const_cast<char*>(block), &region, sizeof region) == 0) std::exit(5);
  length +=
      Digits(static_cast<unsigned long long>(const_cast<char*>(block) - static_cast<char*>(region.AllocationBase)),
             line + length);
  line[length++] = '\n';
  DWORD written = 0;
  if (!WriteFile(report, line, static_cast<DWORD>(length), &written, nullptr) || !CloseHandle(report)) std::exit(4);
  faultRoutine();
  return block[1];
}

}  // namespace

int main(int argc, char** argv) {
  vx::crash::InstallCrashHandler("VXDC", 1, 5, 0, 1155);
  const char* mode = argc > 1 ? argv[1] : "";
  if (std::strcmp(mode, "no-exception-info") == 0) vx::crash::CrashFilter(nullptr);
  if (std::strcmp(mode, "exit-normally") == 0) return 7;

  if (std::strcmp(mode, "nearly-full-stack") == 0) {
    if (argc > 2) stackLeftWanted = std::strtoul(argv[2], nullptr, 10);
    // A small stack, so that using it up is quick.
    HANDLE thread =
        CreateThread(nullptr, 256 * 1024, &NearlyFullStackThread, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) return 2;
    (void)WaitForSingleObject(thread, INFINITE);  // the crash ends the process first
    return 3;
  }

  const bool twoThreads = std::strcmp(mode, "two-threads") == 0;
  if (twoThreads) startSignal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE threads[2] = {};
  const DWORD count = twoThreads ? 2 : 1;
  for (DWORD i = 0; i < count; ++i) {
    threads[i] = CreateThread(nullptr, 0, &FaultingThread, nullptr, 0, nullptr);
    if (threads[i] == nullptr) return 2;
  }
  if (startSignal != nullptr && !SetEvent(startSignal)) return 2;
  (void)WaitForMultipleObjects(count, threads, TRUE, INFINITE);  // the crash ends the process first
  return 3;
}
