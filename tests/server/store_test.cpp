// The store for real, on both engines from one table of cases: an SQLite
// file in a temporary directory, and a new database on a private PostgreSQL
// cluster. Enrollment, status, report pages and epochs, assignments, policy
// and digest state, queued updates and their claims, instances and
// connection claims, the change counter, and a store opened for reading
// only. What belongs to one engine (the SQLite file, its migrations) follows
// the table.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "server/store/open_store.h"
#include "server/store/postgres_migrations.h"
#include "server/store/schema_version.h"
#include "server/store/sqlite_migrations.h"
#include "server/store/sqlite_store.h"
#include "tests/support/private_postgres.h"
#include "tests/support/temp_dir.h"

namespace vx::server {
namespace {

using management::ParentPolicy;

const AgentId kAgentA{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};
const AgentId kAgentB{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr int64_t kNow = 1700000000;
const InstanceInfo kInstance{"host-1", "0.0.0.0:13911", 100};

ReportRowRecord Row(int32_t id, std::string serial = "SN") {
  return ReportRowRecord{id, 1690000000 + id, "Kingston", "DataTraveler", serial + std::to_string(id), id % 3};
}

// The store of one test on the engine of its parameter.
class StoreTest : public testing::TestWithParam<StoreEngine> {
 protected:
  void SetUp() override {
    if (GetParam() == StoreEngine::Postgres) {
      location.engine = StoreEngine::Postgres;
      location.url = test::NewPostgresDatabase();
      ASSERT_FALSE(location.url.empty());
    } else {
      location.file = dir / "vxmgmtd.db";
    }
  }
  // A connection of its own, as serve, a command or the console opens one.
  std::unique_ptr<Store> Open(StoreOpenOptions options = {}) {
    auto opened = OpenStore(location, options);
    EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error());
    return opened.ok() ? std::move(opened).value() : nullptr;
  }
  uint64_t Changes(Store& store) { return store.ChangeCounter().value(); }

  vx::test::TempDir dir;
  StoreLocation location;
};

std::string EngineName(const testing::TestParamInfo<StoreEngine>& info) {
  return info.param == StoreEngine::Sqlite ? "Sqlite" : "Postgres";
}

INSTANTIATE_TEST_SUITE_P(Engines, StoreTest, testing::Values(StoreEngine::Sqlite, StoreEngine::Postgres), EngineName);

TEST(StoreSchemaTest, BothEnginesReachTheSharedSchemaVersion) {
  EXPECT_EQ(SqliteMigrations().back().version, kStoreSchemaVersion);
  EXPECT_EQ(PostgresMigrations().back().version, kStoreSchemaVersion);
  EXPECT_EQ(SqliteMigrations().size(), PostgresMigrations().size());
}

// ---- The SQLite file ----------------------------------------------------------

class SqliteFileTest : public testing::Test {
 protected:
  std::unique_ptr<Store> Open(StoreOpenOptions options = {}) {
    auto opened = OpenSqliteStore(path, options);
    EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error());
    return opened.ok() ? std::move(opened).value() : nullptr;
  }

  vx::test::TempDir dir;
  std::filesystem::path path = dir / "vxmgmtd.db";
};

TEST_F(SqliteFileTest, ANewStoreIsOneOwnerOnlyFileInWalModeAtTheCurrentSchemaVersion) {
  { ASSERT_NE(Open(), nullptr); }
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT version FROM schema_version", -1, &statement, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(statement, 0), kStoreSchemaVersion);
  sqlite3_finalize(statement);
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &statement, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)), "wal");
  sqlite3_finalize(statement);
  sqlite3_close(db);
  // Opening again keeps what is there.
  auto store = Open();
  ASSERT_NE(store, nullptr);
  ASSERT_TRUE(store->RecordHello(kAgentA, EnrollMode::Open, "127.0.0.1:5000", kNow).ok());
  store.reset();
  store = Open();
  EXPECT_TRUE(store->FindAgent(kAgentA).ok());
}

// Files this program must not use, each refused with an error that says why.
TEST_F(SqliteFileTest, StoresItCannotUseAreRefusedWithAClearReason) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> prepare;
    StoreOpenOptions options;
    const char* errorHas;
  };
  auto execute = [](const std::filesystem::path& file, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  };
  const std::vector<Case> cases = {
      {"a store written by a newer program",
       [&](const std::filesystem::path& file) {
         { ASSERT_TRUE(OpenSqliteStore(file).ok()); }
         execute(file, "UPDATE schema_version SET version = 99");
       },
       {},
       "newer than this program's"},
      {"another program's SQLite database",
       [&](const std::filesystem::path& file) { execute(file, "CREATE TABLE reports (id INTEGER)"); },
       {},
       "not a vxmgmtd store"},
      {"a missing store opened for reading",
       [](const std::filesystem::path&) {},
       {.readOnly = true},
       "there is no store"},
      {"an older store opened for reading",
       [&](const std::filesystem::path& file) {
         execute(file, "CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT INTO schema_version VALUES (0)");
       },
       {.readOnly = true},
       "older than"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = dir / ("case" + std::to_string(index++) + ".db");
    c.prepare(file);
    const auto opened = OpenSqliteStore(file, c.options);
    ASSERT_FALSE(opened.ok());
    EXPECT_NE(opened.error().find(c.errorHas), std::string::npos) << opened.error();
  }
}

