// Runs crash_probe.exe in a directory of its own and checks what the crash
// leaves there. Runs under Wine, so the exit code is seen in full.
// clang-format off
#include <windows.h>
#include <dbghelp.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "service/crash/crash_files.h"
#include "service/crash/crash_info.h"
#include "tests/crash/bundle_reader.h"
#include "tests/support/temp_dir.h"

namespace {

using vx::test::Bundle;
using vx::test::TempDir;

uint32_t WordAt(const std::vector<uint8_t>& bytes, std::size_t offset) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
  return value;
}

std::filesystem::path ProbeBesideThisProgram() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(path).parent_path() / L"crash_probe.exe";
}

// Starts the program with the argument and returns its exit code, or 0 when
// it could not be started or did not end within two minutes.
DWORD RunToEnd(const std::filesystem::path& program, const std::wstring& argument) {
  std::wstring commandLine = L"\"" + program.wstring() + L"\" " + argument;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      program.parent_path().c_str(), &startup, &process))
    return 0;
  DWORD exitCode = 0;
  if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0)
    GetExitCodeProcess(process.hProcess, &exitCode);
  else
    TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return exitCode;
}

struct CrashOutcome {
  DWORD exitCode = 0;
  std::vector<std::filesystem::path> leftFiles;  // everything beside the probe and its fault-thread.txt
  unsigned long faultThread = 0;                 // from fault-thread.txt, when the probe wrote it
  std::size_t stackLeft = 0;
  Bundle bundle;
  long long nameTime = 0;
  unsigned nameFirstHex = 0;   // the second draw
  unsigned nameSecondHex = 0;  // the first draw
  int64_t runStart = 0;        // the clock around the probe's run
  int64_t runEnd = 0;
};

CrashOutcome CrashProbeIn(const TempDir& dir, const std::wstring& argument) {
  CrashOutcome outcome;
  const std::filesystem::path probe = dir / L"crash_probe.exe";
  std::filesystem::copy_file(ProbeBesideThisProgram(), probe);
  outcome.runStart = std::time(nullptr);
  outcome.exitCode = RunToEnd(probe, argument);
  outcome.runEnd = std::time(nullptr);
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    if (entry.path().filename() != L"crash_probe.exe" && entry.path().filename() != L"fault-thread.txt")
      outcome.leftFiles.push_back(entry.path());
  std::ifstream faultThread(dir / L"fault-thread.txt");
  faultThread >> outcome.faultThread >> outcome.stackLeft;
  if (outcome.leftFiles.size() != 1) return outcome;

  std::smatch match;
  const std::string name = outcome.leftFiles[0].filename().string();
  if (!std::regex_match(name, match, std::regex(R"(56584443-(-?\d+)-([0-9a-f]+)-([0-9a-f]+)\.clg)"))) {
    ADD_FAILURE() << "unexpected crash file name " << name;
    return outcome;
  }
  outcome.nameTime = std::stoll(match[1]);
  outcome.nameFirstHex = static_cast<unsigned>(std::stoul(match[2], nullptr, 16));
  outcome.nameSecondHex = static_cast<unsigned>(std::stoul(match[3], nullptr, 16));
  std::string error;
  const uint8_t key = vx::crash::kCrashBundleKey;
  auto bundle = vx::test::ReadBundleFile(outcome.leftFiles[0], {&key, 1}, error);
  EXPECT_TRUE(bundle.has_value()) << error;
  if (bundle) outcome.bundle = *bundle;
  return outcome;
}

// The thread and code of the dump's exception stream; thread 0 when the dump
// has none.
struct DumpException {
  unsigned long thread = 0;
  uint32_t code = 0;
};

DumpException ExceptionInDump(std::vector<uint8_t> dump) {
  DumpException found;
  MINIDUMP_DIRECTORY* directory = nullptr;
  void* stream = nullptr;
  ULONG size = 0;
  if (!MiniDumpReadDumpStream(dump.data(), ExceptionStream, &directory, &stream, &size) ||
      size < sizeof(MINIDUMP_EXCEPTION_STREAM))
    return found;
  const auto* exception = static_cast<const MINIDUMP_EXCEPTION_STREAM*>(stream);
  found.thread = exception->ThreadId;
  found.code = exception->ExceptionRecord.ExceptionCode;
  return found;
}

