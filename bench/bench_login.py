"""Login backend: keldra (JsonAppPlugin).

Each C++ call is timed beside a straightforward pure-Python version of the
same class, written here (its name rule is ``oracles.sanitize_db_basename``). Both read the data root through the same
``tamsel.resolve_project_data_root``; the layout sets it explicitly, as a
deployed application does.
"""

from __future__ import annotations

import hashlib
import itertools
import json
import os
import sqlite3
import tempfile
from contextlib import contextmanager
from pathlib import Path

from harness import Case
from oracles import sanitize_db_basename as py_sanitize_db_basename

from vantrel_app_plugin.login.keldra import JsonAppPlugin
from vantrel_app_plugin.tamsel import resolve_project_data_root

# --- pure-Python version -------------------------------------------------------


class PyJsonAppPlugin:
    def __init__(self, config_path):
        self._path = Path(config_path)
        self._raw = {}
        self.reload()

    def reload(self):
        if not self._path.is_file():
            raise FileNotFoundError(f"配置文件不存在: {self._path}")
        data = json.loads(self._path.read_text(encoding="utf-8"))
        if not isinstance(data, dict):
            raise ValueError("配置根节点必须是 JSON 对象")
        self._raw = data

    @property
    def database_cfg(self):
        return dict(self._raw.get("database") or {})

    @property
    def auth_cfg(self):
        return dict(self._raw.get("auth") or {})

    @property
    def web_cfg(self):
        return dict(self._raw.get("web") or {})

    @property
    def app_title(self):
        win = self._raw.get("window") or {}
        return str(self.web_cfg.get("title") or self._raw.get("title") or win.get("title") or "应用")

    @property
    def app_name(self):
        db = self.database_cfg
        for key in ("name", "app_name"):
            v = db.get(key)
            if v is not None and str(v).strip():
                return py_sanitize_db_basename(str(v))
        v = self._raw.get("app_name")
        if v is not None and str(v).strip():
            return py_sanitize_db_basename(str(v))
        win = self._raw.get("window") or {}
        wid = str(win.get("id") or "").strip()
        if wid:
            if wid.lower().startswith("win_"):
                wid = wid[4:]
            return py_sanitize_db_basename(wid)
        d = self._path.parent
        if d.name.lower() == "config" and d.parent.name:
            return py_sanitize_db_basename(d.parent.name)
        return py_sanitize_db_basename(self.app_title)

    @property
    def data_root(self):
        return resolve_project_data_root(self._path, self.database_cfg)

    @property
    def db_path(self):
        db = self.database_cfg
        explicit = db.get("path")
        if explicit is not None and str(explicit).strip():
            rel = str(explicit).strip()
        else:
            sub = str(db.get("dir") or db.get("data_dir") or "data").strip() or "data"
            rel = f"{sub}/{self.app_name}.db"
        p = Path(rel)
        if not p.is_absolute():
            p = self.data_root / p
        p.parent.mkdir(parents=True, exist_ok=True)
        return p.resolve()

    @contextmanager
    def connect(self):
        conn = sqlite3.connect(str(self.db_path))
        conn.row_factory = sqlite3.Row
        try:
            yield conn
        finally:
            conn.close()

    def hash_password(self, password: str) -> str:
        algo = str(self.auth_cfg.get("hash") or "sha256").lower()
        if algo == "sha256":
            return hashlib.sha256(password.encode("utf-8")).hexdigest()
        if algo == "none":
            return password
        raise ValueError(f"不支持的密码哈希: {algo}")

    def _names(self):
        auth = self.auth_cfg
        return (str(auth.get("user_table") or "users"), str(auth.get("username_column") or "username"),
                str(auth.get("password_column") or "password"), str(auth.get("id_column") or "id"))

    def register_user(self, fields):
        u = (fields.get("username") or "").strip()
        p = fields.get("password") or ""
        if not u or not p:
            return False, "用户名和密码不能为空"
        confirm = self.auth_cfg.get("confirm_password_field")
        if confirm and fields.get(confirm) != p:
            return False, "两次输入的密码不一致"
        table, ucol, pcol, _ = self._names()
        with self.connect() as conn:
            cur = conn.cursor()
            cur.execute(f"SELECT 1 FROM {table} WHERE {ucol} = ?", (u,))
            if cur.fetchone():
                return False, "用户名已存在"
            cur.execute(f"INSERT INTO {table} ({ucol}, {pcol}) VALUES (?, ?)", (u, self.hash_password(p)))
            conn.commit()
        return True, "注册成功"

    def login_user(self, fields):
        u = (fields.get("username") or "").strip()
        p = fields.get("password") or ""
        if not u or not p:
            return False, "用户名和密码不能为空"
        table, ucol, pcol, idcol = self._names()
        with self.connect() as conn:
            cur = conn.cursor()
            cur.execute(f"SELECT {idcol}, {ucol} FROM {table} WHERE {ucol} = ? AND {pcol} = ?",
                        (u, self.hash_password(p)))
            row = cur.fetchone()
        if not row:
            return False, "用户名或密码错误"
        return True, {"id": row[idcol], "username": row[ucol]}


