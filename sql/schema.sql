-- The greylist database of ostrel. Create it with
--   sqlite3 /var/db/ostrel/ostrel.db < schema.sql
-- or with `ostrelctl init-db PATH`, which runs these same statements.
-- No uniqueness constraints: concurrent connections may record a triple or
-- promote an address twice, and every statement tolerates such duplicates.
PRAGMA journal_mode=WAL;
CREATE TABLE IF NOT EXISTS verified (
  ip TEXT,
  ts TEXT
);
CREATE TABLE IF NOT EXISTS pending (
  ip TEXT,
  envsender TEXT,
  envrecipient TEXT,
  tsfirstdelivery TEXT,
  tslastdelivery TEXT,
  attempts INTEGER
);
CREATE INDEX IF NOT EXISTS verified_by_ip ON verified (ip);
CREATE INDEX IF NOT EXISTS pending_by_triple ON pending (ip, envsender, envrecipient);
-- The cleanups delete by age, in batches that find their rows here.
CREATE INDEX IF NOT EXISTS pending_by_age ON pending (tsfirstdelivery);
CREATE INDEX IF NOT EXISTS verified_by_age ON verified (ts);
-- The version of this schema, for the tools that check a database.
PRAGMA user_version = 1;
