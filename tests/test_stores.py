"""The user store on each of its stores: the SQLite file under the data root (the default) and PostgreSQL
(``database.url`` or ``VANTREL_DATABASE_URL``)."""

import hashlib
import json
import multiprocessing
import time

import pytest
from web_support import USERS, FormClient

from vantrel_app_plugin.cli import main
from vantrel_app_plugin.login.keldra import JsonAppPlugin
from vantrel_app_plugin.login.postgres import qmark_to_format
from vantrel_soft.demo import DemoEngine
from vantrel_soft.harness import TestbenchHost
from vantrel_soft.website import create_site
from vantrel_soft.website.sessions import SessionStore
from vantrel_soft.website.throttle import LoginThrottle

TABLES = [
    dict(USERS, columns=[*USERS["columns"], {"name": "created_at", "type": "TEXT", "default": "CURRENT_TIMESTAMP"}]),
    {"name": "notes", "foreign_keys": [{"column": "owner_id", "table": "users", "references": "id"}], "columns": [
        {"name": "id", "type": "INTEGER", "primary_key": True}, {"name": "done", "type": "BOOLEAN", "default": "FALSE"},
        {"name": "owner_id", "type": "INTEGER", "not_null": True}, {"name": "score", "type": "REAL"},
        {"name": "body", "type": "VARCHAR(200)", "default": "'（空）'"}]},
]
ADMIN = {"username": "admin", "password": "admin123"}


@pytest.fixture
def make_store(tmp_path, write_json, store_url, monkeypatch):
    monkeypatch.delenv("VANTREL_DATABASE_URL", raising=False)

    def make(**auth):
        database = {"name": "store", "data_root": str(tmp_path), "tables": TABLES}
        if store_url:
            database["url"] = store_url
        layout = {"database": database, "auth": {"seed_users": [ADMIN], **auth}}
        store = JsonAppPlugin(write_json(tmp_path / "gui_layout.json", layout))
        store.init_database()
        return store

    return make


def rows(store, sql):
    with store.connect() as conn:
        return [tuple(r) for r in conn.execute(sql).fetchall()]


def test_the_declared_schema_and_connections(make_store):
    store = make_store()
    store.init_database()  # again: nothing new, no error
    with store.connect() as conn:
        conn.execute("INSERT INTO notes (owner_id, score) VALUES (?, ?)", (1, 2.5))
        conn.execute("INSERT INTO notes (owner_id, body, done) VALUES (?, ?, ?)", (1, "第二条", True))
        conn.commit()
        row = conn.execute("SELECT id, username, '50% ? done' AS note FROM users WHERE username = ?",
                           ("admin",)).fetchone()
        assert (row[0], row["id"], row[1], row["username"], row["note"]) == (1, 1, "admin", "admin", "50% ? done")
        conn.execute("INSERT INTO notes (owner_id, body) VALUES (?, ?)", (1, "not committed"))
    # what an operation does not commit is gone; SQLite's 0 and 1 for the booleans compare equal to False and True
    assert rows(store, "SELECT id, body, score, done FROM notes ORDER BY id") == [
        (1, "（空）", 2.5, False), (2, "第二条", None, True)]
    ((created,),) = rows(store, "SELECT created_at FROM users")
    assert created.startswith(time.strftime("%Y"))
    with pytest.raises(Exception):  # the unique constraint holds on either store
        with store.connect() as conn:
            conn.execute("INSERT INTO users (username, password) VALUES (?, ?)", ("admin", "x"))
            conn.commit()
    assert rows(store, "SELECT count(*) FROM users") == [(1,)]


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
    store = make_store(min_password_length=6, confirm_password_field="again")
    assert store.login_user({"username": " admin ", "password": "admin123"}) == (True, {"id": 1, "username": "admin"})
    assert store.login_user({"username": "admin", "password": "nope"}) == (False, "用户名或密码错误")
    assert store.register_user({"username": "admin", "password": "abcdef", "again": "abcdef"}) == (False, "用户名已存在")
    assert store.register_user({"username": "bo", "password": "abc", "again": "abc"}) == (False, "密码长度至少为 6 位")
    assert store.register_user({"username": "bo", "password": "abcdef", "again": "x"}) == (False, "两次输入的密码不一致")
    assert store.register_user({"username": " bo ", "password": " abcd ", "again": " abcd "}) == (True, "注册成功")
    assert store.login_user({"username": "bo", "password": " abcd "}) == (True, {"id": 2, "username": "bo"})
    store.seed_default_users()
    assert rows(store, "SELECT username FROM users ORDER BY id") == [("admin",), ("bo",)]


