// What vxfleet makes of its options, the fleet they plan, and the report
// it gives at the end.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <vector>

#include "tools/vxfleet/agent_identity.h"
#include "tools/vxfleet/fleet.h"
#include "tools/vxfleet/fleet_options.h"
#include "tools/vxfleet/fleet_report.h"

namespace vx::fleet {
namespace {

using namespace std::chrono_literals;

class SilentLog final : public FleetLog {
 public:
  void Warn(std::string_view) override {}
};

TEST(FleetOptionsTest, AddressesAndPrefixes) {
  std::string error;
  EXPECT_EQ(ParseServerAddress("127.0.0.1:13911", error), (Ipv4Endpoint{0x7F000001, 13911}));
  for (const char* bad : {"127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", "localhost:1", "1.2.3:4", "1.2.3.256:4",
                          "1.2.3.4.5:6", ":13911", "127.0.0.01234:1"}) {
    SCOPED_TRACE(bad);
    error.clear();
    EXPECT_FALSE(ParseServerAddress(bad, error).has_value());
    EXPECT_NE(error.find("--server"), std::string::npos);
  }

  const auto sources = ParseSourceAddresses("127.0.0.2-127.0.0.4,10.0.0.1,127.0.0.255-127.0.1.0", error);
  ASSERT_TRUE(sources.has_value()) << error;
  EXPECT_EQ(*sources, (std::vector<uint32_t>{0x7F000002, 0x7F000003, 0x7F000004, 0x0A000001, 0x7F0000FF, 0x7F000100}));
  for (const char* bad : {"127.0.0.4-127.0.0.2", "127.0.0.1,", "x", "127.0.0.1-", "10.0.0.0-10.1.0.0"}) {
    SCOPED_TRACE(bad);
    error.clear();
    EXPECT_FALSE(ParseSourceAddresses(bad, error).has_value());
    EXPECT_NE(error.find("--source-addresses"), std::string::npos);
  }

  EXPECT_EQ(ParseIdPrefix("0x7666", error), 0x7666u);
  EXPECT_EQ(ParseIdPrefix("FFFFFFFFFFFFFFFF", error), 0xFFFFFFFFFFFFFFFFu);
  for (const char* bad : {"", "0x", "12345678901234567", "12g4"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseIdPrefix(bad, error).has_value());
  }
}

TEST(FleetOptionsTest, PlanRefusesWhatCannotRunNamingTheOption) {
  struct Case {
    const char* what;
    void (*change)(FleetOptions&);
    const char* says;
  };
  const std::vector<Case> cases = {
      {"no agents", [](FleetOptions& o) { o.agents = 0; }, "--agents"},
      {"ids past the end", [](FleetOptions& o) { o.firstAgent = UINT64_MAX; }, "--first-agent"},
      {"negative backlog", [](FleetOptions& o) { o.backlog = -1; }, "--backlog"},
      {"rows past 2^31",
       [](FleetOptions& o) {
         o.backlog = 2'140'000'000;
         o.rowsPerMinute = 60'000;
         o.durationSeconds = 36'000;  // 36 million more
       },
       "largest row id"},
      {"negative duration", [](FleetOptions& o) { o.durationSeconds = -1; }, "--duration"},
      {"no servers", [](FleetOptions& o) { o.servers.clear(); }, "--server"},
      {"a bad server",
       [](FleetOptions& o) {
         o.servers = {"127.0.0.1:13911", "here"};
       },
       "--server"},
      {"a bad prefix", [](FleetOptions& o) { o.idPrefix = "fleet"; }, "--id-prefix"},
      {"bad sources", [](FleetOptions& o) { o.sourceAddresses = "127.0.0.9-127.0.0.2"; }, "--source-addresses"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FleetOptions options;
    c.change(options);
    std::string error;
    EXPECT_FALSE(PlanFleet(options, 0, 0, error).has_value());
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

TEST(FleetOptionsTest, PlanTurnsOptionsIntoFleetTime) {
  FleetOptions options;
  options.agents = 2500;
  options.rowsPerMinute = 7;
  options.durationSeconds = 1.5;
  options.servers = {"127.0.0.1:1", "127.0.0.2:2"};
  std::string error;
  auto setup = PlanFleet(options, 1700000000, 99, error);
  ASSERT_TRUE(setup.has_value()) << error;
  EXPECT_EQ(setup->fleet.reports.spacing, 8571429us);  // 60 s / 7, rounded
  EXPECT_EQ(setup->fleet.reports.duration, 1500ms);
  EXPECT_EQ(setup->fleet.ramp, 2500ms);  // agents / 1000 s
  EXPECT_EQ(setup->fleet.serverCount, 2u);
  EXPECT_EQ(setup->fleet.seed, 99u);
  EXPECT_EQ(setup->fleet.idPrefix, kDefaultIdPrefix);

  options.agents = 10;
  setup = PlanFleet(options, 0, 0, error);
  ASSERT_TRUE(setup.has_value());
  EXPECT_EQ(setup->fleet.ramp, 1s);  // at least a second
}

TEST(FleetTest, AgentsStartSpreadOverTheRampWithTheirOwnIdsAndTheDefaultPolicy) {
  FleetPlan plan;
  plan.agents = 4;
  plan.firstAgent = 10;
  plan.ramp = 2s;
  plan.reports = ReportShape{5, 10s, 30s};
  SilentLog log;
  Fleet fleet(plan, log);
  ASSERT_EQ(fleet.Size(), 4u);
  std::set<std::string> ids;
  uint64_t finalRows = 0;
  for (std::size_t i = 0; i < fleet.Size(); ++i) {
    const SimulatedAgent& agent = fleet.Agent(i);
    EXPECT_EQ(agent.Table().Start(), 500ms * static_cast<int64_t>(i));
    EXPECT_EQ(agent.Index(), 10 + i);
    EXPECT_EQ(agent.HeldDigest(), 0xBE9BB610u);
    ids.insert(ClientIdHex(agent.Id()));
    finalRows += static_cast<uint64_t>(agent.Table().FinalCount());
    EXPECT_EQ(agent.Table().FinalCount(), 8);  // 5 + a new row every 10 s for 30 s, whatever the phase
  }
  EXPECT_EQ(ids.size(), 4u);
  EXPECT_TRUE(ids.count("76666c6565740000000000000000000d"));
  EXPECT_EQ(fleet.FinalRows(), finalRows);
  EXPECT_EQ(fleet.GrowthEnd(), 1500ms + 30s);
  EXPECT_FALSE(fleet.AllStored());
  EXPECT_EQ(fleet.RowsCreated(0s), 5u);  // only the first agent has started
}

TEST(FleetReportTest, JsonHoldsEveryFieldAndNullDelaysWithoutSamples) {
  FleetPlan plan;
  plan.agents = 3;
  plan.reports = ReportShape{2, 0s, 0s};
  SilentLog log;
  Fleet fleet(plan, log);
  FleetSummary summary = Summarize(fleet, 1s);
  summary.peakRssKiB = 1234;
  summary.elapsedSeconds = 2.5;
  const nlohmann::json json = nlohmann::json::parse(ReportJson(summary));
  for (const char* key : {"agents", "connected", "maxConnected", "connectAttempts", "connectFailures", "helloRefused",
                          "reconnects", "rowsCreated", "rowsStored", "rowsResent", "cursorRegressions", "delayMs",
                          "digests", "updates", "peakRssKiB", "elapsedSeconds"})
    EXPECT_TRUE(json.contains(key)) << key;
  EXPECT_EQ(json["agents"], 3);
  EXPECT_EQ(json["rowsCreated"], 6);
  EXPECT_EQ(json["rowsStored"], 0);
  EXPECT_TRUE(json["delayMs"]["median"].is_null());
  EXPECT_EQ(json["delayMs"]["samples"], 0);
  EXPECT_EQ(json["digests"], nlohmann::json::parse(R"({"0xBE9BB610": 3})"));
  EXPECT_EQ(json["updates"],
            nlohmann::json::parse(R"({"deliveries": 0, "agentsWithOne": 0, "agentsWithMore": 0, "unconfirmed": 0,
                                                       "bytes": 0})"));
  EXPECT_EQ(json["peakRssKiB"], 1234);
  EXPECT_EQ(ExitCodeOf(summary), 1);  // rows exist and none was proven stored
  EXPECT_NE(ReportText(summary).find("6 rows NOT proven stored"), std::string::npos);
}

TEST(FleetReportTest, AnEarlyEndWeighsOnlyTheRowsCreatedUntilThen) {
  FleetPlan plan;
  plan.agents = 2;
  plan.reports = ReportShape{0, 10s, 60s};  // new rows from some time in the first 10 s
  SilentLog log;
  Fleet fleet(plan, log);
  ASSERT_EQ(fleet.FinalRows(), 12u);
  const FleetSummary atStart = Summarize(fleet, 0s);
  EXPECT_EQ(atStart.rowsCreated, 0u);
  EXPECT_TRUE(atStart.allStored);
  EXPECT_EQ(ExitCodeOf(atStart), 0);
  const FleetSummary later = Summarize(fleet, 10s);
  EXPECT_EQ(later.rowsCreated, 2u);
  EXPECT_EQ(ExitCodeOf(later), 1);
}

}  // namespace
}  // namespace vx::fleet
