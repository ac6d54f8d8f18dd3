// The vxfleet program against the real vxmgmtd program on loopback, each a
// child process with a store of its own in a temporary directory: every row
// vxfleet created is in the store exactly once, an update queued for every
// agent reaches each once, a fleet policy becomes every agent's digest, and
// churn across two servers loses no row. The tests wait for conditions with
// generous bounds and assert nothing about time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/fleet_agents_file.h"
#include "tests/support/temp_dir.h"
#include "tools/vxfleet/agent_identity.h"
#include "tools/vxfleet/simulated_agent.h"

extern char** environ;

namespace vx::fleet {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::ChildProcess;
using test::ReadAgentsFile;
using test::ReadFile;
using test::WaitFor;
namespace fs = std::filesystem;

// `vxmgmtd serve` on 127.0.0.1 at a port the system picks, read from its log.
class Server {
 public:
  Server(const test::TempDir& dir, const std::string& name)
      : db_(dir / (name + ".db")),
        process_({VX_VXMGMTD, "serve", "--db", db_.string(), "--listen", "127.0.0.1:0"}, dir / (name + ".out"),
                 dir / (name + ".log")) {
    // A server that never says its port leaves Port() at 0, which fails the
    // test that needs it with the server's log.
    const std::string marker = "serving agents on 127.0.0.1:";
    (void)WaitFor(
        [&] {
          const std::string log = process_.Errors();
          const std::size_t at = log.find(marker);
          if (at == std::string::npos) return false;
          port_ = std::atoi(log.c_str() + at + marker.size());
          return port_ > 0;
        },
        60s);
  }
  ~Server() {
    // A server that already ended needs no signal; its exit code is not what
    // the tests judge (they read its store), so the wait's result is dropped.
    if (process_.Signal(SIGTERM)) (void)process_.Wait();
  }

  [[nodiscard]] int Port() const { return port_; }
  [[nodiscard]] std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  [[nodiscard]] const fs::path& Db() const { return db_; }
  [[nodiscard]] std::string Log() const { return process_.Errors(); }

 private:
  fs::path db_;
  ChildProcess process_;
  int port_ = 0;
};

// An administration command of vxmgmtd on `db`: its exit code and output.
struct CommandRun {
  int exitCode = -1;
  std::string output;
};

CommandRun Command(const test::TempDir& dir, const fs::path& db, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), VX_VXMGMTD);
  arguments.push_back("--db");
  arguments.push_back(db.string());
  ChildProcess process(arguments, dir / "command.out", dir / "command.err");
  CommandRun run;
  run.exitCode = process.Wait();
  run.output = process.Output() + process.Errors();
  return run;
}

json CommandJson(const test::TempDir& dir, const fs::path& db, std::vector<std::string> arguments) {
  const CommandRun run = Command(dir, db, std::move(arguments));
  EXPECT_EQ(run.exitCode, 0) << run.output;
  return json::parse(run.output, nullptr, false);
}

std::set<std::string> FleetIds(std::size_t count) {
  std::set<std::string> ids;
  for (std::size_t i = 0; i < count; ++i) ids.insert(ClientIdHex(MakeClientId(kDefaultIdPrefix, i)));
  return ids;
}

// The ids each agent's rows hold in a store, in the order the command lists them.
std::map<std::string, std::vector<int32_t>> StoredIds(const json& rows) {
  std::map<std::string, std::vector<int32_t>> ids;
  for (const json& row : rows) ids[row["agent"].get<std::string>()].push_back(row["id"].get<int32_t>());
  return ids;
}

