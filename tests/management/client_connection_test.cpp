// ConnectToServer over the real BSD socket layer, with the resolver's answer
// given by the test where a name would need a DNS of its own, and whole
// sends against a slow and a stalled reader.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <thread>

#include "management/connection.h"
#include "management/protocol/message_catalogue.h"
#include "management/session_loop.h"
#include "tests/management/support/client_fixture.h"
#include "tests/management/support/loopback_pair.h"
#include "tests/management/support/scripted_peer.h"

namespace vx::management {
namespace {

using test::PeerLink;
using test::PeerMessage;
using test::ScriptedPeer;

// The real socket layer, with its calls counted and, where a test needs a
// name with several addresses, the resolver's answer set.
class CountingSockets final : public BsdSocketLayer {
 public:
  bool StartUp() override {
    ++startUps;
    return !startUpFails;
  }
  void CleanUp() override { ++cleanUps; }
  std::vector<uint32_t> ResolveIpv4(const std::string& name) override {
    ++resolves;
    return resolveTo ? *resolveTo : BsdSocketLayer::ResolveIpv4(name);
  }
  SocketHandle ConnectBlocking(uint32_t address, uint16_t port) override {
    if (onConnect) onConnect();
    connectedTo.push_back(address);
    return BsdSocketLayer::ConnectBlocking(address, port);
  }

  bool startUpFails = false;
  std::optional<std::vector<uint32_t>> resolveTo;
  int startUps = 0, cleanUps = 0, resolves = 0;
  std::vector<uint32_t> connectedTo;
  std::function<void()> onConnect;
};

// A port on 127.0.0.1 that nothing listens on.
uint16_t FreePort() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    std::abort();
  close(probe);
  return ntohs(address.sin_port);
}

class ConnectionTest : public testing::Test, public test::ClientFixture {
 protected:
  ConnectionTest() : peer(clock, serviceRunning) {
    peer.onMessage = ScriptedPeer::AcceptHello;
    peer.Start();
  }
  ~ConnectionTest() override { peer.Stop(); }
  SocketHandle Connect(uint32_t mode = 1) {
    const ManagementSettings settings{mode, "127.0.0.1", test::kTestClientId};
    uint32_t address = 0;
    const SocketHandle socket = ConnectToServer(settings, counting, clock, peer.Port(), &address);
    if (socket != kInvalidSocket) {
      EXPECT_EQ(address, counting.connectedTo.back());
      counting.Close(socket);
    }
    return socket;
  }