@pytest.mark.parametrize("scheme, expected", [
    ("sha256", hashlib.sha256(b"admin123").hexdigest()), ("none", "admin123"), ("pbkdf2_sha256", None)])
def test_every_password_scheme(make_store, scheme, expected):
    store = make_store(hash=scheme, pbkdf2_iterations=1000)
    ((stored,),) = rows(store, "SELECT password FROM users")
    assert stored == expected if expected else stored.startswith("pbkdf2_sha256$1000$")
    assert store.login_user(ADMIN)[0] is True


def test_the_legacy_upgrade(make_store):
    make_store(hash="sha256")
    salted = make_store(hash="pbkdf2_sha256", pbkdf2_iterations=1000)  # the same store, salted from now on
    assert rows(salted, "SELECT password FROM users") == [(hashlib.sha256(b"admin123").hexdigest(),)]
    for _ in range(2):  # the first login rewrites the SHA-256 digest salted, the second checks against that
        assert salted.login_user(ADMIN)[0] is True
        assert rows(salted, "SELECT password FROM users")[0][0].startswith("pbkdf2_sha256$1000$")


def test_throttling_counts_and_sessions_on_the_store(make_store):
    store, now = make_store(), [1_900_000_000.0]
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
    ({"type": "GEOGRAPHY"}, "PostgreSQL 无法表示的类型 GEOGRAPHY"),
    ({"type": "VARCHAR(abc)"}, "PostgreSQL 无法表示的类型 VARCHAR(abc)"),
    ({"type": "TEXT", "primary_key": True, "autoincrement": True}, "AUTOINCREMENT 只能用于 INTEGER PRIMARY KEY"),
])
def test_declarations_postgresql_cannot_hold_are_refused(tmp_path, write_json, pg_url, column, problem):
    layout = {"database": {"url": pg_url, "tables": [{"name": "t", "columns": [{"name": "x", **column}]}]}}
    with pytest.raises(ValueError) as refused:
        JsonAppPlugin(write_json(tmp_path / "l.json", layout)).init_database()
    assert str(refused.value) == "表 t 的列 x: " + problem


def _register(layout_path, out):
    store = JsonAppPlugin(layout_path)
    out.put([store.register_user({"username": "racer", "password": "pw-123456"}) for _ in range(50)])


def test_concurrent_registrations_of_one_name_on_postgresql(tmp_path, write_json, pg_url, monkeypatch):
    monkeypatch.setenv("VANTREL_DATABASE_URL", pg_url)  # the spawned workers inherit it
    store = JsonAppPlugin(write_json(tmp_path / "l.json", {"database": {"tables": TABLES}, "auth": {}}))
    store.init_database()
    context = multiprocessing.get_context("spawn")
    out = context.Queue()
    workers = [context.Process(target=_register, args=(str(store.config_path), out)) for _ in range(4)]
    for w in workers:
        w.start()
    results = [r for _ in workers for r in out.get(timeout=120)]
    for w in workers:
        w.join(timeout=60)
    assert sorted(results) == [(False, "用户名已存在")] * 199 + [(True, "注册成功")]
    assert rows(store, "SELECT count(*) FROM users WHERE username = 'racer'") == [(1,)]


