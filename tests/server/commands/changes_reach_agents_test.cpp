// A change made by an administration command reaches a connected agent
// without a restart: serve on loopback, the real management client with its
// own policy store as the agent, and the commands run against the same store
// file while serve has it open.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <sstream>
#include <thread>

#include "management/client_context.h"
#include "management/posix/bsd_socket_layer.h"
#include "management/session_loop.h"
#include "policy/policy_state.h"
#include "policy/policy_store.h"
#include "server/commands/administration_commands.h"
#include "server/serve.h"
#include "server/store/sqlite_store.h"
#include "server/system_clock.h"
#include "tests/management/support/recording_installer.h"
#include "tests/management/support/table_status_source.h"
#include "tests/support/temp_dir.h"

namespace vx::server {
namespace {

constexpr AgentId kAgent{0x5A, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0x5B};
constexpr auto kBound = std::chrono::seconds(30);  // a failure, never a measure

// The agent's clock: the system's own.
class SystemSessionClock final : public management::SessionClock {
 public:
  int64_t WallSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  void SleepMilliseconds(uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
  void YieldTimeSlice() override { std::this_thread::yield(); }
};

class QuietLog final : public SessionLog {
 public:
  void Write(LogLevel, const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_ += line + "\n";
  }
  std::string Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::string lines_;
};

// Waits until `done` holds, at most kBound.
template <typename Condition>
bool WaitFor(Condition done) {
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

int RunCommand(std::vector<std::string> args, const std::filesystem::path& db, std::string& err) {
  std::ostringstream out, errors;
  CLI::App app{"vxmgmtd"};
  AddAdministrationCommands(
      app, AdministrationEnvironment{out, errors, [] { return static_cast<int64_t>(std::time(nullptr)); }});
  args.insert(args.begin(), "vxmgmtd");
  args.push_back("--db");
  args.push_back(db.string());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  int code = 0;
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::Error& error) {
    code = AdministrationExitCode(error);
  }
  err = errors.str();
  return code;
}

TEST(AdministrationReachesAgents, APolicySetAndARevokeReachAConnectedAgentWithoutARestart) {
  test::TempDir dir;
  const std::filesystem::path db = dir / "vxmgmtd.db";
  ServeOptions options;
  options.store = StoreLocationOf(db.string());
  options.agents.listen = ListenAddress{"127.0.0.1", 0};
  SystemServerClock serverClock;
  QuietLog log;
  Serve serve(options, serverClock, log);
  ASSERT_EQ(serve.Open(), "");
  std::thread serving([&] { serve.Run(); });

  // The agent: the service's own client over its own policy file.
  PolicyStore policy(dir / "configdb.dat");
  policy.LoadPolicy();
  std::atomic<bool> serviceRunning{true};
  std::atomic<int32_t> reportsStored{0};
  management::BsdSocketLayer sockets;
  SystemSessionClock agentClock;
  management::test::TableStatusSource status;
  management::test::RecordingInstaller installer;
  const std::wstring installDir = dir.path().wstring() + L"/";
  management::ClientContext context{ManagementSettings{1, "127.0.0.1", kAgent},
                                    serviceRunning,
                                    reportsStored,
                                    policy,
                                    installDir,
                                    sockets,
                                    agentClock,
                                    status,
                                    installer,
                                    {},
                                    serve.Port()};
  std::thread agent([&] { (void)management::ManagementClientThread(context); });  // its result: only how it ended

  StoreResult<std::unique_ptr<Store>> opened = OpenSqliteStore(db, StoreOpenOptions{.readOnly = true});
  ASSERT_TRUE(opened) << opened.error();
  Store& store = **opened;
  auto agentRecord = [&] { return store.FindAgent(kAgent); };
  EXPECT_TRUE(WaitFor([&] {
    const auto record = agentRecord();
    return record && record->connected && record->policy.heldDigest;
  })) << log.Lines();

  std::string err;
  ASSERT_EQ(RunCommand({"policy", "set", "--all", "--cdrom", "unlocked", "--lock", "rules", "on", "--rule",
                        "block vendor Acme", "--rule", "allow"},
                       db, err),
            0)
      << err;
  const auto changedAt = std::chrono::steady_clock::now();
  const management::ParentPolicy expected = **store.GetFleetPolicy();
  // The agent stores the parent values, and, following its parent by
  // default, enforces them: its effective CD/DVD lock and rule list change.
  EXPECT_TRUE(WaitFor([&] {
    return policy.Read([&](const PolicyState& state) {
      return state.lockCdDvd__Parent == 0 && state.ruleUsb__Lock == 1 &&
             FieldText(state.ruleUsb__Parent) == expected.ruleUsb__Parent && state.lockCdDvd == 0 &&
             FieldText(state.ruleUsb) == expected.ruleUsb__Parent;
    });
  })) << log.Lines();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - changedAt).count();
  RecordProperty("policy_set_reached_agent_seconds", std::to_string(seconds));
  std::printf("the policy set reached the agent in %.2f s\n", seconds);
  EXPECT_TRUE(WaitFor([&] {
    const auto record = agentRecord();
    return record && record->policy.sync == PolicySync::InSync;
  })) << log.Lines();

  ASSERT_EQ(RunCommand({"agents", "revoke", AgentIdHex(kAgent)}, db, err), 0) << err;
  EXPECT_TRUE(WaitFor([&] {
    const auto record = agentRecord();
    return record && !record->connected;
  })) << log.Lines();

  serviceRunning = false;
  serve.Stop();
  serving.join();
  agent.join();
}

}  // namespace
}  // namespace vx::server
