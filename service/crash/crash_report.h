// One crash report: the minidump and the crash information file written
// beside the program, packed into one bundle ("info", then "dump"), the loose
// files deleted. The platform's part (clock, generator, minidump, system
// facts, deletion) is behind CrashPlatform, so the sequence and what it does
// when a part fails are the same code on every platform.
//
// What a bundle holds: only whole files. The information file is bundled
// when all 5,353 bytes were written and closed; the minidump when the dump
// call reported success (a dump that failed part-way is left out, and the
// information file says "minidump Result: 0"). A bundle with neither entry is
// still written: its header tells that a crash happened, and when.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "service/crash/crash_info.h"

namespace vx::crash {

// What InstallCrashHandler recorded, once, before any crash.
struct InstalledState {
  std::wstring_view moduleDir;  // without a trailing backslash
  int64_t startTime = 0;        // seconds since 1970
  char appCode[4] = {};
  int32_t versionMajor = 0;
  int32_t versionMinor = 0;
  int32_t versionBuild = 0;
  int32_t versionRevision = 0;
};

struct ExceptionDetails {
  bool present = false;  // false without pointers or without an exception record
  uint32_t code = 0;
  uint32_t address = 0;  // low 32 bits
};

class CrashPlatform {
 public:
  virtual ~CrashPlatform() = default;

  // Seconds since 1970.
  [[nodiscard]] virtual int64_t CurrentTime() = 0;

  // The next number of the C runtime's generator as seeded at install.
  [[nodiscard]] virtual int NextRandom() = 0;

  // Creates `path` and writes the crash's minidump into it. True only when
  // the whole dump was written; the file may exist either way.
  [[nodiscard]] virtual bool WriteMinidump(const std::filesystem::path& path) = 0;

  // The OS version, the system information and the module's load address.
  virtual void FillPlatformInfo(CrashRecord& record) = 0;

  // Deletes a file (never a directory). False when there was none or it
  // could not be deleted.
  [[nodiscard]] virtual bool DeleteLooseFile(const std::filesystem::path& path) = 0;
};

struct CrashReportOutcome {
  bool minidumpWritten = false;
  bool infoWritten = false;
  std::filesystem::path bundlePath;
};

// Writes the report. Never throws: a failing part leaves the rest to be done.
// Not reentrant: the information file is built in one static buffer, since
// the process that calls this has just crashed.
[[nodiscard]] CrashReportOutcome WriteCrashReport(const InstalledState& installed, const ExceptionDetails& exception,
                                                  CrashPlatform& platform) noexcept;

}  // namespace vx::crash
