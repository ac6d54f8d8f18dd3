// The management client's Windows seams against Wine's real Winsock,
// process creation and system calls.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "management/connection.h"
#include "management/update_delivery.h"
#include "management/windows/win_session_clock.h"
#include "management/windows/win_socket_layer.h"
#include "management/windows/win_status_source.h"
#include "management/windows/win_update_installer.h"
#include "tests/support/temp_dir.h"

namespace vx::management {
namespace {

class WinSocketTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sockets_.StartUp());
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener_, 1), 0);
    ASSERT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size), 0);
    port_ = ntohs(address.sin_port);
  }
  void TearDown() override {
    if (server_ != INVALID_SOCKET) closesocket(server_);
    closesocket(listener_);
    sockets_.CleanUp();
  }
  SocketHandle ConnectClient() {
    const SocketHandle client = sockets_.ConnectBlocking(0x7F000001, port_);
    server_ = accept(listener_, nullptr, nullptr);
    return client;
  }

  WinSocketLayer sockets_;
  SOCKET listener_ = INVALID_SOCKET;
  SOCKET server_ = INVALID_SOCKET;
  uint16_t port_ = 0;
};

TEST_F(WinSocketTest, LocalhostResolvesToTheLoopbackAddress) {
  const auto addresses = sockets_.ResolveIpv4("localhost");
  EXPECT_NE(std::find(addresses.begin(), addresses.end(), 0x7F000001u), addresses.end());
  EXPECT_TRUE(sockets_.ResolveIpv4("no-such-host.invalid").empty());
}

TEST_F(WinSocketTest, ANonBlockingReceiveReportsWouldBlockUntilBytesArrive) {
  const SocketHandle client = ConnectClient();
  ASSERT_NE(client, kInvalidSocket);
  ASSERT_NE(server_, INVALID_SOCKET);
  ASSERT_TRUE(sockets_.SetNonBlocking(client));
  uint8_t buffer[8];
  EXPECT_EQ(sockets_.Receive(client, buffer, sizeof buffer), -1);
  EXPECT_TRUE(sockets_.LastCallWouldBlock());

  const char bytes[] = "0123456";
  ASSERT_EQ(send(server_, bytes, 7, 0), 7);
  WinSessionClock clock;
  EXPECT_EQ(ReceiveExact(Connection{sockets_, clock, client}, buffer, 7, 2000), 7);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 7), "0123456");
  EXPECT_EQ(sockets_.WaitWritable(client, 1000), WaitResult::Ready);

  // A closed peer reads as 0; a send on a reset connection fails.
  closesocket(server_);
  server_ = INVALID_SOCKET;
  EXPECT_EQ(ReceiveExact(Connection{sockets_, clock, client}, buffer, 1, 2000), 0);
  sockets_.Close(client);
}

TEST_F(WinSocketTest, ARefusedConnectGivesNoSocket) {
  closesocket(listener_);
  listener_ = INVALID_SOCKET;
  EXPECT_EQ(sockets_.ConnectBlocking(0x7F000001, port_), kInvalidSocket);
}

TEST(WinStatusSource, GivesTheSystemsValues) {
  WinStatusSource status;
  wchar_t name[64] = {};
  DWORD size = 64;
  ASSERT_TRUE(GetComputerNameW(name, &size));
  EXPECT_EQ(status.ComputerName(), std::u16string(reinterpret_cast<const char16_t*>(name), size));
  EXPECT_FALSE(status.ComputerName().empty());
  EXPECT_EQ(status.Version(), GetVersion());
  const uint32_t before = GetTickCount();
  const uint32_t ticks = status.TickCount();
  EXPECT_GE(ticks - before, 0u);
  EXPECT_LT(ticks - before, 10000u);
  const uint8_t line = status.AcLineStatus();
  EXPECT_TRUE(line == 0 || line == 1 || line == 255) << int(line);
}

TEST(WinSessionClock, WallSecondsAreSecondsSince1970) {
  WinSessionClock clock;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  EXPECT_LE(std::abs(clock.WallSeconds() - now), 2);
}

TEST(WinUpdateInstaller, WritesTheFileAndStartsItWithItsQuotedPathInTheInstallDirectory) {
  test::TempDir dir;
  const std::filesystem::path install = dir / "install dir";
  std::filesystem::create_directory(install);
  const std::wstring installDir = install.wstring() + L"\\";
  std::ifstream standIn(std::filesystem::path(VX_STANDIN_EXE), std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(standIn)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(bytes.empty());

  WinUpdateInstaller installer;
  auto file = installer.CreateTarget(UpdateTargetPath(installDir));
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(file->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  ASSERT_TRUE(file->Close());
  ASSERT_TRUE(installer.StartProcess(UpdateCommandLine(installDir), installDir));

  const auto marker = install / "vxup_marker.txt";
  for (int i = 0; i < 200 && (!std::filesystem::exists(marker) || std::filesystem::file_size(marker) == 0); ++i)
    Sleep(50);
  std::ifstream in(marker, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string path = install.string() + "\\VXUP.exe";
  EXPECT_NE(text.find("command line: \"" + path + "\"\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("working directory: " + install.string()), std::string::npos) << text;

  // An earlier file is cut to the new length.
  auto again = installer.CreateTarget(UpdateTargetPath(installDir));
  ASSERT_NE(again, nullptr);
  ASSERT_TRUE(again->Write(reinterpret_cast<const uint8_t*>("MZ"), 2));
  ASSERT_TRUE(again->Close());
  EXPECT_EQ(std::filesystem::file_size(install / "VXUP.exe"), 2u);
  // A program that is not one does not start.
  EXPECT_FALSE(installer.StartProcess(UpdateCommandLine(installDir), installDir));
}

}  // namespace
}  // namespace vx::management
