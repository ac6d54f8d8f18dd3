#include "tools/vxfleet/fleet_rows.h"

#include <algorithm>
#include <cstdio>

#include "management/protocol/message_catalogue.h"

namespace vx::fleet {

using management::EncodedRowSize;
using management::kMaxRowsBlockSize;
using management::UploadedRow;

management::UploadedRow FleetRow(uint64_t agentIndex, int32_t id, int32_t createdSeconds) {
  char serial[48];
  std::snprintf(serial, sizeof serial, "FLEET-%05llu-%06d", static_cast<unsigned long long>(agentIndex), id);
  return UploadedRow{id, createdSeconds, "Fleet", "Sim Disk", serial, id % 3};
}

RowsSent BuildRowsBlock(const ReportTable& table, uint64_t agentIndex, int64_t wallSecondsAtZero, int32_t afterId,
                        int32_t rowLimit, FleetTime now, std::vector<uint8_t>& block) {
  block.clear();
  // The client's statement reads at most this many rows: every row takes at
  // least the size of a row whose three texts are empty.
  const int64_t maxRows = static_cast<int64_t>(kMaxRowsBlockSize / EncodedRowSize(UploadedRow{}));
  const int64_t limit = rowLimit < 0 ? maxRows : std::min<int64_t>(rowLimit, maxRows);
  const int32_t created = table.CreatedBy(now);
  if (limit <= 0 || afterId >= created) return RowsSent{};
  RowsSent sent;
  sent.first = std::max(afterId, 0) + 1;
  sent.last = sent.first - 1;
  const int64_t last = std::min<int64_t>(created, int64_t{sent.first} + limit - 1);
  for (int64_t id = sent.first; id <= last; ++id) {
    const auto seconds =
        wallSecondsAtZero +
        std::chrono::duration_cast<std::chrono::seconds>(table.CreatedAt(static_cast<int32_t>(id))).count();
    const UploadedRow row = FleetRow(agentIndex, static_cast<int32_t>(id), static_cast<int32_t>(seconds));
    if (block.size() + EncodedRowSize(row) > kMaxRowsBlockSize) break;  // it goes with a later request
    AppendEncodedRow(row, block);
    sent.last = static_cast<int32_t>(id);
  }
  return sent;
}

}  // namespace vx::fleet
