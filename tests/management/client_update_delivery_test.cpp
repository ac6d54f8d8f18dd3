// ReceiveUpdate: the pushed bytes written to VXUP.exe on the disk for real,
// chunk by chunk, and the start recorded.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "management/protocol/message_catalogue.h"
#include "management/update_delivery.h"
#include "tests/management/support/client_fixture.h"
#include "tests/management/support/loopback_pair.h"

namespace vx::management {
namespace {

std::vector<uint8_t> Pattern(std::size_t size, uint8_t seed = 0) {
  std::vector<uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
  return bytes;
}

class UpdateDeliveryTest : public testing::Test, public test::ClientFixture {
 protected:
  Connection Link() { return Connection{sockets, clock, pair.ClientSocket()}; }
  std::filesystem::path Target() const { return dir / "VXUP.exe"; }
  std::vector<uint8_t> TargetBytes() const {
    std::ifstream in(Target(), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  Outcome Push(uint32_t announced, const std::vector<uint8_t>& sent, bool closeAfter) {
    pair.ServerSend(sent);
    if (closeAfter) pair.CloseServer();
    return ReceiveUpdate(Link(), MessageHeader{kUpdatePush, announced}, installDir, installer);
  }

  test::LoopbackPair pair;
};

TEST_F(UpdateDeliveryTest, CompleteTransfersAreWrittenInChunksAndStarted) {
  struct Case {
    uint32_t size;
    std::vector<std::size_t> writes;
  };
  for (const Case& c : {Case{150000, {65536, 65536, 18928}}, Case{65536, {65536}}, Case{65537, {65536, 1}}}) {
    SCOPED_TRACE(c.size);
    test::ClientFixture fixture;
    test::LoopbackPair link;
    const auto bytes = Pattern(c.size, static_cast<uint8_t>(c.size));
    link.ServerSend(bytes);
    ASSERT_EQ(ReceiveUpdate(Connection{fixture.sockets, fixture.clock, link.ClientSocket()},
                            MessageHeader{kUpdatePush, c.size}, fixture.installDir, fixture.installer),
              Outcome::KeepConnection);
    EXPECT_EQ(fixture.installer.Writes(), c.writes);
    std::ifstream in(fixture.dir / "VXUP.exe", std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), bytes);
    const auto starts = fixture.installer.Starts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].commandLine, L"\"" + fixture.installDir + L"VXUP.exe\"");
    EXPECT_EQ(starts[0].currentDirectory, fixture.installDir);
  }
}

TEST_F(UpdateDeliveryTest, TheCommandLineIsTheQuotedPathInTheInstallDirectory) {
  EXPECT_EQ(UpdateTargetPath(L"C:\\Data\\"), L"C:\\Data\\VXUP.exe");
  EXPECT_EQ(UpdateCommandLine(L"C:\\Data\\"), L"\"C:\\Data\\VXUP.exe\"");
  EXPECT_EQ(UpdateCommandLine(L"C:\\Program Files\\Vestara\\"), L"\"C:\\Program Files\\Vestara\\VXUP.exe\"");
}

TEST_F(UpdateDeliveryTest, AnEmptyPushCutsAnEarlierFileAndTriesToStartIt) {
  std::ofstream(Target(), std::ios::binary) << "an earlier installer";
  EXPECT_EQ(Push(0, {}, false), Outcome::KeepConnection);
  EXPECT_TRUE(std::filesystem::exists(Target()));
  EXPECT_EQ(std::filesystem::file_size(Target()), 0u);
  EXPECT_EQ(installer.Starts().size(), 1u);
}

TEST_F(UpdateDeliveryTest, ATransferThatStopsShortKeepsTheWholeChunksAndStartsNothing) {
  struct Case {
    const char* name;
    bool closeAfter;
    uint64_t polls;  // empty polls before the transfer is given up
  };
  for (const Case& c : {Case{"the server closes", true, 0}, Case{"the server goes silent", false, 1999}}) {
    SCOPED_TRACE(c.name);
    test::ClientFixture fixture;
    test::LoopbackPair link;
    const auto bytes = Pattern(70000);
    link.ServerSend(bytes);
    if (c.closeAfter) link.CloseServer();
    EXPECT_EQ(ReceiveUpdate(Connection{fixture.sockets, fixture.clock, link.ClientSocket()},
                            MessageHeader{kUpdatePush, 100000}, fixture.installDir, fixture.installer),
              Outcome::EndConnection);
    EXPECT_EQ(std::filesystem::file_size(fixture.dir / "VXUP.exe"), 65536u);
    EXPECT_TRUE(fixture.installer.Starts().empty());
    EXPECT_EQ(fixture.clock.Polls(), c.polls);
  }
}

TEST_F(UpdateDeliveryTest, AFileThatCannotBeOpenedIsReadAndDiscarded) {
  // A directory where the installer would go: the open fails, as it does on
  // Windows while an earlier installer still runs from the file.
  std::filesystem::create_directory(Target());
  const std::vector<uint8_t> next = {0x88, 0x13, 0, 0, 0, 0, 0x9B};
  std::vector<uint8_t> sent = Pattern(100000);
  sent.insert(sent.end(), next.begin(), next.end());
  EXPECT_EQ(Push(100000, sent, false), Outcome::KeepConnection);
  EXPECT_TRUE(installer.Starts().empty());
  EXPECT_TRUE(installer.Writes().empty());
  // Exactly the announced bytes were taken: the next header is intact.
  uint8_t header[7];
  ASSERT_EQ(ReceiveExact(Link(), header, 7, 0), 7);
  EXPECT_EQ(std::vector<uint8_t>(header, header + 7), next);
}

TEST_F(UpdateDeliveryTest, AnInstallerThatCouldNotBeWrittenInFullIsNotStarted) {
  // The disk is full: every write to /dev/full fails once it reaches it.
  std::filesystem::create_symlink("/dev/full", Target());
  EXPECT_EQ(Push(150000, Pattern(150000), false), Outcome::KeepConnection);
  EXPECT_FALSE(installer.Writes().empty());
  EXPECT_TRUE(installer.Starts().empty());

  // A small file whose failure shows only when it is flushed at close.
  test::LoopbackPair link;
  test::RecordingInstaller second;
  link.ServerSend(Pattern(100));
  EXPECT_EQ(ReceiveUpdate(Connection{sockets, clock, link.ClientSocket()}, MessageHeader{kUpdatePush, 100}, installDir,
                          second),
            Outcome::KeepConnection);
  EXPECT_EQ(second.Writes(), (std::vector<std::size_t>{100}));
  EXPECT_TRUE(second.Starts().empty());
}

TEST_F(UpdateDeliveryTest, AFailedStartLeavesTheConnectionOpen) {
  installer.startSucceeds = false;
  EXPECT_EQ(Push(10, Pattern(10), false), Outcome::KeepConnection);
  EXPECT_EQ(installer.Starts().size(), 1u);
  EXPECT_EQ(TargetBytes(), Pattern(10));
}

}  // namespace
}  // namespace vx::management
