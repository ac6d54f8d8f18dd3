#include "management/report_upload.h"

#include <algorithm>
#include <array>

#include "management/protocol/little_endian.h"
#include "management/protocol/message_catalogue.h"
#include "management/protocol/rows_block.h"
#include "monitor/report_store.h"

namespace vx::management {
namespace {

// The most rows one block can hold: every row takes at least the size of a
// row whose three texts are empty.
int64_t MaxRowsPerBlock() {
  static const int64_t rows = static_cast<int64_t>(kMaxRowsBlockSize / EncodedRowSize(UploadedRow{}));
  return rows;
}

}  // namespace

Outcome SendReportNotice(const Connection& connection, const std::filesystem::path& reportDatabase) {
  const int64_t newest = NewestReportId(reportDatabase).value_or(0);
  const auto body = U32Bytes(static_cast<uint32_t>(static_cast<int32_t>(newest)));
  return SendHeaderAndBody(connection, MessageHeader{kReportNotice, 0}, body.data(), body.size())
             ? Outcome::KeepConnection
             : Outcome::EndConnection;
}

void BuildRowsBlock(const std::filesystem::path& reportDatabase, int32_t afterId, int32_t rowLimit,
                    std::vector<uint8_t>& block) {
  block.clear();
  // The statement stops at the index position the after-id gives and reads
  // no further than a full block, so one request never walks the table.
  const int64_t limit = rowLimit < 0 ? MaxRowsPerBlock() : std::min<int64_t>(rowLimit, MaxRowsPerBlock());
  if (limit == 0) return;
  for (const StoredReport& report : ReportsAfter(reportDatabase, afterId, limit)) {
    UploadedRow row;
    row.id = static_cast<int32_t>(report.id);
    row.time = report.row.time;
    row.vendor = report.row.vendor;
    row.product = report.row.product;
    row.serial = report.row.serial;
    row.action = report.row.action;
    if (block.size() + EncodedRowSize(row) > kMaxRowsBlockSize) break;  // it comes with a later request
    AppendEncodedRow(row, block);
  }
}

Outcome AnswerReportRows(const Connection& connection, const std::filesystem::path& reportDatabase,
                         std::vector<uint8_t>& block) {
  std::array<uint8_t, 8> request{};
  if (ReceiveExact(connection, request.data(), static_cast<int>(request.size()), kRetryBudget) !=
      static_cast<int>(request.size()))
    return Outcome::EndConnection;
  BuildRowsBlock(reportDatabase, static_cast<int32_t>(GetU32(request.data())),
                 static_cast<int32_t>(GetU32(request.data() + 4)), block);
  const MessageHeader header{kReportRowsReply, static_cast<uint32_t>(block.size())};
  return SendHeaderAndBody(connection, header, block.data(), block.size()) ? Outcome::KeepConnection
                                                                           : Outcome::EndConnection;
}

}  // namespace vx::management
