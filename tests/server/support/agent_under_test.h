// An agent running the real management client code natively: an install
// directory of its own with the policy owner (configdb.dat) and the report
// database (reportdb.dat), BSD sockets on loopback, the real clock, a status
// table and the recording installer, and ManagementClientThread on a thread.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "management/client_context.h"
#include "management/posix/bsd_socket_layer.h"
#include "management/session_loop.h"
#include "monitor/report_store.h"
#include "policy/policy_store.h"
#include "server/store/agent_id.h"
#include "tests/management/support/recording_installer.h"
#include "tests/management/support/table_status_source.h"
#include "tests/server/support/test_clocks.h"
#include "tests/support/temp_dir.h"

namespace vx::server::test {

class AgentUnderTest {
 public:
  explicit AgentUnderTest(AgentId id) : policy(dir / "configdb.dat"), id_(id) { policy.LoadPolicy(); }
  AgentUnderTest(const AgentUnderTest&) = delete;
  AgentUnderTest& operator=(const AgentUnderTest&) = delete;
  ~AgentUnderTest() { Stop(); }

  const AgentId& Id() const { return id_; }

  // Stores `count` rows through the monitor's own store; ids follow on.
  void StoreRows(int count, int firstTime = 1700000000) {
    ReportStore store(dir / "reportdb.dat");
    std::vector<ReportRow> rows;
    for (int i = 0; i < count; ++i) {
      rows.push_back(
          ReportRow{firstTime + i, "Kingston", "DataTraveler 3.0", "60A44C3FACB3F1B0" + std::to_string(i), i % 3});
      if (rows.size() == 5000 || i + 1 == count) {
        if (store.StoreBatch(rows) != rows.size()) std::abort();
        rows.clear();
      }
    }
    reportsStored.fetch_add(1);
  }
  void RemoveReportDatabase() {
    std::filesystem::remove(dir / "reportdb.dat");
    std::filesystem::remove(dir / "reportdb.dat-journal");
  }

  void Start(uint16_t port) {
    Stop();
    running.store(true);
    thread_ = std::thread([this, port] {
      ManagementSettings settings{1, "127.0.0.1", {}};
      std::copy(id_.begin(), id_.end(), settings.clientId.begin());
      management::ClientContext context{settings, running, reportsStored, policy, installDir, sockets,
                                        clock,    status,  installer,     {},     port};
      (void)management::ManagementClientThread(context);  // 0 once stopped; the tests look at what it did
    });
  }
  void Stop() {
    running.store(false);
    if (thread_.joinable()) thread_.join();
  }

  vx::test::TempDir dir;
  std::wstring installDir = dir.path().wstring() + L"/";
  PolicyStore policy;
  std::atomic<bool> running{false};
  std::atomic<int32_t> reportsStored{0};
  management::BsdSocketLayer sockets;
  RealSessionClock clock;
  management::test::TableStatusSource status;
  management::test::RecordingInstaller installer;

 private:
  AgentId id_;
  std::thread thread_;
};

}  // namespace vx::server::test
