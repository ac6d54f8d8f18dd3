#include "service/crash/crash_files.h"

#include <gtest/gtest.h>

namespace {

using namespace vx::crash;

TEST(CrashFilesTest, BaseNameCarriesCodeTimeAndDrawsSecondFirst) {
  const char code[4] = {'V', 'X', 'D', 'C'};
  EXPECT_EQ(CrashBaseName(L"C:\\Program Files\\Vestara", code, 1386550000, 0x12d7, 0x29a),
            L"C:\\Program Files\\Vestara\\56584443-1386550000-12d7-29a");
  // Only the low 32 bits of the time, as a signed number.
  EXPECT_EQ(CrashBaseName(L"D:", code, int64_t{0x100000000} + 0x80000001, 0, 0x7fff),
            L"D:\\56584443--2147483647-0-7fff");
  const char high[4] = {'\xff', '\x00', 'a', '\x7f'};
  EXPECT_EQ(CrashBaseName(L"X", high, 5, 1, 2), L"X\\ff00617f-5-1-2");
}

TEST(CrashFilesTest, ModuleDirectoryIsThePathUpToItsLastBackslash) {
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"C:\\Program Files\\Vestara\\VestaraDeviceControl.exe", L"C:\\Program Files\\Vestara"},
      {L"C:\\a.exe", L"C:"},
      {L"\\\\?\\C:\\x\\y.exe", L"\\\\?\\C:\\x"},
      {L"plain.exe", L"."},
      {L"", L"."},
  };
  for (const auto& [path, directory] : cases) EXPECT_EQ(ModuleDirectoryOf(path), directory);
}

}  // namespace
