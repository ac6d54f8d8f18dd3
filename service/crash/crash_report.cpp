#include "service/crash/crash_report.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "service/crash/bundle_writer.h"
#include "service/crash/crash_files.h"
#include "service/crash/stdio_file.h"

namespace vx::crash {
namespace {

uint32_t Low32(int64_t value) { return static_cast<uint32_t>(static_cast<uint64_t>(value)); }

// Static rather than on the stack: one report per process, and the caller
// may be short of stack.
uint8_t infoFile[kCrashInfoSize];

// True only when every byte went out and the file closed cleanly.
bool WriteInfoFile(const std::filesystem::path& path) {
  std::FILE* file = VXSecureBundle::OpenStdioFile(path, "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(infoFile, 1, sizeof infoFile, file) == sizeof infoFile;
  return std::fclose(file) == 0 && written;
}

void WriteBundle(const CrashReportOutcome& outcome, const std::filesystem::path& infoPath,
                 const std::filesystem::path& dumpPath, int64_t now) {
  try {
    VXSecureBundle::BundleWriter writer;
    if (!writer.SetKey(&kCrashBundleKey, 1)) return;
    if (!writer.Open(outcome.bundlePath, Low32(now), 0, kCrashLogVersion)) return;
    // An entry that fails part-way is cut off again by the writer, so the
    // bundle holds whole entries only; the other entry is still tried.
    if (outcome.infoWritten) (void)writer.AddFile(infoPath, "info");
    if (outcome.minidumpWritten) (void)writer.AddFile(dumpPath, "dump");
    // A bundle whose end or digest cannot be written is removed by Close;
    // its result only says that one was open.
    (void)writer.Close();
  } catch (...) {
    // Out of memory in a damaged process: the loose files are still removed.
  }
}

}  // namespace

CrashReportOutcome WriteCrashReport(const InstalledState& installed, const ExceptionDetails& exception,
                                    CrashPlatform& platform) noexcept {
  CrashReportOutcome outcome;
  try {
    const int64_t filterTime = platform.CurrentTime();
    const int firstDraw = platform.NextRandom();
    const int secondDraw = platform.NextRandom();
    const std::wstring base = CrashBaseName(installed.moduleDir, installed.appCode, filterTime, secondDraw, firstDraw);
    const std::filesystem::path infoPath = CrashFilePath(base, L".ifo");
    const std::filesystem::path dumpPath = CrashFilePath(base, L".dmp");
    outcome.bundlePath = CrashFilePath(base, L".clg");

    CrashRecord record;
    outcome.minidumpWritten = platform.WriteMinidump(dumpPath);
    record.minidumpResult = outcome.minidumpWritten ? 1 : 0;
    record.crashTime = platform.CurrentTime();
    std::memcpy(record.appCode, installed.appCode, sizeof record.appCode);
    record.versionMajor = installed.versionMajor;
    record.versionMinor = installed.versionMinor;
    record.versionBuild = installed.versionBuild;
    record.versionRevision = installed.versionRevision;
    record.startTime = installed.startTime;
    platform.FillPlatformInfo(record);
    record.exceptionPresent = exception.present;
    record.exceptionCode = exception.present ? exception.code : 0;
    record.exceptionAddress = exception.present ? exception.address : 0;
    BuildCrashInfoFile(record, infoFile);
    outcome.infoWritten = WriteInfoFile(infoPath);

    WriteBundle(outcome, infoPath, dumpPath, platform.CurrentTime());
    // Deleted in every case; a file that was never made is simply not there.
    (void)platform.DeleteLooseFile(infoPath);
    (void)platform.DeleteLooseFile(dumpPath);
  } catch (...) {
    // Nothing may escape into a crashed process's exception dispatch.
  }
  return outcome;
}

}  // namespace vx::crash
