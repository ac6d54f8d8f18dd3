#include "policy/language.h"

#include <gtest/gtest.h>

#include "tests/support/fake_registry.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/windows/win_registry.h"
#endif

namespace vx {
namespace {

RegistryValue Raw(uint32_t type, std::vector<uint8_t> data) { return RegistryValue{type, std::move(data)}; }

struct LanguageCase {
  const char* what;
  std::optional<RegistryValue> value;
  std::optional<std::string> expected;
};

TEST(Language, MapsEveryRegistryText) {
  const std::vector<LanguageCase> cases = {
      {"missing", std::nullopt, "english"},
      {"empty", StringValue(L""), "english"},
      {"no bytes at all", Raw(kRegistryString, {}), "english"},
      {"1033", StringValue(L"1033"), "english"},
      {"1055", StringValue(L"1055"), "turkish"},
      {"expandable 1055", Raw(kRegistryExpandString, StringValue(L"1055").data), "turkish"},
      {"1055 without terminator", Raw(kRegistryString, {'1', 0, '0', 0, '5', 0, '5', 0}), "turkish"},
      {"trailing odd byte", Raw(kRegistryString, {'1', 0, '0', 0, '3', 0, '3', 0, 'x'}), "english"},
      {"other locale", StringValue(L"1031"), std::nullopt},
      {"1033 with a space", StringValue(L"1033 "), std::nullopt},
      {"text", StringValue(L"English"), std::nullopt},
      {"non-Latin text", StringValue(L"\u0641\u0627"), std::nullopt},
      {"a DWORD is unreadable text", Raw(kRegistryDword, {0x09, 0x04, 0, 0}), "english"},
  };
  for (const auto& c : cases) EXPECT_EQ(MapLanguage(c.value), c.expected) << c.what;
}

TEST(Language, ReadsTheServiceKeyWithABoundOf200Bytes) {
  test::FakeRegistry registry;
  EXPECT_EQ(ReadLanguage(registry), "english");
  registry.WriteValue(kProductKeyPath, L"Language", StringValue(L"1055"));
  EXPECT_EQ(ReadLanguage(registry), "turkish");
  registry.WriteValue(kProductKeyPath, L"Language", StringValue(std::wstring(100, L'1')));  // 202 bytes
  EXPECT_EQ(ReadLanguage(registry), "english");  // too long to read: unreadable
  registry.WriteValue(kProductKeyPath, L"Language", StringValue(std::wstring(99, L'1')));  // 200 bytes
  EXPECT_EQ(ReadLanguage(registry), std::nullopt);
}

#ifdef _WIN32
TEST(Language, ReadsTheRealRegistry) {
  WinRegistry registry;
  const std::wstring key = std::wstring(kProductKeyPath) + L"Test";
  ASSERT_TRUE(registry.WriteValue(key, L"Language", StringValue(L"1055")));
  auto value = registry.ReadValue(key, L"Language", kLanguageValueMaxBytes);
  EXPECT_EQ(MapLanguage(value), "turkish");
  EXPECT_FALSE(registry.ReadValue(key, L"Missing", kLanguageValueMaxBytes).has_value());
  ASSERT_TRUE(registry.WriteValue(key, L"Long", StringValue(std::wstring(150, L'9'))));
  EXPECT_FALSE(registry.ReadValue(key, L"Long", kLanguageValueMaxBytes).has_value());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
}
#endif

}  // namespace
}  // namespace vx
