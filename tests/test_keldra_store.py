"""Schema, connection and accounts of JsonAppPlugin.

The suite runs once more in a subprocess with VANTREL_KELDRA_SQLITE=module,
so that both ways to SQLite (its C library directly, the runtime's sqlite3
module) meet the same expectations.
"""

import hashlib
import os
import sqlite3
import subprocess
import sys
import threading
import time

import pytest

from vantrel_app_plugin.login import keldra
from vantrel_app_plugin.login.keldra import JsonAppPlugin, _column_ddl

MODULE_ONLY = os.environ.get("VANTREL_KELDRA_SQLITE") == "module"

USERS = {"name": "users", "columns": [
    {"name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True},
    {"name": "username", "type": "TEXT", "not_null": True, "unique": True},
    {"name": "password", "type": "TEXT", "not_null": True},
    {"name": "role", "default": "'member'"},
]}


@pytest.fixture
def make(tmp_path, write_json, monkeypatch):
    """A plugin on a layout with the users table (and ``extra`` top-level keys)."""
    monkeypatch.delenv("CALC_WS_ROOT", raising=False)

    def build(auth=None, tables=(USERS,), **extra):
        doc = {"database": {"name": "store", "data_root": str(tmp_path), "tables": list(tables)},
               "auth": auth or {}, **extra}
        return JsonAppPlugin(write_json(tmp_path / "gui_layout.json", doc))

    return build


def rows(p, sql="SELECT username, password FROM users ORDER BY id"):
    with p.connect() as conn:
        return [tuple(r) for r in conn.execute(sql)]


def sha(s):
    return hashlib.sha256(s.encode("utf-8")).hexdigest()


def test_both_ways_to_sqlite():
    if MODULE_ONLY:
        assert keldra._native_sqlite is False
        return
    # Direct access needs the runtime's sqlite3 to link a shared SQLite library.
    assert isinstance(keldra._native_sqlite, bool)
    env = {**os.environ, "VANTREL_KELDRA_SQLITE": "module"}
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__],
                          env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-2000:]


# --- schema ---------------------------------------------------------------------

@pytest.mark.parametrize("col, ddl", [
    ({"name": "x"}, "x TEXT"),
    ({"default": 1, "unique": 1, "not_null": "yes", "autoincrement": True, "primary_key": True,
      "type": "INTEGER", "name": "id"}, "id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL UNIQUE DEFAULT 1"),
    ({"name": "r", "default": "'guest'"}, "r TEXT DEFAULT 'guest'"),
    ({"name": "r", "default": 0, "unique": 0, "not_null": "", "primary_key": False}, "r TEXT DEFAULT 0"),
    ({"name": "r", "default": None}, "r TEXT DEFAULT None"),
    ({"name": "r", "default": True}, "r TEXT DEFAULT True"),
    ({"name": "t", "default": "CURRENT_TIMESTAMP", "type": "TEXT"}, "t TEXT DEFAULT CURRENT_TIMESTAMP"),
])
def test_column_ddl(col, ddl):
    assert _column_ddl(col) == ddl


@pytest.mark.parametrize("col, error", [
    ({"type": "TEXT"}, KeyError), ({"name": 1}, TypeError), ({"name": "x", "type": None}, TypeError),
])
def test_column_ddl_failures(col, error):
    with pytest.raises(error):
        _column_ddl(col)


def test_init_database_creates_tables_and_seeds(make):
    owned = {"name": "notes", "columns": [{"name": "owner"}, "junk", {"type": "TEXT"}],
             "foreign_keys": [{"column": "owner", "table": "users", "references": "id"}, "junk"]}
    p = make({"seed_users": [{"username": "admin", "password": "pw"}]},
             tables=[USERS, owned, {"columns": [{"name": "x"}]}, "junk", {"name": "empty", "columns": []},
                     {"name": "nameless", "columns": [{"type": "TEXT"}], "foreign_keys": [{}]}])
    assert p.init_database() is None
    schema = dict(rows(p, "SELECT name, sql FROM sqlite_master WHERE type = 'table' AND name != 'sqlite_sequence'"))
    assert schema == {
        "users": "CREATE TABLE users (id INTEGER PRIMARY KEY AUTOINCREMENT, username TEXT NOT NULL UNIQUE, "
                 "password TEXT NOT NULL, role TEXT DEFAULT 'member')",
        "notes": "CREATE TABLE notes (owner TEXT, FOREIGN KEY (owner) REFERENCES users (id))",
    }
    assert rows(p) == [("admin", sha("pw"))]
    p.init_database()  # idempotent
    assert rows(p, "SELECT username, role FROM users") == [("admin", "member")]


