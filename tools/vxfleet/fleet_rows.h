// The rows of a simulated agent's table as the protocol carries them, and
// the rows block of a reportRowsReply built from them the way the service's
// report upload builds it.
#pragma once

#include <cstdint>
#include <vector>

#include "management/protocol/rows_block.h"
#include "tools/vxfleet/report_table.h"

namespace vx::fleet {

// Row `id` of agent `agentIndex`: vendor "Fleet", product "Sim Disk", serial
// "FLEET-00042-000123", action id % 3, time `createdSeconds` (seconds since
// 1970 when it was created).
[[nodiscard]] management::UploadedRow FleetRow(uint64_t agentIndex, int32_t id, int32_t createdSeconds);

// The ids a rows block carries; empty when last < first.
struct RowsSent {
  int32_t first = 1;
  int32_t last = 0;
  [[nodiscard]] int32_t Count() const { return last < first ? 0 : last - first + 1; }
};

// Replaces `block` with the rows after `afterId` that exist at `now`, in id
// order: at most `rowLimit` of them (a negative limit: as many as the
// client's statement reads, 131,072 bytes' worth of the smallest rows),
// stopping before the first row that would take the block past 131,072
// bytes. `wallSecondsAtZero` is the wall clock when fleet time was 0.
[[nodiscard]] RowsSent BuildRowsBlock(const ReportTable& table, uint64_t agentIndex, int64_t wallSecondsAtZero,
                                      int32_t afterId, int32_t rowLimit, FleetTime now, std::vector<uint8_t>& block);

}  // namespace vx::fleet
