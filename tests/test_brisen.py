"""Page engine: construction, component state, key presses, guard, navigation, actions."""

import gc
import json
import weakref

import pytest

from vantrel_app_plugin import brisen
from vantrel_app_plugin.brisen import TkJsonEngine
from vantrel_soft import gui_config

from engine_support import DEFAULT_CLEAR, FakePlugin


def page(engine):
    return engine._components["ui_page"]


def login(engine, user="alice", password="pw"):
    engine.merge_components(entry=user, label_frame_entry=password)
    engine.press("登录")


LOGIN_LAYOUT = {
    "tk": {
        "actions": {
            "登录": "login",
            "注册": {"type": "register"},
            "注销": {"type": "AUTH_LOGOUT"},
            "报表": {"type": "goto", "page": "report"},
        }
    }
}


# --- construction and snapshot ---------------------------------------------------------


def test_fresh_engine_without_tk_block(make_engine):
    engine = make_engine({"title": "x"})
    assert engine.plugin.calls == ["init_database"]
    assert (engine._status, engine._user, engine._revision) == ("请登录", None, 0)
    assert page(engine) == "login" and engine._components["ui_page_index"] == 0
    snap = engine.snapshot()
    assert list(snap) == ["display", "expression_line", "memory", "has_memory", "revision", "components"]
    assert snap["expression_line"] == "未登录" and snap["memory"] == 0.0 and snap["has_memory"] is False
    assert snap["components"] == {**{k: "" for k in DEFAULT_CLEAR}, "ui_page": "login", "ui_page_index": 0}
    assert engine._public_pages == frozenset({"login", "register"})
    assert engine.home_page == "dashboard"


def test_layout_component_keys_and_start_page_index(make_engine):
    layout = {
        "pages": [
            {"id": "p", "sections": [{"widgets": [
                {"component_key": "title", "children": [{"component_key": 5}, {"component_key": ""}]},
                {"component_key": None, "children": None},
            ]}]},
            {"id": "q"},
        ],
        "tk": {"start_page": "register", "clear_components_on_goto": ["entry"],
               "auth_field_map": {"username": "entry", "password": "note"}},
    }
    engine = make_engine(layout)
    assert engine._component_keys == frozenset({"entry", "note", "title", "5"})
    assert engine._components["ui_page"] == "register" and engine._components["ui_page_index"] == 1
    assert engine._layout is engine.plugin.data


def test_on_load_runs_instead_of_init_database(make_engine, monkeypatch):
    class Loader(FakePlugin):
        def on_load(self):
            self.calls.append("on_load")

    plugin = Loader({})
    engine = make_engine(plugins={"x": plugin})
    assert engine.plugin.calls == ["init_database"]  # make() pairs its own plugin as primary
    monkeypatch.setattr(brisen, "primary_plugin", lambda ps: plugin)
    TkJsonEngine("ignored.json")
    assert plugin.calls == ["on_load"]


@pytest.mark.parametrize("layout, error", [
    ({"pages": ["not a page"]}, AttributeError),
    ({"pages": [{"sections": [{"widgets": [7]}]}]}, AttributeError),
])
def test_malformed_pages_fail_construction(make_engine, layout, error):
    with pytest.raises(error):
        make_engine(layout)


def test_legacy_pages_object_is_not_a_page_list(make_engine):
    engine = make_engine({"pages": {"login": {"title": "登录", "fields": []}}})
    assert page(engine) == "login"


def test_constructor_argument_and_primary_plugin(make_engine, monkeypatch):
    with pytest.raises(TypeError, match="'config_path'"):
        TkJsonEngine(None)
    make_engine()
    monkeypatch.setattr(brisen, "primary_plugin", lambda ps: None)
    with pytest.raises(AttributeError):
        TkJsonEngine("x.json")


def test_snapshots_are_deep_copies(make_engine):
    engine = make_engine({})
    nested = {"rows": [[1, 2], {"k": (3, [4])}], "odd": {1, 2}}
    engine.merge_components(entry=nested)
    first, second = engine.snapshot(), engine.snapshot()
    assert first == second and first is not second
    first["components"]["entry"]["rows"][0].append(99)
    first["components"]["entry"]["odd"].add(3)
    assert engine._components["entry"] == {"rows": [[1, 2], {"k": (3, [4])}], "odd": {1, 2}}
    cyclic = []
    cyclic.append(cyclic)
    engine.merge_components(spin=cyclic)
    copied = engine.snapshot()["components"]["spin"]
    assert copied is not cyclic and copied[0] is copied