def test_without_tables_nothing_is_opened(make, tmp_path):
    p = make({"seed_users": [{"username": "admin", "password": "pw"}]}, tables=())
    p.init_database()
    assert not (tmp_path / "data").exists()


def test_a_failing_statement_stops_later_tables_and_seeding(make):
    bad = {"name": "bad", "columns": [{"name": "n", "type": "TEXT", "primary_key": True, "autoincrement": True}]}
    later = {"name": "later", "columns": [{"name": "x"}]}
    p = make({"seed_users": [{"username": "admin", "password": "pw"}]}, tables=[USERS, bad, later])
    with pytest.raises(sqlite3.OperationalError, match="AUTOINCREMENT is only allowed"):
        p.init_database()
    assert rows(p, "SELECT name FROM sqlite_master WHERE type = 'table'") == [("users",), ("sqlite_sequence",)]
    assert rows(p) == []


def test_foreign_key_missing_a_key(make):
    fk = {"name": "t", "columns": [{"name": "a"}], "foreign_keys": [{"column": "a", "table": "users"}]}
    with pytest.raises(KeyError, match="references"):
        make(tables=[fk]).init_database()


def test_connect_scope(make):
    p = make()
    with p.connect() as conn:
        assert type(conn) is sqlite3.Connection and conn.row_factory is sqlite3.Row
        conn.execute("CREATE TABLE t (x)")
        conn.execute("INSERT INTO t VALUES (1)")  # never committed
    with pytest.raises(sqlite3.ProgrammingError, match="closed"):
        conn.execute("SELECT 1")
    with pytest.raises(ZeroDivisionError):
        with p.connect() as conn:
            1 / 0
    with pytest.raises(sqlite3.ProgrammingError):
        conn.execute("SELECT 1")
    assert rows(p, "SELECT count(*) FROM t") == [(0,)]


# --- hashing --------------------------------------------------------------------

@pytest.mark.parametrize("setting", [None, "", "sha256", "SHA256", "Sha256"])
def test_sha256_matches_hashlib(make, setting):
    p = make({"hash": setting})
    for text in ["", "admin123", "密码 пароль 🔑", "x" * 55, "x" * 56, "y" * 64, "z" * 119, "é" * 1000]:
        assert p.hash_password(text) == sha(text)


def test_lone_surrogate_raises_like_encode(make):
    with pytest.raises(UnicodeEncodeError) as expected:
        "a\udc80".encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as got:
        make().hash_password("a\udc80")
    assert str(got.value) == str(expected.value)


def test_hash_none_and_unsupported(make):
    assert make({"hash": "NONE"}).hash_password(" as is ") == " as is "
    for setting, shown in [("md5", "md5"), (" SHA256 ", " sha256 "), (5, "5")]:
        with pytest.raises(ValueError) as info:
            make({"hash": setting}).hash_password("pw")
        assert str(info.value) == "不支持的密码哈希: " + shown


# --- seeding --------------------------------------------------------------------

@pytest.mark.parametrize("auth, expected", [
    ({"seed_users": [{"username": " a ", "password": " p "}, {"username": "", "password": "x"},
                     {"username": "b", "password": 0}, "junk", {"username": 7, "password": 8}]},
     [("a", sha(" p ")), ("7", sha("8"))]),
    ({"seed_users": [], "default_user": {"username": "d", "password": "p"}}, []),
    ({"seed_users": None, "default_user": {"username": "d", "password": "p"}}, [("d", sha("p"))]),
    ({"default_user": {"username": "d", "password": "p"}}, [("d", sha("p"))]),
    ({"default_user": [{"username": "d", "password": "p"}]}, []),
    ({"seed_users": {"username": "d", "password": "p"}}, []),
])
def test_seeding_rules(make, auth, expected):
    p = make(auth)
    p.init_database()
    assert rows(p) == expected


