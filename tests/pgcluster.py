"""A throwaway PostgreSQL cluster for the tests and the load runs, in a temporary directory, on a Unix socket only.

Debian keeps the server's programs outside PATH, in the versioned folder ``dpkg -L`` of the server package lists
(``/usr/lib/postgresql/15/bin``); ``initdb`` refuses root, so as root the cluster runs as the ``postgres`` user."""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import subprocess
import tempfile
from pathlib import Path

# postgres hangs at start under the sanitizer runtimes an ASan test run preloads
_INSTRUMENTATION = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def server_binaries() -> Path | None:
    """The folder holding ``initdb`` and ``pg_ctl`` (of the newest version found), or None."""
    named = os.environ.get("VANTREL_PG_BIN")
    if named and (Path(named) / "initdb").is_file():
        return Path(named)
    try:
        listed = subprocess.run(["sh", "-c", "dpkg -L $(dpkg-query -W -f '${Package}\\n' 'postgresql-[0-9]*')"],
                                capture_output=True, text=True, timeout=30).stdout.splitlines()
    except (OSError, subprocess.SubprocessError):
        listed = []
    listed += [*glob.glob("/usr/lib/postgresql/*/bin/initdb"), shutil.which("initdb") or ""]
    found = [Path(p).parent for p in listed if p.endswith("/bin/initdb") and (Path(p).parent / "pg_ctl").is_file()]
    return max(found, key=lambda p: [int(x) for x in p.parent.name.split(".") if x.isdigit()] or [0]) if found else None


def unavailable() -> str | None:
    """Why no cluster can be started here, or None."""
    if server_binaries() is None:
        return "no PostgreSQL server programs (Debian: apt-get install postgresql; .ci/run installs them as root)"
    if os.geteuid() == 0 and "postgres" not in (user.pw_name for user in pwd.getpwall()):
        return "running as root without a postgres user to run the server as"
    try:
        import psycopg, psycopg_pool  # noqa: E401, F401
    except ImportError:
        return "psycopg is not installed (pip install 'vantrel_app_plugin[postgres]')"
    return None


class Cluster:
    def __init__(self) -> None:
        self.bin = server_binaries()
        self.root = Path(tempfile.mkdtemp(prefix="vpg-", dir="/tmp"))  # a socket path must be short
        self.data, self.socket, self.port = self.root / "data", self.root / "s", 5432
        self.socket.mkdir()
        self.as_user = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []
        if self.as_user:
            for path in (self.root, self.socket):
                os.chown(path, pwd.getpwnam("postgres").pw_uid, pwd.getpwnam("postgres").pw_gid)

    def _run(self, program: str, *args: str, check: bool = True) -> None:
        env = {k: v for k, v in os.environ.items() if k not in _INSTRUMENTATION}
        subprocess.run([*self.as_user, str(self.bin / program), "-D", str(self.data), *args], check=check,
                       capture_output=True, text=True, timeout=120, env=env)

    def start(self) -> Cluster:
        self._run("initdb", "-A", "trust", "-U", "postgres", "-E", "UTF8", "--locale=C.UTF-8")
        options = (f"-k {self.socket} -c listen_addresses='' -p {self.port} -c max_connections=200 "
                   "-c fsync=off -c synchronous_commit=off -c full_page_writes=off")  # a test's server: speed
        self._run("pg_ctl", "-o", options, "-l", str(self.root / "log"), "-w", "-t", "60", "start")
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
        self._run("pg_ctl", "-m", "immediate", "-w", "stop", check=False)
        shutil.rmtree(self.root, ignore_errors=True)