std::vector<std::string> FleetArguments(const std::vector<const Server*>& servers, const test::TempDir& dir,
                                        std::vector<std::string> more) {
  std::vector<std::string> arguments{
      VX_VXFLEET, "--progress", "0", "--json", "--seed", "20240611", "--agents-file", (dir / "agents.txt").string()};
  for (const Server* server : servers) {
    arguments.push_back("--server");
    arguments.push_back(server->Address());
  }
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

TEST(VxfleetProgramTest, EveryRowTheFleetCreatedIsStoredExactlyOnce) {
  test::TempDir dir;
  Server server(dir, "vxmgmtd");
  ASSERT_GT(server.Port(), 0) << server.Log();
  ChildProcess fleet(FleetArguments({&server}, dir,
                                    {"--agents", "50", "--backlog", "300", "--rows-per-minute", "12", "--duration", "6",
                                     "--ramp", "1", "--settle", "120"}),
                     dir / "fleet.out", dir / "fleet.err");
  ASSERT_TRUE(fleet.Started());
  ASSERT_EQ(fleet.Wait(), 0) << fleet.Output() << fleet.Errors();

  const json report = json::parse(fleet.Output());
  EXPECT_EQ(report["agents"], 50);
  EXPECT_EQ(report["maxConnected"], 50);
  EXPECT_EQ(report["cursorRegressions"], 0);
  EXPECT_EQ(report["rowsResent"], 0);
  EXPECT_EQ(report["rowsStored"], report["rowsCreated"]);
  EXPECT_EQ(report["delayMs"]["samples"], report["rowsCreated"]);
  EXPECT_EQ(report["digests"], json::parse(R"({"0xBE9BB610": 50})"));

  const auto agents = ReadAgentsFile(dir / "agents.txt");
  std::set<std::string> ids;
  int64_t created = 0;
  for (const auto& [id, line] : agents) {
    ids.insert(id);
    created += line.created;
    EXPECT_EQ(line.proven, line.created) << id;
    // The backlog and one or two new rows (one every 5 s for 6 s).
    EXPECT_GE(line.created, 301) << id;
    EXPECT_LE(line.created, 302) << id;
  }
  EXPECT_EQ(ids, FleetIds(50));
  EXPECT_EQ(created, report["rowsCreated"].get<int64_t>());

  // The store holds each agent's rows 1..created, each once, as vxfleet made them.
  const json rows = CommandJson(dir, server.Db(), {"reports", "--json"});
  ASSERT_TRUE(rows.is_array());
  EXPECT_EQ(static_cast<int64_t>(rows.size()), created);
  const auto stored = StoredIds(rows);
  for (const auto& [id, line] : agents) {
    SCOPED_TRACE(id);
    ASSERT_TRUE(stored.count(id));
    std::vector<int32_t> ids = stored.at(id);
    std::sort(ids.begin(), ids.end());
    std::vector<int32_t> expected(static_cast<std::size_t>(line.created));
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(ids, expected);
  }
  for (const json& row : rows) {
    const std::string agent = row["agent"];
    const int32_t id = row["id"];
    const uint64_t index = std::stoull(agent.substr(16), nullptr, 16);
    char serial[48];
    std::snprintf(serial, sizeof serial, "FLEET-%05llu-%06d", static_cast<unsigned long long>(index), id);
    EXPECT_EQ(row["vendor"], "Fleet");
    EXPECT_EQ(row["product"], "Sim Disk");
    EXPECT_EQ(row["serial"], serial);
    EXPECT_EQ(row["action"], id % 3);
  }

  // And the server's cursors agree with what vxfleet saw proven.
  const json listed = CommandJson(dir, server.Db(), {"agents", "--json"});
  ASSERT_EQ(listed.size(), 50u);
  for (const json& agent : listed) {
    const std::string id = agent["agent"];
    ASSERT_TRUE(agents.count(id)) << id;
    EXPECT_EQ(agent["reports"]["lastId"], agents.at(id).created) << id;
    EXPECT_EQ(agent["computerName"], ComputerName(std::stoull(id.substr(16), nullptr, 16))) << id;
  }
}

// Reads one number from the store with a query.
int64_t QueryNumber(const fs::path& db, const char* query) {
  sqlite3* connection = nullptr;
  int64_t value = -1;
  if (sqlite3_open_v2(db.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_busy_timeout(connection, 5000) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection, query, -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
      value = sqlite3_column_int64(statement, 0);
    // A read-only statement's finalize only repeats the step's error, which
    // already left `value` at -1.
    (void)sqlite3_finalize(statement);
  }
  // Closing a connection whose statements are finalized cannot fail.
  (void)sqlite3_close(connection);
  return value;
}

TEST(VxfleetProgramTest, AnUpdateForAllReachesEachAgentOnceAndTheFleetPolicyBecomesEveryAgentsDigest) {
  test::TempDir dir;
  Server server(dir, "vxmgmtd");
  ASSERT_GT(server.Port(), 0) << server.Log();
  // No rows, and a run long enough to outlast the test: it ends on SIGTERM.
  ChildProcess fleet(FleetArguments({&server}, dir, {"--agents", "20", "--rows-per-minute", "0", "--duration", "600"}),
                     dir / "fleet.out", dir / "fleet.err");
  ASSERT_TRUE(fleet.Started());

  const auto allConnected = [&] {
    const CommandRun run = Command(dir, server.Db(), {"agents", "--json"});
    const json agents = json::parse(run.output, nullptr, false);
    if (run.exitCode != 0 || !agents.is_array() || agents.size() != 20) return false;
    return std::all_of(agents.begin(), agents.end(), [](const json& a) { return a["connected"] == true; });
  };
  ASSERT_TRUE(WaitFor(allConnected, 120s)) << server.Log();

  const CommandRun policy = Command(dir, server.Db(), {"policy", "set", "--all", "--rule", "block vendor Acme"});
  ASSERT_EQ(policy.exitCode, 0) << policy.output;
  std::string file(300'000, '\0');  // several 64-KiB chunks on the wire
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>((i * 31) ^ (i >> 8));
  {
    std::ofstream installer(dir / "installer.exe", std::ios::binary);
    installer << file;
    installer.close();
    ASSERT_TRUE(installer.good());
  }
  const CommandRun push = Command(dir, server.Db(), {"push", (dir / "installer.exe").string(), "--all"});
  ASSERT_EQ(push.exitCode, 0) << push.output;

  // Every update delivered as the server records it, every agent in line.
  std::string expectedDigest;
  const auto delivered = [&] {
    if (QueryNumber(server.Db(), "SELECT COUNT(*) FROM updates WHERE delivered_at IS NOT NULL") != 20) return false;
    const json agents = json::parse(Command(dir, server.Db(), {"agents", "--json"}).output, nullptr, false);
    if (!agents.is_array() || agents.size() != 20) return false;
    for (const json& agent : agents) {
      const json& held = agent["policy"]["heldDigest"];
      if (held.is_null() || held != agent["policy"]["expectedDigest"]) return false;
      expectedDigest = held;
    }
    return true;
  };
  ASSERT_TRUE(WaitFor(delivered, 120s)) << server.Log();
  ASSERT_NE(expectedDigest, "0xBE9BB610");
  EXPECT_EQ(QueryNumber(server.Db(), "SELECT COUNT(*) FROM updates"), 20);

  ASSERT_TRUE(fleet.Signal(SIGTERM));
  // Ended early, but with no rows every row is stored: exit 0.
  ASSERT_EQ(fleet.Wait(), 0) << fleet.Output() << fleet.Errors();
  const json report = json::parse(fleet.Output());
  EXPECT_EQ(report["digests"], json({{expectedDigest, 20}}));
  EXPECT_EQ(report["updates"]["deliveries"], 20);
  EXPECT_EQ(report["updates"]["agentsWithOne"], 20);
  EXPECT_EQ(report["updates"]["agentsWithMore"], 0);
  EXPECT_EQ(report["updates"]["bytes"], 20 * file.size());

  const auto agents = ReadAgentsFile(dir / "agents.txt");
  ASSERT_EQ(agents.size(), 20u);
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx",
                static_cast<unsigned long long>(UpdateHash(
                    kUpdateHashStart, std::span(reinterpret_cast<const uint8_t*>(file.data()), file.size()))));
  for (const auto& [id, line] : agents) {
    SCOPED_TRACE(id);
    EXPECT_EQ(line.deliveries, 1u);
    EXPECT_EQ(line.updateBytes, file.size());
    EXPECT_EQ(line.updateHash, hash);
    EXPECT_EQ(line.digest, expectedDigest);
  }
}

TEST(VxfleetProgramTest, ChurnAcrossTwoServersLosesNoRow) {
  test::TempDir dir;
  Server first(dir, "first");
  Server second(dir, "second");
  ASSERT_GT(first.Port(), 0) << first.Log();
  ASSERT_GT(second.Port(), 0) << second.Log();
  ChildProcess fleet(FleetArguments({&first, &second}, dir,
                                    {"--agents", "20", "--backlog", "200", "--rows-per-minute", "30", "--duration", "8",
                                     "--reconnect-mean", "1", "--settle", "120"}),
                     dir / "fleet.out", dir / "fleet.err");
  ASSERT_TRUE(fleet.Started());
  ASSERT_EQ(fleet.Wait(), 0) << fleet.Output() << fleet.Errors();

  const json report = json::parse(fleet.Output());
  EXPECT_GT(report["reconnects"].get<int>(), 0);
  EXPECT_EQ(report["cursorRegressions"], 0);
  EXPECT_EQ(report["rowsStored"], report["rowsCreated"]);

  // Each server keeps a store of its own: in each, an agent's rows are 1 to
  // the highest it stored, each once; between them, every row created.
  const auto agents = ReadAgentsFile(dir / "agents.txt");
  ASSERT_EQ(agents.size(), 20u);
  std::map<std::string, int32_t> highest;
  for (const Server* server : {&first, &second}) {
    for (const auto& [id, stored] : StoredIds(CommandJson(dir, server->Db(), {"reports", "--json"}))) {
      SCOPED_TRACE(id);
      std::vector<int32_t> ids = stored;
      std::sort(ids.begin(), ids.end());
      std::vector<int32_t> expected(ids.size());
      std::iota(expected.begin(), expected.end(), 1);
      EXPECT_EQ(ids, expected);
      highest[id] = std::max(highest[id], ids.empty() ? 0 : ids.back());
    }
  }
  for (const auto& [id, line] : agents) {
    SCOPED_TRACE(id);
    EXPECT_EQ(line.proven, line.created);
    EXPECT_EQ(highest[id], line.created);
  }
}

}  // namespace
}  // namespace vx::fleet