def test_seeding_keeps_existing_accounts_and_commits_once(make, write_json, tmp_path):
    p = make({"seed_users": [{"username": "admin", "password": "old"}]})
    p.init_database()
    p.data["auth"]["seed_users"] = [{"username": "admin", "password": "new"}, {"username": "x", "password": "y"}]
    p.seed_default_users()
    assert rows(p) == [("admin", sha("old")), ("x", sha("y"))]
    # An error part-way leaves nothing of that run.
    p.data["auth"]["seed_users"] = [{"username": "m", "password": "n"}, {"username": "q", "password": 1}]
    p.data["auth"]["hash"] = "md5"
    p.data["auth"]["seed_users"][0]["password"] = "n"
    with pytest.raises(ValueError, match="不支持的密码哈希: md5"):
        p.seed_default_users()
    assert [u for u, _ in rows(p)] == ["admin", "x"]


# --- registration and login -----------------------------------------------------

def test_register_then_login(make):
    p = make({"confirm_password_field": "again"})
    p.init_database()
    assert p.register_user({"username": "  张三 ", "password": " 秘 密 ", "again": " 秘 密 "}) == (True, "注册成功")
    assert rows(p, "SELECT username, password, role FROM users") == [("张三", sha(" 秘 密 "), "member")]
    ok, user = p.login_user({"username": "张三", "password": " 秘 密 "})
    assert ok is True and user == {"id": 1, "username": "张三"} and list(user) == ["id", "username"]
    assert p.login_user({"username": " 张三 ", "password": " 秘 密 "})[0] is True
    assert p.login_user({"username": "张三", "password": "秘 密"}) == (False, "用户名或密码错误")
    assert p.login_user({"username": "李四", "password": " 秘 密 "}) == (False, "用户名或密码错误")


@pytest.mark.parametrize("fields", [{}, {"username": "  ", "password": "p"}, {"username": "u", "password": ""},
                                    {"username": None, "password": None}, {"username": "u", "password": 0}])
def test_empty_name_or_password(make, tmp_path, fields):
    p = make()
    for op in (p.register_user, p.login_user):
        assert op(fields) == (False, "用户名和密码不能为空")
    assert not (tmp_path / "data").exists()


def test_confirmation_and_check_order(make):
    p = make({"confirm_password_field": "again", "hash": "md5"})
    p.init_database()
    assert p.register_user({"username": "", "password": "p", "again": "x"}) == (False, "用户名和密码不能为空")
    assert p.register_user({"username": "u", "password": "p"}) == (False, "两次输入的密码不一致")
    assert p.register_user({"username": "u", "password": "p", "again": "P"}) == (False, "两次输入的密码不一致")
    p.data["auth"]["hash"] = "none"
    assert p.register_user({"username": "u", "password": "p", "again": "p"}) == (True, "注册成功")
    # The duplicate check comes before hashing with an unsupported scheme.
    p.data["auth"]["hash"] = "md5"
    assert p.register_user({"username": "u", "password": "q", "again": "q"}) == (False, "用户名已存在")
    with pytest.raises(ValueError, match="md5"):
        p.register_user({"username": "v", "password": "q", "again": "q"})
    assert rows(p) == [("u", "p")]
    p.data["auth"].pop("confirm_password_field")
    p.data["auth"]["hash"] = "none"
    assert p.register_user({"username": "w", "password": "q"}) == (True, "注册成功")


def test_hash_change_and_plain_passwords(make):
    p = make({"hash": "none"})
    p.init_database()
    p.register_user({"username": "u", "password": "plain"})
    assert rows(p) == [("u", "plain")]
    assert p.login_user({"username": "u", "password": "plain"})[0] is True
    p.data["auth"]["hash"] = "sha256"
    assert p.login_user({"username": "u", "password": "plain"}) == (False, "用户名或密码错误")


