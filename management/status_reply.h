// The status record that answers statusRequest: uptime, the two drive locks,
// statusWord, the power line, the computer name and the Windows version.
#pragma once

#include "management/connection.h"
#include "management/outcome.h"
#include "management/protocol/status_record.h"
#include "management/status_source.h"
#include "policy/policy_store.h"

namespace vx::management {

// Takes the computer name, the power status and the version first, the
// policy's locks and statusWord under the owner's lock, and the tick count
// last.
[[nodiscard]] StatusRecord BuildStatusRecord(StatusSource& status, const PolicyStore& policy);

// Sends statusReply: the header, then the 404-byte record.
[[nodiscard]] Outcome AnswerStatusRequest(const Connection& connection, StatusSource& status,
                                          const PolicyStore& policy);

}  // namespace vx::management