  CountingSockets counting;
  ScriptedPeer peer;
};

TEST_F(ConnectionTest, ServerModeZeroResolvesAndSendsNothing) {
  EXPECT_EQ(Connect(0), kInvalidSocket);
  EXPECT_EQ(counting.resolves, 0);
  EXPECT_TRUE(counting.connectedTo.empty());

  auto context = ClientContext{ManagementSettings{0, "127.0.0.1", test::kTestClientId},
                               serviceRunning,
                               reportsStored,
                               policy,
                               installDir,
                               counting,
                               clock,
                               status,
                               installer,
                               {},
                               peer.Port()};
  EXPECT_EQ(ManagementClientThread(context), 0);
  EXPECT_EQ(counting.resolves, 0);
  EXPECT_EQ(counting.cleanUps, 1);
  EXPECT_TRUE(peer.Connections().empty());
}

TEST_F(ConnectionTest, ANetworkLayerThatCannotStartEndsTheThreadAtOnce) {
  counting.startUpFails = true;
  ClientContext counted{ManagementSettings{1, "127.0.0.1", test::kTestClientId},
                        serviceRunning,
                        reportsStored,
                        policy,
                        installDir,
                        counting,
                        clock,
                        status,
                        installer,
                        {},
                        peer.Port()};
  EXPECT_EQ(ManagementClientThread(counted), -1);
  EXPECT_EQ(counting.resolves, 0);
  EXPECT_EQ(counting.cleanUps, 0);
}

TEST_F(ConnectionTest, TheResolverGivesIpv4AddressesInOrder) {
  BsdSocketLayer sockets;
  EXPECT_EQ(sockets.ResolveIpv4("127.0.0.1"), (std::vector<uint32_t>{0x7F000001}));
  const auto local = sockets.ResolveIpv4("localhost");
  EXPECT_NE(std::find(local.begin(), local.end(), 0x7F000001u), local.end());
  EXPECT_EQ(DottedAddress(0xC0A80A05), "192.168.10.5");
}

TEST_F(ConnectionTest, OfSeveralAddressesOnlyTheLastIsTried) {
  // The peer listens on 127.0.0.1 only; 127.0.0.2 refuses.
  counting.resolveTo = std::vector<uint32_t>{0x7F000002, 0x7F000001};
  EXPECT_NE(Connect(), kInvalidSocket);
  EXPECT_EQ(counting.connectedTo, (std::vector<uint32_t>{0x7F000001}));

  counting.connectedTo.clear();
  counting.resolveTo = std::vector<uint32_t>{0x7F000001, 0x7F000002};
  EXPECT_EQ(Connect(), kInvalidSocket);  // no fallback to the first
  EXPECT_EQ(counting.connectedTo, (std::vector<uint32_t>{0x7F000002}));
}

TEST_F(ConnectionTest, ANameWithoutAddressesCreatesNoSocket) {
  counting.resolveTo = std::vector<uint32_t>{};
  EXPECT_EQ(Connect(), kInvalidSocket);
  EXPECT_EQ(counting.resolves, 1);
  EXPECT_TRUE(counting.connectedTo.empty());
}

TEST_F(ConnectionTest, ARefusedConnectFailsAndTheHelloGoesOutOnAnAcceptedOne) {
  const ManagementSettings settings{1, "127.0.0.1", test::kTestClientId};
  EXPECT_EQ(ConnectToServer(settings, counting, clock, FreePort()), kInvalidSocket);

  EXPECT_NE(Connect(), kInvalidSocket);
  for (int i = 0; i < 2000 && peer.MessagesOfType(kHello).empty(); ++i) usleep(1000);
  const auto hellos = peer.MessagesOfType(kHello);
  ASSERT_EQ(hellos.size(), 1u);
  EXPECT_EQ(hellos[0].body, std::vector<uint8_t>(test::kTestClientId.begin(), test::kTestClientId.end()));
}

TEST_F(ConnectionTest, WithoutAServerTheClientTriesAgainEveryFiveSeconds) {
  std::vector<int64_t> attempts;
  counting.onConnect = [&] {
    attempts.push_back(clock.NowMs());
    if (attempts.size() == 4) serviceRunning = false;
  };
  peer.Stop();
  ClientContext context{ManagementSettings{1, "127.0.0.1", test::kTestClientId},
                        serviceRunning,
                        reportsStored,
                        policy,
                        installDir,
                        counting,
                        clock,
                        status,
                        installer,
                        {},
                        FreePort()};
  EXPECT_EQ(ManagementClientThread(context), 0);
  ASSERT_EQ(attempts.size(), 4u);
  for (std::size_t i = 1; i < attempts.size(); ++i) EXPECT_EQ(attempts[i] - attempts[i - 1], 5000);
  EXPECT_EQ(counting.cleanUps, 1);
}

// A clock whose every reading is `step` seconds after the last.
class SteppingClock final : public SessionClock {
 public:
  explicit SteppingClock(int64_t step) : step_(step) {}
  int64_t WallSeconds() override { return now_ += step_; }
  void SleepMilliseconds(uint32_t) override {}
  void YieldTimeSlice() override {}

 private:
  int64_t step_;
  int64_t now_ = 1700000000;
};

TEST(SendWhole, LoopsOverPartialSendsUntilASlowReaderHasEverything) {
  test::LoopbackPair pair;
  BsdSocketLayer sockets;
  SteppingClock clock(0);
  std::vector<uint8_t> bytes(16 << 20);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i ^ (i >> 11));
  std::vector<uint8_t> received;
  std::thread reader([&] {
    usleep(200000);  // the client's socket fills first
    received = pair.ServerReceiveExactly(bytes.size());
  });
  EXPECT_TRUE(SendWhole(Connection{sockets, clock, pair.ClientSocket()}, bytes.data(), bytes.size()));
  reader.join();
  EXPECT_TRUE(received == bytes);
}

TEST(SendWhole, GivesUpAfterThirtySecondsWithoutProgress) {
  test::LoopbackPair pair;
  BsdSocketLayer sockets;
  // Fill the connection until the socket takes nothing more.
  std::vector<uint8_t> chunk(65536, 0x5A);
  while (sockets.Send(pair.ClientSocket(), chunk.data(), static_cast<int>(chunk.size())) > 0) {
  }
  ASSERT_TRUE(sockets.LastCallWouldBlock());
  // Each look at the clock is 31 s after the last: the first would-block
  // after the last progress ends the send.
  SteppingClock clock(31);
  const std::vector<uint8_t> more(4 << 20, 0x33);
  EXPECT_FALSE(SendWhole(Connection{sockets, clock, pair.ClientSocket()}, more.data(), more.size()));
}

TEST(SendWhole, FailsOnAClosedConnection) {
  test::LoopbackPair pair;
  BsdSocketLayer sockets;
  SteppingClock clock(0);
  pair.CloseServer();
  std::vector<uint8_t> chunk(65536, 1);
  bool failed = false;
  // The first sends may still be taken; a reset connection fails soon after.
  for (int i = 0; i < 100 && !failed; ++i)
    failed = !SendWhole(Connection{sockets, clock, pair.ClientSocket()}, chunk.data(), chunk.size());
  EXPECT_TRUE(failed);
}

}  // namespace
}  // namespace vx::management