def test_duplicate_name_keeps_the_stored_password(make):
    p = make()
    p.init_database()
    p.register_user({"username": "u", "password": "one"})
    assert p.register_user({"username": " u ", "password": "two"}) == (False, "用户名已存在")
    assert rows(p) == [("u", sha("one"))]


def test_non_string_fields(make):
    p = make()
    p.init_database()
    with pytest.raises(TypeError, match="username"):
        p.register_user({"username": 5, "password": "p"})
    with pytest.raises(TypeError, match="argument 'password'"):
        p.login_user({"username": "u", "password": 5})


def test_configured_names_and_row_values(make):
    table = {"name": "accounts", "columns": [
        {"name": "uid", "type": "INTEGER", "primary_key": True}, {"name": "login"}, {"name": "secret"},
        {"name": "score", "type": "REAL"}, {"name": "avatar", "type": "BLOB"}, {"name": "nick"}]}
    auth = {"user_table": "accounts", "username_column": "login", "password_column": "secret",
            "id_column": "uid", "seed_users": [{"username": "u", "password": "p"}]}
    p = make(auth, tables=[table])
    p.init_database()
    assert p.login_user({"username": "u", "password": "p"}) == (True, {"id": 1, "username": "u"})
    with p.connect() as conn:
        conn.execute("UPDATE accounts SET score = 2.5, avatar = x'00ff', nick = CAST(x'ff' AS TEXT)")
        conn.commit()
    for column, value in [("score", 2.5), ("avatar", b"\x00\xff"), ("UID", 1), ("NULL", None)]:
        p.data["auth"]["id_column"] = column
        assert p.login_user({"username": "u", "password": "p"}) == (True, {"id": value, "username": "u"})
    p.data["auth"]["id_column"] = "accounts.uid"
    with pytest.raises(IndexError, match="No item with that key"):
        p.login_user({"username": "u", "password": "p"})
    p.data["auth"]["id_column"] = "nick"
    with pytest.raises(sqlite3.OperationalError, match="Could not decode to UTF-8 column 'nick' with text"):
        p.login_user({"username": "u", "password": "p"})


def test_database_errors_are_the_modules(make, tmp_path):
    p = make({"user_table": "nosuch"})
    with pytest.raises(sqlite3.OperationalError) as info:
        p.login_user({"username": "u", "password": "p"})
    assert str(info.value) == "no such table: nosuch"
    assert (info.value.sqlite_errorcode, info.value.sqlite_errorname) == (1, "SQLITE_ERROR")

    strict = {"name": "users", "columns": [{"name": "username", "unique": True}, {"name": "password"},
                                           {"name": "email", "not_null": True}]}
    p = make(tables=[strict])
    p.init_database()
    with pytest.raises(sqlite3.IntegrityError) as info:
        p.register_user({"username": "u", "password": "p"})
    assert str(info.value) == "NOT NULL constraint failed: users.email"
    assert info.value.sqlite_errorname == "SQLITE_CONSTRAINT_NOTNULL"
    assert rows(p, "SELECT * FROM users") == []

    p = make({"user_table": "users; DROP TABLE users"})
    p.init_database()
    with pytest.raises(sqlite3.ProgrammingError, match="one statement at a time"):
        p.register_user({"username": "u", "password": "p"})
    p = make({"username_column": "user\0name"})
    with pytest.raises(sqlite3.ProgrammingError, match="null character"):
        p.login_user({"username": "u", "password": "p"})
    p = make({"user_table": "accounts --"}, tables=[dict(USERS, name="accounts")])
    p.init_database()
    with pytest.raises(sqlite3.ProgrammingError, match="uses 0, and there are 2 supplied"):
        p.login_user({"username": "u", "password": "p"})
    with pytest.raises(UnicodeEncodeError):
        make({"user_table": "accounts"}).login_user({"username": "\udc80", "password": "p"})

    (tmp_path / "data" / "store.db").unlink()
    (tmp_path / "data" / "store.db").mkdir()
    with pytest.raises(sqlite3.OperationalError, match="unable to open database file") as info:
        make().login_user({"username": "u", "password": "p"})
    assert info.value.sqlite_errorname == "SQLITE_CANTOPEN"


