// The crash report's sequence over a scripted platform and the real file
// system: what the bundle holds when the minidump or the information file
// cannot be written, and that no loose file is ever left.
#include "service/crash/crash_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "service/crash/crash_files.h"
#include "tests/crash/bundle_reader.h"
#include "tests/support/temp_dir.h"

namespace {

using vx::test::TempDir;
using namespace vx::crash;

enum class Dump { kWritten, kFailsPartWay, kNotCreated };

// The platform as a crashed process sees it, scripted: a fixed clock and
// generator, and a minidump that is written, fails part-way or cannot be
// created.
class ScriptedPlatform final : public CrashPlatform {
 public:
  explicit ScriptedPlatform(Dump dump) : dump_(dump) {}

  int64_t CurrentTime() override { return now_++; }
  int NextRandom() override { return draws_[drawn_++ % 2]; }
  bool WriteMinidump(const std::filesystem::path& path) override {
    if (dump_ == Dump::kNotCreated) return false;
    std::ofstream out(path, std::ios::binary);
    out << (dump_ == Dump::kWritten ? "MDMP whole dump" : "MDMP");
    return dump_ == Dump::kWritten && out.good();
  }
  void FillPlatformInfo(CrashRecord& record) override {
    record.osVersion.majorVersion = 6;
    record.systemInfo.numberOfProcessors = 2;
    record.moduleBase = 0x00400000;
  }
  bool DeleteLooseFile(const std::filesystem::path& path) override {
    std::error_code error;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(path, error))) return false;
    return std::filesystem::remove(path, error);
  }

 private:
  Dump dump_;
  int64_t now_ = 1386550000;
  const int draws_[2] = {0x29a, 0x12d7};
  int drawn_ = 0;
};

enum class Info { kWritten, kNotCreated, kFailsPartWay };

struct FailureCase {
  const char* what;
  Dump dump;
  Info info;
  std::vector<std::string> entries;
  uint32_t minidumpResult;  // in the information file, when it is bundled
};

std::vector<std::string> EntryNames(const vx::test::Bundle& bundle) {
  std::vector<std::string> names;
  for (const auto& entry : bundle.entries) names.push_back(entry.name);
  return names;
}

uint32_t WordAt(const std::vector<uint8_t>& bytes, std::size_t offset) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
  return value;
}

InstalledState Installed(const std::wstring& moduleDir) {
  InstalledState installed;
  installed.moduleDir = moduleDir;
  installed.startTime = 1386549000;
  std::memcpy(installed.appCode, "VXDC", 4);
  installed.versionMajor = 1;
  installed.versionMinor = 5;
  installed.versionRevision = 1155;
  return installed;
}

const ExceptionDetails kAccessViolation{true, 0xC0000005u, 0x00401a2bu};

// The base name the scripted clock and draws give: time 1386550000, the
// second draw first.
std::filesystem::path CrashFile(const TempDir& dir, const char* extension) {
  return dir / (std::string("56584443-1386550000-12d7-29a") + extension);
}

// Each failure leaves one bundle holding the whole files that could be
// written, never a partial entry, and no loose file.
TEST(CrashReportTest, TheBundleHoldsTheWholeFilesThatCouldBeWritten) {
  std::vector<FailureCase> cases = {
      {"both written", Dump::kWritten, Info::kWritten, {"info", "dump"}, 1},
      {"minidump fails part-way", Dump::kFailsPartWay, Info::kWritten, {"info"}, 0},
      {"minidump file cannot be created", Dump::kNotCreated, Info::kWritten, {"info"}, 0},
      {"information file cannot be created", Dump::kWritten, Info::kNotCreated, {"dump"}, 0},
      {"neither file", Dump::kNotCreated, Info::kNotCreated, {}, 0},
  };
#ifndef _WIN32
  cases.push_back({"information file fails part-way (a full disk)", Dump::kWritten, Info::kFailsPartWay, {"dump"}, 0});
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::filesystem::path infoPath = CrashFile(dir, ".ifo");
    std::vector<std::filesystem::path> expectedLeft = {CrashFile(dir, ".clg")};
    if (c.info == Info::kNotCreated) {
      std::filesystem::create_directory(infoPath);  // a directory stands where the file would go
      expectedLeft.push_back(infoPath);
    }
#ifndef _WIN32
    if (c.info == Info::kFailsPartWay) std::filesystem::create_symlink("/dev/full", infoPath);
#endif
    ScriptedPlatform platform(c.dump);
    const std::wstring moduleDir = dir.path().wstring();
    const CrashReportOutcome outcome = WriteCrashReport(Installed(moduleDir), kAccessViolation, platform);
    EXPECT_EQ(outcome.minidumpWritten, c.dump == Dump::kWritten);
    EXPECT_EQ(outcome.infoWritten, c.info == Info::kWritten);
    EXPECT_EQ(outcome.bundlePath, CrashFile(dir, ".clg"));

    std::vector<std::filesystem::path> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) left.push_back(entry.path());
    std::sort(left.begin(), left.end());
    std::sort(expectedLeft.begin(), expectedLeft.end());
    EXPECT_EQ(left, expectedLeft);

    std::string error;
    const uint8_t key = kCrashBundleKey;
    const auto bundle = vx::test::ReadBundleFile(outcome.bundlePath, {&key, 1}, error);
    ASSERT_TRUE(bundle.has_value()) << error;
    EXPECT_EQ(EntryNames(*bundle), c.entries);
    EXPECT_EQ(bundle->headerA, 1386550002u);  // the clock's third reading
    EXPECT_EQ(bundle->headerC, 2u);
    for (const auto& entry : bundle->entries) {
      if (entry.name == "dump") {
        EXPECT_EQ(std::string(entry.contents.begin(), entry.contents.end()), "MDMP whole dump");
        continue;
      }
      ASSERT_EQ(entry.contents.size(), kCrashInfoSize);
      EXPECT_EQ(WordAt(entry.contents, kOffsetMinidumpResult), c.minidumpResult);
      EXPECT_EQ(WordAt(entry.contents, kOffsetCrashTime), 1386550001u);
      EXPECT_EQ(WordAt(entry.contents, kOffsetExceptionCode), 0xC0000005u);
      const std::string text(reinterpret_cast<const char*>(entry.contents.data()));
      EXPECT_NE(text.find("minidump Result: " + std::to_string(c.minidumpResult) + "\n"), std::string::npos) << text;
    }
  }
}

// A bundle that cannot be created leaves nothing at all: the loose files
// still go.
TEST(CrashReportTest, WithoutABundleTheLooseFilesStillGo) {
  TempDir dir;
  std::filesystem::create_directory(CrashFile(dir, ".clg"));
  ScriptedPlatform platform(Dump::kWritten);
  const std::wstring moduleDir = dir.path().wstring();
  const CrashReportOutcome outcome = WriteCrashReport(Installed(moduleDir), ExceptionDetails{}, platform);
  EXPECT_TRUE(outcome.minidumpWritten);
  EXPECT_TRUE(outcome.infoWritten);
  EXPECT_FALSE(std::filesystem::exists(CrashFile(dir, ".ifo")));
  EXPECT_FALSE(std::filesystem::exists(CrashFile(dir, ".dmp")));
  EXPECT_TRUE(std::filesystem::is_empty(CrashFile(dir, ".clg")));
}

}  // namespace
