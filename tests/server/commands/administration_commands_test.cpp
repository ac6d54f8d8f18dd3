// The administration commands of vxmgmtd, run through their command line
// against a real SQLite store in a temporary directory that a store
// connection keeps open meanwhile (as a running serve would), populated
// through the store seam.
#include "server/commands/administration_commands.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "policy/rule_text.h"
#include "server/commands/api_token.h"
#include "server/commands/policy_assignment.h"
#include "server/store/agent_text.h"
#include "server/store/sqlite_store.h"
#include "tests/support/reference_policy.h"
#include "tests/support/temp_dir.h"

namespace vx::server {
namespace {

using management::ParentPolicy;

constexpr int64_t kNow = 1719829815;  // 2024-07-01 10:30:15 UTC

struct Outcome {
  int code;
  std::string out;
  std::string err;
};

AgentId Id(uint8_t last) {
  AgentId id{};
  id[0] = 0xA0;
  id[15] = last;
  return id;
}

ReportRowRecord Row(int32_t id, int32_t time, std::u16string vendor, std::u16string product, std::u16string serial,
                    int32_t action) {
  return {id, time, AgentTextToUtf8(vendor), AgentTextToUtf8(product), AgentTextToUtf8(serial), action};
}

class AdministrationCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* zone = std::getenv("TZ");
    if (zone) savedZone_ = zone;
    setenv("TZ", "UTC", 1);
    tzset();
    StoreResult<std::unique_ptr<Store>> opened = OpenSqliteStore(db_);
    ASSERT_TRUE(opened) << opened.error();
    store_ = std::move(opened).value();
  }
  void TearDown() override {
    if (savedZone_)
      setenv("TZ", savedZone_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

  // vxmgmtd ARGS... --db <the test store>, as the program's main runs it.
  Outcome Run(std::vector<std::string> args, bool withDb = true) {
    if (withDb) {
      args.push_back("--db");
      args.push_back(db_.string());
    }
    return RunLine(args);
  }
  Outcome RunLine(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    CLI::App app{"vxmgmtd"};
    app.require_subcommand(1);
    AddAdministrationCommands(app, AdministrationEnvironment{out, err, [] { return kNow; }});
    std::vector<std::string> words = {"vxmgmtd"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    int code = 0;
    try {
      app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::Error& error) {
      (void)app.exit(error, out, err);  // its message; the code is the administration's own
      code = AdministrationExitCode(error);
    }
    return {code, out.str(), err.str()};
  }

  void Hello(const AgentId& agent, EnrollMode mode, const std::string& address, int64_t at) {
    ASSERT_TRUE(store_->RecordHello(agent, mode, address, at));
  }

  uint64_t Changes() { return *store_->ChangeCounter(); }

  test::TempDir dir_;
  std::filesystem::path db_ = dir_ / "vxmgmtd.db";
  std::unique_ptr<Store> store_;
  std::optional<std::string> savedZone_;
};

// Agent 1: connected, approved, locks CD/DVD, holds the fleet default, 5 rows
// behind. Agent 2: pending, never sent a status or a digest.
class FleetOfTwo : public AdministrationCommands {
 protected:
  void SetUp() override {
    AdministrationCommands::SetUp();
    Hello(Id(1), EnrollMode::Open, "10.0.0.1:50000", kNow - 100);
    const auto instance = store_->RegisterInstance(InstanceInfo{"host", "0.0.0.0:13911", 1}, true, kNow - 70);
    ASSERT_TRUE(instance);
    ASSERT_TRUE(store_->ClaimConnection(Id(1), *instance, kNow - 60));
    AgentStatus status;
    status.computerName = AgentTextToUtf8(u"PC\x1b[2J-01");
    status.lockCdDvd = true;
    status.receivedAt = kNow - 60;
    ASSERT_TRUE(store_->RecordStatus(Id(1), status));
    const ReportRowRecord rows[] = {Row(1, kNow - 3600, u"Acme", u"Stick", u"S1", 0),
                                    Row(2, kNow - 60, u"Acme", u"Stick", u"S1", 1)};
    ASSERT_TRUE(store_->StoreReportPage(Id(1), 1, rows, kNow - 50));
    ASSERT_TRUE(store_->RecordAnnouncedReportId(Id(1), 7));
    ASSERT_TRUE(store_->SetFleetPolicy(ProductDefaultParentPolicy(), kNow - 500));
    AgentPolicyState policy;
    policy.sync = PolicySync::InSync;
    policy.heldDigest = policy.expectedDigest = 0xBE9BB610u;
    policy.checkedAt = kNow - 55;
    ASSERT_TRUE(store_->RecordPolicyState(Id(1), policy));
    Hello(Id(2), EnrollMode::Approve, "10.0.0.2:50001", kNow - 30);
  }
};

TEST_F(FleetOfTwo, AgentsOneLinePerAgent) {
  const Outcome run = Run({"agents"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "AGENT                             COMPUTER      ADDRESS         ENROLLMENT  CONNECTED  LAST SEEN         "
            "   LOCKS  POLICY        BACKLOG\n"
            "a0000000000000000000000000000001  PC\\x1B[2J-01  10.0.0.1:50000  approved    yes        2024-07-01 "
            "10:29:25  cdrom  in force      5\n"
            "a0000000000000000000000000000002  -             10.0.0.2:50001  pending     no         2024-07-01 "
            "10:29:45  -      not reported  0\n");
}

TEST_F(FleetOfTwo, AgentsAsJson) {
  const Outcome run = Run({"agents", "--json"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "[{\"agent\": \"a0000000000000000000000000000001\", \"computerName\": \"PC\\u001b[2J-01\", \"address\": "
            "\"10.0.0.1:50000\", \"enrollment\": \"approved\", \"connected\": true, \"firstSeen\": 1719829715, "
            "\"lastSeen\": 1719829765, \"locks\": {\"cdrom\": true, \"floppy\": false}, \"policy\": {\"standing\": "
            "\"in force\", \"heldDigest\": \"0xBE9BB610\", \"expectedDigest\": \"0xBE9BB610\"}, \"reports\": "
            "{\"epoch\": 1, \"lastId\": 2, \"announcedId\": 7, \"backlog\": 5}},\n"
            " {\"agent\": \"a0000000000000000000000000000002\", \"computerName\": null, \"address\": "
            "\"10.0.0.2:50001\", \"enrollment\": \"pending\", \"connected\": false, \"firstSeen\": 1719829785, "
            "\"lastSeen\": 1719829785, \"locks\": null, \"policy\": {\"standing\": \"not reported\", \"heldDigest\": "
            "null, \"expectedDigest\": \"0xBE9BB610\"}, \"reports\": {\"epoch\": 1, \"lastId\": 0, \"announcedId\": "
            "0, \"backlog\": 0}}]\n");
  EXPECT_TRUE(nlohmann::json::accept(run.out));
}

TEST_F(AdministrationCommands, NoAgentsYet) {
  EXPECT_EQ(Run({"agents"}).out, "No agent has said hello to this server yet.\n");
  EXPECT_EQ(Run({"agents", "--json"}).out, "[]\n");
}

TEST_F(FleetOfTwo, ApproveAndRevokeChangeTheEnrollmentAndAnnounceIt) {
  const uint64_t before = Changes();
  Outcome run = Run({"agents", "approve", "A0000000000000000000000000000002"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "Agent a0000000000000000000000000000002 is approved: a running serve accepts it at its next "
            "connection.\n");
  EXPECT_EQ(store_->FindAgent(Id(2))->enrollment, Enrollment::Approved);
  EXPECT_GT(Changes(), before);  // serve sees the change counter move

  run = Run({"agents", "revoke", "a0000000000000000000000000000001"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(store_->FindAgent(Id(1))->enrollment, Enrollment::Revoked);

  // Refusals: nothing changes.
  const uint64_t settled = Changes();
  struct Refusal {
    std::vector<std::string> args;
    int code;
    std::string err;
  };
  const Refusal refusals[] = {
      {{"agents", "approve", "a0000000000000000000000000000002"},
       1,
       "vxmgmtd: agent a0000000000000000000000000000002 is approved already; nothing to do\n"},
      {{"agents", "revoke", "a00000000000000000000000000000ff"},
       1,
       "vxmgmtd: no agent a00000000000000000000000000000ff has said hello to this server (vxmgmtd agents lists "
       "the agents)\n"},
      {{"agents", "approve", "a000000000000000000000000000002"},
       2,
       "vxmgmtd: \"a000000000000000000000000000002\" is not an agent id: an id is 32 hexadecimal digits, as "
       "vxmgmtd agents lists them\n"},
  };
  for (const Refusal& refusal : refusals) {
    run = Run(refusal.args);
    EXPECT_EQ(run.code, refusal.code) << refusal.args[2];
    EXPECT_EQ(run.err, refusal.err);
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(Run({"agents", "approve"}).code, 2);  // the id is required
  EXPECT_EQ(Changes(), settled);
}

// Two agents, agent 1 with two report epochs; texts that need care.
class ReportRows : public AdministrationCommands {
 protected:
  void SetUp() override {
    AdministrationCommands::SetUp();
    Hello(Id(1), EnrollMode::Open, "10.0.0.1:50000", kNow - 9000);
    Hello(Id(2), EnrollMode::Open, "10.0.0.2:50000", kNow - 9000);
    const ReportRowRecord first[] = {Row(1, 1719820800, u"Acme", u"Stick, \"Pro\"", u"S1", 0),
                                     Row(2, 1719824400, u"-", u"CD/DVD", u"-", 1)};
    ASSERT_TRUE(store_->StoreReportPage(Id(1), 1, first, kNow));
    ASSERT_TRUE(store_->StartReportEpoch(Id(1), 1, kNow));
    const ReportRowRecord second[] = {
        Row(1, 1719828000, u"\u00c4pfel", u"two\r\nlines", std::u16string(1, char16_t(0xDC00)), 2)};
    ASSERT_TRUE(store_->StoreReportPage(Id(1), 2, second, kNow));
    const ReportRowRecord other[] = {Row(5, 1719826200, u"Kingston", u"DT\x1b[1m", u"K9", 0)};
    ASSERT_TRUE(store_->StoreReportPage(Id(2), 1, other, kNow));
  }
};

TEST_F(ReportRows, JsonHoldsTheTextsAsSentEachUnitOneCharacter) {
  const Outcome run = Run({"reports", "--json"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "[{\"agent\": \"a0000000000000000000000000000001\", \"id\": 1, \"time\": 1719820800, \"vendor\": "
            "\"Acme\", \"product\": \"Stick, \\\"Pro\\\"\", \"serial\": \"S1\", \"action\": 0},\n"
            " {\"agent\": \"a0000000000000000000000000000001\", \"id\": 2, \"time\": 1719824400, \"vendor\": \"-\", "
            "\"product\": \"CD/DVD\", \"serial\": \"-\", \"action\": 1},\n"
            " {\"agent\": \"a0000000000000000000000000000001\", \"id\": 1, \"time\": 1719828000, \"vendor\": "
            "\"\\u00c4pfel\", \"product\": \"two\\u000d\\u000alines\", \"serial\": \"\\udc00\", \"action\": 2},\n"
            " {\"agent\": \"a0000000000000000000000000000002\", \"id\": 5, \"time\": 1719826200, \"vendor\": "
            "\"Kingston\", \"product\": \"DT\\u001b[1m\", \"serial\": \"K9\", \"action\": 0}]\n");
}

TEST_F(ReportRows, CsvQuotesPerRfc4180) {
  const Outcome run = Run({"reports", "--csv"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "agent,id,time,vendor,product,serial,action\r\n"
            "a0000000000000000000000000000001,1,1719820800,Acme,\"Stick, \"\"Pro\"\"\",S1,0\r\n"
            "a0000000000000000000000000000001,2,1719824400,-,CD/DVD,-,1\r\n"
            "a0000000000000000000000000000001,1,1719828000,\xC3\x84pfel,\"two\r\nlines\",\xEF\xBF\xBD,2\r\n"
            "a0000000000000000000000000000002,5,1719826200,Kingston,DT\x1b[1m,K9,0\r\n");
}

TEST_F(ReportRows, TextInLocalTimeAndFilters) {
  Outcome run = Run({"reports"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "2024-07-01 08:00:00  a0000000000000000000000000000001  1  blocked    Acme | Stick, \"Pro\" | S1\n"
            // A drive lock row tells the lock, not a disk verdict.
            "2024-07-01 09:00:00  a0000000000000000000000000000001  2  unlocked   - | CD/DVD | -\n"
            "2024-07-01 10:00:00  a0000000000000000000000000000001  1  read-only  \xC3\x84pfel | two\\x0D\\x0Alines "
            "| \xEF\xBF\xBD\n"
            "2024-07-01 09:30:00  a0000000000000000000000000000002  5  blocked    Kingston | DT\\x1B[1m | K9\n");

  auto ids = [&](std::vector<std::string> args) {
    args.push_back("--csv");
    const Outcome filtered = Run(args);
    EXPECT_EQ(filtered.code, 0) << filtered.err;
    std::string agentsAndIds;
    std::istringstream lines(filtered.out);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line, '\n'))
      if (line.size() > 34 && line[32] == ',') agentsAndIds += line.substr(31, 1) + ":" + line.substr(33, 1) + " ";
    return agentsAndIds;
  };
  EXPECT_EQ(ids({"reports", "--agent", "a0000000000000000000000000000002"}), "2:5 ");
  EXPECT_EQ(ids({"reports", "--action", "block"}), "1:1 2:5 ");
  EXPECT_EQ(ids({"reports", "--action", "read-only"}), "1:1 ");
  EXPECT_EQ(ids({"reports", "--action", "allow"}), "");  // the lock row's 1 is "unlocked", no verdict
  EXPECT_EQ(ids({"reports", "--since", "2024-07-01T09:30"}), "1:1 2:5 ");
  EXPECT_EQ(ids({"reports", "--since", "1719824400"}), "1:2 1:1 2:5 ");
  EXPECT_EQ(ids({"reports", "--since", "2024-07-01 09:00:01", "--action", "block"}), "2:5 ");
  EXPECT_EQ(ids({"reports", "--since", "2038-01-19T03:14:08"}), "");  // past every 32-bit time
  EXPECT_EQ(Run({"reports", "--since", "2030-01-01"}).out, "No report rows match.\n");
}

TEST_F(ReportRows, Refusals) {
  struct Refusal {
    std::vector<std::string> args;
    int code;
    std::string err;
  };
  const Refusal refusals[] = {
      {{"reports", "--action", "deny"}, 2, "vxmgmtd: --action takes block, read-only or allow, not \"deny\"\n"},
      {{"reports", "--since", "yesterday"},
       2,
       "vxmgmtd: --since takes a local time YYYY-MM-DD[THH:MM[:SS]] or seconds since 1970, not \"yesterday\"\n"},
      {{"reports", "--agent", "a00000000000000000000000000000ff"},
       1,
       "vxmgmtd: no agent a00000000000000000000000000000ff has said hello to this server (vxmgmtd agents lists "
       "the agents)\n"},
  };
  for (const Refusal& refusal : refusals) {
    const Outcome run = Run(refusal.args);
    EXPECT_EQ(run.code, refusal.code);
    EXPECT_EQ(run.err, refusal.err);
    EXPECT_EQ(run.out, "");
  }
  const Outcome both = Run({"reports", "--json", "--csv"});
  EXPECT_EQ(both.code, 2);
  EXPECT_EQ(both.out, "");
  EXPECT_EQ(Run({"reports", "--colour"}).code, 2);
}

TEST_F(AdministrationCommands, ReportsPageThroughEveryRowOnce) {
  Hello(Id(1), EnrollMode::Open, "10.0.0.1:50000", kNow);
  std::vector<ReportRowRecord> rows;
  for (int32_t id = 1; id <= 2500; ++id) rows.push_back(Row(id, 1719800000 + id, u"V", u"P", u"S", id % 3));
  ASSERT_TRUE(store_->StoreReportPage(Id(1), 1, rows, kNow));
  const Outcome run = Run({"reports", "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  const nlohmann::json rowsRead = nlohmann::json::parse(run.out);
  ASSERT_EQ(rowsRead.size(), 2500u);
  for (std::size_t i = 0; i < rowsRead.size(); ++i) ASSERT_EQ(rowsRead[i]["id"], i + 1);
  const Outcome blocked = Run({"reports", "--json", "--action", "block"});
  EXPECT_EQ(nlohmann::json::parse(blocked.out).size(), 833u);  // the ids that are multiples of 3
}

TEST_F(AdministrationCommands, PolicyShowBeforeAFleetDefaultIsSet) {
  const Outcome run = Run({"policy", "show"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "Fleet default: not set. Until it is, serve sends agents nothing, and a first policy set starts from "
            "the product's default, which an agent starting fresh holds:\n"
            "  USB storage rules (1), the first that matches decides:\n"
            "    1. allow      every disk\n"
            "  CD/DVD drives:  locked\n"
            "  Floppy drives:  locked\n"
            "  Password:       none\n"
            "  Lock flags:     rules off, cdrom off, floppy off, password off (on: the agent's own changes do not "
            "last)\n"
            "  Digest:         0xBE9BB610\n");
  const Outcome json = Run({"policy", "show", "--json"});
  EXPECT_EQ(json.out,
            "{\"scope\": \"fleet\", \"set\": false, \"policy\": {\"rules\": [{\"number\": 1, \"action\": \"allow\", "
            "\"words\": \"every disk\", \"rule\": \"allow\"}], \"cdrom\": \"locked\", \"floppy\": \"locked\", "
            "\"password\": {\"set\": false, \"length\": 0}, \"locks\": {\"rules\": false, \"cdrom\": false, "
            "\"floppy\": false, \"password\": false}, \"digest\": \"0xBE9BB610\"}, \"agentsWithOwnAssignment\": 0}\n");
  EXPECT_TRUE(nlohmann::json::accept(json.out));
}

TEST_F(FleetOfTwo, PolicySetForTheFleetChangesOnlyWhatItNames) {
  const uint64_t before = Changes();
  Outcome run = Run({"policy", "set", "--all", "--rule", "block vendor Acme", "--rule",
                     "read-only product 'Cruzer Blade' serial 4C53 exact serial", "--rule", "allow", "--cdrom",
                     "unlocked", "--lock", "rules", "on", "--password", "s3cret"});
  ASSERT_EQ(run.code, 0) << run.err;
  const USB_RULE rules[] = {
      test::MakeRule("Acme", "", "", "", RULE_CHECK_VENDOR, ACTION_BLOCK),
      test::MakeRule("", "Cruzer Blade", "", "4C53", RULE_CHECK_PRODUCT | RULE_CHECK_SERIAL | RULE_EXACT_SERIAL,
                     ACTION_READ_ONLY),
      test::MakeRule("", "", "", "", 0, ACTION_ALLOW),
  };
  ParentPolicy expected = ProductDefaultParentPolicy();
  expected.ruleUsb__Parent = RulesToHex(rules, 3);
  expected.lockCdDvd__Parent = 0;
  expected.ruleUsb__Lock = 1;
  expected.password__Parent = "s3cret";
  const std::optional<ParentPolicy> stored = *store_->GetFleetPolicy();
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, expected);
  const uint32_t digest = management::ParentPolicyDigest(
      management::ApplyPolicyEntries(management::PolicySetEntries(expected), ParentPolicy{}));
  EXPECT_EQ(run.out, "The fleet default is set (digest " + DigestText(digest) +
                         "); a running serve brings the agents that follow it in line within a few seconds:\n"
                         "  USB storage rules (3), the first that matches decides:\n"
                         "    1. block      vendor contains \"Acme\"\n"
                         "    2. read-only  product contains \"Cruzer Blade\" and serial is \"4C53\"\n"
                         "    3. allow      every disk\n"
                         "  CD/DVD drives:  unlocked\n"
                         "  Floppy drives:  locked\n"
                         "  Password:       set (6 characters)\n"
                         "  Lock flags:     rules on, cdrom off, floppy off, password off (on: the agent's own "
                         "changes do not last)\n"
                         "  Digest:         " +
                         DigestText(digest) + "\n");
  EXPECT_GT(Changes(), before);

  // The rules as show --json gives them are words that policy set reads back
  // to the very same assignment.
  const nlohmann::json shown = nlohmann::json::parse(Run({"policy", "show", "--json"}).out);
  std::vector<std::string> again = {"policy", "set", "--all"};
  for (const auto& rule : shown["policy"]["rules"]) {
    again.push_back("--rule");
    again.push_back(rule["rule"]);
  }
  EXPECT_EQ(again[4], "block vendor Acme");
  EXPECT_EQ(again[6], "read-only product 'Cruzer Blade' serial 4C53 exact serial");
  EXPECT_EQ(shown["policy"]["rules"][1]["words"], "product contains \"Cruzer Blade\" and serial is \"4C53\"");
  EXPECT_EQ(shown["policy"]["digest"], DigestText(digest));
  EXPECT_EQ(Run(again).err, "vxmgmtd: the fleet default is that already; nothing to do\n");

  // A later change keeps the rest.
  run = Run({"policy", "set", "--all", "--floppy", "unlocked"});
  ASSERT_EQ(run.code, 0) << run.err;
  expected.lockFloppy__Parent = 0;
  EXPECT_EQ(**store_->GetFleetPolicy(), expected);

  // The same again is nothing to do.
  const uint64_t settled = Changes();
  run = Run({"policy", "set", "--all", "--floppy", "unlocked"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "vxmgmtd: the fleet default is that already; nothing to do\n");
  EXPECT_EQ(Changes(), settled);
}

TEST_F(FleetOfTwo, PolicySetForAnAgentStartsFromTheFleetDefault) {
  ASSERT_EQ(Run({"policy", "set", "--all", "--password", "fleet"}).code, 0);
  Outcome run = Run({"policy", "set", "--agent", "a0000000000000000000000000000001", "--lock", "cdrom", "on"});
  ASSERT_EQ(run.code, 0) << run.err;
  ParentPolicy expected = ProductDefaultParentPolicy();
  expected.password__Parent = "fleet";
  expected.lockCdDvd__Lock = 1;
  EXPECT_EQ(**store_->GetAgentPolicy(Id(1)), expected);
  EXPECT_EQ(**store_->GetFleetPolicy(), [] {
    ParentPolicy fleet = ProductDefaultParentPolicy();
    fleet.password__Parent = "fleet";
    return fleet;
  }());

  // Its own assignment from then on; the fleet default no longer reaches it.
  ASSERT_EQ(Run({"policy", "set", "--all", "--cdrom", "unlocked"}).code, 0);
  EXPECT_EQ(**store_->GetAgentPolicy(Id(1)), expected);
  run = Run({"policy", "show", "--agent", "a0000000000000000000000000000001"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find(": its own assignment, set 2024-07-01 10:30:15\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  Standing:       pending: it differs, and a running serve is setting it\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(Run({"policy", "show"}).out.find("1 agent(s) have an assignment of their own") != std::string::npos, true);

  // --fleet drops it.
  run = Run({"policy", "set", "--agent", "a0000000000000000000000000000001", "--fleet"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_FALSE(*store_->GetAgentPolicy(Id(1)));
  run = Run({"policy", "set", "--agent", "a0000000000000000000000000000001", "--fleet"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err,
            "vxmgmtd: agent a0000000000000000000000000000001 follows the fleet default already; nothing to do\n");
}

TEST_F(FleetOfTwo, PolicySetRefusesBadArgumentsAndWritesNothing) {
  const uint64_t before = Changes();
  const std::optional<ParentPolicy> fleetBefore = *store_->GetFleetPolicy();
  struct Refusal {
    std::vector<std::string> args;
    int code;
    std::string err;
  };
  const std::string agent1 = "a0000000000000000000000000000001";
  const Refusal refusals[] = {
      {{"policy", "set", "--all", "--rule", "allow", "--rule", "block colour red"},
       2,
       "vxmgmtd: --rule \"block colour red\" (rule 2): \"colour\" is not a field; after the action come vendor, "
       "product, revision or serial, each with its text, then exact FIELD; nothing was written\n"},
      {{"policy", "set", "--agent", agent1, "--rule", "block vendor " + std::string(64, 'x')},
       2,
       "vxmgmtd: --rule \"block vendor " + std::string(64, 'x') + "\" (rule 1): \"" + std::string(64, 'x') +
           "\": the vendor text is 64 characters; a pattern holds at most 63; nothing was written\n"},
      {{"policy", "set", "--all", "--cdrom", "off"},
       2,
       "vxmgmtd: --cdrom takes locked or unlocked, not \"off\"; nothing was written\n"},
      {{"policy", "set", "--all", "--password", std::string(121, 'p')},
       2,
       "vxmgmtd: the password is 121 characters; an agent keeps at most 120 of the server's; nothing was written\n"},
      {{"policy", "set", "--all"},
       2,
       "vxmgmtd: policy set needs a change: --rule, --cdrom, --floppy, --lock or --password (or --fleet)\n"},
      {{"policy", "set", "--cdrom", "locked"},
       2,
       "vxmgmtd: policy set takes --agent ID or --all (the fleet default), one of them\n"},
      {{"policy", "set", "--all", "--fleet"},
       2,
       "vxmgmtd: --fleet goes with --agent ID alone: it drops the agent's own assignment\n"},
      {{"policy", "set", "--agent", "a00000000000000000000000000000ff", "--cdrom", "locked"},
       1,
       "vxmgmtd: no agent a00000000000000000000000000000ff has said hello to this server (vxmgmtd agents lists "
       "the agents)\n"},
      {{"policy", "show", "--agent", "a00000000000000000000000000000ff"},
       1,
       "vxmgmtd: no agent a00000000000000000000000000000ff has said hello to this server (vxmgmtd agents lists "
       "the agents)\n"},
  };
  for (const Refusal& refusal : refusals) {
    const Outcome run = Run(refusal.args);
    EXPECT_EQ(run.code, refusal.code) << refusal.err;
    EXPECT_EQ(run.err, refusal.err);
    EXPECT_EQ(run.out, "");
  }
  // Refused by the command line itself: still exit 2.
  EXPECT_EQ(Run({"policy", "set", "--all", "--agent", agent1, "--cdrom", "locked"}).code, 2);
  EXPECT_EQ(Run({"policy", "set", "--all", "--lock", "rules"}).code, 2);
  EXPECT_EQ(Run({"policy", "set", "--all", "--lock", "rules", "on", "extra"}).code, 2);
  EXPECT_EQ(Run({"policy"}).code, 2);
  EXPECT_EQ(Changes(), before);
  EXPECT_EQ(*store_->GetFleetPolicy(), fleetBefore);
  EXPECT_FALSE(*store_->GetAgentPolicy(Id(1)));
}

TEST_F(FleetOfTwo, PolicyShowAndDriftTellADriftedAgent) {
  ASSERT_EQ(Run({"policy", "set", "--agent", "a0000000000000000000000000000001", "--rule", "block"}).code, 0);
  const uint32_t expected = AssignedDigest(**store_->GetAgentPolicy(Id(1)));
  AgentPolicyState policy;
  policy.sync = PolicySync::Drifted;
  policy.heldDigest = 0x12345678u;
  policy.expectedDigest = expected;
  policy.tries = 3;
  policy.checkedAt = kNow - 5;
  ASSERT_TRUE(store_->RecordPolicyState(Id(1), policy));
  Hello(Id(3), EnrollMode::Open, "10.0.0.3:50000", kNow);
  policy.sync = PolicySync::Setting;
  policy.heldDigest = 0x0BADF00Du;
  policy.expectedDigest = 0xBE9BB610u;
  policy.tries = 1;
  ASSERT_TRUE(store_->RecordPolicyState(Id(3), policy));

  Outcome run = Run({"policy", "show", "--agent", "a0000000000000000000000000000001"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "Agent a0000000000000000000000000000001 (PC\\x1B[2J-01): its own assignment, set 2024-07-01 10:30:15\n"
            "  USB storage rules (1), the first that matches decides:\n"
            "    1. block      every disk\n"
            "  CD/DVD drives:  locked\n"
            "  Floppy drives:  locked\n"
            "  Password:       none\n"
            "  Lock flags:     rules off, cdrom off, floppy off, password off (on: the agent's own changes do not "
            "last)\n"
            "  Digest:         " +
                DigestText(expected) +
                "\n"
                "  Held by agent:  0x12345678 (reported 2024-07-01 10:30:10)\n"
                "  Standing:       drifted: 3 policy set(s) did not bring it in line\n");

  run = Run({"drift"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, "a0000000000000000000000000000001 (PC\\x1B[2J-01): drifted, holds 0x12345678, expected " +
                         DigestText(expected) +
                         ", 3 policy set(s) sent, reported 2024-07-01 10:30:10\n"
                         "a0000000000000000000000000000003: pending, holds 0x0BADF00D, expected 0xBE9BB610, 1 policy "
                         "set(s) sent, reported 2024-07-01 10:30:10, not connected\n"
                         "1 agent(s) have not reported a digest yet.\n");
  run = Run({"drift", "--json"});
  EXPECT_EQ(run.out,
            "[{\"agent\": \"a0000000000000000000000000000001\", \"computerName\": \"PC\\u001b[2J-01\", "
            "\"standing\": \"drifted\", \"heldDigest\": \"0x12345678\", \"expectedDigest\": \"" +
                DigestText(expected) +
                "\", \"policySetsSent\": 3, \"checkedAt\": 1719829810, \"connected\": true},\n"
                " {\"agent\": \"a0000000000000000000000000000003\", \"computerName\": null, \"standing\": "
                "\"pending\", \"heldDigest\": \"0x0BADF00D\", \"expectedDigest\": \"0xBE9BB610\", "
                "\"policySetsSent\": 1, \"checkedAt\": 1719829810, \"connected\": false}]\n");
  EXPECT_TRUE(nlohmann::json::accept(run.out));

  // Once the agent reports the assigned digest, it is in force and off the list.
  policy.sync = PolicySync::InSync;
  policy.heldDigest = expected;
  policy.expectedDigest = expected;
  ASSERT_TRUE(store_->RecordPolicyState(Id(1), policy));
  policy.heldDigest = 0xBE9BB610u;
  ASSERT_TRUE(store_->RecordPolicyState(Id(3), policy));
  EXPECT_EQ(Run({"drift"}).out,
            "Every agent that reported its digest holds the policy assigned to it.\n"
            "1 agent(s) have not reported a digest yet.\n");
}

TEST_F(FleetOfTwo, PushQueuesAnInstallerOncePerAgent) {
  const std::filesystem::path installer = dir_ / "VXUP-1.5.exe";
  {
    std::ofstream file(installer, std::ios::binary);
    file << std::string(70000, 'M');
  }
  Outcome run = Run({"push", installer.string(), "--agent", "a0000000000000000000000000000001"});
  ASSERT_EQ(run.code, 0) << run.err;
  StoreResult<std::vector<UpdateRecord>> updates = store_->ListUpdates(Id(1));
  ASSERT_TRUE(updates);
  ASSERT_EQ(updates->size(), 1u);
  EXPECT_EQ((*updates)[0].size, 70000u);
  EXPECT_EQ((*updates)[0].name, "VXUP-1.5.exe");
  EXPECT_EQ(run.out,
            "Queued VXUP-1.5.exe (70000 bytes) for 1 agent(s); a running serve sends it to each once, when "
            "it is connected:\n  update " +
                std::to_string((*updates)[0].updateId) + " for agent a0000000000000000000000000000001\n");
  std::vector<uint8_t> chunk(70000);
  ASSERT_TRUE(store_->ReadUpdateChunk((*updates)[0].updateId, 0, chunk));
  EXPECT_EQ(chunk, std::vector<uint8_t>(70000, 'M'));

  // --all: every agent that is not revoked.
  ASSERT_EQ(Run({"agents", "revoke", "a0000000000000000000000000000002"}).code, 0);
  run = Run({"push", installer.string(), "--all"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(store_->ListUpdates(Id(1))->size(), 2u);
  EXPECT_TRUE(store_->ListUpdates(Id(2))->empty());

  const std::filesystem::path empty = dir_ / "empty.exe";
  std::ofstream(empty).close();
  const uint64_t before = Changes();
  struct Refusal {
    std::vector<std::string> args;
    int code;
    std::string err;
  };
  const Refusal refusals[] = {
      {{"push", empty.string(), "--all"},
       2,
       "vxmgmtd: \"" + empty.string() +
           "\" has 0 bytes; an installer has 1 byte to 268435456 bytes; nothing was "
           "queued\n"},
      {{"push", (dir_ / "missing.exe").string(), "--all"},
       2,
       "vxmgmtd: \"" + (dir_ / "missing.exe").string() + "\" is not a file that can be read; nothing was queued\n"},
      {{"push", dir_.path().string(), "--all"},
       2,
       "vxmgmtd: \"" + dir_.path().string() + "\" is not a file that can be read; nothing was queued\n"},
      {{"push", installer.string()}, 2, "vxmgmtd: push takes --agent ID or --all, one of them\n"},
      {{"push", installer.string(), "--agent", "a00000000000000000000000000000ff"},
       1,
       "vxmgmtd: no agent a00000000000000000000000000000ff has said hello to this server (vxmgmtd agents lists "
       "the agents)\n"},
      {{"push", installer.string(), "--agent", "a0000000000000000000000000000002"},
       1,
       "vxmgmtd: agent a0000000000000000000000000000002 is revoked; nothing is sent to it\n"},
  };
  for (const Refusal& refusal : refusals) {
    run = Run(refusal.args);
    EXPECT_EQ(run.code, refusal.code) << refusal.err;
    EXPECT_EQ(run.err, refusal.err);
  }
  EXPECT_EQ(Changes(), before);
  EXPECT_EQ(store_->ListUpdates(Id(1))->size(), 2u);
}

TEST_F(AdministrationCommands, AStoreThatCannotBeOpenedIsExitCode3) {
  const std::filesystem::path missing = dir_ / "nowhere" / "vxmgmtd.db";
  const std::filesystem::path garbage = dir_ / "garbage.db";
  {
    std::ofstream file(garbage, std::ios::binary);
    file << std::string(8192, 'g');
  }
  const std::vector<std::string> commands[] = {
      {"agents"},
      {"reports", "--json"},
      {"policy", "show"},
      {"drift"},
      {"agents", "approve", "a0000000000000000000000000000001"},
      {"policy", "set", "--agent", "a0000000000000000000000000000001", "--cdrom", "locked"},
      {"push", (dir_ / "garbage.db").string(), "--all"},
  };
  for (const auto& command : commands) {
    for (const std::filesystem::path& db : {missing, garbage}) {
      std::vector<std::string> args = command;
      args.push_back("--db");
      args.push_back(db.string());
      const Outcome run = RunLine(args);
      EXPECT_EQ(run.code, 3) << command[0] << " " << db;
      EXPECT_EQ(run.err.rfind("vxmgmtd: ", 0), 0u) << run.err;
      EXPECT_NE(run.err.find(db.string()), std::string::npos) << run.err;
      EXPECT_EQ(run.out, "");
    }
  }
  // A mistyped --db creates no store.
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_FALSE(std::filesystem::exists(missing.parent_path()));
}

TEST_F(AdministrationCommands, AFleetDefaultMayBeSetBeforeServeFirstRuns) {
  const std::filesystem::path fresh = dir_ / "fresh.db";
  const Outcome run = RunLine({"policy", "set", "--all", "--cdrom", "unlocked", "--db", fresh.string()});
  ASSERT_EQ(run.code, 0) << run.err;
  StoreResult<std::unique_ptr<Store>> opened = OpenSqliteStore(fresh);
  ASSERT_TRUE(opened);
  EXPECT_EQ((**(*opened)->GetFleetPolicy()).lockCdDvd__Parent, 0);
}

// Who may change the policy: only an account that may write the store. The
// store is its owner's alone (0600); another account is refused, nothing
// changed.
TEST_F(FleetOfTwo, AnotherAccountMayNotChangeThePolicyOrEnrollments) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a command as another account";
  const std::vector<std::string> changes[] = {
      {"policy", "set", "--all", "--cdrom", "unlocked"},
      {"agents", "approve", "a0000000000000000000000000000002"},
      {"push", db_.string(), "--all"},
      {"token", "create", "--name", "mine"},
      {"token", "revoke", "1"},
  };
  ASSERT_TRUE(store_->AddApiToken("kept", ApiTokenHash{}, kNow).ok());
  const uint64_t before = Changes();
  for (const auto& change : changes) {
    EXPECT_EXIT(
        {
          // The account nobody, as an unprivileged administrator on the machine would be.
          if (::setgid(65534) != 0 || ::setuid(65534) != 0) std::_Exit(99);
          const Outcome run = Run(change);
          std::fputs(run.err.c_str(), stderr);
          std::_Exit(run.code);
        },
        ::testing::ExitedWithCode(3), "cannot be opened.*changes need an account that may write it")
        << change[0];
  }
  EXPECT_EQ(Changes(), before);
  EXPECT_EQ(store_->FindAgent(Id(2))->enrollment, Enrollment::Pending);
  ASSERT_EQ(store_->ListApiTokens()->size(), 1u);
  EXPECT_FALSE(store_->ListApiTokens()->at(0).revokedAt.has_value());
  struct stat info {};
  ASSERT_EQ(::stat(db_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(AdministrationCommands, ATokenIsShownOnceKeptAsItsHashAndRevokedOnce) {
  const Outcome made = Run({"token", "create", "--name", "console"});
  ASSERT_EQ(made.code, 0) << made.err;
  const std::string token = made.out.substr(made.out.rfind('\n', made.out.size() - 2) + 1, 64);
  ASSERT_EQ(token.size(), 64u);
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
  const auto tokens = store_->ListApiTokens();
  ASSERT_EQ(tokens->size(), 1u);
  EXPECT_EQ(tokens->at(0).hash, HashApiToken(token));
  EXPECT_EQ(MatchApiToken(*tokens, token), tokens->at(0).tokenId);
  EXPECT_FALSE(MatchApiToken(*tokens, token.substr(0, 63) + "x").has_value());
  // The list never shows a token.
  const Outcome listed = Run({"token", "list", "--json"});
  ASSERT_EQ(listed.code, 0);
  EXPECT_EQ(listed.out.find(token), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(listed.out)[0]["name"], "console");

  struct Case {
    std::vector<std::string> args;
    int code;
  };
  const std::vector<Case> cases = {
      {{"token", "revoke", "1"}, 0},  {{"token", "revoke", "1"}, 1},  // revoked already
      {{"token", "revoke", "7"}, 1},  {{"token", "revoke", "one"}, 2},
      {{"token", "revoke", "-1"}, 2}, {{"token", "create", "--name", std::string(101, 'n')}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    EXPECT_EQ(Run(c.args).code, c.code);
  }
  EXPECT_FALSE(MatchApiToken(*store_->ListApiTokens(), token).has_value());
}

}  // namespace
}  // namespace vx::server
