"""Login throttling: failed logins counted in a table of the user database.

Failures are counted per account name (the stripped name, compared exactly,
as the user store compares names) and per client address, in one table of
the user database, so every worker of a server and every restart see the
same counts. A name with ``max_failures`` failures inside its window (the
window starts at its first failure and lasts ``window`` seconds) is locked
until the window has passed, whether the next password is right or not; an
address with ``address_limit`` failures inside an hour is locked the same
way. Names without an account are counted like any other, so the answers
never tell whether an account exists. A successful login clears the name's
count.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable
from typing import Any

from vantrel_soft.website.database import SiteDatabase

#: The table of the user database that holds the counts.
TABLE = "vantrel_login_failures"

#: Scopes of a count: an account name, a client address.
NAME, ADDRESS = "name", "address"


class LoginThrottle:
    """Counts failed logins of ``store`` (a ``JsonAppPlugin``: its ``connect()``
    reaches the user database) and tells how long a login must wait. The
    limits are the site's settings, checked when the site is built
    (``web_setting``)."""

    def __init__(self, store: Any, max_failures: int = 5, window: float = 900, address_limit: int = 100,
                 address_window: float = 3600, clock: Callable[[], float] = time.time) -> None:
        self.store = store
        self.connection = SiteDatabase.of(store).connection
        self.limits = {NAME: (max_failures, window), ADDRESS: (address_limit, address_window)}
        #: The clock the windows are measured with (tests move it).
        self.clock = clock

    def create_table(self) -> None:
        """Create the table of counts unless it exists."""
        with self.store.connect() as conn:
            conn.execute(f"CREATE TABLE IF NOT EXISTS {TABLE} (scope TEXT NOT NULL, key TEXT NOT NULL, "
                         "failures INTEGER NOT NULL, window_start BIGINT NOT NULL, PRIMARY KEY (scope, key))")
            conn.commit()

    def _keys(self, name: str, address: str | None) -> list[tuple[str, str]]:
        keys = [(NAME, name)]
        if address:
            keys.append((ADDRESS, address))
        return keys

    def retry_after(self, name: str, address: str | None) -> int | None:
        """Seconds a login for ``name`` from ``address`` must wait, or None when it may go ahead."""
        now = self.clock()
        wait = 0.0
        with self.connection() as conn:
            for scope, key in self._keys(name, address):
                row = conn.execute(f"SELECT failures, window_start FROM {TABLE} WHERE scope = ? AND key = ?",
                                   (scope, key)).fetchone()
                if row is None:
                    continue
                limit, window = self.limits[scope]
                failures, start = row[0], row[1]
                if failures >= limit and start + window > now:
                    wait = max(wait, start + window - now)
        return max(1, math.ceil(wait)) if wait > 0 else None

    def failed(self, name: str, address: str | None) -> None:
        """Count a failed login for ``name`` from ``address``."""
        now = int(self.clock())
        with self.connection() as conn:
            for scope, key in self._keys(name, address):
                expired = now - self.limits[scope][1]
                # A count whose window has passed starts again at this failure.
                conn.execute(
                    f"INSERT INTO {TABLE} (scope, key, failures, window_start) VALUES (?, ?, 1, ?) "
                    f"ON CONFLICT (scope, key) DO UPDATE SET "
                    f"failures = CASE WHEN {TABLE}.window_start <= ? THEN 1 ELSE {TABLE}.failures + 1 END, "
                    f"window_start = CASE WHEN {TABLE}.window_start <= ? THEN ? ELSE {TABLE}.window_start END",
                    (scope, key, now, expired, expired, now))
            # Counts whose window has passed are of no use any more.
            conn.execute(f"DELETE FROM {TABLE} WHERE (scope = ? AND window_start <= ?) OR "
                         f"(scope = ? AND window_start <= ?)",
                         (NAME, now - self.limits[NAME][1], ADDRESS, now - self.limits[ADDRESS][1]))
            conn.commit()

    def succeeded(self, name: str) -> None:
        """A successful login for ``name``: its count starts again."""
        with self.connection() as conn:
            conn.execute(f"DELETE FROM {TABLE} WHERE scope = ? AND key = ?", (NAME, name))
            conn.commit()
