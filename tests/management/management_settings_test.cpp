#include "management/management_settings.h"

#include <gtest/gtest.h>

#include "tests/support/fake_registry.h"

namespace vx {
namespace {

std::array<uint8_t, 16> Fixed(uint8_t seed) {
  std::array<uint8_t, 16> id;
  for (int i = 0; i < 16; ++i) id[i] = static_cast<uint8_t>(seed + i);
  return id;
}

TEST(ManagementSettings, MissingValuesMeanNoServerAndANewStoredClientId) {
  test::FakeRegistry registry;
  int draws = 0;
  auto random = [&] {
    ++draws;
    return Fixed(0x40);
  };
  const auto settings = ReadManagementSettings(registry, random);
  EXPECT_EQ(settings.serverMode, 0u);
  EXPECT_EQ(settings.serverHost, "");
  EXPECT_EQ(settings.clientId, Fixed(0x40));
  const auto stored = registry.ReadValue(kProductKeyPath, L"ClientId", 16);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->type, kRegistryBinary);
  EXPECT_EQ(stored->data, std::vector<uint8_t>(settings.clientId.begin(), settings.clientId.end()));
  // Created once: the next start reads it back.
  EXPECT_EQ(ReadManagementSettings(registry, random).clientId, Fixed(0x40));
  EXPECT_EQ(draws, 1);
}

TEST(ManagementSettings, ReadsAConfiguredServer) {
  test::FakeRegistry registry;
  (void)registry.WriteValue(kProductKeyPath, L"ServerMode", RegistryValue{kRegistryDword, {1, 0, 0, 0}});
  (void)registry.WriteValue(kProductKeyPath, L"ServerHost", StringValue(L"mgmt.example.lan"));
  const auto id = Fixed(7);
  (void)registry.WriteValue(kProductKeyPath, L"ClientId", RegistryValue{kRegistryBinary, {id.begin(), id.end()}});
  const auto settings = ReadManagementSettings(registry, [] { return Fixed(0); });
  EXPECT_EQ(settings.serverMode, 1u);
  EXPECT_EQ(settings.serverHost, "mgmt.example.lan");
  EXPECT_EQ(settings.clientId, Fixed(7));
}

TEST(ManagementSettings, MalformedValuesAreRefused) {
  struct Case {
    const char* what;
    std::wstring name;
    RegistryValue value;
  };
  const std::vector<Case> cases = {
      {"client id of 15 bytes", L"ClientId", RegistryValue{kRegistryBinary, std::vector<uint8_t>(15, 1)}},
      {"client id of 17 bytes", L"ClientId", RegistryValue{kRegistryBinary, std::vector<uint8_t>(17, 1)}},
      {"client id as text", L"ClientId", StringValue(L"0123456")},
      {"host of 64 characters", L"ServerHost", StringValue(std::wstring(64, L'h'))},
      {"host beyond single bytes", L"ServerHost", StringValue(L"\u0645.lan")},
      {"mode as text", L"ServerMode", StringValue(L"1")},
  };
  for (const auto& c : cases) {
    test::FakeRegistry registry;
    (void)registry.WriteValue(kProductKeyPath, c.name, c.value);
    const auto settings = ReadManagementSettings(registry, [] { return Fixed(0x90); });
    SCOPED_TRACE(c.what);
    EXPECT_EQ(settings.serverMode, 0u);
    EXPECT_EQ(settings.serverHost, "");
    if (c.name == L"ClientId") {
      EXPECT_EQ(settings.clientId, Fixed(0x90));
    }
  }
  test::FakeRegistry registry;
  (void)registry.WriteValue(kProductKeyPath, L"ServerHost", StringValue(std::wstring(63, L'h')));
  EXPECT_EQ(ReadManagementSettings(registry, [] { return Fixed(0); }).serverHost.size(), 63u);
}

TEST(ManagementSettings, TheStoredReadingCreatesNothing) {
  test::FakeRegistry registry;
  const StoredManagementSettings none = ReadStoredManagementSettings(registry);
  EXPECT_EQ(none.serverMode, 0u);
  EXPECT_EQ(none.serverHost, "");
  EXPECT_FALSE(none.clientId);
  EXPECT_FALSE(registry.ReadValue(kProductKeyPath, L"ClientId", 16));

  const auto id = Fixed(3);
  (void)registry.WriteValue(kProductKeyPath, L"ClientId", RegistryValue{kRegistryBinary, {id.begin(), id.end()}});
  EXPECT_EQ(ReadStoredManagementSettings(registry).clientId, id);
}

TEST(ManagementSettings, HostNamesThatCanNameTheServer) {
  const struct {
    std::string host;
    bool usable;
  } cases[] = {
      {"localhost", true},           {"127.0.0.1", true},          {"mgmt-01.corp.example", true},
      {"under_score", true},         {std::string(63, 'h'), true}, {"", false},
      {std::string(64, 'h'), false}, {"two words", false},         {"semi;colon", false},
      {"http://mgmt", false},        {"caf\xe9", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(ServerHostProblem(c.host).empty(), c.usable) << ServerHostProblem(c.host);
  }
}

TEST(ManagementSettings, WritesAreReadBackAsTheServiceReadsThem) {
  test::FakeRegistry registry;
  ASSERT_TRUE(WriteServerHost(registry, "mgmt.example.lan"));
  ManagementSettings settings = ReadManagementSettings(registry, [] { return Fixed(1); });
  EXPECT_EQ(settings.serverMode, 1u);
  EXPECT_EQ(settings.serverHost, "mgmt.example.lan");

  // Off keeps the host for a later "on".
  ASSERT_TRUE(WriteServerOff(registry));
  settings = ReadManagementSettings(registry, [] { return Fixed(1); });
  EXPECT_EQ(settings.serverMode, 0u);
  EXPECT_EQ(settings.serverHost, "mgmt.example.lan");
  const auto mode = registry.ReadValue(kProductKeyPath, L"ServerMode", 4);
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->type, kRegistryDword);
}

}  // namespace
}  // namespace vx
