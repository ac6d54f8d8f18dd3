// A fleet on loopback: vxfleet's simulated agents against vxmgmtd serve
// programs, every one a child process, with the servers' cost read from
// /proc while it runs. Two measurements:
//
//   fleet_bench load --engine sqlite|postgres [--instances N] [--agents N] [--seconds S]
//     Agents that keep alive, report status and make one row a minute each;
//     gives the servers' CPU (share of one core), peak resident memory, and
//     the delay from a row's creation to its storage (median, p99, max).
//
//   fleet_bench saturate --engine sqlite|postgres [--instances N] [--agents N] [--backlog K]
//     Agents that start with K rows each and nothing else: the rows stored
//     per second while every backlog drains at once.
//
// PostgreSQL is a private cluster in a temporary directory (fsync on, as in
// production), its CPU counted with its sessions'. SQLite is a file in a
// temporary directory; it takes one instance only. Many agents need many
// loopback source addresses: vxfleet gets 127.0.0.2-127.0.0.250.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/private_postgres.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using vx::test::ChildProcess;

struct ProcessCost {
  double cpuSeconds = 0;
  long peakRssKiB = 0;
};

// CPU seconds (user and system) and peak resident memory of `pid`.
ProcessCost CostOf(pid_t pid) {
  ProcessCost cost;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::stoull(field);
      if (i == 15) stime = std::stoull(field);
    }
    cost.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) cost.peakRssKiB = std::atol(line.c_str() + 6);
  return cost;
}

// The parent of `pid`, from /proc.
pid_t ParentOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string state;
  pid_t parent = 0;
  fields >> state >> parent;
  return parent;
}

// CPU seconds of `pid` and of its children now running (a database server
// and its sessions).
double TreeCpuSeconds(pid_t pid) {
  double seconds = CostOf(pid).cpuSeconds;
  if (DIR* proc = ::opendir("/proc")) {
    while (const dirent* entry = ::readdir(proc)) {
      const pid_t child = std::atoi(entry->d_name);
      if (child > 0 && ParentOf(child) == pid) seconds += CostOf(child).cpuSeconds;
    }
    ::closedir(proc);
  }
  return seconds;
}

// A free port on 127.0.0.1, for a server that logs only warnings (and so
// never says which port the system gave it).
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  if (fd >= 0) (void)::close(fd);  // the number was all that was wanted
  return port;
}

class Server {
 public:
  Server(const vx::test::TempDir& dir, const std::string& name, const std::string& db, int port)
      : log_(dir / (name + ".log")),
        port_(port),
        process_({VX_VXMGMTD, "serve", "--db", db, "--listen", "127.0.0.1:" + std::to_string(port), "--log-level",
                  "warning"},
                 dir / (name + ".out"), log_) {}
  ~Server() {
    if (process_.Signal(SIGTERM)) (void)process_.Wait();  // the figures were read already
  }
  // Whether it listens: a connection to its port is taken.
  [[nodiscard]] bool WaitUntilListening() {
    return vx::test::WaitFor(
               [&] {
                 if (process_.Exited()) return true;  // told apart below
                 const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                 sockaddr_in address{};
                 address.sin_family = AF_INET;
                 address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                 address.sin_port = htons(static_cast<uint16_t>(port_));
                 const bool listening = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
                 (void)::close(fd);  // a probe only: the server ends the half-open session by itself
                 return listening;
               },
               60s) &&
           !process_.Exited();
  }
  [[nodiscard]] int Port() const { return port_; }
  [[nodiscard]] pid_t Pid() const { return process_.Pid(); }
  [[nodiscard]] std::string Log() const { return vx::test::ReadFile(log_); }

 private:
  std::filesystem::path log_;
  int port_;
  ChildProcess process_;
};

struct Options {
  std::string mode;
  std::string engine = "sqlite";
  int instances = 1;
  int agents = 10000;
  int seconds = 180;
  int backlog = 20000;
};