TEST_P(StoreTest, AHelloEnrollsANewAgentAsTheModeSaysAndAnAdministratorChangesIt) {
  auto store = Open();
  const auto open = store->RecordHello(kAgentA, EnrollMode::Open, "127.0.0.1:5000", kNow);
  ASSERT_TRUE(open.ok());
  EXPECT_TRUE(open->newAgent);
  EXPECT_EQ(open->enrollment, Enrollment::Approved);
  const auto pending = store->RecordHello(kAgentB, EnrollMode::Approve, "127.0.0.1:5001", kNow);
  EXPECT_TRUE(pending->newAgent);
  EXPECT_EQ(pending->enrollment, Enrollment::Pending);
  // Seen again: not new, the mode no longer matters, address and last seen move.
  const auto again = store->RecordHello(kAgentB, EnrollMode::Open, "127.0.0.2:6000", kNow + 50);
  EXPECT_FALSE(again->newAgent);
  EXPECT_EQ(again->enrollment, Enrollment::Pending);
  auto record = store->FindAgent(kAgentB);
  EXPECT_EQ(record->address, "127.0.0.2:6000");
  EXPECT_EQ(record->firstSeen, kNow);
  EXPECT_EQ(record->lastSeen, kNow + 50);
  EXPECT_FALSE(record->connected);

  const uint64_t before = Changes(*store);
  ASSERT_TRUE(store->SetEnrollment(kAgentB, Enrollment::Approved, kNow).ok());
  EXPECT_EQ(Changes(*store), before + 1);
  EXPECT_EQ(store->RecordHello(kAgentB, EnrollMode::Approve, "x", kNow)->enrollment, Enrollment::Approved);
  ASSERT_TRUE(store->SetEnrollment(kAgentA, Enrollment::Revoked, kNow).ok());
  EXPECT_EQ(store->FindAgent(kAgentA)->enrollment, Enrollment::Revoked);

  const AgentId unknown{0xEE};
  const auto refused = store->SetEnrollment(unknown, Enrollment::Approved, kNow);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.failure(), StoreFailure::NotFound);
  EXPECT_EQ(Changes(*store), before + 2);  // a refused change is not counted
  ASSERT_EQ(store->ListAgents()->size(), 2u);
  EXPECT_EQ(store->ListAgents()->at(0).id, kAgentB);  // ordered by id
}

TEST_P(StoreTest, StatusIsStoredDecodedAndPolicyStateAsRecorded) {
  auto store = Open();
  ASSERT_TRUE(store->RecordHello(kAgentA, EnrollMode::Open, "a", kNow).ok());
  const AgentStatus status{"VX-\xC3\xA9-PC \xED\xA0\x80", 3600, true, false, 0xF2345678, true, 0x1DB10106, kNow + 2};
  ASSERT_TRUE(store->RecordStatus(kAgentA, status).ok());
  auto record = store->FindAgent(kAgentA);
  ASSERT_TRUE(record->status.has_value());
  EXPECT_EQ(*record->status, status);  // a lone surrogate's three bytes and the top bit of the word kept
  EXPECT_EQ(record->lastSeen, kNow + 2);
  EXPECT_EQ(record->policy, AgentPolicyState{});

  const AgentPolicyState states[] = {
      {PolicySync::Setting, 0xBE9BB610u, 0x0F00BA12u, 2, kNow + 3},
      {PolicySync::Drifted, 0xFFFFFFFFu, 0x0F00BA12u, kPolicyTries, kNow + 4},
      {PolicySync::Unmanaged, 0x12345678u, std::nullopt, 0, kNow + 5},
      {PolicySync::InSync, 0x0F00BA12u, 0x0F00BA12u, 0, kNow + 6},
  };
  for (const AgentPolicyState& state : states) {
    SCOPED_TRACE(PolicySyncName(state.sync));
    ASSERT_TRUE(store->RecordPolicyState(kAgentA, state).ok());
    EXPECT_EQ(store->FindAgent(kAgentA)->policy, state);
  }
  EXPECT_EQ(store->RecordStatus(AgentId{}, status).failure(), StoreFailure::NotFound);
  EXPECT_EQ(store->RecordPolicyState(AgentId{}, states[0]).failure(), StoreFailure::NotFound);
  EXPECT_EQ(store->RecordSeen(AgentId{}, kNow).failure(), StoreFailure::NotFound);
}

