"""The visitors' engine state, kept server-side in a table of the user database.

Each visitor's page engine state (the components, the user, the status line,
the revision) lives under a random session id that the visitor's signed
session cookie holds; component values never travel in the cookie (they can
hold typed passwords, and typed passwords are not kept at all). Every worker
of a server reads and writes the same table, so any worker may serve any
request, and a restart keeps the sessions. A session not seen for
``idle_seconds`` has expired; logging out deletes it.
"""

from __future__ import annotations

import json
import secrets
import time
from collections.abc import Callable
from typing import Any

from vantrel_soft.website.database import SiteDatabase

#: The table of the user database that holds the sessions.
TABLE = "vantrel_sessions"


def new_session_id() -> str:
    """A fresh random session id (256 bits)."""
    return secrets.token_urlsafe(32)


class SessionStore:
    """The sessions of ``store`` (a ``JsonAppPlugin``: its ``connect()`` reaches
    the user database).

    A session is read on every request of a logged-in visitor: the store's
    statements go through the site's own connections (``SiteDatabase``)."""

    def __init__(self, store: Any, idle_seconds: float = 1800, clock: Callable[[], float] = time.time) -> None:
        self.store = store
        self.database = SiteDatabase.of(store)
        self.connection = self.database.connection
        self.idle_seconds = idle_seconds
        #: The clock idleness is measured with (tests move it).
        self.clock = clock
        #: A session is marked as seen again at most this often: a page view
        #: reads its session without writing it back each time. A session may
        #: therefore expire up to this long before its idle time is up.
        self.touch_after = min(60.0, idle_seconds / 10)

    def create_table(self) -> None:
        with self.store.connect() as conn:
            conn.execute(f"CREATE TABLE IF NOT EXISTS {TABLE} (id TEXT PRIMARY KEY, state TEXT NOT NULL, "
                         "page TEXT, seen BIGINT NOT NULL)")
            conn.commit()

    def load(self, session_id: str) -> dict | None:
        """The state kept under ``session_id`` (with the page drawn for it under
        "page", when one was kept), or None (none kept, or expired)."""
        now = self.clock()
        with self.connection() as conn:
            row = conn.execute(f"SELECT state, page, seen FROM {TABLE} WHERE id = ?", (session_id,)).fetchone()
            if row is None:
                return None
            state, page, seen = row[0], row[1], row[2]
            if seen + self.idle_seconds <= now:
                conn.execute(f"DELETE FROM {TABLE} WHERE id = ?", (session_id,))
                conn.commit()
                return None
            if now - seen >= self.touch_after:
                conn.execute(f"UPDATE {TABLE} SET seen = ? WHERE id = ?", (int(now), session_id))
                conn.commit()
        loaded = json.loads(state)
        if page is not None:
            loaded["page"] = json.loads(page)
        return loaded

    def save(self, session_id: str, state: dict, page: Any = None) -> None:
        """Keep ``state`` under ``session_id`` (seen now), with ``page``, what is
        drawn for it (any JSON value), if given."""
        data = json.dumps(state, ensure_ascii=False, default=str)
        drawn = None if page is None else json.dumps(page, ensure_ascii=False)
        now = int(self.clock())
        with self.connection() as conn:
            conn.execute(f"INSERT INTO {TABLE} (id, state, page, seen) VALUES (?, ?, ?, ?) "
                         f"ON CONFLICT (id) DO UPDATE SET state = excluded.state, page = excluded.page, "
                         f"seen = excluded.seen", (session_id, data, drawn, now))
            conn.commit()

    def delete(self, session_id: str) -> None:
        with self.connection() as conn:
            conn.execute(f"DELETE FROM {TABLE} WHERE id = ?", (session_id,))
            conn.commit()

    def purge(self) -> int:
        """Delete the sessions that have expired; answers how many."""
        with self.store.connect() as conn:
            cursor = conn.execute(f"DELETE FROM {TABLE} WHERE seen <= ?", (int(self.clock() - self.idle_seconds),))
            conn.commit()
            return cursor.rowcount
