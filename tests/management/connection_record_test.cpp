#include "management/connection_record.h"

#include <gtest/gtest.h>

#include "tests/support/fake_registry.h"

namespace vx::management {
namespace {

TEST(ConnectionRecord, WhatIsPublishedIsReadBack) {
  test::FakeRegistry registry;
  EXPECT_FALSE(ReadPublishedConnection(registry));

  const ConnectionSnapshot atStart{false, "", 0, 1'700'000'000, 0};
  ASSERT_TRUE(PublishConnection(registry, atStart));
  EXPECT_EQ(ReadPublishedConnection(registry), atStart);

  // Seconds past 2038 and the highest port survive the record.
  const ConnectionSnapshot connected{true, "192.168.10.200", 65535, 4'102'444'800, 3};
  ASSERT_TRUE(PublishConnection(registry, connected));
  EXPECT_EQ(ReadPublishedConnection(registry), connected);
}

TEST(ConnectionRecord, AMalformedRecordReadsAsNone) {
  const struct {
    const char* what;
    std::wstring name;
    RegistryValue value;
  } cases[] = {
      {"state as text", L"Connected", StringValue(L"1")},
      {"port above 65535", L"ServerPort", RegistryValue{kRegistryDword, {0, 0, 1, 0}}},
      {"time of four bytes", L"ChangedAt", RegistryValue{kRegistryQword, {1, 2, 3, 4}}},
      {"address beyond single bytes", L"ServerAddress", StringValue(L"\u0661.2.3.4")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::FakeRegistry registry;
    ASSERT_TRUE(PublishConnection(registry, ConnectionSnapshot{true, "10.0.0.1", 13911, 5, 1}));
    (void)registry.WriteValue(kConnectionKeyPath, c.name, c.value);
    EXPECT_FALSE(ReadPublishedConnection(registry));
  }
}

}  // namespace
}  // namespace vx::management
