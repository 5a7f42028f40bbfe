"""The site's own connections to the user database: its session and
throttling tables are read and written on most requests.

On a SQLite user database each thread keeps one connection open for them
(statements outside a transaction see every commit of any other connection at
once), the file is kept in write-ahead logging (readers and the writer of a
SQLite file otherwise get in each other's way under concurrent requests, each
wait starting with a sleep; the mode stays with the file), and these
connections flush at checkpoints only (``synchronous=NORMAL``: the file stays
sound, a power cut may lose the last sessions' presses and counts, a crash of
the server does not; the accounts' own connections keep SQLite's defaults).
On PostgreSQL the store's own pooled connections serve.
"""

from __future__ import annotations

import sqlite3
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any


class SiteDatabase:
    """The connections of the site's tables in the database of ``store`` (a ``JsonAppPlugin``)."""

    def __init__(self, store: Any) -> None:
        self.store = store
        #: The SQLite file of the user database, when the store keeps it in one.
        self.sqlite_file = None if getattr(store, "database_url", None) else str(store.db_path)
        self._local = threading.local()
        if self.sqlite_file is not None:
            with sqlite3.connect(self.sqlite_file, timeout=30) as conn:
                conn.execute("PRAGMA journal_mode=WAL")

    @classmethod
    def of(cls, store: Any) -> SiteDatabase:
        """The one ``SiteDatabase`` of a store."""
        database = getattr(store, "_site_database", None)
        if database is None:
            database = cls(store)
            try:
                store._site_database = database
            except AttributeError:  # a store without attributes of its own: each user keeps its own
                pass
        return database

    @contextmanager
    def connection(self) -> Iterator[Any]:
        """A connection for one operation; what it does not commit is rolled back."""
        if self.sqlite_file is None:
            with self.store.connect() as conn:
                yield conn
            return
        conn = getattr(self._local, "conn", None)
        if conn is None:
            conn = self._local.conn = sqlite3.connect(self.sqlite_file, timeout=30)
            conn.execute("PRAGMA synchronous=NORMAL")
        try:
            yield conn
        finally:
            if conn.in_transaction:
                conn.rollback()