// An agent's one session across instances: claimed by one instance, refused
// to another while the holder lives, free again when the holder lets go, stops,
// or stops beating (ended by the next heartbeat of another).
TEST_P(StoreTest, AnAgentIsHeldByOneInstanceUntilItLetsGoStopsOrStopsBeating) {
  auto first = Open();
  auto second = Open();
  ASSERT_TRUE(first->RecordHello(kAgentA, EnrollMode::Open, "a", kNow).ok());
  ASSERT_TRUE(first->RecordHello(kAgentB, EnrollMode::Open, "b", kNow).ok());
  const int64_t one = *first->RegisterInstance(kInstance, false, kNow);
  const int64_t two = *second->RegisterInstance(InstanceInfo{"host-2", "0.0.0.0:13912", 200}, false, kNow);
  ASSERT_NE(one, two);

  EXPECT_TRUE(first->ClaimConnection(kAgentA, one, kNow)->claimed);
  const auto refused = second->ClaimConnection(kAgentA, two, kNow);
  ASSERT_TRUE(refused.ok());
  EXPECT_FALSE(refused->claimed);
  EXPECT_EQ(refused->holder, one);
  EXPECT_TRUE(first->ClaimConnection(kAgentA, one, kNow)->claimed);  // its own claim again
  auto record = second->FindAgent(kAgentA);
  EXPECT_TRUE(record->connected);
  EXPECT_EQ(record->instanceId, one);
  EXPECT_EQ(second->ClaimConnection(AgentId{}, two, kNow).failure(), StoreFailure::NotFound);

  // Letting go: only the holder's release counts.
  ASSERT_TRUE(second->ReleaseConnection(kAgentA, two, kNow + 1).ok());
  EXPECT_TRUE(second->FindAgent(kAgentA)->connected);
  ASSERT_TRUE(first->ReleaseConnection(kAgentA, one, kNow + 1).ok());
  EXPECT_FALSE(second->FindAgent(kAgentA)->connected);
  EXPECT_TRUE(second->ClaimConnection(kAgentA, two, kNow + 2)->claimed);

  // A clean stop frees what the instance held.
  EXPECT_TRUE(first->ClaimConnection(kAgentB, one, kNow + 2)->claimed);
  ASSERT_TRUE(first->EndInstance(one, kNow + 3).ok());
  EXPECT_FALSE(second->FindAgent(kAgentB)->connected);

  // A lapsed heartbeat: the next heartbeat of another ends the silent one,
  // once, and its agent may connect elsewhere; the silent one learns it was
  // ended at its own next beat.
  auto third = Open();
  const int64_t three = *third->RegisterInstance(InstanceInfo{"host-3", "0.0.0.0:13913", 300}, false, kNow + 3);
  EXPECT_TRUE(third->ClaimConnection(kAgentB, three, kNow + 3)->claimed);
  auto quiet = second->Heartbeat(two, kNow + 3 + kInstanceLifeSeconds);  // three last beat at kNow + 3: in time
  ASSERT_TRUE(quiet.ok()) << quiet.error();
  EXPECT_TRUE(quiet->reaped.empty());
  EXPECT_FALSE(quiet->ended);
  const auto reaping = second->Heartbeat(two, kNow + 4 + kInstanceLifeSeconds);
  ASSERT_TRUE(reaping.ok()) << reaping.error();
  ASSERT_EQ(reaping->reaped.size(), 1u);
  EXPECT_EQ(reaping->reaped[0].instanceId, three);
  EXPECT_EQ(reaping->reaped[0].agents, 1u);
  EXPECT_EQ(reaping->reaped[0].info.host, "host-3");
  EXPECT_TRUE(second->Heartbeat(two, kNow + 5 + kInstanceLifeSeconds)->reaped.empty());  // once
  EXPECT_TRUE(second->ClaimConnection(kAgentB, two, kNow + 5 + kInstanceLifeSeconds)->claimed);
  EXPECT_TRUE(third->Heartbeat(three, kNow + 6 + kInstanceLifeSeconds)->ended);

  const auto instances = first->ListInstances();
  ASSERT_TRUE(instances.ok()) << instances.error();
  ASSERT_EQ(instances->size(), 3u);
  EXPECT_EQ(instances->at(0).endedAt, kNow + 3);
  EXPECT_FALSE(instances->at(1).endedAt.has_value());
  EXPECT_EQ(instances->at(1).agents, 2u);
  EXPECT_EQ(instances->at(2).endedAt, kNow + 4 + kInstanceLifeSeconds);

  // A serve that holds the store alone (SQLite's serve lock) ends every
  // instance before it, whatever their heartbeats say.
  const int64_t alone = *first->RegisterInstance(kInstance, true, kNow + 7 + kInstanceLifeSeconds);
  EXPECT_TRUE(second->Heartbeat(two, kNow + 8 + kInstanceLifeSeconds)->ended);
  EXPECT_FALSE(first->FindAgent(kAgentA)->connected);
  EXPECT_TRUE(first->ClaimConnection(kAgentA, alone, kNow + 8 + kInstanceLifeSeconds)->claimed);
}

TEST_P(StoreTest, PagesStoreEachRowOnceUnderAgentEpochAndIdAndRaiseTheCursor) {
  auto store = Open();
  ASSERT_TRUE(store->RecordHello(kAgentA, EnrollMode::Open, "a", kNow).ok());
  ASSERT_TRUE(store->RecordHello(kAgentB, EnrollMode::Open, "b", kNow).ok());
  EXPECT_EQ(*store->GetReportCursor(kAgentA), (ReportCursor{1, 0}));

  const std::vector<ReportRowRecord> first = {Row(1), Row(2), Row(3)};
  EXPECT_EQ(*store->StoreReportPage(kAgentA, 1, first, kNow), 3u);
  // A repeated, overlapping page: only rows 4 and 5 are new, and row 2 keeps
  // what was stored first.
  const std::vector<ReportRowRecord> overlap = {Row(2, "CHANGED"), Row(3), Row(4), Row(5)};
  EXPECT_EQ(*store->StoreReportPage(kAgentA, 1, overlap, kNow), 2u);
  EXPECT_EQ(*store->GetReportCursor(kAgentA), (ReportCursor{1, 5}));
  // The same ids of another agent are its own rows.
  EXPECT_EQ(*store->StoreReportPage(kAgentB, 1, first, kNow), 3u);
  // A page below the cursor never lowers it.
  EXPECT_EQ(*store->StoreReportPage(kAgentA, 1, std::vector<ReportRowRecord>{Row(1)}, kNow), 0u);
  EXPECT_EQ(store->GetReportCursor(kAgentA)->lastId, 5);

  // A page for an epoch that is not the agent's own stores nothing.
  const auto wrongEpoch = store->StoreReportPage(kAgentA, 2, std::vector<ReportRowRecord>{Row(9)}, kNow);
  ASSERT_FALSE(wrongEpoch.ok());
  EXPECT_EQ(wrongEpoch.failure(), StoreFailure::InvalidValue);

  EXPECT_EQ(*store->StartReportEpoch(kAgentA, 1, kNow), (ReportCursor{2, 0}));
  EXPECT_EQ(*store->StoreReportPage(kAgentA, 2, std::vector<ReportRowRecord>{Row(1, "NEW"), Row(2, "NEW")}, kNow), 2u);

  auto rows = store->ListReports(ReportQuery{.agent = kAgentA});
  ASSERT_EQ(rows->size(), 7u);
  EXPECT_EQ(rows->at(1).row, Row(2));  // epoch 1's row 2 as first stored
  EXPECT_EQ(rows->at(5).epoch, 2);
  EXPECT_EQ(rows->at(5).row, Row(1, "NEW"));
  EXPECT_EQ(store->ListReports(ReportQuery{.agent = kAgentA, .epoch = 1, .afterId = 3})->size(), 2u);
  const auto newest = store->ListReports(ReportQuery{.agent = kAgentA, .newestFirst = true, .limit = 1});
  ASSERT_EQ(newest->size(), 1u);
  EXPECT_EQ(newest->at(0).row.id, 2);
  EXPECT_EQ(newest->at(0).epoch, 2);
  EXPECT_EQ(*store->CountReports(kAgentA), 7u);
  EXPECT_EQ(*store->CountReports(std::nullopt), 10u);

  // Everything committed survives a reopen.
  store.reset();
  store = Open();
  EXPECT_EQ(*store->GetReportCursor(kAgentA), (ReportCursor{2, 2}));
  EXPECT_EQ(*store->CountReports(std::nullopt), 10u);
}

