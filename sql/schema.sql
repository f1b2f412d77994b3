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
-- A verified row whose ts is '9999-12-31 23:59:59' (ostrelctl allow
-- --permanent) is never old enough for a cleanup; this keeps that ts when a
-- connection's refresh or a plain allow sets the row's ts to now. The
-- statements of ostrel stay as they are.
CREATE TRIGGER IF NOT EXISTS verified_permanent_kept AFTER UPDATE OF ts ON verified
  WHEN OLD.ts = '9999-12-31 23:59:59' AND NEW.ts IS NOT OLD.ts
BEGIN
  UPDATE verified SET ts = OLD.ts WHERE rowid = NEW.rowid;
END;
-- The version of this schema, for the tools that check a database:
-- 1 recorded it, 2 added the trigger above.
PRAGMA user_version = 2;
