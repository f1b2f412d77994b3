-- The greylist database of ostrel on PostgreSQL, shared by the MX hosts of
-- a site. Create it as the database's owner with
--   ostrelctl init-db postgresql:///ostrel?host=/run/postgresql
-- (or psql -d ostrel -f schema-pg.sql); running it again changes nothing.
-- ostrel's own role needs only:
--   GRANT SELECT, INSERT, UPDATE, DELETE ON verified, pending TO ostrel;
-- (and the right to connect and to use the schema, which PUBLIC has by
-- default, as it has EXECUTE on the functions below).
--
-- ostrel runs the same statement texts on both engines. The functions below
-- give PostgreSQL the part of SQLite's date functions those statements use,
-- on the server's clock, which is the one clock of every MX host: times are
-- texts 'YYYY-MM-DD HH:MM:SS' in UTC, as SQLite writes them, so that they
-- compare as texts. No uniqueness constraints, as on SQLite: concurrent
-- connections may record a triple or promote an address twice, and every
-- statement tolerates such duplicates.

-- Run again, the statements below find their objects there: no notice
-- about each of them.
SET client_min_messages = warning;

-- DATETIME('now') and DATETIME(time): the time as text, or NULL when the
-- text is no time.
CREATE OR REPLACE FUNCTION datetime(t text) RETURNS text
LANGUAGE plpgsql STABLE PARALLEL SAFE AS $$
BEGIN
  IF lower(t) = 'now' THEN
    RETURN to_char(now() AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS');
  END IF;
  BEGIN
    RETURN to_char(t::timestamp, 'YYYY-MM-DD HH24:MI:SS');
  EXCEPTION WHEN others THEN
    RETURN NULL;
  END;
END $$;

-- DATETIME(time, modifier) with a modifier such as '-18 hours'.
CREATE OR REPLACE FUNCTION datetime(t text, modifier text) RETURNS text
LANGUAGE plpgsql STABLE PARALLEL SAFE AS $$
BEGIN
  RETURN to_char(datetime(t)::timestamp + modifier::interval, 'YYYY-MM-DD HH24:MI:SS');
EXCEPTION WHEN others THEN
  RETURN NULL;
END $$;

-- strftime('%s', time): seconds since the epoch, as a number so that two of
-- them subtract as in SQLite. Other formats give NULL.
CREATE OR REPLACE FUNCTION strftime(format text, t text) RETURNS bigint
LANGUAGE sql STABLE PARALLEL SAFE AS $$
  SELECT CASE WHEN format = '%s' THEN extract(epoch FROM datetime(t)::timestamp)::bigint END
$$;

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
CREATE OR REPLACE FUNCTION verified_keep_permanent() RETURNS trigger
LANGUAGE plpgsql AS $$
BEGIN
  IF OLD.ts = '9999-12-31 23:59:59' THEN
    NEW.ts := OLD.ts;
  END IF;
  RETURN NEW;
END $$;
CREATE OR REPLACE TRIGGER verified_permanent_kept BEFORE UPDATE OF ts ON verified
  FOR EACH ROW EXECUTE FUNCTION verified_keep_permanent();

-- The version of this schema, one row, for the tools that check a
-- database as any role: 1 recorded it, 2 added the trigger above.
CREATE TABLE IF NOT EXISTS schema_version (
  one boolean PRIMARY KEY DEFAULT true CHECK (one),
  version integer NOT NULL
);
INSERT INTO schema_version (version) VALUES (2) ON CONFLICT (one) DO UPDATE SET version = excluded.version;
GRANT SELECT ON schema_version TO PUBLIC;

-- Bounded waits on the server's side too: a statement that meets a lock
-- gives up after 2 seconds, and none runs longer than 4 (ostrel gives up on
-- an answer after 5).
DO $$
BEGIN
  EXECUTE format('ALTER DATABASE %I SET lock_timeout = %L', current_database(), '2s');
  EXECUTE format('ALTER DATABASE %I SET statement_timeout = %L', current_database(), '4s');
END $$;
