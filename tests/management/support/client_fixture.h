// What every client test starts from: an install directory of its own with
// the default policy loaded from (and saved to) its configdb.dat, the
// process-wide values, BSD sockets, a fake clock, a status table and the
// recording installer, and the ClientContext over them.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "management/client_context.h"
#include "management/posix/bsd_socket_layer.h"
#include "monitor/report_store.h"
#include "policy/policy_store.h"
#include "tests/management/support/fake_session_clock.h"
#include "tests/management/support/recording_installer.h"
#include "tests/management/support/table_status_source.h"
#include "tests/support/temp_dir.h"

namespace vx::management::test {

inline constexpr std::array<uint8_t, 16> kTestClientId{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                                                       0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

class ClientFixture {
 public:
  ClientFixture() : policy(dir / "configdb.dat") { policy.LoadPolicy(); }

  ClientContext Context(uint16_t port, std::string host = "127.0.0.1") {
    ManagementSettings settings{1, std::move(host), kTestClientId};
    return ClientContext{settings, serviceRunning, reportsStored, policy, installDir, sockets,
                         clock,    status,         installer,     {},     port};
  }

  std::filesystem::path ReportDatabase() const { return dir / "reportdb.dat"; }
  std::filesystem::path PolicyFile() const { return dir / "configdb.dat"; }

  // Stores `count` rows with ids from the next free one, through the
  // monitor's own store.
  void StoreRows(int count, const std::string& vendor = "Kingston", const std::string& product = "DataTraveler",
                 const std::string& serial = "0019E06B") {
    ReportStore store(ReportDatabase());
    std::vector<ReportRow> rows;
    for (int i = 0; i < count; ++i) rows.push_back(ReportRow{1700000000 + i, vendor, product, serial, i % 3});
    if (store.StoreBatch(rows) != rows.size()) std::abort();
  }

  vx::test::TempDir dir;
  std::wstring installDir = dir.path().wstring() + L"/";
  PolicyStore policy;
  std::atomic<bool> serviceRunning{true};
  std::atomic<int32_t> reportsStored{0};
  BsdSocketLayer sockets;
  FakeSessionClock clock;
  TableStatusSource status;
  RecordingInstaller installer;
};

}  // namespace vx::management::test