// A notice below the cursor moves the agent to a new epoch once, however
// many sessions see it: a step from an epoch that is no longer current
// gives the cursor as it stands.
TEST_P(StoreTest, AnEpochMovesOnceFromTheEpochItWasSeenIn) {
  auto first = Open();
  auto second = Open();
  ASSERT_TRUE(first->RecordHello(kAgentA, EnrollMode::Open, "a", kNow).ok());
  ASSERT_TRUE(first->StoreReportPage(kAgentA, 1, std::vector<ReportRowRecord>{Row(1), Row(2)}, kNow).ok());
  EXPECT_EQ(*first->StartReportEpoch(kAgentA, 1, kNow), (ReportCursor{2, 0}));
  ASSERT_TRUE(first->StoreReportPage(kAgentA, 2, std::vector<ReportRowRecord>{Row(1, "NEW")}, kNow).ok());
  EXPECT_EQ(*second->StartReportEpoch(kAgentA, 1, kNow), (ReportCursor{2, 1}));  // late: unchanged
  EXPECT_EQ(*second->GetReportCursor(kAgentA), (ReportCursor{2, 1}));
  EXPECT_EQ(*first->CountReports(kAgentA), 3u);
  EXPECT_EQ(second->StartReportEpoch(AgentId{}, 1, kNow).failure(), StoreFailure::NotFound);
}

// Two sessions of one agent (on two instances, or one half-dead) storing
// overlapping pages at the same time: every row once, the cursor at the
// highest id, and the counts of newly stored rows adding up.
TEST_P(StoreTest, OverlappingPagesFromTwoConnectionsAtOnceStoreEachRowOnce) {
  auto setup = Open();
  ASSERT_TRUE(setup->RecordHello(kAgentA, EnrollMode::Open, "a", kNow).ok());
  constexpr int kRows = 2000, kPage = 250;
  std::vector<std::size_t> stored(2, 0);
  std::vector<std::string> errors(2);
  auto drain = [&](int which) {
    auto store = Open();
    if (!store) return;
    // One walks up from 1, the other from 101, each page overlapping the
    // other's.
    for (int first = 1 + which * 100; first <= kRows; first += kPage - 50) {
      std::vector<ReportRowRecord> page;
      for (int id = first; id < first + kPage && id <= kRows; ++id) page.push_back(Row(id));
      const auto result = store->StoreReportPage(kAgentA, 1, page, kNow);
      if (!result) {
        errors[which] = result.error();
        return;
      }
      stored[which] += *result;
    }
  };
  std::thread one(drain, 0), two(drain, 1);
  one.join();
  two.join();
  EXPECT_EQ(errors[0], "");
  EXPECT_EQ(errors[1], "");
  EXPECT_EQ(stored[0] + stored[1], static_cast<std::size_t>(kRows));
  EXPECT_EQ(*setup->CountReports(kAgentA), static_cast<uint64_t>(kRows));
  EXPECT_EQ(setup->GetReportCursor(kAgentA)->lastId, kRows);
  const auto rows = setup->ListReports(ReportQuery{.agent = kAgentA, .limit = kRows + 1});
  ASSERT_EQ(rows->size(), static_cast<std::size_t>(kRows));
  for (int i = 0; i < kRows; ++i) ASSERT_EQ(rows->at(static_cast<std::size_t>(i)).row, Row(i + 1));
}

// A queued update is sent from one instance: claimed in one step, the
// oldest first, given to nobody else while its claimer holds it, and free
// again when the claimer lets go or is ended.
TEST_P(StoreTest, AnUpdateIsClaimedByOneInstanceTheOldestFirst) {
  auto first = Open();
  auto second = Open();
  ASSERT_TRUE(first->RecordHello(kAgentA, EnrollMode::Open, "a", kNow).ok());
  const int64_t one = *first->RegisterInstance(kInstance, false, kNow);
  const int64_t two = *second->RegisterInstance(InstanceInfo{"host-2", "0.0.0.0:13912", 200}, false, kNow);
  const std::vector<AgentId> agents = {kAgentA};
  const int64_t older = first->QueueUpdate(agents, "one", std::vector<uint8_t>{1}, kNow)->at(0);
  const int64_t newer = first->QueueUpdate(agents, "two", std::vector<uint8_t>{2, 2}, kNow)->at(0);

  const auto claimed = first->ClaimNextUpdate(kAgentA, one, kNow);
  ASSERT_TRUE(claimed.ok()) << claimed.error();
  ASSERT_TRUE(claimed->update.has_value());
  EXPECT_EQ(claimed->update->updateId, older);
  EXPECT_FALSE(claimed->heldElsewhere);
  // The other instance gets nothing, not even the newer one: installers go
  // in the order they were queued.
  const auto held = second->ClaimNextUpdate(kAgentA, two, kNow);
  ASSERT_TRUE(held.ok());
  EXPECT_FALSE(held->update.has_value());
  EXPECT_TRUE(held->heldElsewhere);
  EXPECT_EQ(first->ClaimNextUpdate(kAgentA, one, kNow)->update->updateId, older);  // its own again

  ASSERT_TRUE(second->ReleaseUpdate(older, two).ok());  // not its claim: nothing happens
  EXPECT_TRUE(second->ClaimNextUpdate(kAgentA, two, kNow)->heldElsewhere);
  ASSERT_TRUE(first->ReleaseUpdate(older, one).ok());
  EXPECT_EQ(second->ClaimNextUpdate(kAgentA, two, kNow)->update->updateId, older);

  // Ended for a lapsed heartbeat, the claimer's claims go with it.
  ASSERT_TRUE(first->Heartbeat(one, kNow + kInstanceLifeSeconds + 1).ok());
  EXPECT_EQ(first->ClaimNextUpdate(kAgentA, one, kNow)->update->updateId, older);
  ASSERT_TRUE(first->MarkUpdateDelivered(older, kNow + 20).ok());
  EXPECT_EQ(first->ClaimNextUpdate(kAgentA, one, kNow)->update->updateId, newer);
  ASSERT_TRUE(first->EndInstance(one, kNow + 21).ok());
  EXPECT_TRUE(second->Heartbeat(two, kNow + 21)->ended);  // silent since kNow: the first's beat ended it
  const int64_t three = *second->RegisterInstance(InstanceInfo{"host-2", "0.0.0.0:13912", 200}, false, kNow + 22);
  EXPECT_EQ(second->ClaimNextUpdate(kAgentA, three, kNow + 22)->update->updateId, newer);
}