# --- cases ---------------------------------------------------------------------------

def _layout(project: Path, database: dict) -> Path:
    layout = project / "config" / "gui_layout.json"
    layout.parent.mkdir(parents=True, exist_ok=True)
    doc = {
        "title": "演示应用",
        "window": {"id": "win_demo", "title": "演示应用"},
        "database": {
            **database,
            "tables": [{"name": "users", "columns": [
                {"name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True},
                {"name": "username", "type": "TEXT", "not_null": True, "unique": True},
                {"name": "password", "type": "TEXT", "not_null": True},
            ]}],
        },
        "auth": {"user_table": "users", "hash": "sha256", "confirm_password_field": "confirm",
                 "seed_users": [{"username": "admin", "password": "admin123"}]},
    }
    layout.write_text(json.dumps(doc, ensure_ascii=False), encoding="utf-8")
    return layout


def cases() -> list[Case]:
    tmp = Path(tempfile.mkdtemp(prefix="vantrel-bench-"))
    project = tmp / "演示"
    (project / "config").mkdir(parents=True)
    (project / "pyproject.toml").write_text("", encoding="utf-8")
    os.environ.pop("CALC_WS_ROOT", None)

    layout = _layout(project, {"name": "demo", "data_root": str(project)})
    cpp, py = JsonAppPlugin(layout), PyJsonAppPlugin(layout)
    cpp.init_database()

    # Name from the configuration directory: the last fallback before the title.
    bare = _layout(tmp / "bare" / "proj", {})
    raw_bare = {"title": "演示应用"}
    cpp_bare, py_bare = JsonAppPlugin(bare), PyJsonAppPlugin(bare)
    cpp_bare._raw = py_bare._raw = raw_bare

    good = {"username": " admin ", "password": "admin123"}
    wrong = {"username": "admin", "password": "nope"}
    taken = {"username": "admin", "password": "x", "confirm": "x"}

    counter = itertools.count()

    def new_user(plugin):
        def register():
            n = next(counter)
            ok, _ = plugin.register_user({"username": f"user{n}", "password": "pw", "confirm": "pw"})
            return ok
        return register

    return [
        # One shallow dict copy on either side: the copy is most of the work.
        Case("database_cfg", lambda: cpp.database_cfg, lambda: py.database_cfg),
        Case("app_name (database.name)", lambda: cpp.app_name, lambda: py.app_name, (), 3.0),
        Case("app_name (config directory)", lambda: cpp_bare.app_name, lambda: py_bare.app_name, (), 3.0),
        Case("app_title", lambda: cpp.app_title, lambda: py.app_title, (), 2.0),
        # Both call the runtime's hashlib: the digest itself is shared work.
        Case("hash_password", cpp.hash_password, py.hash_password, ("admin123",)),
        Case("db_path", lambda: cpp.db_path, lambda: py.db_path),
        Case("login_user (success)", cpp.login_user, py.login_user, (good,), 1.5),
        Case("login_user (wrong password)", cpp.login_user, py.login_user, (wrong,), 1.9),
        Case("register_user (name taken)", cpp.register_user, py.register_user, (taken,), 1.9),
        Case("register_user (new name)", new_user(cpp), new_user(py)),
    ]