# --- merge_components --------------------------------------------------------------------


def test_merge_stores_only_host_keys(make_engine):
    engine = make_engine({})
    engine.merge_components(unknown=1, other=2)
    assert engine._revision == 0 and "unknown" not in engine._components
    with pytest.raises(TypeError, match="positional"):
        engine.merge_components({"entry": "x"})
    engine.merge_components(note="kept", entry="x", stranger=3)
    assert engine._revision == 1 and engine._components["note"] == "kept"
    assert "note" not in engine.snapshot()["components"]  # host knows it, the layout does not


def test_auth_components_reset_status_only_while_logged_out(make_engine):
    engine = make_engine(LOGIN_LAYOUT)
    engine.reset_all()
    assert engine._status == "已复位"
    engine.merge_components(progress=50)
    assert engine._status == "已复位"
    engine.merge_components(label_frame_entry="pw")
    assert (engine._status, engine._revision) == ("请登录", 2)
    login(engine)
    engine._status = "busy"
    engine.merge_components(entry="again")
    assert engine._status == "busy"


def test_merge_guards_ui_page(make_engine):
    engine = make_engine(LOGIN_LAYOUT)
    engine.merge_components(ui_page="dashboard")
    assert page(engine) == "login" and engine._components["ui_page_index"] == 0
    engine.merge_components(ui_page="register")
    assert (page(engine), engine._components["ui_page_index"]) == ("register", 1)
    login(engine)
    engine.merge_components(ui_page="report", ui_page_index=0)
    assert (page(engine), engine._components["ui_page_index"]) == ("report", 3)


# --- press ----------------------------------------------------------------------------------


@pytest.mark.parametrize("key", ["清空", " CLR ", "clear", "\treset\n"])
def test_reserved_keys_reset_without_counting(make_engine, key):
    layout = {"tk": {"actions": {"clear": {"type": "goto", "page": "register"}, **LOGIN_LAYOUT["tk"]["actions"]},
                     "after_logout_page": "register"}}
    engine = make_engine(layout)
    login(engine)
    engine.merge_components(entry="typed")
    rev = engine._revision
    engine.press(key)
    assert (engine._status, engine._user, engine._revision) == ("已复位", None, rev)
    assert page(engine) == "register" and engine._components["entry"] == ""


def test_unbound_and_blank_keys(make_engine):
    engine = make_engine({})
    engine.press(" clr ")
    assert (engine._status, engine._revision) == ("未配置的按键: clr", 1)
    # Keys of every storage width (ASCII, Latin-1, BMP, astral) make the same message as Python's "+".
    for n, key in enumerate(["x", "é", "键", "😀", "a😀", "ÿ键"], start=2):
        engine.press(key)
        assert (engine._status, engine._revision) == ("未配置的按键: " + key, n)
    for blank in ("", "   ", "\u3000"):
        with pytest.raises(ValueError, match="^空键名$"):
            engine.press(blank)
    assert engine._revision == 7
    with pytest.raises(TypeError, match="'key'"):
        engine.press(b"x")


def test_require_login_raises_and_leaves_revision(make_engine):
    engine = make_engine({"tk": {"actions": {"go": {"type": "goto", "page": "report", "require_login": 1}}}})
    with pytest.raises(ValueError, match="^请先登录$"):
        engine.press("go")
    assert engine._revision == 0 and page(engine) == "login"


# --- guard and navigation --------------------------------------------------------------------


@pytest.mark.parametrize("user, requested, shown", [
    (None, "register", "register"),
    (None, "report", "login"),
    ({"id": 1, "username": "a"}, "login", "dashboard"),
    ({"id": 1, "username": "a"}, "report", "report"),
])
def test_guard_table(make_engine, user, requested, shown):
    engine = make_engine({})
    engine._user = user
    assert engine._guard_page(requested) == shown


