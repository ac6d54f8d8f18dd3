// Two vxmgmtd serve programs on one PostgreSQL database (a private cluster)
// and a fleet of 200 agents simulated by the vxfleet program over the real
// protocol, every one a child process:
// - agents that reconnect at random to either instance: every row created
//   is stored exactly once, a policy set through one instance's console is
//   in force on every agent, and one update queued for all is delivered
//   once to each;
// - one instance killed with SIGKILL while backlogs drain: no committed row
//   is lost, and its agents go on at the other from their last stored id.
// The tests wait for conditions with generous bounds and assert nothing
// about time.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "server/store/postgres_store.h"
#include "tests/support/child_process.h"
#include "tests/support/fleet_agents_file.h"
#include "tests/support/private_postgres.h"
#include "tests/support/temp_dir.h"
#include "tools/vxfleet/agent_identity.h"
#include "tools/vxfleet/simulated_agent.h"

namespace vx::server {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::ChildProcess;
using test::ReadAgentsFile;
using test::WaitFor;
namespace fs = std::filesystem;

constexpr std::size_t kAgents = 200;

// The number after `marker` in `text`, 0 when it is not there.
int NumberAfter(const std::string& text, const std::string& marker) {
  const std::size_t at = text.find(marker);
  return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + marker.size());
}

// `vxmgmtd serve` on 127.0.0.1 at a port the system picks, on the shared
// database; with a console when asked.
class Instance {
 public:
  Instance(const vx::test::TempDir& dir, const std::string& name, const std::string& url, bool console = false)
      : log_(dir / (name + ".log")), process_(Arguments(url, console), dir / (name + ".out"), log_) {
    (void)WaitFor(
        [&] {
          const std::string log = Log();
          port_ = NumberAfter(log, "serving agents on 127.0.0.1:");
          consolePort_ = NumberAfter(log, "console on http://127.0.0.1:");
          return port_ > 0 && (!console || consolePort_ > 0);
        },
        60s);
  }
  ~Instance() {
    if (process_.Signal(SIGTERM)) (void)process_.Wait();  // its store is what the tests judge
  }

  [[nodiscard]] std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  [[nodiscard]] int Port() const { return port_; }
  [[nodiscard]] int ConsolePort() const { return consolePort_; }
  [[nodiscard]] std::string Log() const { return vx::test::ReadFile(log_); }
  [[nodiscard]] bool Kill() { return process_.Signal(SIGKILL) && process_.Wait() == -1; }

 private:
  static std::vector<std::string> Arguments(const std::string& url, bool console) {
    std::vector<std::string> arguments{VX_VXMGMTD, "serve", "--db", url, "--listen", "127.0.0.1:0"};
    if (console) {
      arguments.push_back("--http");
      arguments.push_back("0");
    }
    return arguments;
  }

  fs::path log_;
  ChildProcess process_;
  int port_ = 0;
  int consolePort_ = 0;
};

// An administration command on the database: its exit code and output.
std::pair<int, std::string> Command(const vx::test::TempDir& dir, const std::string& url,
                                    std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), VX_VXMGMTD);
  arguments.push_back("--db");
  arguments.push_back(url);
  ChildProcess process(arguments, dir / "command.out", dir / "command.err");
  const int code = process.Wait();
  return {code, process.Output() + process.Errors()};
}

