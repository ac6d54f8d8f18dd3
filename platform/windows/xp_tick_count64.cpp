// GetTickCount64 for the x86 programs, which must load on Windows XP: the
// thread library of the -posix toolchain calls kernel32's GetTickCount64,
// which XP lacks, so a program that links it imports the function and the
// loader refuses the program. This file defines the import slot the thread
// library calls through (__imp__GetTickCount64@0), so the linker takes it
// and kernel32 is never asked for the function at load time. The routine
// behind the slot looks the system's GetTickCount64 up once at run time and
// uses it where it exists (Vista and later); on XP it extends GetTickCount
// by counting its wraps (platform/tick_count_extension.h).
//
// Linked into each x86 program itself, not through a library, so that the
// slot is defined before the thread library asks for it
// (cmake/Deliverables.cmake). The x64 build needs none of this.
#include <windows.h>

#include "platform/tick_count_extension.h"

namespace {

using TickCount64Routine = ULONGLONG(WINAPI*)();

vx::TickCountState wrapCountedState{0};

// Until the first call: null. Then the system's routine, or the stand-in.
std::atomic<TickCount64Routine> tickCount64{nullptr};

ULONGLONG WINAPI WrapCountedTickCount64() {
  return vx::ExtendTickCount(wrapCountedState, [] { return static_cast<uint32_t>(GetTickCount()); });
}

TickCount64Routine FindTickCount64() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const FARPROC found = kernel ? GetProcAddress(kernel, "GetTickCount64") : nullptr;
  // A lookup that races another thread's finds the same routine.
  return found ? reinterpret_cast<TickCount64Routine>(reinterpret_cast<void (*)()>(found)) : WrapCountedTickCount64;
}

ULONGLONG WINAPI TickCount64() {
  TickCount64Routine routine = tickCount64.load(std::memory_order_acquire);
  if (!routine) {
    routine = FindTickCount64();
    tickCount64.store(routine, std::memory_order_release);
  }
  return routine();
}

}  // namespace

// The import slot: the thread library's calls go through it to TickCount64.
extern "C" TickCount64Routine vxGetTickCount64Import __asm__("__imp__GetTickCount64@0");
TickCount64Routine vxGetTickCount64Import = TickCount64;