def test_page_index_reads_the_host_list_every_time(make_engine, tmp_path):
    engine = make_engine({})
    assert [engine._page_index(p) for p in ("login", "report", "nowhere")] == [0, 3, 0]
    other = tmp_path / "other.json"
    other.write_text(json.dumps({"pages": [{"id": "report"}, {"id": "report"}, {}]}), encoding="utf-8")
    gui_config.use_layout(other)
    assert (engine._page_index("report"), engine._page_index("None")) == (0, 2)


def test_goto_clears_records_then_runs_hook(make_engine):
    class Hooked(TkJsonEngine):
        seen = []

        def on_report(self):
            self.seen.append((self._components["ui_page"], self._components["entry"]))
            self.merge_components(note="from hook")

    layout = {"tk": {"page_hooks": {"report": {"on_enter": "on_report"}, "register": {"on_enter": "missing"}},
                     "clear_components_on_goto": ["entry", "ghost"]}}
    engine = make_engine(layout, cls=Hooked)
    engine._user = {"id": 1, "username": "a"}
    engine.merge_components(entry="x", spin="y")
    del engine._components["ghost"]  # a cleared key that is not a component is not added back
    engine._goto("report", clear_form=True)
    assert Hooked.seen == [("report", "")]
    assert engine._components["spin"] == "y" and "ghost" not in engine._components
    assert engine._components["note"] == "from hook"
    engine._user = None
    engine._goto("register")  # names no method: nothing happens
    engine._page_hooks["login"] = {"on_enter": "_revision"}
    with pytest.raises(TypeError):
        engine._goto("login")
    assert page(engine) == "login"


# --- actions -----------------------------------------------------------------------------------


def test_login_success_and_failure(make_engine):
    layout = {"tk": {"actions": {
        "登录": {"type": "Login", "success_message": "你好 {username} #{id}", "fail_page": "register"},
        "登出": "logout"}}}
    engine = make_engine(layout)
    login(engine, user="  alice ", password=" pw")
    assert engine.plugin.calls[-1] == ("login_user", {"username": "alice", "password": " pw"})
    assert engine._user is None and engine._status == "用户名或密码错误" and page(engine) == "register"
    rev = engine._revision
    login(engine)
    assert engine._user == {"id": 7, "username": "alice"} and engine._status == "你好 alice #7"
    assert page(engine) == "dashboard" and engine._revision == rev + 2
    assert engine.snapshot()["expression_line"] == "当前用户: alice"
    login(engine, password="bad")  # a failed attempt does not log out
    assert engine._user["username"] == "alice"


@pytest.mark.parametrize("extra, cleared", [
    ({}, False),
    ({"clear_on_success": True}, True),
    ({"clear_form": False, "clear_on_success": True}, False),
    ({"clear_form": None, "clear_on_success": 1}, True),
    ({"clear_form": "yes"}, True),
])
def test_login_clearing(make_engine, extra, cleared):
    engine = make_engine({"tk": {"actions": {"登录": {"type": "login", "success_page": "report", **extra}}}})
    login(engine)
    assert page(engine) == "report"
    assert (engine._components["entry"] == "") is cleared


def test_welcome_placeholder_missing_from_record(make_engine):
    engine = make_engine({"tk": {"actions": {"登录": {"type": "login", "success_message": "{nick}"}}}})
    with pytest.raises(KeyError):
        login(engine)
    assert engine._user is not None and engine._status == "请登录" and page(engine) == "login"


def test_register_and_logout(make_engine):
    layout = {"tk": {"after_register_page": "register", "actions": {
        **LOGIN_LAYOUT["tk"]["actions"], "注册2": {"type": "auth_register", "clear_form": 0, "goto": "report"}}}}
    engine = make_engine(layout)
    engine.merge_components(entry="alice", label_frame_entry="pw", ttk_entry="pw")
    engine.press("注册")
    assert engine._status == "用户名已存在" and page(engine) == "login"
    assert engine.plugin.calls[-1] == ("register_user", {"username": "alice", "password": "pw",
                                                          "confirm_password": "pw"})
    engine.merge_components(entry="bob")
    engine.press("注册")
    assert (engine._status, page(engine), engine._components["entry"]) == ("注册成功", "register", "")
    engine.merge_components(entry="carol")
    engine.press("注册2")  # report is not public: the guard sends a logged-out user to the start page
    assert (page(engine), engine._components["entry"], engine._user) == ("login", "carol", None)
    login(engine)
    engine.press("注销")
    assert (engine._user, engine._status, page(engine)) == (None, "已注销", "login")
    assert engine.snapshot()["expression_line"] == "未登录"


