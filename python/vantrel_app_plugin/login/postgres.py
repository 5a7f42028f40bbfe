"""The user store on PostgreSQL: pooled connections that behave as the SQLite
store's do for the code written against it.

``connection(url)`` lends a connection of the process's pool for ``url``
(psycopg 3 and ``psycopg_pool``, imported when first needed) and takes it
back when the operation ends, with anything the operation did not commit
rolled back, as closing a SQLite connection discards it. Its rows read by
position and by column name, like ``sqlite3.Row``, and its statements take
the SQLite store's ``?`` placeholders (``%s`` works too), so host SQL runs
unchanged on both stores.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any

#: URL schemes that name a PostgreSQL database.
SCHEMES = ("postgresql", "postgres")

#: Connections a process keeps open to one database at most.
POOL_SIZE = 8

_pools: dict[str, Any] = {}
_pools_pid = os.getpid()
_lock = threading.Lock()


def scheme_of(url: str) -> str:
    return url.split("://", 1)[0].lower() if "://" in url else ""


def is_postgres(url: str) -> bool:
    return scheme_of(url) in SCHEMES


def check_url(url: str) -> str:
    """``url`` when it names a store this package can use; else ValueError naming its scheme."""
    if not is_postgres(url):
        scheme = scheme_of(url) or url
        raise ValueError(f"不支持的数据库地址: {scheme}（只支持 postgresql://）")
    return url


def qmark_to_format(query: str) -> str:
    """The statement with its ``?`` placeholders written as psycopg's ``%s``
    (and a literal ``%`` as ``%%``); a ``?`` inside a quoted string, a quoted
    name or a comment stays as it is."""
    out: list[str] = []
    i, n = 0, len(query)
    while i < n:
        ch = query[i]
        if ch in ("'", '"'):
            end = i + 1
            while end < n:
                if query[end] == ch:
                    if end + 1 < n and query[end + 1] == ch:  # a doubled quote inside
                        end += 2
                        continue
                    break
                end += 1
            out.append(query[i:end + 1].replace("%", "%%"))
            i = end + 1
        elif ch == "-" and query.startswith("--", i):
            end = query.find("\n", i)
            end = n if end < 0 else end
            out.append(query[i:end].replace("%", "%%"))
            i = end
        elif ch == "/" and query.startswith("/*", i):
            end = query.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(query[i:end].replace("%", "%%"))
            i = end
        elif ch == "$":
            tag_end = query.find("$", i + 1)
            tag = query[i:tag_end + 1] if tag_end > 0 else ""
            if tag and all(c.isalnum() or c == "_" for c in tag[1:-1]) and not tag[1:2].isdigit():
                end = query.find(tag, tag_end + 1)
                end = n if end < 0 else end + len(tag)
                out.append(query[i:end].replace("%", "%%"))
                i = end
            else:
                out.append(ch)
                i += 1
        elif ch == "?":
            out.append("%s")
            i += 1
        elif ch == "%":
            if query.startswith("%s", i):  # already psycopg's own placeholder
                out.append("%s")
                i += 2
            else:
                out.append("%%")
                i += 1
        else:
            out.append(ch)
            i += 1
    return "".join(out)


class Row(tuple):
    """A result row that reads by position and by column name (as ``sqlite3.Row``)."""

    __slots__ = ()
    _index: dict[str, int] = {}

    def __getitem__(self, key: Any) -> Any:
        if isinstance(key, str):
            try:
                return tuple.__getitem__(self, self._index[key])
            except KeyError:
                raise IndexError(f"No item with that key: {key!r}") from None
        return tuple.__getitem__(self, key)

    def keys(self) -> list[str]:
        return list(self._index)


_row_classes: dict[tuple[str, ...], type] = {}


def _row_factory(cursor: Any) -> Any:
    names = tuple(column.name for column in cursor.description or ())
    row_class = _row_classes.get(names)
    if row_class is None:
        index = {}
        for i, name in enumerate(names):
            index.setdefault(name, i)  # a name given twice reads the first, as sqlite3.Row does
        row_class = type("Row", (Row,), {"__slots__": (), "_index": index})
        if len(_row_classes) < 1024:
            _row_classes[names] = row_class
    return row_class


def _cursor_class() -> Any:
    import psycopg

    class QmarkCursor(psycopg.Cursor):
        """A cursor taking ``?`` placeholders."""

        def execute(self, query: Any, params: Sequence[Any] | None = None, **kwargs: Any) -> Any:
            if params is not None and isinstance(query, str):
                query = qmark_to_format(query)
            return super().execute(query, params, **kwargs)

        def executemany(self, query: Any, params_seq: Any, **kwargs: Any) -> Any:
            if isinstance(query, str):
                query = qmark_to_format(query)
            return super().executemany(query, params_seq, **kwargs)

    return QmarkCursor


def pool(url: str) -> Any:
    """The process's pool of connections to ``url``, opened on first use (a
    child process after a fork opens its own)."""
    global _pools_pid
    with _lock:
        if _pools_pid != os.getpid():  # a forked worker: the parent's connections are not ours
            _pools.clear()
            _pools_pid = os.getpid()
        found = _pools.get(url)
        if found is None:
            from psycopg_pool import ConnectionPool

            found = ConnectionPool(url, min_size=1, max_size=POOL_SIZE, open=True, name="vantrel",
                                   kwargs={"row_factory": _row_factory, "cursor_factory": _cursor_class()})
            _pools[url] = found
        return found


@contextmanager
def connection(url: str) -> Iterator[Any]:
    """A pooled connection to ``url`` for one operation: what it does not commit is rolled back."""
    with pool(url).connection() as conn:
        try:
            yield conn
        finally:
            conn.rollback()


def close_pools() -> None:
    """Close the process's pools (at exit, or before a test drops its database)."""
    with _lock:
        for found in _pools.values():
            found.close()
        _pools.clear()
