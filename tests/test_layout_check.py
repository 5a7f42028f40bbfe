"""The layout checker: each class of finding on a broken copy of the example layout."""

import copy
import json
from pathlib import Path

import pytest

from vantrel_app_plugin.layout_check import check_layout, format_report, json_path

EXAMPLE = json.loads((Path(__file__).resolve().parents[1] / "examples" / "demo" / "gui_layout.json")
                     .read_text(encoding="utf-8"))
# The example keeps the quick unsalted scheme (warned about below); the broken
# copies start from the salted one, so that each shows only its own finding.
EXAMPLE["auth"]["hash"] = "pbkdf2_sha256"


def _set(path, value):
    """A change of the example: the value at ``path`` (keys and indexes) replaced, or deleted."""

    def change(layout):
        *parents, last = path
        target = layout
        for part in parents:
            target = target[part]
        if value is _DELETE:
            del target[last]
        else:
            target[last] = value

    return change


_DELETE = object()


def _rename_dashboard(layout):
    """The dashboard page renamed "home" everywhere, and the home page left to its default."""
    del layout["tk"]["home_after_login"]
    layout["pages"][2]["id"] = "home"
    layout["tk"]["actions"]["首页"]["page"] = "home"
    layout["tk"]["page_hooks"]["home"] = layout["tk"]["page_hooks"].pop("dashboard")

USERS = ("database", "tables", 0)


def _add_user_column(column):
    return lambda layout: layout["database"]["tables"][0]["columns"].append(column)


def _welcome(text):
    return _set(("tk", "actions", "登录"), {"type": "login", "success_message": text})