def test_navigation_actions(make_engine):
    layout = {"tk": {"actions": {
        **LOGIN_LAYOUT["tk"]["actions"],
        "nopage": {"type": "navigate"},
        "preset": {"type": "PAGE", "goto": "report", "set": {"note": "n", "entry": "e", "stranger": 1}},
        "preset_clear": {"type": "goto", "page": "report", "set": {"entry": "e", "spin": 3}, "clear": 1},
        "empty": {},
        "weird": {"action": "Teleport"},
    }}}
    engine = make_engine(layout)
    login(engine)
    engine._status = "keep"
    engine.press("nopage")
    assert engine._status == "动作 nopage 缺少 page"
    engine._status = "keep"
    engine.press("preset")
    assert engine._status == "keep" and page(engine) == "report"
    assert (engine._components["note"], engine._components["entry"]) == ("n", "e")
    assert "stranger" not in engine._components
    engine.press("preset_clear")
    assert (engine._components["entry"], engine._components["spin"]) == ("", "")
    engine.press("empty")
    assert engine._status == "未知动作类型: "
    engine.press("weird")
    assert engine._status == "未知动作类型: teleport"


def test_method_actions(make_engine):
    class Engine(TkJsonEngine):
        def refresh(self):
            self._status = "refreshed"

    layout = {"tk": {"actions": {"r": {"type": "Hook", "method": "refresh"},
                                 "h": {"type": "method", "handler": "refresh", "method": "nope"},
                                 "x": {"type": "method", "method": "nope"},
                                 "attr": {"type": "method", "method": "_status"}}}}
    engine = make_engine(layout, cls=Engine)
    engine.press("x")
    assert engine._status == "未找到方法: nope"
    engine.press("h")
    assert engine._status == "refreshed"
    engine.press("attr")
    assert engine._status == "未找到方法: _status"


class Shop(TkJsonEngine):
    """A host engine with business functions and a changed home page."""

    received = []

    @property
    def business_handlers(self):
        return {"buy": self.buy, "broken": lambda **kw: "not a pair"}

    @property
    def home_page(self):
        return "report"

    def buy(self, **kwargs):
        self.received.append(kwargs)
        return (kwargs.get("item") != "bad"), f"bought {kwargs.get('item')}"


def test_business_actions(make_engine):
    Shop.received.clear()
    layout = {"tk": {
        "actions": {**LOGIN_LAYOUT["tk"]["actions"],
                    "buy": {"type": "business", "form": "order", "goto": "dashboard"},
                    "buy_no_id": {"type": "form", "form": "order", "pass_user_id": False, "handler": "buy"},
                    "nobody": {"type": "business", "business": "ghost"},
                    "broken": {"type": "handler", "handler": "broken"}},
        "forms": {"order": {"handler": "buy", "fields": {"item": "note", 3: "spin"}, "clear_form": True,
                            "require_login": True, "success_page": "register"}},
    }}
    engine = make_engine(layout, cls=Shop)
    engine.merge_components(note="pen", spin=4)
    engine.press("buy")  # logged out: the form's require_login does not count
    assert Shop.received[-1] == {"item": "pen", "3": "4"}
    assert engine._status == "bought pen" and page(engine) == "register"
    assert (engine._components["spin"], engine._components["note"]) == ("", "pen")  # form's clear_form
    login(engine)
    assert page(engine) == "report"  # the subclass's home page
    engine.merge_components(note="book")
    engine.press("buy")
    assert Shop.received[-1] == {"item": "book", "3": "", "user_id": 7}
    assert page(engine) == "report"  # register is public: a logged-in user goes home
    engine.press("buy_no_id")
    assert "user_id" not in Shop.received[-1]
    engine.merge_components(note="bad")
    engine._goto("dashboard")
    engine.press("buy")
    assert engine._status == "bought bad" and page(engine) == "dashboard"
    engine.press("nobody")
    assert engine._status == "未注册业务: ghost"
    rev = engine._revision
    with pytest.raises(ValueError):
        engine.press("broken")
    assert engine._revision == rev