int Run(const Options& options) {
  vx::test::TempDir dir;
  std::unique_ptr<vx::test::PrivatePostgres> cluster;
  std::string db = (dir / "vxmgmtd.db").string();
  if (options.engine == "postgres") {
    std::string error;
    cluster = vx::test::PrivatePostgres::Start(
        error, vx::test::PrivatePostgres::Options{.durable = true, .maxConnections = 200});
    if (!cluster || (db = cluster->NewDatabase(error)).empty()) {
      std::fprintf(stderr, "fleet_bench: no PostgreSQL cluster: %s\n", error.c_str());
      return 1;
    }
  } else if (options.instances != 1) {
    std::fprintf(stderr, "fleet_bench: an SQLite store has one serve\n");
    return 2;
  }
  // The first instance makes the schema before the others start.
  std::vector<std::unique_ptr<Server>> servers;
  std::vector<std::string> fleet{VX_VXFLEET,   "--agents", std::to_string(options.agents), "--json",
                                 "--progress", "30",       "--source-addresses",           "127.0.0.2-127.0.0.250",
                                 "--seed",     "42"};
  if (options.instances > 1) fleet.push_back("--shared-store");
  for (int i = 0; i < options.instances; ++i) {
    servers.push_back(std::make_unique<Server>(dir, "vxmgmtd-" + std::to_string(i + 1), db, FreePort()));
    if (!servers.back()->WaitUntilListening()) {
      std::fprintf(stderr, "fleet_bench: a server did not start:\n%s\n", servers.back()->Log().c_str());
      return 1;
    }
    fleet.push_back("--server");
    fleet.push_back("127.0.0.1:" + std::to_string(servers.back()->Port()));
  }
  const std::vector<std::string> more =
      options.mode == "load"
          ? std::vector<std::string>{"--rows-per-minute", "1",  "--duration", std::to_string(options.seconds),
                                     "--settle",          "120"}
          : std::vector<std::string>{"--backlog",
                                     std::to_string(options.backlog),
                                     "--rows-per-minute",
                                     "0",
                                     "--duration",
                                     "0",
                                     "--settle",
                                     "3600",
                                     "--ramp",
                                     "1"};
  fleet.insert(fleet.end(), more.begin(), more.end());

  std::vector<double> cpuBefore;
  for (const auto& server : servers) cpuBefore.push_back(CostOf(server->Pid()).cpuSeconds);
  const double databaseBefore = cluster ? TreeCpuSeconds(cluster->ServerPid()) : 0;
  const auto started = std::chrono::steady_clock::now();
  ChildProcess run(fleet, dir / "fleet.out", dir / "fleet.err");
  // Sampled while it runs: sessions of a database come and go.
  double databaseCpu = 0;
  while (!run.Exited()) {
    std::this_thread::sleep_for(1s);
    if (cluster) databaseCpu = std::max(databaseCpu, TreeCpuSeconds(cluster->ServerPid()) - databaseBefore);
  }
  const int code = run.Wait();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const auto report = nlohmann::json::parse(run.Output(), nullptr, false);
  if (report.is_discarded()) {
    std::fprintf(stderr, "fleet_bench: vxfleet gave no report (exit %d):\n%s\n", code, run.Errors().c_str());
    return 1;
  }

  std::printf("%s, %s, %d instance(s), %d agents, vxfleet exit %d, %.0f s\n", options.mode.c_str(),
              options.engine.c_str(), options.instances, options.agents, code, wall);
  std::printf("  agents connected at the end %d (most at once %d), hello refusals %d\n", report["connected"].get<int>(),
              report["maxConnected"].get<int>(), report["helloRefused"].get<int>());
  std::printf("  rows created %lld, stored %lld, resent %lld, cursor regressions %lld\n",
              report["rowsCreated"].get<long long>(), report["rowsStored"].get<long long>(),
              report["rowsResent"].get<long long>(), report["cursorRegressions"].get<long long>());
  const auto& delay = report["delayMs"];
  if (!delay["p99"].is_null())
    std::printf("  row creation to storage: median %lld ms, p99 %lld ms, max %lld ms\n",
                delay["median"].get<long long>(), delay["p99"].get<long long>(), delay["max"].get<long long>());
  for (std::size_t i = 0; i < servers.size(); ++i) {
    const ProcessCost cost = CostOf(servers[i]->Pid());
    std::printf("  vxmgmtd %zu: %.1f%% of a core, peak resident %.1f MiB\n", i + 1,
                100.0 * (cost.cpuSeconds - cpuBefore[i]) / wall, static_cast<double>(cost.peakRssKiB) / 1024.0);
  }
  if (cluster) std::printf("  PostgreSQL (with its sessions): %.1f%% of a core\n", 100.0 * databaseCpu / wall);
  std::printf("  vxfleet: peak resident %.1f MiB\n", report["peakRssKiB"].get<double>() / 1024.0);
  if (options.mode == "saturate") {
    // The drain starts with the first agent (the ramp is 1 s) and ends when
    // the last row is proven stored.
    const double drain = report["elapsedSeconds"].get<double>();
    std::printf("  stored %.0f rows per second (%lld rows in %.1f s)\n", report["rowsStored"].get<double>() / drain,
                report["rowsStored"].get<long long>(), drain);
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"fleet_bench: vxfleet against vxmgmtd on loopback, with the servers' cost"};
  app.require_subcommand(1);
  for (const char* mode : {"load", "saturate"}) {
    CLI::App* command =
        app.add_subcommand(mode, mode == std::string("load") ? "agents at one row a minute: CPU, memory and delays"
                                                             : "every agent's backlog at once: rows stored per second");
    command->add_option("--engine", options.engine)->check(CLI::IsMember({"sqlite", "postgres"}));
    command->add_option("--instances", options.instances)->check(CLI::Range(1, 8));
    command->add_option("--agents", options.agents)->check(CLI::Range(1, 18000));
    command->add_option("--seconds", options.seconds, "load: how long the tables grow")->check(CLI::Range(10, 3600));
    command->add_option("--backlog", options.backlog, "saturate: rows each agent starts with")
        ->check(CLI::Range(1, 1000000));
    command->callback([&options, mode] { options.mode = mode; });
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  return Run(options);
}