// What a change poll hands every session at once.
TEST_P(StoreTest, TheSessionViewHoldsAssignmentsEnrollmentsAndWaitingUpdates) {
  auto store = Open();
  const AgentId kAgentC{0xC0};
  ASSERT_TRUE(store->RecordHello(kAgentA, EnrollMode::Open, "a", kNow).ok());
  ASSERT_TRUE(store->RecordHello(kAgentB, EnrollMode::Approve, "b", kNow).ok());
  ASSERT_TRUE(store->RecordHello(kAgentC, EnrollMode::Open, "c", kNow).ok());
  auto empty = store->ReadSessionView();
  ASSERT_TRUE(empty.ok()) << empty.error();
  EXPECT_FALSE(empty->fleet.has_value());
  EXPECT_TRUE(empty->own.empty());
  EXPECT_EQ(empty->notApproved, (std::map<AgentId, Enrollment>{{kAgentB, Enrollment::Pending}}));
  EXPECT_TRUE(empty->waitingUpdates.empty());

  ParentPolicy fleet, own;
  fleet.lockCdDvd__Parent = 1;
  own.ruleUsb__Parent = "00";
  ASSERT_TRUE(store->SetFleetPolicy(fleet, kNow).ok());
  ASSERT_TRUE(store->SetAgentPolicy(kAgentC, own, kNow).ok());
  ASSERT_TRUE(store->SetEnrollment(kAgentA, Enrollment::Revoked, kNow).ok());
  const auto ids = store->QueueUpdate(std::vector<AgentId>{kAgentB, kAgentC}, "u", std::vector<uint8_t>{1}, kNow);
  ASSERT_TRUE(ids.ok());
  ASSERT_TRUE(store->MarkUpdateDelivered(ids->at(1), kNow).ok());
  const auto view = store->ReadSessionView();
  ASSERT_TRUE(view.ok()) << view.error();
  EXPECT_EQ(view->fleet, fleet);
  EXPECT_EQ(view->own, (std::map<AgentId, ParentPolicy>{{kAgentC, own}}));
  EXPECT_EQ(view->notApproved,
            (std::map<AgentId, Enrollment>{{kAgentA, Enrollment::Revoked}, {kAgentB, Enrollment::Pending}}));
  EXPECT_EQ(view->waitingUpdates, (std::set<AgentId>{kAgentB}));
}

TEST_P(StoreTest, AssignmentsComeFromTheAgentElseTheFleetAndRefuseWhatAnAgentCannotHold) {
  auto store = Open();
  ASSERT_TRUE(store->RecordHello(kAgentA, EnrollMode::Open, "a", kNow).ok());
  EXPECT_EQ(store->AssignedPolicy(kAgentA)->source, PolicySource::None);

  ParentPolicy fleet;
  fleet.ruleUsb__Parent = std::string(528, '0');
  fleet.lockCdDvd__Parent = 1;
  fleet.password__Parent = "s\xE9sam";  // bytes above 0x7F kept as bytes
  ParentPolicy own = fleet;
  own.lockFloppy__Parent = 1;
  own.ruleUsb__Lock = 1;

  uint64_t changes = Changes(*store);
  ASSERT_TRUE(store->SetFleetPolicy(fleet, kNow).ok());
  EXPECT_EQ(Changes(*store), ++changes);
  auto assigned = store->AssignedPolicy(kAgentA);
  EXPECT_EQ(assigned->source, PolicySource::Fleet);
  EXPECT_EQ(assigned->policy, fleet);
  ASSERT_TRUE(store->SetAgentPolicy(kAgentA, own, kNow + 5).ok());
  EXPECT_EQ(Changes(*store), ++changes);
  assigned = store->AssignedPolicy(kAgentA);
  EXPECT_EQ(assigned->source, PolicySource::Agent);
  EXPECT_EQ(assigned->policy, own);
  EXPECT_EQ(assigned->changedAt, kNow + 5);
  EXPECT_EQ(**store->GetAgentPolicy(kAgentA), own);
  EXPECT_EQ(**store->GetFleetPolicy(), fleet);
  // Another agent still follows the fleet default.
  EXPECT_EQ(store->AssignedPolicy(kAgentB)->source, PolicySource::Fleet);
  ASSERT_TRUE(store->ClearAgentPolicy(kAgentA, kNow).ok());
  EXPECT_EQ(store->AssignedPolicy(kAgentA)->source, PolicySource::Fleet);
  ASSERT_TRUE(store->ClearFleetPolicy(kNow).ok());
  EXPECT_EQ(store->AssignedPolicy(kAgentA)->source, PolicySource::None);
  changes += 2;

  struct Refused {
    const char* name;
    ParentPolicy policy;
  };
  ParentPolicy longRules, longPassword, zeroInRules, zeroInPassword;
  longRules.ruleUsb__Parent = std::string(65536, '0');
  longPassword.password__Parent = std::string(121, 'p');
  zeroInRules.ruleUsb__Parent = std::string(
      "00\0"
      "00",
      5);
  zeroInPassword.password__Parent = std::string("ab\0c", 4);
  for (const Refused& r : std::vector<Refused>{{"a 65,536-byte rule text", longRules},
                                               {"a 121-byte password", longPassword},
                                               {"a zero byte in the rule text", zeroInRules},
                                               {"a zero byte in the password", zeroInPassword}}) {
    SCOPED_TRACE(r.name);
    const auto result = store->SetFleetPolicy(r.policy, kNow);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.failure(), StoreFailure::InvalidValue);
  }
  EXPECT_FALSE(store->GetFleetPolicy()->has_value());
  EXPECT_EQ(store->SetAgentPolicy(AgentId{}, fleet, kNow).failure(), StoreFailure::NotFound);
  EXPECT_EQ(Changes(*store), changes);
  // The longest texts an agent holds are taken.
  ParentPolicy longest;
  longest.ruleUsb__Parent = std::string(65535, '0');
  longest.password__Parent = std::string(120, 'p');
  EXPECT_TRUE(store->SetFleetPolicy(longest, kNow).ok());
  EXPECT_EQ(**store->GetFleetPolicy(), longest);
}

