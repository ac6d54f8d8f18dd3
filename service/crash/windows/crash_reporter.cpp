#include <windows.h>

#include "service/crash/windows/crash_reporter.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <string>

#include "service/crash/crash_files.h"
#include "service/crash/crash_report.h"
#include "service/crash/windows/win_crash_platform.h"

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

// The reporter: a thread made at install that waits for a crash and then
// writes the report on a stack of its own. The faulting thread may have
// almost none left (a deep recursion, a large local buffer), and the report
// (the minidump above all) needs a good deal. The thread only waits, so it
// neither keeps the process alive (the process ends when its program returns
// or calls ExitProcess, whatever other threads do) nor touches its exit code.
HANDLE reporterThread = nullptr;
DWORD reporterThreadId = 0;
HANDLE crashSignal = nullptr;  // manual reset; set once, by the faulting thread

// The hand-over, written by the faulting thread before it sets crashSignal
// (setting and waiting for an event order the writes before the reads).
EXCEPTION_POINTERS* handedPointers = nullptr;
DWORD handedThread = 0;

[[noreturn]] void EndProcess() { ExitProcess(static_cast<UINT>(-1)); }

void ReportCrash(EXCEPTION_POINTERS* pointers, DWORD faultingThread) {
  WinCrashPlatform platform(pointers, faultingThread, installingThread, static_cast<unsigned>(startTime));
  InstalledState installed;
  installed.moduleDir = moduleDir;
  installed.startTime = startTime;
  std::memcpy(installed.appCode, appCode, sizeof appCode);
  installed.versionMajor = versionMajor;
  installed.versionMinor = versionMinor;
  installed.versionBuild = versionBuild;
  installed.versionRevision = versionRevision;
  // The process ends next whatever the report achieved; what it holds is
  // decided inside (whole files only).
  (void)WriteCrashReport(installed, platform.Exception(), platform);
}

DWORD WINAPI ReporterThread(void*) {
  if (WaitForSingleObject(crashSignal, INFINITE) != WAIT_OBJECT_0) return 0;
  ReportCrash(handedPointers, handedThread);
  EndProcess();
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
  if (reporterThread == nullptr) {
    crashSignal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Without the event or the thread, a crash is reported on the faulting
    // thread itself, as well as its stack allows.
    if (crashSignal != nullptr)
      reporterThread = CreateThread(nullptr, 0, &ReporterThread, nullptr, 0, &reporterThreadId);
  }
  // The previous filter is of no use: this one never returns.
  (void)SetUnhandledExceptionFilter(&CrashFilter);
}

long __stdcall CrashFilter(_EXCEPTION_POINTERS* pointers) {
  // Kept to a few calls: this runs on the faulting thread, whose stack may be
  // nearly used up.
  const DWORD self = GetCurrentThreadId();
  // A fault while the report is being written ends the process at once.
  if (reporterThread != nullptr && self == reporterThreadId) EndProcess();

  // One report per process. Another thread that crashes meanwhile would build
  // the same file names in the same second and spoil the first report, so it
  // waits for the reporter to end the process. A second fault of the
  // reporting thread itself ends the process at once.
  static std::atomic<DWORD> reportingThread{0};
  DWORD expected = 0;
  if (!reportingThread.compare_exchange_strong(expected, self)) {
    if (expected == self) EndProcess();
    for (;;) Sleep(INFINITE);
  }

  // Hand the crash to the reporter while it still waits; a process that is
  // already ending has stopped it.
  if (reporterThread != nullptr && WaitForSingleObject(reporterThread, 0) == WAIT_TIMEOUT) {
    handedPointers = pointers;
    handedThread = self;
    if (SetEvent(crashSignal)) {
      // The reporter ends the process; the wait returns only if it was
      // stopped part-way, and then there is nothing left to do.
      (void)WaitForSingleObject(reporterThread, INFINITE);
      EndProcess();
    }
  }
  // No reporter: the report is written here, on this thread's own stack.
  ReportCrash(pointers, self);
  EndProcess();
}

}  // namespace vx::crash
