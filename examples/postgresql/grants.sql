-- After roles.sql, and after the owner has created the tables with
--   ostrelctl init-db --grant-to ostrel 'postgresql://db.example.net/ostrel?user=ostrel_owner'
-- as a superuser (or as ostrel_owner):
--   psql -h db.example.net -U postgres -v ON_ERROR_STOP=1 -f grants.sql
-- The one grant the role ostrel needs (ostrelctl init-db prints it too).
\connect ostrel
GRANT SELECT, INSERT, UPDATE, DELETE ON verified, pending TO ostrel;