#: (id, change of the example, every finding expected as (severity, path, code)).
CASES = [
    ("action page not in the page list", _set(("tk", "actions", "去注册", "page"), "registr"),
     {("error", '$.tk.actions["去注册"].page', "unknown-page")}),
    ("navigation target not a page", _set(("tk", "after_logout_page"), "bye"),
     {("error", "$.tk.after_logout_page", "unknown-page")}),
    ("default home page missing", _rename_dashboard, {("error", "$.tk.home_after_login", "unknown-page")}),
    ("account table not declared", _set(("auth", "user_table"), "accounts"),
     {("error", "$.auth.user_table", "unknown-table")}),
    ("account column not declared", _set(("auth", "password_column"), "pw_hash"),
     {("error", "$.auth.password_column", "unknown-column")}),
    ("no tables at all", _set(("database", "tables"), _DELETE),
     {("error", "$.database.tables", "no-tables")}),
    ("autoincrement on a TEXT key", _set(USERS + ("columns", 0, "type"), "TEXT"),
     {("error", "$.database.tables[0].columns[0].autoincrement", "autoincrement")}),
    ("autoincrement without primary key", _set(USERS + ("columns", 0, "primary_key"), False),
     {("error", "$.database.tables[0].columns[0].autoincrement", "autoincrement")}),
    ("foreign key incomplete", _set(("database", "tables", 1, "foreign_keys", 0, "references"), _DELETE),
     {("error", "$.database.tables[1].foreign_keys[0]", "schema")}),
    ("table without columns", lambda l: l["database"]["tables"].append({"name": "empty"}),
     {("warning", "$.database.tables[2]", "schema")}),
    ("column type not a string", _set(USERS + ("columns", 1, "type"), None),
     {("error", "$.database.tables[0].columns[1].type", "schema")}),
    *[(f"store address {url!r}", _set(("database", "url"), url), {("error", "$.database.url", "database-url")})
      for url in ("mysql://db/app", 5432)],
    *[(f"{name} store and a type PostgreSQL lacks", lambda l, store=store: (l["database"].update(store),
       l["database"]["tables"][0]["columns"].append({"name": "shape", "type": "GEOMETRY"})), expected)
      for name, store, expected in (("SQLite", {}, set()), ("PostgreSQL", {"url": "postgresql://db/app"},
                                    {("error", "$.database.tables[0].columns[4]", "postgres")}))],
    ("PostgreSQL store and AUTOINCREMENT on a BIGINT key", lambda l: (l["database"].update(url="postgresql://db/app"),
     l["database"]["tables"][0]["columns"][0].update(type="BIGINT")),
     {("error", "$.database.tables[0].columns[0].autoincrement", "autoincrement"),
      ("error", "$.database.tables[0].columns[0]", "postgres")}),
    ("business action naming a missing form", _set(("tk", "actions", "添加学生", "form"), "add_pupil"),
     {("error", '$.tk.actions["添加学生"].form', "unknown-form"),
      ("error", '$.tk.actions["添加学生"]', "missing-handler")}),
    ("unknown password scheme", _set(("auth", "hash"), "md5"), {("error", "$.auth.hash", "hash")}),
    ("salted scheme with bad rounds", lambda l: l["auth"].update(hash="PBKDF2_SHA256", pbkdf2_iterations="many"),
     {("error", "$.auth.pbkdf2_iterations", "hash")}),
    ("plugin not built in", _set(("plugins", "enabled"), ["login", "payments"]),
     {("error", "$.plugins.enabled[1]", "unknown-plugin")}),
    ("plugin block under an alias", _set(("plugins", "config"), {"grisel": {"sections": {}}}),
     {("warning", "$.plugins.config.grisel", "plugin-config")}),
    ("section refused by the login backend", _set(("web",), "on"),
     {("error", "$.web", "section-type")}),
    ("empty section of the wrong type", _set(("auth",), []),
     {("warning", "$.auth", "section-type"), ("warning", "$.auth.hash", "weak-hash")}),
    ("tk setting of the wrong type", _set(("tk", "clear_components_on_goto"), "entry"),
     {("error", "$.tk.clear_components_on_goto", "section-type")}),
    ("public pages as a string", _set(("tk", "public_pages"), "login"),
     {("error", "$.tk.public_pages", "section-type")}),
    ("component used by a form but on no widget", _set(("tk", "forms", "add_student", "fields", "age"), "age_box"),
     {("error", "$.tk.forms.add_student.fields.age", "unknown-component")}),
    ("navigation sets a component no widget has", _set(("tk", "actions", "首页", "set"), {"banner": "hi"}),
     {("error", '$.tk.actions["首页"].set.banner', "unknown-component")}),
    ("login field without a widget", _set(("tk", "auth_field_map", "password"), "pw"),
     {("error", "$.tk.auth_field_map.password", "unknown-component")}),
    ("confirmation field the field map lacks", _set(("auth", "confirm_password_field"), "again"),
     {("error", "$.tk.auth_field_map", "auth-fields")}),
    ("navigation without page", _set(("tk", "actions", "首页"), {"type": "goto"}),
     {("error", '$.tk.actions["首页"]', "missing-page")}),
    ("method without name", _set(("tk", "actions", "刷新"), {"type": "method"}),
     {("error", '$.tk.actions["刷新"]', "missing-handler")}),
    ("action neither object nor type", _set(("tk", "actions", "刷新"), 7),
     {("error", '$.tk.actions["刷新"]', "section-type")}),
    ("unknown action type", _set(("tk", "actions", "刷新"), "refresh"),
     {("warning", '$.tk.actions["刷新"]', "unknown-action")}),
    ("reserved key bound", _set(("tk", "actions", "clear"), "logout"),
     {("warning", "$.tk.actions.clear", "reserved-key")}),
    ("hook for a page that does not exist", _set(("tk", "page_hooks", "report"), {"on_enter": "load"}),
     {("error", '$.tk.page_hooks.report', "unknown-page")}),
    ("page entry not an object", lambda l: l["pages"].append("help"),
     {("error", "$.pages[4]", "section-type")}),
    ("duplicate page id", lambda l: l["pages"].append({"id": "login"}),
     {("warning", "$.pages[4].id", "page-list")}),
    ("unknown widget type and unbound button",
     lambda l: l["pages"][0]["sections"][0]["widgets"].extend([{"type": "slider"}, {"type": "button", "text": "帮助"}]),
     {("warning", "$.pages[0].sections[0].widgets[3].type", "unknown-widget"),
      ("warning", "$.pages[0].sections[0].widgets[4]", "unbound-button")}),
    ("top-level target ignored beside tk.navigation",
     _set(("tk", "navigation"), {"start_page": "login", "public_pages": ["login", "register"]}),
     {("warning", f"$.tk.{key}", "ignored")
      for key in ("start_page", "home_after_login", "after_register_page", "after_logout_page", "public_pages")}),
    ("form require_login has no effect", _set(("tk", "forms", "add_student", "require_login"), True),
     {("warning", "$.tk.forms.add_student.require_login", "ignored")}),
    ("account column registration cannot fill", _add_user_column({"name": "email", "not_null": True}),
     {("error", "$.database.tables[0].columns[4].not_null", "account-row")}),
    ("account column with a default", _add_user_column({"name": "email", "not_null": True, "default": None}), set()),
    ("text primary key registration cannot fill",
     _add_user_column({"name": "code", "primary_key": True, "not_null": True}),
     {("error", "$.database.tables[0].columns[4].not_null", "account-row")}),
    ("seed accounts not an array", _set(("auth", "seed_users"), "admin"), {("warning", "$.auth.seed_users", "seed")}),
    ("seed accounts skipped", _set(("auth", "seed_users"), [
        {"username": "  ", "password": "x"}, {"username": "b", "password": ""}, 7, {"password": "x"},
        {"username": 5, "password": 6}]),
     {("warning", "$.auth.seed_users[0].username", "seed"), ("warning", "$.auth.seed_users[1].password", "seed"),
      ("warning", "$.auth.seed_users[2]", "seed"), ("warning", "$.auth.seed_users[3]", "seed")}),
    ("default user without a password", lambda l: l["auth"].update(seed_users=None, default_user={"username": "r"}),
     {("warning", "$.auth.default_user", "seed")}),
    ("default user beside seed accounts", _set(("auth", "default_user"), {"username": "r", "password": "p"}),
     {("warning", "$.auth.default_user", "ignored")}),
    *[(f"site setting {name}={value!r}", _set(("web", name), value), {("error", f"$.web.{name}", "section-type")})
      for name, value in (("csrf", "yes"), ("cookie_secure", 1), ("max_failed_logins", -1), ("max_failed_logins", 2.5),
                          ("lockout_seconds", 0), ("lockout_seconds", "900"), ("proxy_hops", True))],
    *[(f"site setting {name}={value!r} accepted", _set(("web", name), value), set())
      for name, value in (("csrf", False), ("max_failed_logins", 0), ("lockout_seconds", 0.5), ("proxy_hops", 2))],
    *[(f"minimum password length {value!r}", _set(("auth", "min_password_length"), value),
       {("error", "$.auth.min_password_length", "hash")}) for value in (0, "8", 8.0, True)],
    ("web login form without a password field",
     _set(("auth_forms", "login", "fields"), [{"name": "username", "label": "用户名"}]),
     {("error", "$.auth_forms.login.fields", "web-login")}),
    ("no login form: the start page logs in on the web", lambda l: l.pop("auth_forms"), set()),
    *[(f"no login form and {what}", lambda l, edit=edit: (l.pop("auth_forms"), edit(l["pages"][0]["sections"][0])),
       {("error", "$.pages[0]", "web-login")})
      for what, edit in (("a start page without a password input", lambda s: s["widgets"].pop(1)),
                         ("a read-only name field", lambda s: s["widgets"][0].update(type="label")))],
    ("welcome text filled from the user record", _welcome("欢迎 {username}（{id:04d}）{username.upper}"), set()),
    *[(f"welcome text {text}", _welcome(text), {("error", '$.tk.actions["登录"].success_message', "welcome")})
      for text in ("你好 {nickname}", "你好 {}", "你好 {0}", "{username:>{width}}", "欢迎 {username")],
]