TEST_P(StoreTest, AnUpdateIsStoredOnceReadInChunksAndLeavesTheQueueWhenDelivered) {
  auto store = Open();
  ASSERT_TRUE(store->RecordHello(kAgentA, EnrollMode::Open, "a", kNow).ok());
  ASSERT_TRUE(store->RecordHello(kAgentB, EnrollMode::Open, "b", kNow).ok());
  std::vector<uint8_t> content(150000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);

  const uint64_t changes = Changes(*store);
  const std::vector<AgentId> both = {kAgentA, kAgentB};
  const auto ids = store->QueueUpdate(both, "setup-1.5.exe", content, kNow);
  ASSERT_TRUE(ids.ok()) << ids.error();
  ASSERT_EQ(ids->size(), 2u);
  EXPECT_EQ(Changes(*store), changes + 1);
  const auto second = store->QueueUpdate(std::vector<AgentId>{kAgentA}, "tiny", std::vector<uint8_t>{1, 2}, kNow);
  ASSERT_TRUE(second.ok());

  const int64_t instance = *store->RegisterInstance(kInstance, false, kNow);
  auto next = store->ClaimNextUpdate(kAgentA, instance, kNow);
  ASSERT_TRUE(next.ok()) << next.error();
  ASSERT_TRUE(next->update.has_value());
  EXPECT_EQ(next->update->updateId, ids->at(0));
  EXPECT_EQ(next->update->size, 150000u);
  EXPECT_EQ(next->update->name, "setup-1.5.exe");
  std::vector<uint8_t> read(content.size());
  for (uint32_t offset = 0; offset < content.size(); offset += 65536) {
    const auto size = std::min<std::size_t>(65536, content.size() - offset);
    ASSERT_TRUE(store->ReadUpdateChunk(ids->at(0), offset, std::span(read).subspan(offset, size)).ok());
  }
  EXPECT_EQ(read, content);
  std::vector<uint8_t> past(2);
  EXPECT_EQ(store->ReadUpdateChunk(ids->at(0), 149999, past).failure(), StoreFailure::InvalidValue);

  ASSERT_TRUE(store->MarkUpdateDelivered(ids->at(0), kNow + 9).ok());
  EXPECT_EQ(store->MarkUpdateDelivered(ids->at(0), kNow + 10).failure(), StoreFailure::NotFound);  // once
  EXPECT_EQ(store->ClaimNextUpdate(kAgentA, instance, kNow)->update->updateId, second->at(0));
  EXPECT_EQ(store->ReadUpdateChunk(ids->at(0), 0, past).failure(), StoreFailure::NotFound);
  // B still waits for the same file.
  ASSERT_TRUE(store->ReadUpdateChunk(ids->at(1), 149998, past).ok());
  EXPECT_EQ(past, std::vector<uint8_t>(content.end() - 2, content.end()));

  ASSERT_TRUE(store->CancelUpdate(ids->at(1), kNow).ok());
  EXPECT_FALSE(store->ClaimNextUpdate(kAgentB, instance, kNow)->update.has_value());
  EXPECT_EQ(store->CancelUpdate(ids->at(0), kNow).failure(), StoreFailure::NotFound);  // delivered already
  const auto all = store->ListUpdates(std::nullopt);
  ASSERT_EQ(all->size(), 2u);  // the delivered one and the tiny one; the cancelled one is gone
  EXPECT_EQ(all->at(0).deliveredAt, kNow + 9);
  EXPECT_EQ(all->at(0).size, 150000u);

  // Nothing is queued when any agent is unknown.
  const std::vector<AgentId> withUnknown = {kAgentA, AgentId{}};
  EXPECT_EQ(store->QueueUpdate(withUnknown, "x", content, kNow).failure(), StoreFailure::NotFound);
  EXPECT_EQ(store->ListUpdates(kAgentA)->size(), 2u);
  EXPECT_EQ(store->QueueUpdate(std::vector<AgentId>{}, "x", content, kNow).failure(), StoreFailure::InvalidValue);
}