def test_non_ascii_database_path(make, tmp_path, monkeypatch):
    p = make({"seed_users": [{"username": "u", "password": "p"}]})
    p.data["database"].update({"data_root": str(tmp_path / "数据 根"), "name": "用户库"})
    p.init_database()
    assert p.db_path == tmp_path / "数据 根" / "data" / "用户库.db" and p.db_path.is_file()
    assert p.login_user({"username": "u", "password": "p"})[0] is True


# --- overrides and concurrency --------------------------------------------------

def test_subclass_connect_hash_and_auth_overrides(make, tmp_path):
    calls = []

    class Custom(JsonAppPlugin):
        def connect(self):
            calls.append("connect")
            return super().connect()

        def hash_password(self, password):
            return "h:" + password

        @property
        def auth_cfg(self):
            return {"user_table": "people", "seed_users": [{"username": "s", "password": "p"}]}

    people = dict(USERS, name="people")
    p = Custom(make(tables=[people]).config_path)
    p.init_database()
    assert p.register_user({"username": "u", "password": "pw"}) == (True, "注册成功")
    assert rows(p, "SELECT username, password FROM people") == [("s", "h:p"), ("u", "h:pw")]
    assert p.login_user({"username": "u", "password": "pw"})[0] is True
    assert calls == ["connect"] * 5

    class Elsewhere(Custom):
        db_path = tmp_path / "其他.db"

    q = Elsewhere(p.config_path)
    q.init_database()
    assert (tmp_path / "其他.db").is_file()
    assert q.login_user({"username": "s", "password": "p"})[0] is True
    assert rows(p, "SELECT count(*) FROM people") == [(2,)]


@pytest.mark.parametrize("operation, expected", [
    ("register", [(False, "用户名已存在")]),
    ("seed", [None]),  # seeding wants the account to exist, and it does
])
def test_operation_that_loses_a_race_finds_the_name_taken(make, operation, expected):
    p = make(auth={"seed_users": [{"username": "carol", "password": "p"}, {"username": "dave", "password": "q"}]})
    with p.connect() as conn:  # the tables, without seeding
        conn.execute("CREATE TABLE users (id INTEGER PRIMARY KEY AUTOINCREMENT, username TEXT NOT NULL UNIQUE, "
                     "password TEXT NOT NULL, role TEXT)")
    # Another connection inserts the name between the duplicate check and the insert.
    blocker = sqlite3.connect(p.db_path, isolation_level=None)
    blocker.execute("BEGIN IMMEDIATE")
    blocker.execute("INSERT INTO users (username, password) VALUES ('carol', 'x')")
    call = {"register": lambda: p.register_user({"username": "carol", "password": "p"}),
            "seed": p.seed_default_users}[operation]
    results = []
    worker = threading.Thread(target=lambda: results.append(call()))
    worker.start()
    time.sleep(0.5)  # the worker's check found nothing; its insert waits for the lock
    blocker.execute("COMMIT")
    blocker.close()
    worker.join()
    assert results == expected
    assert rows(p)[0] == ("carol", "x")
    assert [u for u, _ in rows(p)] == (["carol"] if operation == "register" else ["carol", "dave"])


