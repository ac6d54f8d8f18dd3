#include "server/store/sqlite_migrations.h"

namespace vx::server {
namespace {

// Version 1: agents with their status, cursor and policy state; report rows
// keyed by (agent, epoch, id); assignments; installers stored once and
// queued per agent; the change counter the running server polls.
constexpr std::string_view kVersion1 = R"sql(
CREATE TABLE change_counter (
  one INTEGER PRIMARY KEY CHECK (one = 1),
  value INTEGER NOT NULL
);
INSERT INTO change_counter (one, value) VALUES (1, 0);

CREATE TABLE agents (
  agent_id BLOB PRIMARY KEY CHECK (length(agent_id) = 16),
  enrollment TEXT NOT NULL CHECK (enrollment IN ('approved', 'pending', 'revoked')),
  address TEXT NOT NULL DEFAULT '',
  first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL,
  connected INTEGER NOT NULL DEFAULT 0,
  report_epoch INTEGER NOT NULL DEFAULT 1,
  last_report_id INTEGER NOT NULL DEFAULT 0,
  announced_report_id INTEGER NOT NULL DEFAULT 0,
  status_received_at INTEGER,
  computer_name TEXT,
  uptime_seconds INTEGER,
  lock_cd_dvd INTEGER,
  lock_floppy INTEGER,
  status_word INTEGER,
  on_battery INTEGER,
  windows_version INTEGER,
  policy_sync TEXT NOT NULL DEFAULT 'unknown',
  held_digest INTEGER,
  expected_digest INTEGER,
  policy_tries INTEGER NOT NULL DEFAULT 0,
  policy_checked_at INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE reports (
  agent_id BLOB NOT NULL REFERENCES agents (agent_id),
  epoch INTEGER NOT NULL,
  id INTEGER NOT NULL,
  time INTEGER NOT NULL,
  vendor TEXT NOT NULL,
  product TEXT NOT NULL,
  serial TEXT NOT NULL,
  action INTEGER NOT NULL,
  stored_at INTEGER NOT NULL,
  PRIMARY KEY (agent_id, epoch, id)
) WITHOUT ROWID;

-- scope: 'fleet', or an agent's 16-byte id.
CREATE TABLE policy_assignments (
  scope BLOB PRIMARY KEY,
  rule_usb_parent BLOB NOT NULL,
  rule_usb_lock INTEGER NOT NULL,
  lock_cd_dvd_parent INTEGER NOT NULL,
  lock_cd_dvd_lock INTEGER NOT NULL,
  password_parent BLOB NOT NULL,
  password_lock INTEGER NOT NULL,
  lock_floppy_parent INTEGER NOT NULL,
  lock_floppy_lock INTEGER NOT NULL,
  changed_at INTEGER NOT NULL
);

CREATE TABLE update_files (
  file_id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  size INTEGER NOT NULL,
  content BLOB NOT NULL
);

CREATE TABLE updates (
  update_id INTEGER PRIMARY KEY,
  agent_id BLOB NOT NULL REFERENCES agents (agent_id),
  file_id INTEGER NOT NULL REFERENCES update_files (file_id),
  queued_at INTEGER NOT NULL,
  delivered_at INTEGER
);
CREATE INDEX updates_by_agent ON updates (agent_id, update_id);
)sql";

// Version 2: the HTTP API's bearer tokens (only their SHA-256 is kept), and
// report rows by time, which the console's events view and chart read.
constexpr std::string_view kVersion2 = R"sql(
CREATE TABLE api_tokens (
  token_id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  hash BLOB NOT NULL UNIQUE CHECK (length(hash) = 32),
  created_at INTEGER NOT NULL,
  revoked_at INTEGER
);
CREATE INDEX reports_by_time ON reports (time);
)sql";

// Version 3: serve instances, so several may share a store (and one that
// was killed is told apart from one that runs): an agent is connected while
// an instance holds it, and an update is sent by the instance that claimed
// it. The old connected flag goes: marks made before instances existed mean
// nothing now.
constexpr std::string_view kVersion3 = R"sql(
CREATE TABLE instances (
  instance_id INTEGER PRIMARY KEY,
  host TEXT NOT NULL,
  listen TEXT NOT NULL,
  pid INTEGER NOT NULL,
  started_at INTEGER NOT NULL,
  heartbeat_at INTEGER NOT NULL,
  ended_at INTEGER
);
ALTER TABLE agents DROP COLUMN connected;
ALTER TABLE agents ADD COLUMN instance_id INTEGER REFERENCES instances (instance_id);
CREATE INDEX agents_by_instance ON agents (instance_id) WHERE instance_id IS NOT NULL;
ALTER TABLE updates ADD COLUMN claimed_by INTEGER REFERENCES instances (instance_id);
)sql";

constexpr SqliteMigration kMigrations[] = {
    {1, kVersion1},
    {2, kVersion2},
    {3, kVersion3},
};

}  // namespace

std::span<const SqliteMigration> SqliteMigrations() { return kMigrations; }

}  // namespace vx::server