// Who may change the policy, the enrollments and the queue is whoever may
// write the store: opened for reading only, every write is refused and
// changes nothing.
TEST_P(StoreTest, AStoreOpenedForReadingRefusesEveryWrite) {
  {
    auto writer = Open();
    ASSERT_TRUE(writer->RecordHello(kAgentA, EnrollMode::Open, "a", kNow).ok());
  }
  auto reader = Open({.readOnly = true});
  ASSERT_NE(reader, nullptr);
  const ParentPolicy policy;
  const std::vector<AgentId> agents = {kAgentA};
  const std::vector<ReportRowRecord> rows = {Row(1)};
  struct Write {
    const char* name;
    std::function<bool()> refused;
  };
  auto refusedResult = [](const auto& result) {
    return !result.ok() && result.failure() == StoreFailure::Unavailable &&
           result.error().find("reading only") != std::string::npos;
  };
  const std::vector<Write> writes = {
      {"SetFleetPolicy", [&] { return refusedResult(reader->SetFleetPolicy(policy, kNow)); }},
      {"SetAgentPolicy", [&] { return refusedResult(reader->SetAgentPolicy(kAgentA, policy, kNow)); }},
      {"ClearFleetPolicy", [&] { return refusedResult(reader->ClearFleetPolicy(kNow)); }},
      {"SetEnrollment", [&] { return refusedResult(reader->SetEnrollment(kAgentA, Enrollment::Revoked, kNow)); }},
      {"QueueUpdate", [&] { return refusedResult(reader->QueueUpdate(agents, "x", std::vector<uint8_t>{1}, kNow)); }},
      {"RecordHello", [&] { return refusedResult(reader->RecordHello(kAgentB, EnrollMode::Open, "b", kNow)); }},
      {"StoreReportPage", [&] { return refusedResult(reader->StoreReportPage(kAgentA, 1, rows, kNow)); }},
      {"AddApiToken", [&] { return refusedResult(reader->AddApiToken("t", ApiTokenHash{}, kNow)); }},
      {"RevokeApiToken", [&] { return refusedResult(reader->RevokeApiToken(1, kNow)); }},
      {"RegisterInstance", [&] { return refusedResult(reader->RegisterInstance(kInstance, false, kNow)); }},
      {"Heartbeat", [&] { return refusedResult(reader->Heartbeat(1, kNow)); }},
      {"ClaimConnection", [&] { return refusedResult(reader->ClaimConnection(kAgentA, 1, kNow)); }},
      {"ClaimNextUpdate", [&] { return refusedResult(reader->ClaimNextUpdate(kAgentA, 1, kNow)); }},
      {"StartReportEpoch", [&] { return refusedResult(reader->StartReportEpoch(kAgentA, 1, kNow)); }},
  };
  for (const Write& w : writes) {
    SCOPED_TRACE(w.name);
    EXPECT_TRUE(w.refused());
  }
  EXPECT_EQ(reader->FindAgent(kAgentA)->enrollment, Enrollment::Approved);
  EXPECT_FALSE(reader->GetFleetPolicy()->has_value());
  EXPECT_EQ(reader->ListAgents()->size(), 1u);
  EXPECT_EQ(*reader->ChangeCounter(), 0u);
}

TEST_P(StoreTest, RowsPageNewestFirstByTimeWithoutSkippingOrRepeatingAndFilterByVerdict) {
  auto store = Open();
  ASSERT_TRUE(store->RecordHello(kAgentA, EnrollMode::Open, "a", kNow).ok());
  ASSERT_TRUE(store->RecordHello(kAgentB, EnrollMode::Open, "b", kNow).ok());
  // Two agents with rows at the same times, a drive lock row among them.
  const std::vector<ReportRowRecord> rowsA = {{1, 100, "V", "P", "S1", 0},
                                              {2, 100, "V", "P", "S2", 1},
                                              {3, 200, "-", "CD/DVD", "-", 0},
                                              {4, 300, "V", "P", "S4", 0},
                                              {5, 50, "V", "P", "S5", 2}};
  const std::vector<ReportRowRecord> rowsB = {{1, 100, "W", "Q", "T1", 0}, {2, 250, "W", "Q", "T2", 0}};
  ASSERT_TRUE(store->StoreReportPage(kAgentA, 1, rowsA, kNow).ok());
  ASSERT_TRUE(store->StoreReportPage(kAgentB, 1, rowsB, kNow).ok());

  struct Case {
    const char* name;
    ReportQuery query;
    std::vector<std::string> serials;  // in page order, across every page of 2
  };
  const std::vector<Case> cases = {
      {"everything", {}, {"S4", "T2", "-", "S2", "S1", "T1", "S5"}},
      {"blocked disks only, never the lock row", {.verdict = 0}, {"S4", "T2", "S1", "T1"}},
      {"one agent in a time range", {.agent = kAgentA, .sinceTime = 100, .beforeTime = 300}, {"-", "S2", "S1"}},
      {"read-only", {.verdict = 2}, {"S5"}},
      {"nothing", {.sinceTime = 400}, {}},
  };
  for (Case c : cases) {
    SCOPED_TRACE(c.name);
    c.query.newestTimeFirst = true;
    c.query.limit = 2;
    std::vector<std::string> seen;
    for (int pages = 0; pages < 10; ++pages) {
      const auto page = store->ListReports(c.query);
      ASSERT_TRUE(page.ok()) << page.error();
      for (const StoredReport& report : *page) seen.push_back(report.row.serial);
      if (page->size() < c.query.limit) break;
      const StoredReport& last = page->back();
      c.query.olderThan = ReportPlace{last.row.time, last.agent, last.epoch, last.row.id};
    }
    EXPECT_EQ(seen, c.serials);
  }
}

