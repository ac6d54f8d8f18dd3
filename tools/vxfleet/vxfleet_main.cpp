// vxfleet: many simulated agents in one process, speaking the management
// protocol to vxmgmtd, for tests and benchmarks (README.md beside this file).
//
// Exit codes: 0 every row proven stored and no server lost a stored row,
// 1 otherwise, 2 a bad argument or a fleet too large for one process.
#include <sys/resource.h>
#include <CLI/CLI.hpp>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>
#include <string>

#include "tools/vxfleet/fleet.h"
#include "tools/vxfleet/fleet_network.h"
#include "tools/vxfleet/fleet_options.h"
#include "tools/vxfleet/fleet_report.h"
#include "tools/vxfleet/open_file_limit.h"

namespace {

using namespace vx::fleet;

// Descriptors beyond one socket per agent: standard streams, the event
// loop's own, the agents file.
constexpr uint64_t kSpareFiles = 64;

class StderrLog final : public FleetLog {
 public:
  void Warn(std::string_view text) override {
    std::fprintf(stderr, "vxfleet: %.*s\n", static_cast<int>(text.size()), text.data());
  }
};

void AddOptions(CLI::App& app, FleetOptions& options) {
  app.add_option("--server", options.servers,
                 "ADDR:PORT of a vxmgmtd (IPv4); repeat it for several, each attempt picks one at random")
      ->capture_default_str();
  app.add_option("--agents", options.agents, "how many agents this process simulates")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, kMaxAgents));
  app.add_option("--first-agent", options.firstAgent,
                 "the index of the first agent, so several processes can simulate one fleet")
      ->capture_default_str();
  app.add_option("--id-prefix", options.idPrefix, "the first 8 bytes of every ClientId, in hex")->capture_default_str();
  app.add_option("--backlog", options.backlog, "rows each agent's table holds at its start")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--rows-per-minute", options.rowsPerMinute, "rows each agent adds a minute")
      ->capture_default_str()
      ->check(CLI::Range(0.0, kMaxRowsPerMinute));
  app.add_option("--duration", options.durationSeconds, "seconds each agent's table grows, from its start")
      ->capture_default_str()
      ->check(CLI::Range(0.0, kMaxSeconds));
  app.add_option("--settle", options.settleSeconds,
                 "seconds to wait after the growth for every row to be proven stored")
      ->capture_default_str()
      ->check(CLI::Range(0.0, kMaxSeconds));
  app.add_option("--ramp", options.rampSeconds,
                 "seconds over which the agents start (default: agents/1000, at least 1)")
      ->check(CLI::Range(0.0, kMaxSeconds));
  app.add_option("--reconnect-mean", options.reconnectMeanSeconds,
                 "mean seconds until a connected agent drops its connection and reconnects (0: never)")
      ->capture_default_str()
      ->check(CLI::Range(0.0, kMaxSeconds));
  app.add_flag("--shared-store", options.sharedStore,
               "the servers are instances of one store (PostgreSQL): a row one proved stored counts for all, "
               "and any of them asking below it is a regression");
  app.add_option("--source-addresses", options.sourceAddresses,
                 "local addresses to connect from, round-robin: e.g. 127.0.0.2-127.0.0.250,127.0.1.1");
  app.add_option("--progress", options.progressSeconds, "seconds between progress lines on stderr (0: none)")
      ->capture_default_str()
      ->check(CLI::Range(0.0, kMaxSeconds));
  app.add_flag("--json", options.json, "the report as one JSON object");
  app.add_option("--agents-file", options.agentsFile, "write one line per agent to this file at the end");
  app.add_option("--seed", options.seed, "seed of the random choices (row phases, servers, dropped connections)");
}

long PeakRssKiB() {
  rusage usage{};
  return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vxfleet: simulated agents speaking the management protocol to vxmgmtd"};
  FleetOptions options;
  AddOptions(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& bad) {
    // --help is not a failure; every bad argument exits 2, as vxmgmtd's do.
    return app.exit(bad) == 0 ? 0 : 2;
  }

  std::string error;
  const auto setup = PlanFleet(options, static_cast<int64_t>(std::time(nullptr)), std::random_device{}(), error);
  if (!setup) {
    std::fprintf(stderr, "vxfleet: %s\n", error.c_str());
    return 2;
  }
  const uint64_t openFiles = RaiseOpenFileLimit(error);
  if (openFiles == 0) {
    std::fprintf(stderr, "vxfleet: %s\n", error.c_str());
    return 2;
  }
  if (options.agents > openFiles || openFiles - options.agents < kSpareFiles) {
    std::fprintf(stderr,
                 "vxfleet: %zu agents need about %llu open files, but this process may open at most %llu; "
                 "run several vxfleet processes, each with its own --first-agent (or --id-prefix)\n",
                 options.agents, static_cast<unsigned long long>(options.agents + kSpareFiles),
                 static_cast<unsigned long long>(openFiles));
    return 2;
  }

  StderrLog log;
  Fleet fleet(setup->fleet, log);
  FleetNetwork network(fleet, setup->network);
  const FleetTime ended = network.Run();

  FleetSummary summary = Summarize(fleet, ended);
  summary.peakRssKiB = PeakRssKiB();
  summary.elapsedSeconds = std::chrono::duration<double>(ended).count();
  if (network.Interrupted()) std::fprintf(stderr, "vxfleet: interrupted\n");
  int exitCode = ExitCodeOf(summary);
  const std::string report = options.json ? ReportJson(summary) : ReportText(summary);
  if (std::fwrite(report.data(), 1, report.size(), stdout) != report.size() || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "vxfleet: cannot write the report\n");
    exitCode = 1;
  }
  if (!options.agentsFile.empty()) {
    std::ofstream file(options.agentsFile, std::ios::trunc);
    WriteAgentLines(fleet, ended, file);
    file.close();
    if (!file) {
      std::fprintf(stderr, "vxfleet: cannot write --agents-file %s\n", options.agentsFile.c_str());
      exitCode = 1;
    }
  }
  return exitCode;
}
