"""A throwaway PostgreSQL cluster for the process tests, and a pgbouncer in
front of it: initdb in a temporary directory (as user postgres when the tests
run as root), Unix sockets only, fsync off. One cluster serves a whole test
module; each test gets a database of its own, copied from a template that
holds the schema."""

import contextlib
import glob
import itertools
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time

import psycopg2

SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sql", "schema-pg.sql")
OWNER = "postgres"   # the owner of the databases and their schema
ROLE = "ostrel"      # ostrel's own role, with the grants the schema file names
TEMPLATE = "ostrel_template"
UNREACHABLE = "unreachable"  # a database of pgbouncer's whose server is not there
GRANTS = f"GRANT SELECT, INSERT, UPDATE, DELETE ON verified, pending TO {ROLE}"


def pg_bin(name):
    found = sorted(glob.glob(f"/usr/lib/postgresql/*/bin/{name}"))
    if not found:
        raise RuntimeError(f"{name} not found: install postgresql")
    return found[-1]


class PgCluster:
    """Start with start(), end with stop(); uri() names a database."""

    def __init__(self, with_bouncer=False, max_connections=150, pool_mode="transaction", pool_size=20):
        self.with_bouncer = with_bouncer
        self.max_connections = max_connections
        self.pool_mode = pool_mode
        self.pool_size = pool_size
        self.root = tempfile.mkdtemp(prefix="ostrel-pg-")
        self.socket_dir = os.path.join(self.root, "sock")
        self.bouncer_dir = os.path.join(self.root, "bouncer")
        self.data = os.path.join(self.root, "data")
        self.server = None
        self.bouncer = None
        self.counter = itertools.count()
        # initdb, postgres and pgbouncer refuse to run as root: they run as
        # user postgres, in a directory of theirs
        self.as_postgres = {}
        if os.geteuid() == 0:
            user = pwd.getpwnam("postgres")
            self.as_postgres = {"user": user.pw_uid, "group": user.pw_gid, "extra_groups": []}
            os.chown(self.root, user.pw_uid, user.pw_gid)
        os.chmod(self.root, 0o755)

    def _popen(self, argv, log_name):
        with open(os.path.join(self.root, log_name), "wb") as log:
            return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                    cwd=self.root, start_new_session=True, **self.as_postgres)

    def start(self):
        try:
            return self._start()
        except BaseException:
            self.stop()
            raise

    def _start(self):
        for d in (self.socket_dir, self.bouncer_dir):
            os.mkdir(d)
            if self.as_postgres:
                os.chown(d, self.as_postgres["user"], self.as_postgres["group"])
        subprocess.run([pg_bin("initdb"), "-D", self.data, "-A", "trust", "-U", OWNER, "--no-sync", "-E", "UTF8"],
                       check=True, capture_output=True, cwd=self.root, **self.as_postgres)
        self.server = self._popen([pg_bin("postgres"), "-D", self.data, "-k", self.socket_dir, "-c", "listen_addresses=",
                                   "-c", "fsync=off", "-c", "synchronous_commit=off", "-c", "full_page_writes=off",
                                   "-c", f"max_connections={self.max_connections}"], "postgres.log")
        self._wait_until_ready()
        with self.connect("postgres") as conn:
            conn.cursor().execute(f"CREATE ROLE {ROLE} LOGIN")
            conn.cursor().execute(f"CREATE DATABASE {TEMPLATE}")
        with self.connect(TEMPLATE) as conn, open(SCHEMA) as schema:
            conn.cursor().execute(schema.read())
            conn.cursor().execute(GRANTS)
        if self.with_bouncer:
            self._start_bouncer()
        return self

    def _start_bouncer(self):
        ini = os.path.join(self.root, "pgbouncer.ini")
        users = os.path.join(self.root, "userlist.txt")
        with open(users, "w") as f:
            f.write(f'"{ROLE}" ""\n"{OWNER}" ""\n')
        with open(ini, "w") as f:
            f.write(f"""[databases]
* = host={self.socket_dir} port=5432
{UNREACHABLE} = host={os.path.join(self.root, "nosuchdir")} port=5432
[pgbouncer]
listen_addr =
listen_port = 6432
unix_socket_dir = {self.bouncer_dir}
auth_type = trust
auth_file = {users}
pool_mode = {self.pool_mode}
max_client_conn = 300
default_pool_size = {self.pool_size}
server_connect_timeout = 3
server_login_retry = 1
query_wait_timeout = 5
logfile = {os.path.join(self.root, "pgbouncer.log")}
""")
        self.bouncer = self._popen(["pgbouncer", "-q", ini], "pgbouncer.out")
        path = os.path.join(self.bouncer_dir, ".s.PGSQL.6432")
        deadline = time.monotonic() + 30
        while not os.path.exists(path):
            if self.bouncer.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("pgbouncer did not start")
            time.sleep(0.02)

    def _wait_until_ready(self, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            try:
                psycopg2.connect(host=self.socket_dir, dbname="postgres", user=OWNER).close()
                return
            except psycopg2.OperationalError:
                if self.server.poll() is not None or time.monotonic() > deadline:
                    raise
                time.sleep(0.02)

    def connect(self, dbname, user=OWNER):
        """An autocommit connection, closed at the end of a with block."""
        conn = psycopg2.connect(host=self.socket_dir, dbname=dbname, user=user)
        conn.autocommit = True
        return contextlib.closing(conn)

    def new_database(self):
        """A fresh database with the schema, dropped by drop_database()."""
        name = f"t{os.getpid()}_{next(self.counter)}"
        with self.connect("postgres") as conn:
            conn.cursor().execute(f"CREATE DATABASE {name} TEMPLATE {TEMPLATE}")
            # ALTER DATABASE settings are not copied with the template
            conn.cursor().execute(f"ALTER DATABASE {name} SET lock_timeout = '2s'")
            conn.cursor().execute(f"ALTER DATABASE {name} SET statement_timeout = '4s'")
        return name

    def new_database_without_schema(self):
        """An empty database owned by the owner role, dropped by drop_database()."""
        name = f"e{os.getpid()}_{next(self.counter)}"
        with self.connect("postgres") as conn:
            conn.cursor().execute(f"CREATE DATABASE {name}")
        return name

    def drop_database(self, name):
        with self.connect("postgres") as conn:
            conn.cursor().execute(f"DROP DATABASE IF EXISTS {name} WITH (FORCE)")

    def uri(self, dbname, via_bouncer=False, user=ROLE):
        host = self.bouncer_dir if via_bouncer else self.socket_dir
        port = 6432 if via_bouncer else 5432
        return f"postgresql:///{dbname}?host={host}&port={port}&user={user}"

    def query(self, dbname, sql, *args):
        with self.connect(dbname) as conn:
            cur = conn.cursor()
            if args:
                cur.execute(sql.replace("?", "%s"), args)
            else:
                cur.execute(sql)
            return cur.fetchall() if cur.description else []

    def stop(self):
        # pgbouncer: SIGTERM is its immediate shutdown; postgres: SIGINT is
        # the fast one, which disconnects whoever is still connected
        for proc, sig in ((self.bouncer, signal.SIGTERM), (self.server, signal.SIGINT)):
            if proc is not None and proc.poll() is None:
                proc.send_signal(sig)
                try:
                    proc.wait(timeout=15)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()
        shutil.rmtree(self.root, ignore_errors=True)
