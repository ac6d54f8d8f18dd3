// The crash information file: 5,000 bytes of crash log text, then the crash
// record, 5,353 bytes in all, integers little-endian, no gaps.
//
//   0     5000  crash log text, zero-filled
//   5000  1     crash log version (2)
//   5001  4     application code
//   5005  4     major * 65536 + minor
//   5009  4     build * 65536 + revision
//   5013  4     crash time, low 32 bits      5017  4  start time, low 32 bits
//   5021  4     minidump result (1 or 0)
//   5025  276   OSVERSIONINFOW
//   5301  36    SYSTEM_INFO in its 32-bit layout
//   5337  4     exception details present    5341  4  exception code
//   5345  4     exception address            5349  4  module load address
//
// Both builds write the 32-bit layouts: every field is serialised on its own,
// and addresses keep their low 32 bits. Nothing here allocates, since it runs
// in a process that has just crashed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace vx::crash {

inline constexpr std::size_t kCrashTextSize = 5000;
inline constexpr std::size_t kCrashInfoSize = 5353;
inline constexpr uint8_t kCrashLogVersion = 2;
inline constexpr uint32_t kOsVersionInfoSize = 276;
inline constexpr std::size_t kSystemInfo32Size = 36;
inline constexpr std::size_t kTimeTextSize = 64;
inline constexpr std::size_t kExceptionTextSize = 64;

// Offsets of the crash record's fields in the file.
inline constexpr std::size_t kOffsetVersion = 5000;
inline constexpr std::size_t kOffsetAppCode = 5001;
inline constexpr std::size_t kOffsetVersionHigh = 5005;
inline constexpr std::size_t kOffsetVersionLow = 5009;
inline constexpr std::size_t kOffsetCrashTime = 5013;
inline constexpr std::size_t kOffsetStartTime = 5017;
inline constexpr std::size_t kOffsetMinidumpResult = 5021;
inline constexpr std::size_t kOffsetOsVersion = 5025;
inline constexpr std::size_t kOffsetSystemInfo = 5301;
inline constexpr std::size_t kOffsetExceptionPresent = 5337;
inline constexpr std::size_t kOffsetExceptionCode = 5341;
inline constexpr std::size_t kOffsetExceptionAddress = 5345;
inline constexpr std::size_t kOffsetModuleBase = 5349;

// OSVERSIONINFOW's fields after its size field, which is written as 276.
struct OsVersionInfo {
  uint32_t majorVersion = 0;
  uint32_t minorVersion = 0;
  uint32_t buildNumber = 0;
  uint32_t platformId = 0;
  uint16_t csdVersion[128] = {};
};

// SYSTEM_INFO as a 32-bit program sees it (pointers and the processor mask
// keep their low 32 bits).
struct SystemInfo32 {
  uint16_t processorArchitecture = 0;
  uint16_t reserved = 0;
  uint32_t pageSize = 0;
  uint32_t minimumApplicationAddress = 0;
  uint32_t maximumApplicationAddress = 0;
  uint32_t activeProcessorMask = 0;
  uint32_t numberOfProcessors = 0;
  uint32_t processorType = 0;
  uint32_t allocationGranularity = 0;
  uint16_t processorLevel = 0;
  uint16_t processorRevision = 0;
};

struct CrashRecord {
  char appCode[4] = {};
  int32_t versionMajor = 0;
  int32_t versionMinor = 0;
  int32_t versionBuild = 0;
  int32_t versionRevision = 0;
  int64_t crashTime = 0;  // seconds since 1970
  int64_t startTime = 0;
  uint32_t minidumpResult = 0;
  OsVersionInfo osVersion;
  SystemInfo32 systemInfo;
  bool exceptionPresent = false;
  uint32_t exceptionCode = 0;
  uint32_t exceptionAddress = 0;
  uint32_t moduleBase = 0;
};

// major * 65536 + minor and build * 65536 + revision, as 32-bit words.
uint32_t VersionHighWord(const CrashRecord& record);
uint32_t VersionLowWord(const CrashRecord& record);

// The local date and time of `time`; all zero when it cannot be converted.
std::tm LocalTimeOf(int64_t time);

// "%d (%4d/%02d/%02d %02d:%02d:%02d)": the low 32 bits of `time` as a signed
// number, then the local date and time given.
void FormatTimeText(int64_t time, const std::tm& local, char (&out)[kTimeTextSize]);

// "Exception Code: 0x%08x\nException Address: 0x%08x", or "No Exception Info".
void FormatExceptionText(const CrashRecord& record, char (&out)[kExceptionTextSize]);

// The crash log text, zero-filled to the 5,000-byte text area.
void FormatCrashLogText(const CrashRecord& record, const char* crashTimeText, const char* startTimeText,
                        uint8_t (&area)[kCrashTextSize]);

// The whole information file, with its text from the local times of the
// record's crash and start times.
void BuildCrashInfoFile(const CrashRecord& record, uint8_t (&out)[kCrashInfoSize]);

}  // namespace vx::crash
