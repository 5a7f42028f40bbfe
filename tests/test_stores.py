"""The user store on each of its stores: the SQLite file under the data root
(the default) and PostgreSQL (``database.url`` or ``VANTREL_DATABASE_URL``)."""

import hashlib
import json
import multiprocessing
import time

import pytest

from vantrel_app_plugin.login.keldra import JsonAppPlugin
from vantrel_app_plugin.login.postgres import qmark_to_format

TABLES = [
    {"name": "users", "columns": [
        {"name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True},
        {"name": "username", "type": "TEXT", "not_null": True, "unique": True},
        {"name": "password", "type": "TEXT", "not_null": True},
        {"name": "created_at", "type": "TEXT", "default": "CURRENT_TIMESTAMP"}]},
    {"name": "notes", "columns": [
        {"name": "id", "type": "INTEGER", "primary_key": True},
        {"name": "owner_id", "type": "INTEGER", "not_null": True},
        {"name": "body", "type": "VARCHAR(200)", "default": "'（空）'"},
        {"name": "score", "type": "REAL"},
        {"name": "done", "type": "BOOLEAN", "default": "FALSE"}],
     "foreign_keys": [{"column": "owner_id", "table": "users", "references": "id"}]},
]


@pytest.fixture
def make_store(tmp_path, write_json, store_url, monkeypatch):
    monkeypatch.delenv("VANTREL_DATABASE_URL", raising=False)

    def make(auth=None, tables=TABLES, **database):
        layout = {"database": {"name": "store", "data_root": str(tmp_path), "tables": tables, **database},
                  "auth": auth or {"seed_users": [{"username": "admin", "password": "admin123"}]}}
        if store_url:
            layout["database"]["url"] = store_url
        store = JsonAppPlugin(write_json(tmp_path / "gui_layout.json", layout))
        store.init_database()
        return store

    make.url = store_url
    return make


def rows(store, sql, params=()):
    with store.connect() as conn:
        return [tuple(r) for r in conn.execute(sql, params).fetchall()]


def test_the_declared_schema(make_store):
    store = make_store()
    store.init_database()  # again: nothing new, no error
    with store.connect() as conn:
        conn.execute("INSERT INTO notes (owner_id, score) VALUES (?, ?)", (1, 2.5))
        conn.execute("INSERT INTO notes (owner_id, body, done) VALUES (?, ?, ?)", (1, "第二条", True))
        conn.commit()
    assert rows(store, "SELECT id, body, score, done FROM notes ORDER BY id") == [
        (1, "（空）", 2.5, 0 if make_store.url is None else False), (2, "第二条", None, 1 if make_store.url is None else True)]
    ((created,),) = rows(store, "SELECT created_at FROM users")
    assert created.startswith(time.strftime("%Y"))
    with pytest.raises(Exception):  # the unique constraint and the foreign key hold on either store
        with store.connect() as conn:
            conn.execute("INSERT INTO users (username, password) VALUES (?, ?)", ("admin", "x"))
            conn.commit()
    assert rows(store, "SELECT count(*) FROM users") == [(1,)]


def test_rows_read_by_position_and_by_name_and_placeholders_are_the_sqlite_ones(make_store):
    store = make_store()
    with store.connect() as conn:
        row = conn.execute("SELECT id, username, '50% ? done' AS note FROM users WHERE username = ?",
                           ("admin",)).fetchone()
        assert (row[0], row["id"], row[1], row["username"], row["note"]) == (1, 1, "admin", "admin", "50% ? done")
        conn.execute("INSERT INTO notes (owner_id, body) VALUES (?, ?)", (1, "not committed"))
    assert rows(store, "SELECT count(*) FROM notes") == [(0,)]  # what an operation does not commit is gone


@pytest.mark.parametrize("sql, expected", [
    ("SELECT ? , ?", "SELECT %s , %s"),
    ("SELECT '?' || ? -- what?\n", "SELECT '?' || %s -- what?\n"),
    ("SELECT \"a?b\", 'it''s ?', ?", "SELECT \"a?b\", 'it''s ?', %s"),
    ("SELECT '100%', ?, 5 % 2", "SELECT '100%%', %s, 5 %% 2"),
    ("SELECT $$ ? $$, $t$ ?% $t$, ?", "SELECT $$ ? $$, $t$ ?%% $t$, %s"),
    ("SELECT %s, /* ? */ ?", "SELECT %s, /* ? */ %s"),
])
def test_placeholders_translated_for_postgresql(sql, expected):
    assert qmark_to_format(sql) == expected


def test_seeded_accounts_registration_and_login(make_store):
    store = make_store(auth={"seed_users": [{"username": "admin", "password": "admin123"}],
                             "min_password_length": 6, "confirm_password_field": "again"})
    assert store.login_user({"username": " admin ", "password": "admin123"}) == (True, {"id": 1, "username": "admin"})
    assert store.login_user({"username": "admin", "password": "nope"}) == (False, "用户名或密码错误")
    assert store.register_user({"username": "admin", "password": "abcdef", "again": "abcdef"}) == (False, "用户名已存在")
    assert store.register_user({"username": "bo", "password": "abc", "again": "abc"}) == (False, "密码长度至少为 6 位")
    assert store.register_user({"username": "bo", "password": "abcdef", "again": "x"}) == (False, "两次输入的密码不一致")
    assert store.register_user({"username": " bo ", "password": " abcd ", "again": " abcd "}) == (True, "注册成功")
    assert store.login_user({"username": "bo", "password": " abcd "}) == (True, {"id": 2, "username": "bo"})
    store.seed_default_users()
    assert rows(store, "SELECT username FROM users ORDER BY id") == [("admin",), ("bo",)]


@pytest.mark.parametrize("scheme", ["sha256", "none", "pbkdf2_sha256"])
def test_every_password_scheme(make_store, scheme):
    store = make_store(auth={"hash": scheme, "pbkdf2_iterations": 1000,
                             "seed_users": [{"username": "admin", "password": "admin123"}]})
    ((stored,),) = rows(store, "SELECT password FROM users")
    expected = {"sha256": hashlib.sha256(b"admin123").hexdigest(), "none": "admin123"}.get(scheme)
    assert stored == expected if expected else stored.startswith("pbkdf2_sha256$1000$")
    assert store.login_user({"username": "admin", "password": "admin123"})[0] is True


def test_the_legacy_upgrade(make_store, tmp_path, write_json):
    store = make_store(auth={"hash": "sha256", "seed_users": [{"username": "admin", "password": "admin123"}]})
    layout = json.loads(store.config_path.read_text(encoding="utf-8"))
    layout["auth"].update(hash="pbkdf2_sha256", pbkdf2_iterations=1000)
    salted = JsonAppPlugin(write_json(store.config_path, layout))
    assert salted.login_user({"username": "admin", "password": "admin123"})[0] is True
    ((stored,),) = rows(salted, "SELECT password FROM users")
    assert stored.startswith("pbkdf2_sha256$1000$")
    assert salted.login_user({"username": "admin", "password": "admin123"})[0] is True


def test_throttling_counts_and_sessions_on_the_store(make_store):
    from vantrel_soft.website.sessions import SessionStore
    from vantrel_soft.website.throttle import LoginThrottle

    store = make_store()
    now = [1_900_000_000.0]
    throttle = LoginThrottle(store, max_failures=3, window=60, clock=lambda: now[0])
    throttle.create_table()
    for _ in range(3):
        assert throttle.retry_after("admin", "10.0.0.1") is None
        throttle.failed("admin", "10.0.0.1")
    assert throttle.retry_after("admin", "10.0.0.2") == 60
    throttle.succeeded("admin")
    assert throttle.retry_after("admin", "10.0.0.2") is None
    sessions = SessionStore(store, idle_seconds=100, clock=lambda: now[0])
    sessions.create_table()
    sessions.save("sid", {"user": None, "components": {"entry": "甲"}}, {"halves": ["a", "b"]})
    assert sessions.load("sid") == {"user": None, "components": {"entry": "甲"}, "page": {"halves": ["a", "b"]}}
    sessions.save("sid", {"user": {"id": 1}})
    assert sessions.load("sid") == {"user": {"id": 1}}
    now[0] += 101
    assert sessions.load("sid") is None and sessions.purge() == 0
    sessions.save("other", {})
    sessions.delete("other")
    assert sessions.load("other") is None


def test_the_example_runs_unchanged_on_either_store(project, store_url, monkeypatch):
    from vantrel_soft.demo import DemoEngine
    from vantrel_soft.harness import TestbenchHost

    if store_url:
        monkeypatch.setenv("VANTREL_DATABASE_URL", store_url)
    host = TestbenchHost(project, DemoEngine)
    host.merge(entry="admin", label_frame_entry="admin123")
    assert host.press("登录")["display"] == "欢迎，admin"
    host.merge(student_name="张三", student_age="12")
    snap = host.press("添加学生")
    assert snap["display"] == "已添加学生: 张三" and snap["components"]["student_list"] == "张三（12 岁）"
    assert (host.engine.plugin.database_url is None) is (store_url is None)


def test_the_store_is_chosen_by_url(tmp_path, write_json, monkeypatch):
    monkeypatch.delenv("VANTREL_DATABASE_URL", raising=False)
    path = write_json(tmp_path / "l.json", {"database": {"url": "postgresql://db.example/users"}})
    assert JsonAppPlugin(path).database_url == "postgresql://db.example/users"
    monkeypatch.setenv("VANTREL_DATABASE_URL", "postgres://other/db")  # the environment wins
    assert JsonAppPlugin(path).database_url == "postgres://other/db"
    monkeypatch.setenv("VANTREL_DATABASE_URL", "  ")
    assert JsonAppPlugin(path).database_url == "postgresql://db.example/users"
    for url in ("mysql://host/db", "sqlite:///x.db", "db.example/users"):
        monkeypatch.setenv("VANTREL_DATABASE_URL", url)
        with pytest.raises(ValueError, match="不支持的数据库地址"):
            JsonAppPlugin(path).login_user({"username": "a", "password": "b"})
    monkeypatch.delenv("VANTREL_DATABASE_URL")
    assert JsonAppPlugin(write_json(tmp_path / "m.json", {})).database_url is None


@pytest.mark.parametrize("column, problem", [
    ({"name": "x", "type": "GEOGRAPHY"}, "表 t 的列 x: PostgreSQL 无法表示的类型 GEOGRAPHY"),
    ({"name": "x", "type": "VARCHAR(abc)"}, "表 t 的列 x: PostgreSQL 无法表示的类型 VARCHAR(abc)"),
    ({"name": "x", "type": "TEXT", "primary_key": True, "autoincrement": True},
     "表 t 的列 x: AUTOINCREMENT 只能用于 INTEGER PRIMARY KEY"),
])
def test_declarations_postgresql_cannot_hold_are_refused(tmp_path, write_json, pg_url, column, problem):
    path = write_json(tmp_path / "l.json", {"database": {"url": pg_url, "tables": [
        {"name": "t", "columns": [column]}]}})
    with pytest.raises(ValueError) as refused:
        JsonAppPlugin(path).init_database()
    assert str(refused.value) == problem


def _register(url, layout_path, n, out):
    import os

    os.environ["VANTREL_DATABASE_URL"] = url
    store = JsonAppPlugin(layout_path)
    out.put([store.register_user({"username": "racer", "password": "pw-123456"}) for _ in range(n)])


def test_concurrent_registrations_of_one_name_on_postgresql(tmp_path, write_json, pg_url):
    """200 registrations of one name from 4 processes: one "注册成功", 199 "用户名已存在", one row."""
    path = write_json(tmp_path / "l.json", {"database": {"tables": TABLES}, "auth": {}})
    store = JsonAppPlugin(path)
    import os

    os.environ["VANTREL_DATABASE_URL"] = pg_url
    try:
        store.init_database()
    finally:
        del os.environ["VANTREL_DATABASE_URL"]
    context = multiprocessing.get_context("spawn")
    out = context.Queue()
    workers = [context.Process(target=_register, args=(pg_url, str(path), 50, out)) for _ in range(4)]
    for w in workers:
        w.start()
    results = [r for _ in workers for r in out.get(timeout=120)]
    for w in workers:
        w.join(timeout=60)
    assert sorted(results) == [(False, "用户名已存在")] * 199 + [(True, "注册成功")]
    os.environ["VANTREL_DATABASE_URL"] = pg_url
    try:
        assert rows(JsonAppPlugin(path), "SELECT count(*) FROM users WHERE username = 'racer'") == [(1,)]
    finally:
        del os.environ["VANTREL_DATABASE_URL"]


def test_copying_the_example_store_to_postgresql(project, pg_url, capsys, monkeypatch):
    """The example's SQLite store, with an account made on it, copied; then a login through PostgreSQL."""
    from vantrel_app_plugin.cli import main
    from vantrel_soft.demo import DemoEngine
    from vantrel_soft.harness import TestbenchHost

    monkeypatch.delenv("VANTREL_DATABASE_URL", raising=False)
    host = TestbenchHost(project, DemoEngine)
    host.press("去注册")
    host.merge(entry="旧用户", label_frame_entry="old-pass-1", ttk_entry="old-pass-1")
    assert host.press("注册")["display"] == "注册成功"
    host.merge(entry="旧用户", label_frame_entry="old-pass-1")
    host.press("登录")
    host.merge(student_name="张三", student_age="12")
    host.press("添加学生")
    sqlite_rows = rows(host.engine.plugin, "SELECT id, username, password FROM users ORDER BY id")

    assert main(["store", "copy", str(project.parent), "--to", pg_url]) == 0
    assert capsys.readouterr().out == "users: 2 rows copied\nstudents: 1 row copied\n"
    monkeypatch.setenv("VANTREL_DATABASE_URL", pg_url)
    moved = JsonAppPlugin(project)
    assert rows(moved, "SELECT id, username, password FROM users ORDER BY id") == sqlite_rows
    assert moved.login_user({"username": "旧用户", "password": "old-pass-1"}) == (True, {"id": 2, "username": "旧用户"})
    assert moved.register_user({"username": "新用户", "password": "new-pass-1", "confirm_password": "new-pass-1"}) \
        == (True, "注册成功")
    assert rows(moved, "SELECT id FROM users WHERE username = '新用户'") == [(3,)]  # ids go on after the copied ones

    assert main(["store", "copy", str(project.parent), "--to", pg_url]) == 1  # not empty any more
    assert "目标数据库不是空的: users 已有 3 行" in capsys.readouterr().err
    assert main(["store", "copy", str(project.parent), "--to", "mysql://x/y"]) == 1
    assert "不支持的数据库地址: mysql" in capsys.readouterr().err


def test_two_sites_on_one_postgresql_database_serve_one_site(tmp_path, write_json, pg_url, monkeypatch):
    """Two hosts (each its own data root) with one database and one secret: a
    cookie of one is accepted by the other; a rotated key keeps everyone logged in."""
    pytest.importorskip("flask")
    from web_support import FormClient

    from vantrel_soft.demo import DemoEngine
    from vantrel_soft.website import create_site

    example = json.loads((__import__("pathlib").Path(__file__).resolve().parents[1] / "examples" / "demo"
                          / "gui_layout.json").read_text(encoding="utf-8"))
    example["auth"]["pbkdf2_iterations"] = 1000
    monkeypatch.setenv("VANTREL_DATABASE_URL", pg_url)
    monkeypatch.setenv("VANTREL_SECRET_KEY", "first-key-" + "k" * 40)

    def host(name, **web):
        layout = json.loads(json.dumps(example))
        layout["database"]["data_root"] = str(tmp_path / name)
        layout["web"].update(web)
        return create_site(write_json(tmp_path / name / "gui_layout.json", layout), engine_class=DemoEngine)

    one, two = host("one"), host("two")
    visitor = FormClient(one)
    assert visitor.post("/login", username="admin", password="admin123").headers["Location"] == "/dashboard"
    cookie = visitor.client.get_cookie("session").value
    other = two.test_client()
    other.set_cookie("session", cookie)
    assert other.get("/dashboard").status_code == 200  # the session lives in the shared database
    registered = FormClient(two).post("/register", username="共享", password="pass-1234", confirm_password="pass-1234")
    assert registered.headers["Location"] == "/login"
    assert FormClient(one).post("/login", username="共享", password="pass-1234").headers["Location"] == "/dashboard"

    monkeypatch.setenv("VANTREL_SECRET_KEY", "second-key-" + "k" * 40)  # a rotation
    rotated = host("three", secret_key_fallbacks=["first-key-" + "k" * 40])
    still = rotated.test_client()
    still.set_cookie("session", cookie)
    assert still.get("/dashboard").status_code == 200
    forgot = host("four")  # without the earlier key in the fallbacks the cookie is refused
    refused = forgot.test_client()
    refused.set_cookie("session", cookie)
    assert refused.get("/dashboard").headers["Location"] == "/login"
    with pytest.raises(ValueError, match="secret_key_fallbacks"):
        host("five", secret_key_fallbacks="first-key")
