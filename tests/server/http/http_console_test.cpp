// The console's JSON API on loopback over a real store: every route's answer,
// its refusals (no token, a wrong or revoked token, bad rule words, an
// unknown agent, a bad range), paging, and a policy set through the API that
// `vxmgmtd policy show` prints and a connected agent then holds.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "server/commands/api_token.h"
#include "server/commands/policy_assignment.h"
#include "server/http/http_console.h"
#include "server/store/agent_text.h"
#include "server/store/sqlite_store.h"
#include "tests/server/support/agent_under_test.h"
#include "tests/server/support/server_under_test.h"
#include "tests/support/temp_dir.h"

namespace vx::server {
namespace {

using nlohmann::json;

constexpr int64_t kNow = 1719829815;
constexpr AgentId kAgentA{0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr AgentId kAgentB{0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
const std::string kXss = "<img src=x onerror=alert(1)>";

class HttpApi : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = OpenSqliteStore(db_);
    ASSERT_TRUE(opened) << opened.error();
    store_ = std::move(opened).value();
    token_ = *MakeApiToken();
    revoked_ = *MakeApiToken();
    ASSERT_TRUE(store_->AddApiToken("test", HashApiToken(token_), kNow).ok());
    const auto gone = store_->AddApiToken("old", HashApiToken(revoked_), kNow);
    ASSERT_TRUE(gone.ok());
    ASSERT_TRUE(store_->RevokeApiToken(*gone, kNow).ok());
    for (const AgentId& id : {kAgentA, kAgentB})
      ASSERT_TRUE(store_->RecordHello(id, EnrollMode::Open, "10.0.0.1:5", kNow).ok());
    AgentStatus status;
    status.computerName = AgentTextToUtf8(u"PC-<b>1</b>");
    status.lockCdDvd = true;
    status.receivedAt = kNow;
    ASSERT_TRUE(store_->RecordStatus(kAgentA, status).ok());
    std::vector<ReportRowRecord> rows;
    for (int i = 1; i <= 7; ++i)
      rows.push_back({i, 1719820000 + i * 600, i == 3 ? kXss : "Acme", "Stick", "S" + std::to_string(i), i % 3});
    ASSERT_TRUE(store_->StoreReportPage(kAgentA, 1, rows, kNow).ok());
    console_ = std::make_unique<HttpConsole>(StoreLocationOf(db_.string()), ListenAddress{"127.0.0.1", 0},
                                             [] { return kNow; });
    ASSERT_EQ(console_->Start(), "");
    client_ = std::make_unique<httplib::Client>("127.0.0.1", console_->Port());
  }

  httplib::Headers Auth(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }
  httplib::Result Get(const std::string& path) { return client_->Get(("/api/v1/" + path).c_str(), Auth(token_)); }
  httplib::Result Post(const std::string& path, const httplib::Params& form) {
    return client_->Post(("/api/v1/" + path).c_str(), Auth(token_), form);
  }

  vx::test::TempDir dir_;
  std::filesystem::path db_ = dir_ / "vxmgmtd.db";
  std::unique_ptr<Store> store_;
  std::string token_, revoked_;
  std::unique_ptr<HttpConsole> console_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(HttpApi, EveryCallWithoutATokenInUseGetsA401AndNothingElse) {
  const std::vector<std::pair<const char*, httplib::Headers>> refused = {
      {"no token", {}},
      {"another scheme", {{"Authorization", "Basic " + token_}}},
      {"a wrong token", {{"Authorization", "Bearer " + std::string(64, '0')}}},
      {"a revoked token", {{"Authorization", "Bearer " + revoked_}}},
      {"the token with a byte more", {{"Authorization", "Bearer " + token_ + "0"}}},
  };
  for (const auto& [name, headers] : refused) {
    SCOPED_TRACE(name);
    for (const char* path : {"/api/v1/agents", "/api/v1/policy", "/api/v1/nothing"}) {
      const auto got = client_->Get(path, headers);
      ASSERT_TRUE(got);
      EXPECT_EQ(got->status, 401);
      EXPECT_EQ(got->body, "");
    }
    const auto set = client_->Post("/api/v1/policy", headers, httplib::Params{{"all", "1"}, {"cdrom", "unlocked"}});
    EXPECT_EQ(set->status, 401);
  }
  // Nothing was changed by the refused calls.
  EXPECT_FALSE(store_->GetFleetPolicy()->has_value());
  // A token revoked while the console runs is refused from the next call on.
  EXPECT_EQ(Get("agents")->status, 200);
  ASSERT_TRUE(store_->RevokeApiToken(1, kNow).ok());
  EXPECT_EQ(Get("agents")->status, 401);
}

TEST_F(HttpApi, ThePageIsServedWithItsTypesAndAPolicyThatForbidsInlineScript) {
  struct Case {
    const char* path;
    const char* type;
  };
  for (const Case& c : {Case{"/", "text/html; charset=utf-8"}, Case{"/console.js", "text/javascript; charset=utf-8"},
                        Case{"/console.css", "text/css; charset=utf-8"}}) {
    SCOPED_TRACE(c.path);
    const auto got = client_->Get(c.path);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->status, 200);
    EXPECT_EQ(got->get_header_value("Content-Type"), c.type);
    EXPECT_EQ(got->get_header_value("X-Content-Type-Options"), "nosniff");
    const std::string policy = got->get_header_value("Content-Security-Policy");
    EXPECT_NE(policy.find("script-src 'self'"), std::string::npos);
    EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos);
  }
  EXPECT_EQ(client_->Get("/secret.txt")->status, 404);
  EXPECT_EQ(Get("agents")->get_header_value("Content-Type"), "application/json");
}

TEST_F(HttpApi, AgentsAndOneAgentWithTheirTextsAsText) {
  const auto list = Get("agents");
  ASSERT_EQ(list->status, 200);
  // Markup from an agent is escaped in the JSON itself.
  EXPECT_EQ(list->body.find("<b>"), std::string::npos);
  const json agents = json::parse(list->body)["agents"];
  ASSERT_EQ(agents.size(), 2u);
  EXPECT_EQ(agents[0]["computerName"], "PC-<b>1</b>");
  EXPECT_EQ(agents[0]["locks"]["cdrom"], true);
  EXPECT_EQ(agents[1]["computerName"], nullptr);

  const auto one = Get("agents/" + AgentIdHex(kAgentA));
  ASSERT_EQ(one->status, 200);
  const json view = json::parse(one->body);
  EXPECT_EQ(view["agent"]["agent"], AgentIdHex(kAgentA));
  EXPECT_EQ(view["policy"]["source"], "none");
  ASSERT_EQ(view["events"].size(), 7u);
  EXPECT_EQ(view["events"][0]["id"], 7);  // newest first
  EXPECT_EQ(view["events"][4]["vendor"], kXss);

  struct Refusal {
    std::string path;
    int status;
  };
  for (const Refusal& r : {Refusal{"agents/" + AgentIdHex(AgentId{9}), 404}, Refusal{"agents/xyz", 400},
                           Refusal{"policy?agent=" + AgentIdHex(AgentId{9}), 404},
                           Refusal{"reports?agent=" + AgentIdHex(AgentId{9}), 404}, Refusal{"nothing", 404}}) {
    SCOPED_TRACE(r.path);
    const auto got = Get(r.path);
    EXPECT_EQ(got->status, r.status);
    EXPECT_TRUE(json::parse(got->body).contains("error"));
  }
}

TEST_F(HttpApi, ReportsPageThroughEveryRowOnceAndRefuseBadFilters) {
  std::vector<int> ids;
  std::string next;
  for (int pages = 0; pages < 10; ++pages) {
    const auto got = Get("reports?limit=3" + (next.empty() ? "" : "&after=" + next));
    ASSERT_EQ(got->status, 200) << got->body;
    const json page = json::parse(got->body);
    for (const json& row : page["rows"]) ids.push_back(row["id"]);
    if (page["next"].is_null()) break;
    next = page["next"];
  }
  EXPECT_EQ(ids, (std::vector<int>{7, 6, 5, 4, 3, 2, 1}));
  // Filters: blocked rows (action 0) in a range.
  const json blocked = json::parse(Get("reports?action=block&since=1719821200&until=1719823000")->body);
  ASSERT_EQ(blocked["rows"].size(), 1u);
  EXPECT_EQ(blocked["rows"][0]["id"], 3);

  const json hourly = json::parse(Get("reports/hourly?since=1719820800&until=1719828000")->body);
  ASSERT_EQ(hourly["slots"].size(), 2u);
  uint64_t counted = 0;
  for (const json& slot : hourly["slots"])
    counted += slot["blocked"].get<uint64_t>() + slot["allowed"].get<uint64_t>() + slot["readOnly"].get<uint64_t>();
  EXPECT_EQ(counted, 6u);  // row 1 falls before the range

  for (const char* bad : {"reports?since=20&until=10", "reports?since=yesterday", "reports?action=deny",
                          "reports?limit=0", "reports?limit=501", "reports?after=1.2.3", "reports/hourly?since=0",
                          "reports/hourly?since=0&until=2678401", "reports/hourly?since=10&until=10"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Get(bad)->status, 400);
  }
}

TEST_F(HttpApi, BadRuleWordsAreRefusedRuleByRuleAndNothingIsWritten) {
  const auto got = Post("policy", {{"all", "1"},
                                   {"rules", "replace"},
                                   {"rule", "block vendor Acme"},
                                   {"rule", "deny vendor X"},
                                   {"rule", "allow product 'open"}});
  ASSERT_EQ(got->status, 400);
  const json answer = json::parse(got->body);
  ASSERT_EQ(answer["rules"].size(), 2u);
  EXPECT_EQ(answer["rules"][0]["rule"], 2);
  EXPECT_EQ(answer["rules"][0]["word"], "deny");
  EXPECT_EQ(answer["rules"][1]["rule"], 3);
  EXPECT_FALSE(store_->GetFleetPolicy()->has_value());
  EXPECT_EQ(Post("policy", {{"all", "1"}, {"cdrom", "open"}})->status, 400);
  EXPECT_EQ(Post("policy", {{"agent", AgentIdHex(AgentId{9})}, {"cdrom", "locked"}})->status, 404);
  EXPECT_EQ(Post("policy", {{"cdrom", "locked"}})->status, 400);  // neither all nor agent
}

TEST_F(HttpApi, AnUpdateIsQueuedForOneAgentOrAllAndListedWithItsDelivery) {
  httplib::MultipartFormDataItems one = {{"file", "MZ installer", "setup.exe", "application/octet-stream"},
                                         {"agent", AgentIdHex(kAgentB), "", ""}};
  const auto queued = client_->Post("/api/v1/updates", Auth(token_), one);
  ASSERT_EQ(queued->status, 200) << queued->body;
  EXPECT_EQ(json::parse(queued->body)["queued"].size(), 1u);
  httplib::MultipartFormDataItems all = {{"file", "MZ", "C:\\dir\\two.exe", ""}, {"all", "1", "", ""}};
  EXPECT_EQ(json::parse(client_->Post("/api/v1/updates", Auth(token_), all)->body)["queued"].size(), 2u);
  const json updates = json::parse(Get("updates")->body)["updates"];
  ASSERT_EQ(updates.size(), 3u);
  EXPECT_EQ(updates[0]["name"], "setup.exe");
  EXPECT_EQ(updates[1]["name"], "two.exe");
  EXPECT_TRUE(updates[0]["deliveredAt"].is_null());
  httplib::MultipartFormDataItems none = {{"agent", AgentIdHex(kAgentB), "", ""}};
  EXPECT_EQ(client_->Post("/api/v1/updates", Auth(token_), none)->status, 400);
}

// Runs vxmgmtd ARGS and gives its standard output.
std::string Program(const std::string& args) {
  std::string out;
  FILE* pipe = ::popen((std::string(VX_VXMGMTD) + " " + args).c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, got);
  (void)::pclose(pipe);  // the output is what is compared
  return out;
}

TEST(HttpApiWithAnAgent, APolicySetThroughTheApiIsWhatPolicyShowPrintsAndWhatTheAgentThenHolds) {
  vx::test::TempDir dir;
  const std::filesystem::path db = dir / "vxmgmtd.db";
  test::ServerUnderTest server(db);
  ASSERT_TRUE(server.Start());
  test::AgentUnderTest agent(kAgentA);
  agent.Start(server.Port());
  const std::string token = *MakeApiToken();
  ASSERT_TRUE(server.OpenStore()->AddApiToken("", HashApiToken(token), kNow).ok());
  HttpConsole console(StoreLocationOf(db.string()), ListenAddress{"127.0.0.1", 0}, [] { return kNow; });
  ASSERT_EQ(console.Start(), "");
  httplib::Client client("127.0.0.1", console.Port());
  const httplib::Headers auth = {{"Authorization", "Bearer " + token}};

  const auto set = client.Post("/api/v1/policy", auth,
                               httplib::Params{{"all", "1"},
                                               {"rules", "replace"},
                                               {"rule", "block vendor Acme"},
                                               {"rule", "read-only product 'Cruzer Blade' serial 4C53 exact serial"},
                                               {"cdrom", "unlocked"},
                                               {"lock-rules", "on"}});
  ASSERT_EQ(set->status, 200) << set->body;
  const json setAnswer = json::parse(set->body);
  EXPECT_EQ(setAnswer["changed"], true);
  const std::string digest = setAnswer["policy"]["digest"];
  // The command prints what the API set.
  const json shown = json::parse(Program("policy show --json --db " + db.string()));
  EXPECT_EQ(shown["policy"], setAnswer["policy"]);
  // The same again changes nothing and is no fault.
  EXPECT_EQ(
      json::parse(
          client.Post("/api/v1/policy", auth, httplib::Params{{"all", "1"}, {"cdrom", "unlocked"}})->body)["changed"],
      false);

  // The connected agent is brought in line: its digest is the one set.
  std::string standing, held;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);  // a failure, never a measure
  while (std::chrono::steady_clock::now() < deadline) {
    const json view = json::parse(client.Get(("/api/v1/agents/" + AgentIdHex(kAgentA)).c_str(), auth)->body);
    standing = view["agent"]["policy"]["standing"];
    held = view["agent"]["policy"]["heldDigest"].is_null() ? "" : view["agent"]["policy"]["heldDigest"];
    if (standing == "in force") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(standing, "in force");
  EXPECT_EQ(held, digest);
  EXPECT_EQ(json::parse(client.Get("/api/v1/drift", auth)->body)["agents"].size(), 0u);
  agent.Stop();
  console.Stop();
  server.Stop();
}

}  // namespace
}  // namespace vx::server
