// Prepares a store for the console's browser test through the store seam: a
// handful of agents (one drifted, one pending, one not reported), report rows
// of the last hours (one whose vendor text is markup), a fleet default, and a
// token, which it prints.
//
//   console_fixture STORE
#include <cstdio>
#include <ctime>

#include "server/commands/api_token.h"
#include "server/commands/policy_assignment.h"
#include "server/store/agent_text.h"
#include "server/store/sqlite_store.h"

namespace {

using namespace vx::server;

AgentId Id(uint8_t last) {
  AgentId id{};
  id[0] = 0xC0;
  id[15] = last;
  return id;
}

bool Fail(const std::string& what) {
  std::fprintf(stderr, "console_fixture: %s\n", what.c_str());
  return false;
}

bool Prepare(Store& store, int64_t now) {
  vx::management::ParentPolicy fleet = ProductDefaultParentPolicy();
  if (!store.SetFleetPolicy(fleet, now - 7200)) return Fail("fleet default");
  const uint32_t expected = AssignedDigest(fleet);
  struct Agent {
    uint8_t id;
    const char16_t* name;
    PolicySync sync;
    uint32_t held;
  };
  const Agent agents[] = {{1, u"ACCOUNTS-PC", PolicySync::InSync, expected},
                          {2, u"LAB-07", PolicySync::Drifted, 0x12345678},
                          {3, u"RECEPTION", PolicySync::Setting, 0x0BADF00D},
                          {4, u"WAREHOUSE-2", PolicySync::Unknown, 0}};
  for (const Agent& a : agents) {
    const AgentId id = Id(a.id);
    if (!store.RecordHello(id, EnrollMode::Open, "192.168.10." + std::to_string(a.id) + ":49152", now - 3600))
      return Fail("hello");
    if (!store.RecordSeen(id, now - 60 * a.id)) return Fail("seen");
    AgentStatus status;
    status.computerName = AgentTextToUtf8(a.name);
    status.lockCdDvd = a.id % 2 == 1;
    status.lockFloppy = true;
    status.uptimeSeconds = 3600u * a.id;
    status.receivedAt = now - 60;
    if (!store.RecordStatus(id, status)) return Fail("status");
    if (a.sync != PolicySync::Unknown) {
      AgentPolicyState state{a.sync, a.held, expected, a.sync == PolicySync::Drifted ? kPolicyTries : 1, now - 120};
      if (!store.RecordPolicyState(id, state)) return Fail("policy state");
    }
    std::vector<ReportRowRecord> rows;
    for (int i = 1; i <= 6 * a.id; ++i) {
      const int32_t time = static_cast<int32_t>(now - (i * 2400 + a.id * 300) % 79200);
      const bool markup = a.id == 2 && i == 1;
      rows.push_back({i, time, markup ? "<img src=x onerror=alert(1)>" : "Kingston", "DataTraveler 3.0",
                      "60A44C3F" + std::to_string(a.id * 100 + i), i % 3});
    }
    if (a.id == 1)
      rows.push_back({static_cast<int32_t>(rows.size() + 1), static_cast<int32_t>(now - 900), "-", "CD/DVD", "-", 0});
    if (!store.StoreReportPage(id, 1, rows, now)) return Fail("rows");
    if (!store.RecordAnnouncedReportId(id, static_cast<int32_t>(rows.size()) + (a.id == 3 ? 40 : 0)))
      return Fail("notice");
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return Fail("usage: console_fixture STORE"), 2;
  auto opened = OpenSqliteStore(argv[1]);
  if (!opened) return Fail(opened.error()), 1;
  const int64_t now = std::time(nullptr);
  if (!Prepare(**opened, now)) return 1;
  const std::optional<std::string> token = MakeApiToken();
  if (!token || !(*opened)->AddApiToken("browser test", HashApiToken(*token), now)) return Fail("token"), 1;
  std::printf("%s\n", token->c_str());
  return 0;
}