@pytest.mark.parametrize("change, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_each_finding_class(change, expected):
    layout = copy.deepcopy(EXAMPLE)
    change(layout)
    found = {(f.severity, f.path, f.code) for f in check_layout(layout)}
    assert found == expected


def test_example_is_clean_and_login_sections_are_read_where_the_plugin_reads_them():
    assert check_layout(copy.deepcopy(EXAMPLE)) == []

    layout = copy.deepcopy(EXAMPLE)
    database = layout.pop("database")
    database["tables"][0]["columns"][1]["name"] = "login"
    database["tables"][0]["columns"][0]["type"] = "TEXT"
    layout["plugins"]["config"] = {"login": {"sections": {"database": database, "web": "x"}}}
    found = {(f.severity, f.path, f.code) for f in check_layout(layout)}
    assert found == {
        ("error", "$.plugins.config.login.sections.web", "section-type"),
        ("error", "$.plugins.config.login.sections.database.tables[0].columns[0].autoincrement", "autoincrement"),
        ("error", "$.auth.username_column", "unknown-column"),  # auth still from the top level
    }

    # Without the login plugin nobody reads the account table.
    layout = copy.deepcopy(EXAMPLE)
    layout["plugins"]["enabled"] = []
    layout["database"]["tables"] = []
    assert check_layout(layout) == []


def test_without_a_page_list_references_are_not_checked():
    layout = copy.deepcopy(EXAMPLE)
    del layout["pages"]
    assert [(f.severity, f.path, f.code) for f in check_layout(layout)] == [("warning", "$.pages", "page-list")]


def test_report_lists_errors_first_and_counts():
    layout = copy.deepcopy(EXAMPLE)
    layout["tk"]["actions"]["刷新"] = "refresh"
    layout["tk"]["after_logout_page"] = "bye"
    text = format_report("x.json", check_layout(layout))
    assert json_path(("tk", "actions", 'say "hi"', 0)) == '$.tk.actions["say \\"hi\\""][0]'
    assert text.splitlines() == [
        'error   $.tk.after_logout_page: "bye" is not a page [unknown-page]',
        'warning $.tk.actions["刷新"]: "refresh" is not an action type of the engine; unless a plugin '
        "handles it the status shows 未知动作类型 [unknown-action]",
        "x.json: 1 error, 1 warning",
    ]


@pytest.mark.parametrize("scheme, warned", [("none", True), ("SHA256", True), (None, True), ("pbkdf2_sha256", False)])
def test_unsalted_password_schemes_are_warned_about(scheme, warned):
    layout = copy.deepcopy(EXAMPLE)
    layout["auth"]["hash"] = scheme
    found = [(f.severity, f.path, f.code) for f in check_layout(layout)]
    assert found == ([("warning", "$.auth.hash", "weak-hash")] if warned else [])


def test_readme_layout_is_clean():
    readme = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("### Write your own layout"):]
    block = section[section.index("```json") + len("```json"):]
    assert check_layout(json.loads(block[:block.index("```")])) == []

