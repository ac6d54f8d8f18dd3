// clang-format off
#include <windows.h>
#include <dbghelp.h>
// clang-format on

#include "service/crash/windows/win_crash_platform.h"

#include <cstdlib>
#include <ctime>

namespace vx::crash {
namespace {

uint32_t Low32(uintptr_t value) { return static_cast<uint32_t>(value); }

}  // namespace

WinCrashPlatform::WinCrashPlatform(_EXCEPTION_POINTERS* pointers, unsigned long faultingThread,
                                   unsigned long installingThread, unsigned seed)
    : pointers_(pointers), faultingThread_(faultingThread) {
  if (GetCurrentThreadId() != installingThread) std::srand(seed);
}

int64_t WinCrashPlatform::CurrentTime() { return static_cast<int64_t>(std::time(nullptr)); }

int WinCrashPlatform::NextRandom() { return std::rand(); }

bool WinCrashPlatform::WriteMinidump(const std::filesystem::path& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  exception.ThreadId = faultingThread_;
  exception.ExceptionPointers = pointers_;
  exception.ClientPointers = TRUE;
  const BOOL written = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                                         pointers_ != nullptr ? &exception : nullptr, nullptr, nullptr);
  // The dump call wrote through this handle and has returned; a failing close
  // cannot take back what it reported.
  (void)CloseHandle(file);
  return written != FALSE;
}

void WinCrashPlatform::FillPlatformInfo(CrashRecord& record) {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  static_assert(sizeof(OSVERSIONINFOW) == kOsVersionInfoSize);
  if (GetVersionExW(&version)) {
    record.osVersion.majorVersion = version.dwMajorVersion;
    record.osVersion.minorVersion = version.dwMinorVersion;
    record.osVersion.buildNumber = version.dwBuildNumber;
    record.osVersion.platformId = version.dwPlatformId;
    for (std::size_t i = 0; i < 128; ++i)
      record.osVersion.csdVersion[i] = static_cast<uint16_t>(version.szCSDVersion[i]);
  }

  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  SystemInfo32& out = record.systemInfo;
  out.processorArchitecture = system.wProcessorArchitecture;
  out.reserved = system.wReserved;
  out.pageSize = system.dwPageSize;
  out.minimumApplicationAddress = Low32(reinterpret_cast<uintptr_t>(system.lpMinimumApplicationAddress));
  out.maximumApplicationAddress = Low32(reinterpret_cast<uintptr_t>(system.lpMaximumApplicationAddress));
  out.activeProcessorMask = Low32(static_cast<uintptr_t>(system.dwActiveProcessorMask));
  out.numberOfProcessors = system.dwNumberOfProcessors;
  out.processorType = system.dwProcessorType;
  out.allocationGranularity = system.dwAllocationGranularity;
  out.processorLevel = system.wProcessorLevel;
  out.processorRevision = system.wProcessorRevision;

  record.moduleBase = Low32(reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr)));
}

bool WinCrashPlatform::DeleteLooseFile(const std::filesystem::path& path) { return DeleteFileW(path.c_str()) != 0; }

ExceptionDetails WinCrashPlatform::Exception() const {
  ExceptionDetails details;
  if (pointers_ != nullptr && pointers_->ExceptionRecord != nullptr) {
    details.present = true;
    details.code = pointers_->ExceptionRecord->ExceptionCode;
    details.address = Low32(reinterpret_cast<uintptr_t>(pointers_->ExceptionRecord->ExceptionAddress));
  }
  return details;
}

}  // namespace vx::crash
