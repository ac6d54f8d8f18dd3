#include "server/store/postgres_migrations.h"

namespace vx::server {
namespace {

// Version 1: agents with their status, cursor and policy state; report rows
// keyed by (agent, epoch, id); assignments; installers stored once and
// queued per agent; the change counter serve polls.
constexpr std::string_view kVersion1 = R"sql(
CREATE TABLE change_counter (
  one integer PRIMARY KEY CHECK (one = 1),
  value bigint NOT NULL
);
INSERT INTO change_counter (one, value) VALUES (1, 0);

CREATE TABLE agents (
  agent_id bytea PRIMARY KEY CHECK (length(agent_id) = 16),
  enrollment text NOT NULL CHECK (enrollment IN ('approved', 'pending', 'revoked')),
  address text NOT NULL DEFAULT '',
  first_seen bigint NOT NULL,
  last_seen bigint NOT NULL,
  connected boolean NOT NULL DEFAULT false,
  report_epoch bigint NOT NULL DEFAULT 1,
  last_report_id integer NOT NULL DEFAULT 0,
  announced_report_id integer NOT NULL DEFAULT 0,
  status_received_at bigint,
  computer_name bytea,
  uptime_seconds bigint,
  lock_cd_dvd boolean,
  lock_floppy boolean,
  status_word bigint,
  on_battery boolean,
  windows_version bigint,
  policy_sync text NOT NULL DEFAULT 'unknown',
  held_digest bigint,
  expected_digest bigint,
  policy_tries integer NOT NULL DEFAULT 0,
  policy_checked_at bigint NOT NULL DEFAULT 0
);

CREATE TABLE reports (
  agent_id bytea NOT NULL REFERENCES agents (agent_id),
  epoch bigint NOT NULL,
  id integer NOT NULL,
  time integer NOT NULL,
  vendor bytea NOT NULL,
  product bytea NOT NULL,
  serial bytea NOT NULL,
  action integer NOT NULL,
  stored_at bigint NOT NULL,
  PRIMARY KEY (agent_id, epoch, id)
);

-- scope: 'fleet', or an agent's 16-byte id.
CREATE TABLE policy_assignments (
  scope bytea PRIMARY KEY,
  rule_usb_parent bytea NOT NULL,
  rule_usb_lock integer NOT NULL,
  lock_cd_dvd_parent integer NOT NULL,
  lock_cd_dvd_lock integer NOT NULL,
  password_parent bytea NOT NULL,
  password_lock integer NOT NULL,
  lock_floppy_parent integer NOT NULL,
  lock_floppy_lock integer NOT NULL,
  changed_at bigint NOT NULL
);

CREATE TABLE update_files (
  file_id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  name bytea NOT NULL,
  size bigint NOT NULL,
  content bytea NOT NULL
);
-- Out of line and uncompressed, so a 64 KiB chunk is read without the rest.
ALTER TABLE update_files ALTER COLUMN content SET STORAGE EXTERNAL;

CREATE TABLE updates (
  update_id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  agent_id bytea NOT NULL REFERENCES agents (agent_id),
  file_id bigint NOT NULL REFERENCES update_files (file_id),
  queued_at bigint NOT NULL,
  delivered_at bigint
);
CREATE INDEX updates_by_agent ON updates (agent_id, update_id);
)sql";

// Version 2: the HTTP API's bearer tokens (only their SHA-256 is kept), and
// report rows by time, which the console's events view and chart read.
constexpr std::string_view kVersion2 = R"sql(
CREATE TABLE api_tokens (
  token_id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  name bytea NOT NULL,
  hash bytea NOT NULL UNIQUE CHECK (length(hash) = 32),
  created_at bigint NOT NULL,
  revoked_at bigint
);
CREATE INDEX reports_by_time ON reports (time);
)sql";

// Version 3: serve instances, several of which may share the database: an
// agent is connected while an instance holds it, and an update is sent by
// the instance that claimed it.
constexpr std::string_view kVersion3 = R"sql(
CREATE TABLE instances (
  instance_id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  host text NOT NULL,
  listen text NOT NULL,
  pid bigint NOT NULL,
  started_at bigint NOT NULL,
  heartbeat_at bigint NOT NULL,
  ended_at bigint
);
ALTER TABLE agents DROP COLUMN connected;
ALTER TABLE agents ADD COLUMN instance_id bigint REFERENCES instances (instance_id);
CREATE INDEX agents_by_instance ON agents (instance_id) WHERE instance_id IS NOT NULL;
ALTER TABLE updates ADD COLUMN claimed_by bigint REFERENCES instances (instance_id);
)sql";

constexpr PostgresMigration kMigrations[] = {
    {1, kVersion1},
    {2, kVersion2},
    {3, kVersion3},
};

}  // namespace

std::span<const PostgresMigration> PostgresMigrations() { return kMigrations; }

}  // namespace vx::server
