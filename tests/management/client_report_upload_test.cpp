// Report notices and rows blocks from a real reportdb.dat written by the
// monitor's report store, over a real loopback connection.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>

#include "management/protocol/message_catalogue.h"
#include "management/protocol/rows_block.h"
#include "management/report_upload.h"
#include "tests/management/protocol_test_bytes.h"
#include "tests/management/support/client_fixture.h"
#include "tests/management/support/loopback_pair.h"

namespace vx::management {
namespace {

using test::Bytes;

class ReportUploadTest : public testing::Test, public test::ClientFixture {
 protected:
  Connection Link() { return Connection{sockets, clock, pair.ClientSocket()}; }

  std::vector<DecodedRow> Block(int32_t afterId, int32_t limit, std::size_t* size = nullptr) {
    std::vector<uint8_t> block;
    BuildRowsBlock(ReportDatabase(), afterId, limit, block);
    if (size) *size = block.size();
    auto rows = DecodeRowsBlock(block.data(), block.size());
    EXPECT_TRUE(rows.has_value());
    return rows.value_or(std::vector<DecodedRow>{});
  }
  static std::vector<int32_t> Ids(const std::vector<DecodedRow>& rows) {
    std::vector<int32_t> ids;
    for (const auto& row : rows) ids.push_back(row.id);
    return ids;
  }
  // The reply to one rows request, header and block.
  std::vector<uint8_t> Answer(int32_t afterId, int32_t limit, Outcome expected = Outcome::KeepConnection) {
    pair.ServerSend(Bytes().U32(static_cast<uint32_t>(afterId)).U32(static_cast<uint32_t>(limit)).Get());
    std::vector<uint8_t> block;
    EXPECT_EQ(AnswerReportRows(Link(), ReportDatabase(), block), expected);
    return pair.ServerReceive(expected == Outcome::KeepConnection ? 1000 : 0);
  }

  test::LoopbackPair pair;
};

TEST_F(ReportUploadTest, RowsAfterAnIdUpToTheLimitInOrder) {
  StoreRows(10);
  EXPECT_EQ(Ids(Block(4, 3)), (std::vector<int32_t>{5, 6, 7}));
  EXPECT_EQ(Ids(Block(8, -1)), (std::vector<int32_t>{9, 10}));
  EXPECT_EQ(Ids(Block(10, 5)), (std::vector<int32_t>{}));
  EXPECT_EQ(Ids(Block(0, 0)), (std::vector<int32_t>{}));

  const auto rows = Block(4, 1);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].time, 1700000004);
  EXPECT_EQ(rows[0].vendor, u"Kingston");
  EXPECT_EQ(rows[0].product, u"DataTraveler");
  EXPECT_EQ(rows[0].serial, u"0019E06B");
  EXPECT_EQ(rows[0].action, 4 % 3);
}

TEST_F(ReportUploadTest, TheReplyCarriesTheBlockAfterItsHeader) {
  StoreRows(10);
  const auto reply = Answer(4, 3);
  ASSERT_GE(reply.size(), 7u);
  const auto header = DecodeHeader(reply.data());
  ASSERT_TRUE(header);
  EXPECT_EQ(header->type, kReportRowsReply);
  EXPECT_EQ(header->length, reply.size() - 7);
  const auto rows = DecodeRowsBlock(reply.data() + 7, reply.size() - 7);
  ASSERT_TRUE(rows);
  EXPECT_EQ(Ids(*rows), (std::vector<int32_t>{5, 6, 7}));
}

