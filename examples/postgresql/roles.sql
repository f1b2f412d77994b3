-- Once, on the central server, as a superuser: the owner role that runs
-- `ostrelctl init-db`, the role ostrel connects as, and the database.
--   psql -h db.example.net -U postgres -v ON_ERROR_STOP=1 -f roles.sql
-- Safe to run again: what exists already is left as it is. Give the role
-- ostrel a password (which pgbouncer holds) or a certificate afterwards.
SELECT 'CREATE ROLE ostrel_owner LOGIN'
  WHERE NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'ostrel_owner') \gexec
SELECT 'CREATE ROLE ostrel LOGIN'
  WHERE NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'ostrel') \gexec
SELECT 'CREATE DATABASE ostrel OWNER ostrel_owner'
  WHERE NOT EXISTS (SELECT FROM pg_database WHERE datname = 'ostrel') \gexec