def test_concurrent_registrations_of_one_name(make):
    p = make()
    p.init_database()
    start = threading.Barrier(8)
    results, errors = [], []

    def register(i):
        q = JsonAppPlugin(p.config_path)
        start.wait()
        try:
            results.append(q.register_user({"username": "same", "password": f"p{i}"}))
        except Exception as exc:  # pragma: no cover - shown by the assertion
            errors.append(exc)

    threads = [threading.Thread(target=register, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert sorted(results) == [(False, "用户名已存在")] * 7 + [(True, "注册成功")]
    assert len(rows(p)) == 1


# --- salted passwords ------------------------------------------------------------------

SALTED = {"hash": "pbkdf2_sha256", "pbkdf2_iterations": 1000}


def salted(password, salt_hex, iterations):
    digest = hashlib.pbkdf2_hmac("sha256", password.encode("utf-8"), bytes.fromhex(salt_hex), iterations).hex()
    return f"pbkdf2_sha256${iterations}${salt_hex}${digest}"


def test_salted_passwords_are_stored_self_describing(make):
    p = make(auth={**SALTED, "seed_users": [{"username": "admin", "password": "秘密 pw"}]})
    p.init_database()
    assert p.register_user({"username": "bob", "password": "秘密 pw"}) == (True, "注册成功")
    (_, admin), (_, bob) = rows(p)
    for stored in (admin, bob):
        scheme, iterations, salt_hex, _ = stored.split("$")
        assert (scheme, iterations, len(salt_hex)) == ("pbkdf2_sha256", "1000", 32)
        assert stored == salted("秘密 pw", salt_hex, 1000)
    assert admin.split("$")[2] != bob.split("$")[2]  # a fresh salt per password
    assert p.login_user({"username": "bob", "password": "秘密 pw"})[0] is True
    assert p.login_user({"username": "bob", "password": "秘密 pw "}) == (False, "用户名或密码错误")
    assert p.login_user({"username": "nobody", "password": "x"}) == (False, "用户名或密码错误")


def test_legacy_digests_log_in_and_are_rewritten(make, tmp_path, write_json):
    legacy = make(auth={"seed_users": [{"username": "old", "password": "pw"}]})
    legacy.init_database()
    assert rows(legacy) == [("old", sha("pw"))]
    p = make(auth=SALTED)
    assert p.login_user({"username": "old", "password": "wrong"}) == (False, "用户名或密码错误")
    assert rows(p) == [("old", sha("pw"))]  # a failed attempt rewrites nothing
    ok, user = p.login_user({"username": "old", "password": "pw"})
    assert ok and user == {"id": 1, "username": "old"}
    stored = rows(p)[0][1]
    assert stored.startswith("pbkdf2_sha256$1000$") and stored == salted("pw", stored.split("$")[2], 1000)
    assert p.login_user({"username": "old", "password": "pw"})[0] is True
    # Stores keep working for the unsalted schemes, as before.
    assert legacy.login_user({"username": "old", "password": "pw"}) == (False, "用户名或密码错误")


@pytest.mark.parametrize("stored, ok", [
    (salted("pw", "00" * 16, 1), True),                  # its own iteration count counts
    (salted("pw", "ab" * 16, 2000), True),
    (salted("pw", "ab" * 16, 2000).upper(), False),
    ("pbkdf2_sha256$0$" + "00" * 16 + "$" + "0" * 64, False),
    ("pbkdf2_sha256$x$" + "00" * 16 + "$" + "0" * 64, False),
    ("pbkdf2_sha256$99999999999$" + "00" * 16 + "$" + "0" * 64, False),
    ("pbkdf2_sha256$1$zz$" + "0" * 64, False),
    ("pbkdf2_sha256$1$" + "00" * 16, False),
    ("pw", False),                                       # plain text is never accepted
    ("", False),
])
def test_stored_values_of_every_shape_verify_or_fail_cleanly(make, stored, ok):
    p = make(auth=SALTED)
    p.init_database()
    with p.connect() as conn:
        conn.execute("INSERT INTO users (username, password) VALUES ('u', ?)", (stored,))
        conn.commit()
    assert p.login_user({"username": "u", "password": "pw"})[0] is ok


@pytest.mark.parametrize("iterations", [0, -5, "1000", True, 1.5, 2**40])
def test_iteration_count_must_be_a_positive_integer(make, iterations):
    p = make(auth={"hash": "pbkdf2_sha256", "pbkdf2_iterations": iterations})
    p.init_database()
    for call in (lambda: p.hash_password("x"), lambda: p.register_user({"username": "a", "password": "b"}),
                 lambda: p.login_user({"username": "a", "password": "b"})):
        with pytest.raises(ValueError, match="pbkdf2_iterations"):
            call()
