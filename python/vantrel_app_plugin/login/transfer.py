"""Moving a user store: the declared tables of a layout's SQLite file, copied
into an empty PostgreSQL database (``vantrel-app store copy LAYOUT --to URL``).

Every row of every declared table is copied as it is (password digests
included, so every account logs in as before), in the order the tables are
declared, in one transaction: the target holds all of it or nothing. The
identity columns then continue after the largest id copied.
"""

from __future__ import annotations

import os
from typing import Any

from vantrel_app_plugin.login.keldra import JsonAppPlugin
from vantrel_app_plugin.login.postgres import check_url


class StoreAt(JsonAppPlugin):
    """The user store of a layout, at ``url`` (None: the SQLite file) whatever
    the layout or the environment says."""

    def __init__(self, config_path: str | os.PathLike[str], url: str | None) -> None:
        super().__init__(config_path)
        self._url = url

    @property
    def database_url(self) -> str | None:
        return self._url


def declared_tables(store: JsonAppPlugin) -> list[str]:
    """The names of the tables the layout declares, in order, each once."""
    names: list[str] = []
    for table in store.database_cfg.get("tables") or ():
        if isinstance(table, dict) and "name" in table and str(table["name"]) not in names:
            names.append(str(table["name"]))
    return names


def copy_store(config_path: str | os.PathLike[str], to_url: str) -> list[tuple[str, int]]:
    """Copy the declared tables of the layout's SQLite file to the empty
    PostgreSQL database at ``to_url``; answers (table, rows copied) per table.

    A target holding rows in any declared table is refused (ValueError)."""
    check_url(to_url)
    source, target = StoreAt(config_path, None), StoreAt(config_path, to_url)
    tables = declared_tables(source)
    with target.connect() as conn:
        held = []
        for table in tables:
            if conn.execute("SELECT to_regclass(?)", (table,)).fetchone()[0] is not None:
                count = conn.execute(f"SELECT count(*) FROM {table}").fetchone()[0]
                if count:
                    held.append(f"{table} 已有 {count} 行")
        if held:
            raise ValueError(f"目标数据库不是空的: {', '.join(held)}")
    target.create_tables()
    copied = []
    with source.connect() as src, target.connect() as dst:
        for table in tables:
            cursor = src.execute(f"SELECT * FROM {table}")
            columns = [d[0] for d in cursor.description]
            kinds = dict(dst.execute("SELECT column_name, data_type FROM information_schema.columns "
                                     "WHERE table_name = ?", (table,)).fetchall())
            convert = [_converter(kinds.get(c)) for c in columns]
            values = [tuple(f(v) for f, v in zip(convert, row)) for row in cursor.fetchall()]
            if values:
                marks = ", ".join("?" * len(columns))
                dst.cursor().executemany(f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({marks})", values)
            for (column,) in dst.execute("SELECT column_name FROM information_schema.columns "
                                         "WHERE table_name = ? AND is_identity = 'YES'", (table,)).fetchall():
                dst.execute(f"SELECT setval(pg_get_serial_sequence(?, ?), "
                            f"(SELECT COALESCE(MAX({column}), 0) FROM {table}) + 1, false)", (table, column))
            copied.append((table, len(values)))
        dst.commit()
    return copied


def _converter(data_type: str | None) -> Any:
    """How a value SQLite holds goes into a PostgreSQL column: its 0 and 1 into a boolean one."""
    if data_type == "boolean":
        return lambda v: v if v is None or isinstance(v, bool) else bool(v)
    return lambda v: v
