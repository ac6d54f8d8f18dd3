// The platform calls of one crash report on Windows: the C runtime's clock
// and generator, DbgHelp's MiniDumpWriteDump for the faulting thread, the
// OS version and system information, DeleteFileW.
#pragma once

#include <cstdint>

#include "service/crash/crash_report.h"

struct _EXCEPTION_POINTERS;

namespace vx::crash {

class WinCrashPlatform final : public CrashPlatform {
 public:
  // `pointers` (possibly null) and `faultingThread` are the crash's; the dump
  // names that thread as the one that raised the exception, whichever thread
  // writes the report. The generator of the thread that builds this object
  // is seeded with `seed` unless it is the installing thread, whose generator
  // the installer seeded already: the C runtime keeps one generator per
  // thread, and the crash names take the installer's sequence.
  WinCrashPlatform(_EXCEPTION_POINTERS* pointers, unsigned long faultingThread, unsigned long installingThread,
                   unsigned seed);

  int64_t CurrentTime() override;
  int NextRandom() override;
  bool WriteMinidump(const std::filesystem::path& path) override;
  void FillPlatformInfo(CrashRecord& record) override;
  bool DeleteLooseFile(const std::filesystem::path& path) override;

  // The exception code and address, when the pointers carry a record.
  [[nodiscard]] ExceptionDetails Exception() const;

 private:
  _EXCEPTION_POINTERS* pointers_;
  unsigned long faultingThread_;
};

}  // namespace vx::crash
