"""A throwaway PostgreSQL cluster for the tests and the load runs.

Debian keeps the server's programs outside PATH, in a versioned folder that
``dpkg -L`` of the server package lists (``/usr/lib/postgresql/15/bin``).
The cluster is made with ``initdb`` in a temporary directory, as an
unprivileged user (``initdb`` refuses root: as root, the ``postgres`` user the
package creates), and served by ``pg_ctl`` on a Unix socket only, until
``stop()``.
"""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import subprocess
import tempfile
from pathlib import Path


def server_binaries() -> Path | None:
    """The folder holding ``initdb`` and ``pg_ctl``, or None."""
    named = os.environ.get("VANTREL_PG_BIN")
    if named and (Path(named) / "initdb").is_file():
        return Path(named)
    found = []
    try:
        packages = subprocess.run(["dpkg-query", "-W", "-f", "${Package}\\n", "postgresql-[0-9]*"],
                                  capture_output=True, text=True, timeout=30).stdout.split()
        for package in packages:
            listed = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True, timeout=30).stdout
            found += [Path(line).parent for line in listed.splitlines() if line.endswith("/bin/initdb")]
    except (OSError, subprocess.SubprocessError):
        pass
    found += [Path(p).parent for p in glob.glob("/usr/lib/postgresql/*/bin/initdb")]
    if shutil.which("initdb"):
        found.append(Path(shutil.which("initdb")).parent)
    found = [p for p in found if (p / "pg_ctl").is_file()]
    return max(found, key=lambda p: [int(x) for x in p.parent.name.split(".") if x.isdigit()] or [0]) if found else None


def unavailable() -> str | None:
    """Why no cluster can be started here, or None."""
    if server_binaries() is None:
        return "no PostgreSQL server programs (Debian: apt-get install postgresql; .ci/run installs them as root)"
    if os.geteuid() == 0:
        try:
            pwd.getpwnam("postgres")
        except KeyError:
            return "running as root without a postgres user to run the server as"
    try:
        import psycopg  # noqa: F401
        import psycopg_pool  # noqa: F401
    except ImportError:
        return "psycopg is not installed (pip install 'vantrel_app_plugin[postgres]')"
    return None


_INSTRUMENTATION = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


class Cluster:
    """A PostgreSQL cluster of its own, on a Unix socket in a temporary directory."""

    def __init__(self) -> None:
        self.bin = server_binaries()
        self.root = Path(tempfile.mkdtemp(prefix="vpg-", dir="/tmp"))  # a socket path must be short
        self.data, self.socket = self.root / "data", self.root / "s"
        self.port = 5432
        self.as_user: list[str] = []
        if os.geteuid() == 0:
            user = pwd.getpwnam("postgres")
            self.as_user = ["runuser", "-u", "postgres", "--"]
            os.chown(self.root, user.pw_uid, user.pw_gid)
        self.socket.mkdir()
        if self.as_user:
            os.chown(self.socket, pwd.getpwnam("postgres").pw_uid, pwd.getpwnam("postgres").pw_gid)

    def _run(self, *args: str) -> None:
        # The server's programs run without the sanitizer runtimes a test run
        # under ASan preloads (postgres hangs at start with them).
        env = {k: v for k, v in os.environ.items() if k not in _INSTRUMENTATION}
        subprocess.run([*self.as_user, *args], check=True, capture_output=True, text=True, timeout=120, env=env)

    def start(self) -> Cluster:
        self._run(str(self.bin / "initdb"), "-D", str(self.data), "-A", "trust", "-U", "postgres", "-E", "UTF8",
                  "--locale=C.UTF-8")
        options = (f"-k {self.socket} -c listen_addresses='' -p {self.port} -c max_connections=200 "
                   "-c fsync=off -c synchronous_commit=off -c full_page_writes=off")  # a test's server: speed
        self._run(str(self.bin / "pg_ctl"), "-D", str(self.data), "-o", options, "-l", str(self.root / "log"),
                  "-w", "-t", "60", "start")
        return self

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://postgres@/{database}?host={self.socket}&port={self.port}"

    def execute(self, sql: str) -> None:
        import psycopg

        with psycopg.connect(self.url(), autocommit=True) as conn:
            conn.execute(sql)

    def create_database(self, name: str) -> str:
        self.execute(f'CREATE DATABASE "{name}"')
        return self.url(name)

    def drop_database(self, name: str) -> None:
        self.execute(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')

    def stop(self) -> None:
        try:
            self._run(str(self.bin / "pg_ctl"), "-D", str(self.data), "-m", "immediate", "-w", "stop")
        except subprocess.CalledProcessError:
            pass
        shutil.rmtree(self.root, ignore_errors=True)