std::vector<std::string> FleetArguments(const std::vector<const Instance*>& instances, const vx::test::TempDir& dir,
                                        std::vector<std::string> more) {
  std::vector<std::string> arguments{
      VX_VXFLEET, "--shared-store", "--agents",      std::to_string(kAgents),      "--progress", "0", "--json",
      "--seed",   "20261211",       "--agents-file", (dir / "agents.txt").string()};
  for (const Instance* instance : instances) {
    arguments.push_back("--server");
    arguments.push_back(instance->Address());
  }
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

// Every agent's rows in the store are its ids 1..created, each once (the
// key is (agent, epoch, id): a count equal to the highest id means no gap
// and no repeat), and its cursor stands at the last of them.
void ExpectEveryRowStoredOnce(const std::string& url, const std::map<std::string, vx::test::AgentLine>& agents) {
  auto opened = OpenPostgresStore(url, {.readOnly = true});
  ASSERT_TRUE(opened.ok()) << opened.error();
  Store& store = **opened;
  uint64_t total = 0;
  for (const auto& [hex, line] : agents) {
    SCOPED_TRACE(hex);
    const auto id = ParseAgentId(hex);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(line.proven, line.created);
    EXPECT_EQ(store.CountReports(*id).value(), static_cast<uint64_t>(line.created));
    const auto newest = store.ListReports(ReportQuery{.agent = *id, .newestFirst = true, .limit = 1});
    ASSERT_TRUE(newest.ok());
    ASSERT_EQ(newest->size(), 1u);
    EXPECT_EQ(newest->at(0).row.id, line.created);
    EXPECT_EQ(newest->at(0).epoch, 1);
    EXPECT_EQ(store.GetReportCursor(*id).value(), (ReportCursor{1, line.created}));
    total += static_cast<uint64_t>(line.created);
  }
  EXPECT_EQ(store.CountReports(std::nullopt).value(), total);
}

TEST(FleetInstancesTest, TwoInstancesServeAFleetThatReconnectsAtRandomToEither) {
  vx::test::TempDir dir;
  const std::string url = vx::test::NewPostgresDatabase();
  // A console token, made before serve first runs (it creates the store).
  const auto [made, token] = Command(dir, url, {"token", "create", "--name", "test"});
  ASSERT_EQ(made, 0) << token;
  Instance first(dir, "first", url, true), second(dir, "second", url);
  ASSERT_GT(first.Port(), 0) << first.Log();
  ASSERT_GT(first.ConsolePort(), 0) << first.Log();
  ASSERT_GT(second.Port(), 0) << second.Log();

  ChildProcess fleet(FleetArguments({&first, &second}, dir,
                                    {"--backlog", "200", "--rows-per-minute", "20", "--duration", "25",
                                     "--reconnect-mean", "6", "--settle", "180"}),
                     dir / "fleet.out", dir / "fleet.err");
  ASSERT_TRUE(fleet.Started());
  auto store = OpenPostgresStore(url, {.readOnly = true});
  ASSERT_TRUE(store.ok()) << store.error();
  ASSERT_TRUE(WaitFor([&] { return (*store)->ListAgents().value().size() == kAgents; }, 60s));

  // A policy set through the first instance's console.
  httplib::Client console("127.0.0.1", first.ConsolePort());
  // The token is the line after the one that says it is shown once.
  const std::size_t line = token.find('\n') + 1;
  const std::string bearer = token.substr(line, token.find('\n', line) - line);
  const auto set = console.Post("/api/v1/policy", {{"Authorization", "Bearer " + bearer}},
                                httplib::Params{{"all", "1"}, {"rule", "block vendor Fleet"}, {"floppy", "unlocked"}});
  ASSERT_TRUE(set);
  ASSERT_EQ(set->status, 200) << set->body << token;
  // One update for every agent, queued as an administrator would.
  const std::string installer(100000, 'U');
  {
    std::FILE* file = std::fopen((dir / "VXUP-2.exe").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(installer.data(), 1, installer.size(), file), installer.size());
    ASSERT_EQ(std::fclose(file), 0);
  }
  const auto [pushed, pushOutput] = Command(dir, url, {"push", (dir / "VXUP-2.exe").string(), "--all"});
  ASSERT_EQ(pushed, 0) << pushOutput;

  ASSERT_EQ(fleet.Wait(), 0) << fleet.Output() << fleet.Errors();
  const json report = json::parse(fleet.Output());
  EXPECT_GT(report["reconnects"].get<int>(), static_cast<int>(kAgents));  // several each
  EXPECT_EQ(report["cursorRegressions"], 0);
  EXPECT_EQ(report["rowsStored"], report["rowsCreated"]);

  const auto agents = ReadAgentsFile(dir / "agents.txt");
  ASSERT_EQ(agents.size(), kAgents);
  ExpectEveryRowStoredOnce(url, agents);

  // The policy: the digest every agent holds is the one the store expects.
  const auto [shown, policy] = Command(dir, url, {"policy", "show", "--json"});
  ASSERT_EQ(shown, 0) << policy;
  const std::string expected = json::parse(policy)["policy"]["digest"].get<std::string>();
  ASSERT_NE(expected, "0xBE9BB610");
  char hash[17];
  std::snprintf(
      hash, sizeof hash, "%016llx",
      static_cast<unsigned long long>(fleet::UpdateHash(
          fleet::kUpdateHashStart, std::span(reinterpret_cast<const uint8_t*>(installer.data()), installer.size()))));
  // The update: each agent has it whole. It went once in the whole fleet,
  // whichever instance sent it, except where the agent's connection ended
  // after it read the file and before its status reply was out: the server
  // counts a file delivered only on that reply, so it sends such a one again
  // (an installer that was never confirmed is never counted as delivered).
  for (const auto& [id, line] : agents) {
    SCOPED_TRACE(id);
    EXPECT_EQ(line.digest, expected);
    EXPECT_GE(line.deliveries, 1u);
    EXPECT_LE(line.deliveries, 1u + line.unconfirmed);
    EXPECT_EQ(line.updateHash, hash);
  }
  // Both instances held agents.
  EXPECT_NE(first.Log().find(": connected (report epoch 1"), std::string::npos);
  EXPECT_NE(second.Log().find(": connected (report epoch 1"), std::string::npos);
}

TEST(FleetInstancesTest, AnInstanceKilledUnderLoadLosesNoCommittedRowAndItsAgentsGoOnAtTheOther) {
  vx::test::TempDir dir;
  const std::string url = vx::test::NewPostgresDatabase();
  Instance first(dir, "first", url), second(dir, "second", url);
  ASSERT_GT(first.Port(), 0) << first.Log();
  ASSERT_GT(second.Port(), 0) << second.Log();
  ChildProcess fleet(
      FleetArguments({&first, &second}, dir,
                     {"--backlog", "3000", "--rows-per-minute", "30", "--duration", "30", "--settle", "240"}),
      dir / "fleet.out", dir / "fleet.err");
  ASSERT_TRUE(fleet.Started());

  // Killed while the backlogs drain: once it has stored some of its agents'
  // rows, and before it has stored them all.
  auto store = OpenPostgresStore(url, {.readOnly = true});
  ASSERT_TRUE(store.ok()) << store.error();
  ASSERT_TRUE(WaitFor([&] { return (*store)->CountReports(std::nullopt).value() > 100000; }, 120s));
  const std::string before = first.Log();
  ASSERT_TRUE(first.Kill());
  EXPECT_LT((*store)->CountReports(std::nullopt).value(), kAgents * 3000);

  ASSERT_EQ(fleet.Wait(), 0) << fleet.Output() << fleet.Errors() << second.Log();
  const json report = json::parse(fleet.Output());
  EXPECT_EQ(report["cursorRegressions"], 0);  // no instance asked below what the store had proven
  EXPECT_EQ(report["rowsStored"], report["rowsCreated"]);
  const auto agents = ReadAgentsFile(dir / "agents.txt");
  ASSERT_EQ(agents.size(), kAgents);
  ExpectEveryRowStoredOnce(url, agents);

  // The killed instance's agents came back to the other, which took them up
  // at their stored cursors (not from 0), once their old marks were cleared:
  // what was sent twice is at most the pages in flight at the kill.
  const std::string after = second.Log();
  EXPECT_NE(after.find("has not beaten for"), std::string::npos) << after;
  const int moved = NumberAfter(after.substr(after.find("has not beaten for")), "s: ended; its ");
  EXPECT_GT(moved, 0);
  std::size_t resumed = 0;
  for (std::size_t at = after.find("last id "); at != std::string::npos; at = after.find("last id ", at + 1))
    resumed += std::atoi(after.c_str() + at + 8) > 0;
  EXPECT_GE(resumed, static_cast<std::size_t>(moved));
  EXPECT_LE(report["rowsResent"].get<int64_t>(), static_cast<int64_t>(moved) * 1300);
  EXPECT_NE(before.find("serving agents"), std::string::npos);
}

}  // namespace
}  // namespace vx::server
