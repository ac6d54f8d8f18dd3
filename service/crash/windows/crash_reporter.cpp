// clang-format off
#include <windows.h>
#include <dbghelp.h>
// clang-format on

#include "service/crash/windows/crash_reporter.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "service/crash/bundle_writer.h"
#include "service/crash/crash_files.h"
#include "service/crash/crash_info.h"

namespace vx::crash {
namespace {

// Installed once, before other threads exist; only read afterwards.
wchar_t moduleDir[kModulePathCapacity + 1] = L".";
int64_t startTime = 0;
DWORD installingThread = 0;
char appCode[4] = {};
int32_t versionMajor = 0;
int32_t versionMinor = 0;
int32_t versionBuild = 0;
int32_t versionRevision = 0;

// Static rather than on the stack: the crash may be a stack overflow.
uint8_t infoFile[kCrashInfoSize];

uint32_t Low32(uintptr_t value) { return static_cast<uint32_t>(value); }
uint32_t Low32(int64_t value) { return static_cast<uint32_t>(static_cast<uint64_t>(value)); }

bool WriteMinidump(const std::wstring& path, EXCEPTION_POINTERS* pointers) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  exception.ThreadId = GetCurrentThreadId();
  exception.ExceptionPointers = pointers;
  exception.ClientPointers = TRUE;
  BOOL written = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                                   pointers != nullptr ? &exception : nullptr, nullptr, nullptr);
  CloseHandle(file);
  return written != FALSE;
}

void FillPlatformInfo(CrashRecord& record) {
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
}

bool WriteInfoFile(const std::wstring& path) {
  std::FILE* file = _wfopen(path.c_str(), L"wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(infoFile, 1, sizeof infoFile, file) == sizeof infoFile;
  return std::fclose(file) == 0 && ok;
}

void WriteBundle(const std::wstring& bundlePath, const std::wstring& infoPath, const std::wstring& dumpPath) {
  try {
    VXSecureBundle::BundleWriter writer;
    writer.SetKey(&kCrashBundleKey, 1);
    if (!writer.Open(bundlePath, Low32(static_cast<int64_t>(std::time(nullptr))), 0, kCrashLogVersion)) return;
    writer.AddFile(infoPath, "info");
    writer.AddFile(dumpPath, "dump");
    writer.Close();
  } catch (...) {
    // Out of memory in a damaged process: the loose files are still removed
    // and the process still ends.
  }
}

// The C runtime keeps the generator's state per thread, so a thread other
// than the one that seeded it would draw the unseeded sequence and every crash
// name would carry the same two numbers. Such a thread seeds its own generator
// with the same seed first, and so draws what the installing thread would.
void SeedThisThreadLikeTheInstaller() {
  if (GetCurrentThreadId() != installingThread) std::srand(static_cast<unsigned>(startTime));
}

void ReportCrash(EXCEPTION_POINTERS* pointers) {
  const int64_t filterTime = std::time(nullptr);
  SeedThisThreadLikeTheInstaller();
  const int firstDraw = std::rand();
  const int secondDraw = std::rand();
  const std::wstring base = CrashBaseName(moduleDir, appCode, filterTime, secondDraw, firstDraw);
  const std::wstring infoPath = base + L".ifo";
  const std::wstring dumpPath = base + L".dmp";
  const std::wstring bundlePath = base + L".clg";

  CrashRecord record;
  record.minidumpResult = WriteMinidump(dumpPath, pointers) ? 1 : 0;
  record.crashTime = std::time(nullptr);
  std::memcpy(record.appCode, appCode, sizeof appCode);
  record.versionMajor = versionMajor;
  record.versionMinor = versionMinor;
  record.versionBuild = versionBuild;
  record.versionRevision = versionRevision;
  record.startTime = startTime;
  FillPlatformInfo(record);
  record.moduleBase = Low32(reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr)));
  if (pointers != nullptr && pointers->ExceptionRecord != nullptr) {
    record.exceptionPresent = true;
    record.exceptionCode = pointers->ExceptionRecord->ExceptionCode;
    record.exceptionAddress = Low32(reinterpret_cast<uintptr_t>(pointers->ExceptionRecord->ExceptionAddress));
  }
  BuildCrashInfoFile(record, infoFile);
  WriteInfoFile(infoPath);

  WriteBundle(bundlePath, infoPath, dumpPath);
  DeleteFileW(infoPath.c_str());
  DeleteFileW(dumpPath.c_str());
}

}  // namespace

void InstallCrashHandler(const char (&code)[5], int32_t major, int32_t minor, int32_t build, int32_t revision) {
  wchar_t path[kModulePathCapacity + 1] = {};
  DWORD length = GetModuleFileNameW(GetModuleHandleA(nullptr), path, kModulePathCapacity);
  // A path that does not fit is cut short; its directory would be wrong.
  if (length > 0 && length < kModulePathCapacity) {
    std::wstring directory = ModuleDirectoryOf(std::wstring_view(path, length));
    std::wcsncpy(moduleDir, directory.c_str(), kModulePathCapacity);
    moduleDir[kModulePathCapacity] = L'\0';
  }
  // One reading of the clock seeds the generator and is the start time.
  startTime = std::time(nullptr);
  installingThread = GetCurrentThreadId();
  std::srand(static_cast<unsigned>(startTime));
  // The application's values are in place before the filter can run.
  std::memcpy(appCode, code, sizeof appCode);
  versionMajor = major;
  versionMinor = minor;
  versionBuild = build;
  versionRevision = revision;
  SetUnhandledExceptionFilter(&CrashFilter);
}

long __stdcall CrashFilter(_EXCEPTION_POINTERS* pointers) {
  // One report per process. Another thread that crashes meanwhile would build
  // the same file names in the same second and spoil the first report, so it
  // waits for the reporter to end the process. A fault inside the report
  // itself ends the process at once.
  static std::atomic<DWORD> reportingThread{0};
  DWORD self = GetCurrentThreadId();
  DWORD expected = 0;
  if (!reportingThread.compare_exchange_strong(expected, self)) {
    if (expected == self) ExitProcess(static_cast<UINT>(-1));
    for (;;) Sleep(INFINITE);
  }
  try {
    ReportCrash(pointers);
  } catch (...) {
    // Nothing may escape into the platform's exception dispatch.
  }
  ExitProcess(static_cast<UINT>(-1));
}

}  // namespace vx::crash