long long TimeOnTimeLine(const std::vector<uint8_t>& info) {
  std::string text(reinterpret_cast<const char*>(info.data()));
  std::smatch match;
  if (!std::regex_search(text, match, std::regex(R"(\nTime: (-?\d+) \()"))) return -1;
  return std::stoll(match[1]);
}

TEST(CrashReporterTest, FaultOnWorkerThreadLeavesOneBundleAndExitsMinusOne) {
  TempDir dir;
  CrashOutcome outcome = CrashProbeIn(dir, L"");
  EXPECT_EQ(outcome.exitCode, 0xFFFFFFFFu);
  ASSERT_EQ(outcome.leftFiles.size(), 1u) << "expected exactly one file beside the probe";
  EXPECT_EQ(outcome.leftFiles[0].extension(), L".clg");

  const Bundle& bundle = outcome.bundle;
  ASSERT_EQ(bundle.entries.size(), 2u);
  EXPECT_EQ(bundle.headerB, 0u);
  EXPECT_EQ(bundle.headerC, 2u);
  const std::vector<uint8_t>& info = bundle.entries[0].contents;
  const std::vector<uint8_t>& dump = bundle.entries[1].contents;
  EXPECT_EQ(bundle.entries[0].name, "info");
  EXPECT_EQ(bundle.entries[1].name, "dump");
  ASSERT_EQ(info.size(), 5353u);
  ASSERT_GE(dump.size(), 4u);
  EXPECT_EQ(std::string(dump.begin(), dump.begin() + 4), "MDMP");
  // The dump names the thread that faulted, not the reporter that wrote it.
  const DumpException inDump = ExceptionInDump(dump);
  ASSERT_NE(outcome.faultThread, 0u);
  EXPECT_EQ(inDump.thread, outcome.faultThread);
  EXPECT_EQ(inDump.code, 0xC0000005u);

  EXPECT_EQ(info[5000], 2);
  EXPECT_EQ(std::string(info.begin() + 5001, info.begin() + 5005), "VXDC");
  EXPECT_EQ(WordAt(info, 5005), 0x00010005u);
  EXPECT_EQ(WordAt(info, 5009), 0x00000483u);
  EXPECT_EQ(WordAt(info, 5021), 1u);  // minidump written
  EXPECT_EQ(WordAt(info, 5025), 276u);
  EXPECT_EQ(WordAt(info, 5337), 1u);
  EXPECT_EQ(WordAt(info, 5341), 0xC0000005u);
  EXPECT_LE(WordAt(info, 5017), WordAt(info, 5013));  // started before it crashed

  std::string text(reinterpret_cast<const char*>(info.data()));
  EXPECT_NE(text.find("Version: 1.5.0.1155 (0x00010005 0x00000483)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("minidump Result: 1\nException Code: 0xc0000005\n"), std::string::npos) << text;

  // The file name takes the clock when the filter starts, the Time line the
  // clock after the minidump, which under Wine takes a few seconds: both lie
  // within the probe's run, in that order.
  long long timeLine = TimeOnTimeLine(info);
  EXPECT_EQ(static_cast<uint32_t>(timeLine), WordAt(info, 5013));
  EXPECT_LE(outcome.runStart, outcome.nameTime);
  EXPECT_LE(outcome.nameTime, timeLine);
  EXPECT_LE(timeLine, outcome.runEnd);

  // The crash was on a worker thread, yet the two numbers of the name are the
  // first two draws of the generator seeded with the start time (second draw
  // first), not the unseeded sequence every thread starts with.
  std::srand(WordAt(info, 5017));
  const unsigned firstDraw = static_cast<unsigned>(std::rand());
  const unsigned secondDraw = static_cast<unsigned>(std::rand());
  EXPECT_EQ(outcome.nameFirstHex, secondDraw);
  EXPECT_EQ(outcome.nameSecondHex, firstDraw);
}

TEST(CrashReporterTest, FilterWithoutExceptionPointersReportsNoExceptionInfo) {
  TempDir dir;
  CrashOutcome outcome = CrashProbeIn(dir, L"no-exception-info");
  EXPECT_EQ(outcome.exitCode, 0xFFFFFFFFu);
  ASSERT_EQ(outcome.leftFiles.size(), 1u);
  ASSERT_EQ(outcome.bundle.entries.size(), 2u);
  const std::vector<uint8_t>& info = outcome.bundle.entries[0].contents;
  ASSERT_EQ(info.size(), 5353u);
  std::string text(reinterpret_cast<const char*>(info.data()));
  EXPECT_NE(text.find("\nNo Exception Info\n"), std::string::npos) << text;
  EXPECT_EQ(WordAt(info, 5337), 0u);
  EXPECT_EQ(WordAt(info, 5341), 0u);
  EXPECT_EQ(WordAt(info, 5345), 0u);
}

TEST(CrashReporterTest, TwoThreadsFaultingAtOnceLeaveOneWholeBundle) {
  TempDir dir;
  CrashOutcome outcome = CrashProbeIn(dir, L"two-threads");
  EXPECT_EQ(outcome.exitCode, 0xFFFFFFFFu);
  ASSERT_EQ(outcome.leftFiles.size(), 1u) << "expected exactly one file beside the probe";
  ASSERT_EQ(outcome.bundle.entries.size(), 2u);
  EXPECT_EQ(outcome.bundle.entries[0].contents.size(), 5353u);
  const std::vector<uint8_t>& dump = outcome.bundle.entries[1].contents;
  ASSERT_GE(dump.size(), 4u);
  EXPECT_EQ(std::string(dump.begin(), dump.begin() + 4), "MDMP");
}

// A thread whose stack is nearly used up cannot write the report itself (the
// minidump alone needs far more stack than it has left): the reporter thread
// writes it, and the bundle is whole.
TEST(CrashReporterTest, AFaultOnANearlyFullStackStillLeavesOneWholeBundle) {
  TempDir dir;
  CrashOutcome outcome = CrashProbeIn(dir, L"nearly-full-stack");
  EXPECT_EQ(outcome.exitCode, 0xFFFFFFFFu);
  ASSERT_NE(outcome.faultThread, 0u) << "the probe did not reach its fault";
  EXPECT_LE(outcome.stackLeft, 24u * 1024);
  ASSERT_EQ(outcome.leftFiles.size(), 1u) << "expected exactly one file beside the probe";
  ASSERT_EQ(outcome.bundle.entries.size(), 2u);
  const std::vector<uint8_t>& info = outcome.bundle.entries[0].contents;
  ASSERT_EQ(info.size(), 5353u);
  EXPECT_EQ(WordAt(info, 5021), 1u);  // minidump written
  EXPECT_EQ(WordAt(info, 5341), 0xC0000005u);
  const std::vector<uint8_t>& dump = outcome.bundle.entries[1].contents;
  ASSERT_GE(dump.size(), 4u);
  EXPECT_EQ(std::string(dump.begin(), dump.begin() + 4), "MDMP");
  const DumpException inDump = ExceptionInDump(dump);
  EXPECT_EQ(inDump.thread, outcome.faultThread);
  EXPECT_EQ(inDump.code, 0xC0000005u);
}

// The reporter thread only waits: a program that ends without a crash ends as
// it always did, with its own exit code and no crash file.
TEST(CrashReporterTest, WithoutACrashTheProgramEndsWithItsOwnExitCode) {
  TempDir dir;
  CrashOutcome outcome = CrashProbeIn(dir, L"exit-normally");
  EXPECT_EQ(outcome.exitCode, 7u);
  EXPECT_TRUE(outcome.leftFiles.empty());
}

}  // namespace