TEST_F(ReportUploadTest, NoRowsIsAHeaderAlone) {
  const std::vector<uint8_t> empty = {0x8E, 0x13, 0, 0, 0, 0, 0xA1};
  EXPECT_EQ(Answer(0, 10), empty);                          // no database file
  EXPECT_FALSE(std::filesystem::exists(ReportDatabase()));  // the rows reader never creates it
  StoreRows(3);
  EXPECT_EQ(Answer(3, 10), empty);  // nothing after the newest
  std::filesystem::remove(ReportDatabase());
  {
    sqlite3* db = nullptr;  // a database without the table
    ASSERT_EQ(sqlite3_open(ReportDatabase().c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE other (x int);", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  EXPECT_EQ(Answer(0, 10), empty);
}

TEST_F(ReportUploadTest, ARequestThatStopsShortEndsTheConnectionWithoutAReply) {
  StoreRows(3);
  pair.ServerSend(Bytes().U32(0).Get());  // the after-id, but never the limit
  std::vector<uint8_t> block;
  EXPECT_EQ(AnswerReportRows(Link(), ReportDatabase(), block), Outcome::EndConnection);
  EXPECT_EQ(clock.Polls(), 1999u);  // 2000 empty polls
  EXPECT_TRUE(pair.ServerReceive().empty());
}

// Rows whose texts are 99 bytes each take 80 + 2 * 300 = 680 bytes: 192 fit
// in 131,072 (130,560 bytes), the 193rd comes with the next page.
TEST_F(ReportUploadTest, TheBlockEndsAtTheLastWholeRowThatFitsAndTheNextPageGoesOn) {
  const std::string text(99, 'x');
  StoreRows(500, text, text, text);
  std::size_t size = 0;
  const auto first = Block(0, -1, &size);
  ASSERT_EQ(first.size(), 192u);
  EXPECT_EQ(size, 192u * 680u);
  EXPECT_EQ(first.back().id, 192);
  // The server pages with the last id it received.
  std::vector<int32_t> all = Ids(first);
  for (int32_t after = first.back().id; after < 500;) {
    const auto page = Block(after, -1);
    ASSERT_FALSE(page.empty());
    const auto ids = Ids(page);
    all.insert(all.end(), ids.begin(), ids.end());
    after = page.back().id;
  }
  ASSERT_EQ(all.size(), 500u);
  for (int32_t i = 0; i < 500; ++i) EXPECT_EQ(all[i], i + 1);
}

TEST_F(ReportUploadTest, ABlockOfExactly131072BytesIsAllowed) {
  // 80 + 2 * (30 + 29 + 29) = 256 bytes a row: 512 rows fill the block.
  StoreRows(513, std::string(29, 'v'), std::string(28, 'p'), std::string(28, 's'));
  std::size_t size = 0;
  const auto rows = Block(0, -1, &size);
  EXPECT_EQ(size, 131072u);
  EXPECT_EQ(rows.size(), 512u);
  EXPECT_EQ(Ids(Block(512, -1)), (std::vector<int32_t>{513}));
}

TEST_F(ReportUploadTest, LongTextsAreCutAndNullTextsAreEmpty) {
  StoreRows(1, std::string(150, 'V'), std::string(100, 'P'), std::string(99, 'S'));
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(ReportDatabase().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "INSERT INTO reports (time, vendor, product, serial, action) VALUES (5, NULL, NULL, "
                           "NULL, 2);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  const auto rows = Block(0, -1);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].vendor, std::u16string(99, u'V'));
  EXPECT_EQ(rows[0].product, std::u16string(99, u'P'));
  EXPECT_EQ(rows[0].serial, std::u16string(99, u'S'));
  EXPECT_EQ(rows[1].vendor, u"");
  EXPECT_EQ(rows[1].product, u"");
  EXPECT_EQ(rows[1].serial, u"");
  EXPECT_EQ(rows[1].action, 2);
}

TEST_F(ReportUploadTest, TheRowsStatementSeeksByIdInsteadOfScanning) {
  StoreRows(100);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(ReportDatabase().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* plan = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, (std::string("EXPLAIN QUERY PLAN ") + kReportsAfterSql).c_str(), -1, &plan, nullptr),
            SQLITE_OK);
  std::string details;
  while (sqlite3_step(plan) == SQLITE_ROW) details += reinterpret_cast<const char*>(sqlite3_column_text(plan, 3));
  sqlite3_finalize(plan);
  sqlite3_close(db);
  EXPECT_NE(details.find("SEARCH"), std::string::npos) << details;
  EXPECT_EQ(details.find("SCAN"), std::string::npos) << details;
}

TEST_F(ReportUploadTest, TheNoticeCarriesTheNewestIdOrZero) {
  struct Case {
    const char* name;
    int rows;
    uint8_t id;
  };
  for (const Case& c : {Case{"no database file", 0, 0}, Case{"seven rows", 7, 7}}) {
    SCOPED_TRACE(c.name);
    test::LoopbackPair link;
    StoreRows(c.rows);
    ASSERT_EQ(SendReportNotice(Connection{sockets, clock, link.ClientSocket()}, ReportDatabase()),
              Outcome::KeepConnection);
    EXPECT_EQ(link.ServerReceive(1000), (std::vector<uint8_t>{0x8C, 0x13, 0, 0, 0, 0, 0x9F, c.id, 0, 0, 0}));
  }
}

}  // namespace
}  // namespace vx::management