def test_copying_the_example_store_to_postgresql(project, pg_url, capsys, monkeypatch):
    monkeypatch.delenv("VANTREL_DATABASE_URL", raising=False)
    host = TestbenchHost(project, DemoEngine)  # an account and a student on the example's SQLite store
    host.press("去注册")
    host.merge(entry="旧用户", label_frame_entry="old-pass-1", ttk_entry="old-pass-1")
    assert host.press("注册")["display"] == "注册成功"
    host.merge(entry="旧用户", label_frame_entry="old-pass-1")
    assert host.press("登录")["display"] == "欢迎，旧用户"
    host.merge(student_name="张三", student_age="12")
    assert host.press("添加学生")["display"] == "已添加学生: 张三"
    sqlite_rows = rows(host.engine.plugin, "SELECT id, username, password FROM users ORDER BY id")
    copy = ["store", "copy", str(project.parent), "--to"]

    assert main([*copy, pg_url]) == 0
    assert capsys.readouterr().out == "users: 2 rows copied\nstudents: 1 row copied\n"
    monkeypatch.setenv("VANTREL_DATABASE_URL", pg_url)
    moved = JsonAppPlugin(project)
    assert rows(moved, "SELECT id, username, password FROM users ORDER BY id") == sqlite_rows
    assert moved.login_user({"username": "旧用户", "password": "old-pass-1"}) == (True, {"id": 2, "username": "旧用户"})
    new = {"username": "新用户", "password": "new-pass-1", "confirm_password": "new-pass-1"}
    assert moved.register_user(new) == (True, "注册成功")
    assert rows(moved, "SELECT id FROM users WHERE username = '新用户'") == [(3,)]  # ids go on after the copied ones
    host = TestbenchHost(project, DemoEngine)  # the example, unchanged, on the copy
    host.merge(entry="旧用户", label_frame_entry="old-pass-1")
    assert host.press("登录")["display"] == "欢迎，旧用户" and host.engine.plugin.database_url == pg_url
    host.merge(student_name="李四", student_age="9")
    snap = host.press("添加学生")
    assert snap["display"] == "已添加学生: 李四" and snap["components"]["student_list"] == "张三（12 岁）\n李四（9 岁）"

    assert main([*copy, pg_url]) == 1  # not empty any more
    assert "目标数据库不是空的: users 已有 3 行" in capsys.readouterr().err
    assert main([*copy, "mysql://x/y"]) == 1
    assert "不支持的数据库地址: mysql" in capsys.readouterr().err


def test_two_sites_on_one_postgresql_database_serve_one_site(project, tmp_path, write_json, pg_url, monkeypatch):
    """Two hosts (each its own data root), one database and one secret: a cookie of one is good on the other."""
    pytest.importorskip("flask")
    example, first_key = json.loads(project.read_text(encoding="utf-8")), "first-key-" + "k" * 40
    monkeypatch.setenv("VANTREL_DATABASE_URL", pg_url)
    monkeypatch.setenv("VANTREL_SECRET_KEY", first_key)

    def host(name, **web):  # the example's "@app" data root: a folder of the host's own
        layout = dict(example, web={**example["web"], **web})
        return create_site(write_json(tmp_path / name / "gui_layout.json", layout), engine_class=DemoEngine)

    def dashboard(app, cookie):
        client = app.test_client()
        client.set_cookie("session", cookie)
        return client.get("/dashboard")

    one, two = host("one"), host("two")
    visitor = FormClient(one)
    assert visitor.post("/login", username="admin", password="admin123").headers["Location"] == "/dashboard"
    cookie = visitor.client.get_cookie("session").value
    assert dashboard(two, cookie).status_code == 200  # the session lives in the shared database
    registered = FormClient(two).post("/register", username="共享", password="pass-1234", confirm_password="pass-1234")
    assert registered.headers["Location"] == "/login"
    assert FormClient(one).post("/login", username="共享", password="pass-1234").headers["Location"] == "/dashboard"

    monkeypatch.setenv("VANTREL_SECRET_KEY", "second-key-" + "k" * 40)  # a rotation
    assert dashboard(host("three", secret_key_fallbacks=[first_key]), cookie).status_code == 200
    assert dashboard(host("four"), cookie).headers["Location"] == "/login"  # the earlier key not kept: refused
    with pytest.raises(ValueError, match="secret_key_fallbacks"):
        host("five", secret_key_fallbacks="first-key")
