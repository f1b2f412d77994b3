-- Once, on the central server, as a superuser: the owner role that runs
-- `ostrelctl init-db`, the role ostrel connects as, and the database.
CREATE ROLE ostrel_owner LOGIN;
CREATE ROLE ostrel LOGIN;  -- give it a password (for pgbouncer) or a certificate
CREATE DATABASE ostrel OWNER ostrel_owner;
-- Then, as ostrel_owner:  ostrelctl init-db 'postgresql://db.example.net/ostrel?user=ostrel_owner'
-- and these grants (ostrelctl init-db prints them too):
\connect ostrel
GRANT SELECT, INSERT, UPDATE, DELETE ON verified, pending TO ostrel;
