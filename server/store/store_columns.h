// The columns both engines select for an agent, an assignment and a queued
// update. Each engine's row reader takes them by position, so the order here
// is the order those readers expect; a column is added here, in both readers
// and in both engines' migrations together.
#pragma once

#include <string_view>

namespace vx::server::store_columns {

inline constexpr std::string_view kAgentColumns =
    "SELECT agent_id, enrollment, address, first_seen, last_seen, instance_id, report_epoch, last_report_id, "
    "announced_report_id, status_received_at, computer_name, uptime_seconds, lock_cd_dvd, lock_floppy, "
    "status_word, on_battery, windows_version, policy_sync, held_digest, expected_digest, policy_tries, "
    "policy_checked_at FROM agents";

inline constexpr std::string_view kAssignmentColumns =
    "SELECT scope, rule_usb_parent, rule_usb_lock, lock_cd_dvd_parent, lock_cd_dvd_lock, password_parent, "
    "password_lock, lock_floppy_parent, lock_floppy_lock, changed_at FROM policy_assignments";

// Without its FROM, so a claim can select one more column.
inline constexpr std::string_view kUpdateColumns =
    "SELECT u.update_id, u.agent_id, f.name, f.size, u.queued_at, u.delivered_at";
inline constexpr std::string_view kUpdatesJoined = " FROM updates u JOIN update_files f USING (file_id)";

}  // namespace vx::server::store_columns
