// Report rows for the management server: the notice of the newest row id and
// the rows after the id the server has, in blocks of at most 131,072 bytes.
// Both read "reportdb.dat" through the report store's two reader statements,
// one connection per call, closed before anything is sent.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "management/connection.h"
#include "management/outcome.h"

namespace vx::management {

// Sends reportNotice with the newest row id, or 0 when the table is empty or
// cannot be read.
[[nodiscard]] Outcome SendReportNotice(const Connection& connection, const std::filesystem::path& reportDatabase);

// The rows with an id above `afterId`, ascending, at most `rowLimit` of them
// (a negative limit sets none), encoded one after the other into `block`
// (cleared first) until the next row would make it longer than 131,072
// bytes. Reads no more rows than a block can hold, however many the table
// has or the limit allows.
void BuildRowsBlock(const std::filesystem::path& reportDatabase, int32_t afterId, int32_t rowLimit,
                    std::vector<uint8_t>& block);

// Reads the 8-byte request (after-id, row limit) and sends reportRowsReply
// with the block; `block` is the thread's buffer, reused from call to call.
// The connection ends when the request does not arrive in full.
[[nodiscard]] Outcome AnswerReportRows(const Connection& connection, const std::filesystem::path& reportDatabase,
                                       std::vector<uint8_t>& block);

}  // namespace vx::management