TEST_P(StoreTest, RowsAreCountedPerSlotWithDriveLocksApart) {
  auto store = Open();
  ASSERT_TRUE(store->RecordHello(kAgentA, EnrollMode::Open, "a", kNow).ok());
  ASSERT_TRUE(store->RecordHello(kAgentB, EnrollMode::Open, "b", kNow).ok());
  const std::vector<ReportRowRecord> rowsA = {{1, 3600, "V", "P", "S", 0},
                                              {2, 3601, "V", "P", "S", 0},
                                              {3, 7199, "-", "Floppy", "-", 0},
                                              {4, 7200, "V", "P", "S", 1},
                                              {5, 10800, "V", "P", "S", 0}};  // the end of the range: not counted
  ASSERT_TRUE(store->StoreReportPage(kAgentA, 1, rowsA, kNow).ok());
  ASSERT_TRUE(store->StoreReportPage(kAgentB, 1, std::vector<ReportRowRecord>{{1, 3700, "W", "Q", "T", 0}}, kNow).ok());
  const auto fleet = store->CountReportsBySlot({.sinceTime = 3600, .beforeTime = 10800, .slotSeconds = 3600});
  ASSERT_TRUE(fleet.ok()) << fleet.error();
  EXPECT_EQ(*fleet, (std::vector<ReportSlotCount>{{0, false, 0, 3}, {0, true, 0, 1}, {1, false, 1, 1}}));
  const auto one = store->CountReportsBySlot({.agent = kAgentB, .sinceTime = 0, .beforeTime = 10800});
  EXPECT_EQ(*one, (std::vector<ReportSlotCount>{{1, false, 0, 1}}));
  EXPECT_EQ(store->CountReportsBySlot({.sinceTime = 0, .beforeTime = 1, .slotSeconds = 0}).failure(),
            StoreFailure::InvalidValue);
}

TEST_P(StoreTest, TokensKeepTheirHashAndAreRevokedOnce) {
  auto store = Open();
  ApiTokenHash first{}, second{};
  first[0] = 1;
  second[0] = 2;
  const auto id = store->AddApiToken("console", first, kNow);
  ASSERT_TRUE(id.ok()) << id.error();
  ASSERT_TRUE(store->AddApiToken("", second, kNow + 1).ok());
  // A hash stored already, an over-long name and a control character are refused.
  EXPECT_EQ(store->AddApiToken("again", first, kNow).failure(), StoreFailure::InvalidValue);
  EXPECT_EQ(store->AddApiToken(std::string(kMaxApiTokenName + 1, 'n'), ApiTokenHash{}, kNow).failure(),
            StoreFailure::InvalidValue);
  EXPECT_EQ(store->AddApiToken("a\nb", ApiTokenHash{}, kNow).failure(), StoreFailure::InvalidValue);
  ASSERT_TRUE(store->RevokeApiToken(*id, kNow + 5).ok());
  EXPECT_EQ(store->RevokeApiToken(*id, kNow + 6).failure(), StoreFailure::NotFound);
  EXPECT_EQ(store->RevokeApiToken(99, kNow).failure(), StoreFailure::NotFound);
  const auto tokens = store->ListApiTokens();
  ASSERT_EQ(tokens->size(), 2u);
  EXPECT_EQ(tokens->at(0).name, "console");
  EXPECT_EQ(tokens->at(0).hash, first);
  EXPECT_EQ(tokens->at(0).revokedAt, kNow + 5);
  EXPECT_EQ(tokens->at(1).hash, second);
  EXPECT_FALSE(tokens->at(1).revokedAt.has_value());
  // Tokens are no concern of serve's: its change counter stays.
  EXPECT_EQ(Changes(*store), 0u);
}

// A store written by the first release (schema 1, made here by its own
// migration) is brought up to date by a writer and keeps what it held: the
// agent, its rows and cursor; its old connected mark means nothing now.
TEST_P(StoreTest, AStoreOfTheFirstSchemaIsBroughtUpToDateKeepingItsRows) {
  const bool sqlite = GetParam() == StoreEngine::Sqlite;
  const std::string first(sqlite ? SqliteMigrations()[0].sql : PostgresMigrations()[0].sql);
  const std::string id = "102132435465768798a9bacbdcedfe0f";  // kAgentA
  const std::string blob = sqlite ? "X'" + id + "'" : "'\\x" + id + "'::bytea";
  auto text = [&](const char* value) {
    return sqlite ? "'" + std::string(value) + "'" : "convert_to('" + std::string(value) + "', 'UTF8')";
  };
  const std::string script =
      "CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT INTO schema_version VALUES (1);" + first +
      "; INSERT INTO agents (agent_id, enrollment, first_seen, last_seen, connected, last_report_id) VALUES (" + blob +
      ", 'approved', 1, 2, " + (sqlite ? "1" : "true") + ", 7); INSERT INTO reports VALUES (" + blob +
      ", 1, 7, 1690000007, " + text("Kingston") + ", " + text("DataTraveler") + ", " + text("SN7") + ", 1, 3);";
  if (sqlite) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(location.file.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    const int executed = sqlite3_exec(db, script.c_str(), nullptr, nullptr, &error);
    EXPECT_EQ(executed, SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
  } else {
    const std::string database =
        location.url.substr(location.url.find("@/") + 2, location.url.find('?') - location.url.find("@/") - 2);
    ASSERT_EQ(test::SharedPostgres().Execute(database, script), "");
  }
  // Reading alone cannot bring it up to date; opening to write does.
  EXPECT_FALSE(OpenStore(location, {.readOnly = true}).ok());
  auto store = Open();
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(*store->GetReportCursor(kAgentA), (ReportCursor{1, 7}));
  const auto rows = store->ListReports(ReportQuery{.agent = kAgentA});
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ(rows->at(0).row, Row(7));
  EXPECT_FALSE(store->FindAgent(kAgentA)->connected);
  EXPECT_TRUE(store->AddApiToken("after", ApiTokenHash{}, kNow).ok());
  EXPECT_TRUE(store->RegisterInstance(kInstance, false, kNow).ok());
  EXPECT_TRUE(OpenStore(location, {.readOnly = true}).ok());
}

}  // namespace
}  // namespace vx::server
