// The status record from the status seam and the policy's locks and
// statusWord, as the server receives it.
#include <gtest/gtest.h>

#include <cstring>

#include "management/connection_state.h"
#include "management/protocol/message_catalogue.h"
#include "management/status_reply.h"
#include "tests/management/support/client_fixture.h"
#include "tests/management/support/loopback_pair.h"

namespace vx::management {
namespace {

uint32_t U32At(const std::vector<uint8_t>& bytes, std::size_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

class StatusReplyTest : public testing::Test, public test::ClientFixture {
 protected:
  // The 404 bytes the server receives.
  std::vector<uint8_t> Reply() {
    test::LoopbackPair pair;
    EXPECT_EQ(AnswerStatusRequest(Connection{sockets, clock, pair.ClientSocket()}, status, policy),
              Outcome::KeepConnection);
    const auto bytes = pair.ServerReceive(1000);
    EXPECT_EQ(bytes.size(), 7u + 404u);
    if (bytes.size() != 411) return std::vector<uint8_t>(404);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 7),
              (std::vector<uint8_t>{0x89, 0x13, 0, 0, 0, 0, 0x9C}));
    return std::vector<uint8_t>(bytes.begin() + 7, bytes.end());
  }
  void SetLocks(uint8_t cdDvd, uint8_t floppy) {
    // Not following the parent, so the effective flags keep these values.
    policy.ChangeParentValues([&](PolicyState& s) {
      s.lockCdDvd__Inherit = 0;
      s.lockFloppy__Inherit = 0;
      s.lockCdDvd = cdDvd;
      s.lockFloppy = floppy;
    });
  }
};

TEST_F(StatusReplyTest, LockBitsFollowTheEffectiveFlags) {
  struct Case {
    uint8_t cdDvd, floppy;
    uint32_t bits;
  };
  for (const Case& c : {Case{1, 0, 0x40000000}, Case{0, 1, 0x20000000}, Case{1, 1, 0x60000000}, Case{0, 0, 0},
                        Case{0x80, 0, 0x40000000}}) {
    SCOPED_TRACE(testing::Message() << int(c.cdDvd) << "/" << int(c.floppy));
    SetLocks(c.cdDvd, c.floppy);
    EXPECT_EQ(U32At(Reply(), 44), c.bits);
  }
}

TEST_F(StatusReplyTest, TheBatteryByteIsSetOnlyWhenTheLineIsOffline) {
  struct Case {
    uint8_t acLine, battery;
  };
  for (const Case& c : {Case{0, 1}, Case{1, 0}, Case{255, 0}}) {
    SCOPED_TRACE(int(c.acLine));
    status.acLineStatus = c.acLine;
    EXPECT_EQ(Reply()[271], c.battery);
  }
}

TEST_F(StatusReplyTest, TheRecordCarriesTheMachineValuesAtTheirOffsets) {
  status.tickCount = 123456789;
  status.computerName = u"WORKSTATION-\u00C4";
  status.version = 0x1DB10106;
  policy.ChangeParentValues([](PolicyState& s) { s.statusWord = 0xA1B2C3D4; });
  const auto record = Reply();
  EXPECT_EQ(U32At(record, 0), 123456u);
  EXPECT_EQ(U32At(record, 16), 0x00010001u);
  EXPECT_EQ(U32At(record, 44), 0x60000000u);  // the default policy locks both
  EXPECT_EQ(U32At(record, 139), 0xA1B2C3D4u);
  EXPECT_EQ(U32At(record, 400), 0x1DB10106u);
  std::u16string name;
  for (std::size_t i = 272; i < 400 && (record[i] | record[i + 1]); i += 2)
    name.push_back(static_cast<char16_t>(record[i] | (record[i + 1] << 8)));
  EXPECT_EQ(name, u"WORKSTATION-\u00C4");
  // Everything else is zero.
  for (std::size_t i = 0; i < record.size(); ++i) {
    const bool listed = i < 4 || (i >= 16 && i < 20) || (i >= 44 && i < 48) || (i >= 139 && i < 143) || i == 271 ||
                        (i >= 272 && i < 272 + 2 * name.size()) || i >= 400;
    if (!listed) {
      EXPECT_EQ(record[i], 0) << "offset " << i;
    }
  }
  // The tick count is taken last.
  ASSERT_FALSE(status.calls.empty());
  EXPECT_EQ(status.calls.back(), "TickCount");
}

TEST(ConnectionState, RecordsTheHooksEvents) {
  ConnectionState state;
  EXPECT_FALSE(state.Snapshot().connected);
  EXPECT_EQ(state.Snapshot().serverAddress, "");
  state.Record(ConnectionEvent{true, 0x7F000001, 13911}, 1700000000);
  auto snapshot = state.Snapshot();
  EXPECT_TRUE(snapshot.connected);
  EXPECT_EQ(snapshot.serverAddress, "127.0.0.1");
  EXPECT_EQ(snapshot.serverPort, 13911);
  EXPECT_EQ(snapshot.changedAt, 1700000000);
  EXPECT_EQ(snapshot.connections, 1u);
  state.Record(ConnectionEvent{false, 0xC0A80A05, 13911}, 1700000060);
  snapshot = state.Snapshot();
  EXPECT_FALSE(snapshot.connected);
  EXPECT_EQ(snapshot.serverAddress, "192.168.10.5");
  EXPECT_EQ(snapshot.connections, 1u);
}

}  // namespace
}  // namespace vx::management