def test_business_user_id_rules(make_engine):
    Shop.received.clear()
    layout = {"tk": {"actions": {"buy": {"type": "business", "handler": "buy",
                                         "fields": {"user_id": "note"}}}}}
    engine = make_engine(layout, cls=Shop)
    engine._user = {"id": "12", "username": "x"}
    engine.merge_components(note="from form")
    engine.press("buy")
    assert Shop.received[-1] == {"user_id": "from form"}
    engine._actions["buy"] = {"type": "business", "handler": "buy"}
    engine.press("buy")
    assert Shop.received[-1] == {"user_id": 12}
    engine._user = {"username": "x"}
    with pytest.raises(KeyError):
        engine.press("buy")


def test_base_engine_has_no_business(make_engine):
    engine = make_engine({"tk": {"actions": {"b": {"type": "business", "handler": "add_student"}}}})
    assert engine.business_handlers == {} and engine.business_handlers is not engine.business_handlers
    engine.press("b")
    assert engine._status == "未注册业务: add_student"


def test_plugins_are_asked_first(make_engine):
    class Taker:
        def __init__(self):
            self.seen = []

        def supports_action(self, action_type):
            return action_type == "login"

        def run_action(self, action_type, key, spec, engine):
            self.seen.append((action_type, key, spec, engine))
            engine._status = "taken"
            return True

    taker = Taker()
    engine = make_engine({"tk": {"actions": {"登录": {"type": "LOGIN"}}}}, plugins={"t": taker})
    engine.press("登录")
    assert engine._status == "taken" and engine._user is None and engine._revision == 1
    assert taker.seen == [("login", "登录", engine._actions["登录"], engine)]
    assert taker.seen[0][2] is engine._actions["登录"]


def test_guard_override_is_seen(make_engine):
    class Open(TkJsonEngine):
        def _guard_page(self, page_id):
            return page_id

    engine = make_engine({"tk": {"actions": {"报表": {"type": "goto", "page": "report"}}}}, cls=Open)
    engine.press("报表")
    assert page(engine) == "report"

    class Broken(TkJsonEngine):
        def _guard_page(self, page_id):
            return 42

    with pytest.raises(TypeError):
        make_engine({}, cls=Broken)


def test_overrides_added_or_removed_after_use_are_seen(make_engine):
    """Whether a subclass overrides a member is remembered only until the class or a base changes."""
    class Mid(TkJsonEngine):
        pass

    class Open(Mid):
        pass

    engine = make_engine({"tk": {"actions": {"报表": {"type": "goto", "page": "report"}}}}, cls=Open)
    steps = [  # (change to the classes, page shown after pressing "报表" while logged out)
        (lambda: None, "login"),
        (lambda: setattr(Open, "_guard_page", lambda self, page_id: page_id), "report"),
        (lambda: delattr(Open, "_guard_page"), "login"),
        (lambda: setattr(Mid, "_guard_page", lambda self, page_id: "register"), "register"),
        (lambda: delattr(Mid, "_guard_page"), "login"),
    ]
    for i, (change, shown) in enumerate(steps):
        change()
        for _ in range(2):
            engine.press("报表")
            assert page(engine) == shown, i


def test_engines_are_collected(make_engine):
    class Keeper(TkJsonEngine):
        pass

    engine = make_engine({}, cls=Keeper)
    engine.me = engine
    engine._components["self"] = engine
    ref = weakref.ref(engine)
    del engine
    gc.collect()
    assert ref() is None


def test_fields_are_attributes(make_engine):
    engine = make_engine({})
    for name in ("_plugins", "plugin", "_layout", "_nav", "_field_map", "_auth_component_keys", "_actions",
                 "_forms", "_page_hooks", "_clear_keys", "_component_keys", "_public_pages", "_revision",
                 "_user", "_status", "_components"):
        getattr(engine, name)
    engine._components = None  # hostile replacement: errors, not crashes
    with pytest.raises(TypeError):
        engine.merge_components(entry="x")
    with pytest.raises(TypeError):
        engine.reset_all()
    assert brisen.Handler is not None
