#include "service/crash/crash_info.h"

#include <cstdio>
#include <cstring>

namespace vx::crash {
namespace {

int32_t Low32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value))); }

class RecordWriter {
 public:
  RecordWriter(uint8_t* out, std::size_t offset) : out_(out), offset_(offset) {}
  void Byte(uint8_t value) { out_[offset_++] = value; }
  void Half(uint16_t value) {
    Byte(static_cast<uint8_t>(value));
    Byte(static_cast<uint8_t>(value >> 8));
  }
  void Word(uint32_t value) {
    Half(static_cast<uint16_t>(value));
    Half(static_cast<uint16_t>(value >> 16));
  }
  std::size_t offset() const { return offset_; }

 private:
  uint8_t* out_;
  std::size_t offset_;
};

void WriteOsVersion(RecordWriter& writer, const OsVersionInfo& info) {
  writer.Word(kOsVersionInfoSize);
  writer.Word(info.majorVersion);
  writer.Word(info.minorVersion);
  writer.Word(info.buildNumber);
  writer.Word(info.platformId);
  for (uint16_t unit : info.csdVersion) writer.Half(unit);
}

void WriteSystemInfo(RecordWriter& writer, const SystemInfo32& info) {
  writer.Half(info.processorArchitecture);
  writer.Half(info.reserved);
  writer.Word(info.pageSize);
  writer.Word(info.minimumApplicationAddress);
  writer.Word(info.maximumApplicationAddress);
  writer.Word(info.activeProcessorMask);
  writer.Word(info.numberOfProcessors);
  writer.Word(info.processorType);
  writer.Word(info.allocationGranularity);
  writer.Half(info.processorLevel);
  writer.Half(info.processorRevision);
}

}  // namespace

uint32_t VersionHighWord(const CrashRecord& record) {
  return static_cast<uint32_t>(record.versionMajor) * 65536u + static_cast<uint32_t>(record.versionMinor);
}

uint32_t VersionLowWord(const CrashRecord& record) {
  return static_cast<uint32_t>(record.versionBuild) * 65536u + static_cast<uint32_t>(record.versionRevision);
}

std::tm LocalTimeOf(int64_t time) {
  std::tm local{};
#ifdef _WIN32
  __time64_t value = time;
  if (_localtime64_s(&local, &value) != 0) local = std::tm{};
#else
  std::time_t value = static_cast<std::time_t>(time);
  if (localtime_r(&value, &local) == nullptr) local = std::tm{};
#endif
  return local;
}

void FormatTimeText(int64_t time, const std::tm& local, char (&out)[kTimeTextSize]) {
  std::snprintf(out, sizeof out, "%d (%4d/%02d/%02d %02d:%02d:%02d)", Low32(time), local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

void FormatExceptionText(const CrashRecord& record, char (&out)[kExceptionTextSize]) {
  if (record.exceptionPresent)
    std::snprintf(out, sizeof out, "Exception Code: 0x%08x\nException Address: 0x%08x", record.exceptionCode,
                  record.exceptionAddress);
  else
    std::snprintf(out, sizeof out, "No Exception Info");
}

void FormatCrashLogText(const CrashRecord& record, const char* crashTimeText, const char* startTimeText,
                        uint8_t (&area)[kCrashTextSize]) {
  char exceptionText[kExceptionTextSize];
  FormatExceptionText(record, exceptionText);
  std::memset(area, 0, sizeof area);
  std::snprintf(reinterpret_cast<char*>(area), sizeof area,
                "Crash log\n=====-===\nCrash Log Version: %d\nApplication: %c%c%c%c\n"
                "Version: %d.%d.%d.%d (0x%08x 0x%08x)\nTime: %s\nStartup Time: %s\n"
                "OS Info: Major: %d Minor: %d Build: %d\n"
                "SYS Info: No. Processor: %d Processor Type: %d Arch: %d Level: %d Revision: %d\n"
                "BaseAddress: 0x%08x\nminidump Result: %d\n%s\n"
                "-------------------------------------------------------------------------------------------"
                "\n\n\n\n\n",
                kCrashLogVersion, record.appCode[0], record.appCode[1], record.appCode[2], record.appCode[3],
                record.versionMajor, record.versionMinor, record.versionBuild, record.versionRevision,
                VersionHighWord(record), VersionLowWord(record), crashTimeText, startTimeText,
                static_cast<int>(record.osVersion.majorVersion), static_cast<int>(record.osVersion.minorVersion),
                static_cast<int>(record.osVersion.buildNumber), static_cast<int>(record.systemInfo.numberOfProcessors),
                static_cast<int>(record.systemInfo.processorType), record.systemInfo.processorArchitecture,
                record.systemInfo.processorLevel, record.systemInfo.processorRevision, record.moduleBase,
                static_cast<int>(record.minidumpResult), exceptionText);
}

void BuildCrashInfoFile(const CrashRecord& record, uint8_t (&out)[kCrashInfoSize]) {
  char crashTimeText[kTimeTextSize];
  char startTimeText[kTimeTextSize];
  FormatTimeText(record.crashTime, LocalTimeOf(record.crashTime), crashTimeText);
  FormatTimeText(record.startTime, LocalTimeOf(record.startTime), startTimeText);

  uint8_t text[kCrashTextSize];
  FormatCrashLogText(record, crashTimeText, startTimeText, text);
  std::memcpy(out, text, sizeof text);

  RecordWriter writer(out, kOffsetVersion);
  writer.Byte(kCrashLogVersion);
  for (char c : record.appCode) writer.Byte(static_cast<uint8_t>(c));
  writer.Word(VersionHighWord(record));
  writer.Word(VersionLowWord(record));
  writer.Word(static_cast<uint32_t>(Low32(record.crashTime)));
  writer.Word(static_cast<uint32_t>(Low32(record.startTime)));
  writer.Word(record.minidumpResult);
  WriteOsVersion(writer, record.osVersion);
  WriteSystemInfo(writer, record.systemInfo);
  writer.Word(record.exceptionPresent ? 1u : 0u);
  writer.Word(record.exceptionPresent ? record.exceptionCode : 0u);
  writer.Word(record.exceptionPresent ? record.exceptionAddress : 0u);
  writer.Word(record.moduleBase);
}

}  // namespace vx::crash
