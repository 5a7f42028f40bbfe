"""Members that Python code may override are found as attribute access finds them, however a class provides them."""

import copy
import itertools
import sys
from pathlib import Path

import pytest

from vantrel_app_plugin.brisen import TkJsonEngine
from vantrel_app_plugin.login.keldra import JsonAppPlugin
from vantrel_app_plugin.ostrel import UnifiedPluginBase, dispatch_plugin_action

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fuzz"))
from oracles import dispatch_plugin_action as reference_dispatch  # noqa: E402  (plain attribute access)

# --- plugin dispatch ---------------------------------------------------------------------

#: Ways a plugin class can provide one member.
MEMBER_KINDS = ["method", "property", "property-none", "property-attributeerror", "property-error",
                "getattr", "instance", "instance-none", "absent", "inherited"]
GETTER_ERRORS = {"property-attributeerror": AttributeError, "property-error": RuntimeError}


def make_plugin(base, run_kind, supports_kind, log):
    """A plugin on ``base`` whose two action members are provided as the kinds say."""
    namespace, instance, dynamic = {"ACTION_TYPES": frozenset({"go"})}, {}, {}
    for name, kind, fn in (
            ("run_action", run_kind, lambda self, at, key, action, engine: log.append(("run", at)) or at == "go"),
            ("supports_action", supports_kind, lambda self, at: log.append(("supports", at)) or True)):
        def getter(self, name=name, kind=kind, fn=fn):
            log.append(("get", name))
            if kind in GETTER_ERRORS:
                raise GETTER_ERRORS[kind](f"{name} getter failed")
            return None if kind == "property-none" else fn.__get__(self)

        if kind in ("method", "instance-none"):
            namespace[name] = fn
        elif kind.startswith("property"):
            namespace[name] = property(getter)
        elif kind == "getattr":
            dynamic[name] = fn
        if kind.startswith("instance"):
            instance[name] = fn if kind == "instance" else None
    if dynamic:
        def __getattr__(self, name):
            if name in dynamic:
                log.append(("getattr", name))
                return dynamic[name].__get__(self)
            raise AttributeError(name)
        namespace["__getattr__"] = __getattr__
    cls = type("Plugin", (base,), namespace)
    plugin = cls("x.json", {}) if base is UnifiedPluginBase else cls()
    for name, fn in instance.items():
        setattr(plugin, name, fn and fn.__get__(plugin))
    return plugin


def outcomes(dispatch, base, run_kind, supports_kind):
    """What two dispatches to one new plugin (the second answered from what the first remembered) give and look up."""
    log, seen = [], []
    plugin = make_plugin(base, run_kind, supports_kind, log)
    for _ in range(2):
        try:
            result = dispatch({"p": plugin}, "GO", "k", {}, None)
        except Exception as exc:  # noqa: BLE001 - the outcome compared
            result = (type(exc), str(exc))
        seen.append((result, log[:]))
        log.clear()
    return seen


@pytest.mark.parametrize("base", [object, UnifiedPluginBase], ids=["plain", "sdk"])
def test_dispatch_agrees_with_attribute_access(base):
    for kinds in itertools.product(MEMBER_KINDS, repeat=2):
        if base is not object or "inherited" not in kinds:
            assert outcomes(dispatch_plugin_action, base, *kinds) == outcomes(reference_dispatch, base, *kinds), kinds


@pytest.mark.parametrize("member", ["run_action", "supports_action"])
def test_a_raising_property_is_not_skipped_when_the_other_member_is_missing(member):
    def getter(self):
        raise RuntimeError(f"{member} getter")

    with pytest.raises(RuntimeError, match=f"{member} getter"):
        dispatch_plugin_action({"p": type("Plugin", (), {member: property(getter)})()}, "go", "k", {}, None)


@pytest.mark.parametrize("base", [object, UnifiedPluginBase], ids=["plain", "sdk"])
def test_dispatch_sees_members_replaced_on_the_class_after_use(base):
    plugin = make_plugin(base, "method", "method", [])
    cls = type(plugin)
    steps = [  # (change, expected result)
        (lambda: None, True),
        (lambda: setattr(cls, "run_action", lambda self, *a: False), False),
        (lambda: setattr(cls, "run_action", property(lambda self: lambda *a: True)), True),
        (lambda: setattr(cls, "supports_action", None), False),
        (lambda: delattr(cls, "supports_action"), base is UnifiedPluginBase),  # the SDK's own comes back
        (lambda: setattr(plugin, "supports_action", lambda at: False), False),  # an instance attribute
    ]
    for i, (change, expected) in enumerate(steps):
        change()
        for _ in range(2):
            assert dispatch_plugin_action({"p": plugin}, "go", "k", {}, None) is expected, i
            assert reference_dispatch({"p": plugin}, "go", "k", {}, None) is expected, i


# --- page engine ----------------------------------------------------------------------------

LAYOUT = {"tk": {"actions": {"报表": {"type": "goto", "page": "report"}, "登录": "login", "退出": "logout",
                             "办理": {"type": "business", "handler": "h"},
                             "守卫": {"type": "goto", "page": "report", "require_login": True}},
                 "public_pages": ["login", "register", "report"]}}

#: member -> (how the engine is brought to use it, a stand-in answering like the original)
ENGINE_MEMBERS = {
    "_goto": (lambda e: e.press("报表"), lambda self, page_id, clear_form=False: None),
    "_guard_page": (lambda e: e.press("报表"), lambda self, page_id: page_id),
    "_page_index": (lambda e: e.press("报表"), lambda self, page_id: 0),
    "_run_action": (lambda e: e.press("报表"), lambda self, key, action: None),
    "reset_all": (lambda e: e.press("CLR"), lambda self: None),
    "_action_login": (lambda e: e.press("登录"), lambda self, action: None),
    "_action_logout": (lambda e: e.press("退出"), lambda self, action: None),
    "_action_business": (lambda e: e.press("办理"), lambda self, action: None),
    "_auth_fields": (lambda e: e.press("登录"), lambda self: {"username": "", "password": ""}),
    "_fields_from_map": (lambda e: e.press("登录"), lambda self, mapping: {k: "" for k in mapping}),
    "_require_login": (lambda e: e.press("守卫"), lambda self: None),
    "_snapshot_components": (lambda e: e.snapshot(), lambda self: {}),
    "home_page": (lambda e: e.press("报表"), property(lambda self: "dashboard")),
    "business_handlers": (lambda e: e.press("办理"), property(lambda self: {})),
}


def _recording(name, answer, log):
    if isinstance(answer, property):
        return property(lambda self: log.append(name) or answer.fget(self))

    def member(self, *args, **kwargs):
        log.append(name)
        return answer(self, *args, **kwargs)
    return member


@pytest.mark.parametrize("name, how", [
    (name, how) for name, (_, answer) in sorted(ENGINE_MEMBERS.items())
    for how in ("subclass", "instance", "replaced-after-use", "getattribute")
    if how != "instance" or not isinstance(answer, property)])
def test_engine_uses_overridden_members(make_engine, name, how):
    trigger, answer = ENGINE_MEMBERS[name]
    log = []
    override = _recording(name, answer, log)
    namespace = {name: override} if how == "subclass" else {}
    if how == "getattribute":
        def __getattribute__(self, attr):
            return override.__get__(self, type(self)) if attr == name else object.__getattribute__(self, attr)
        namespace["__getattribute__"] = __getattribute__
    cls = type("Engine", (TkJsonEngine,), namespace)
    engine = make_engine(LAYOUT, cls=cls)
    engine._user = {"id": 1, "username": "a"}
    if how in ("instance", "replaced-after-use"):
        trigger(engine)  # first through the class's own member
        owner = engine if how == "instance" else cls
        setattr(owner, name, override.__get__(engine) if how == "instance" else override)
    log.clear()
    trigger(engine)
    assert log == [name]


def test_base_class_members_replaced_after_use_are_seen(make_engine, monkeypatch):
    engine = make_engine(LAYOUT)
    engine.press("报表")
    calls = []
    for guard, page in ((lambda self, page_id: calls.append(page_id) or "register", "register"),
                        (TkJsonEngine._guard_page, "report")):  # replaced (as by monkeypatch), then restored
        monkeypatch.setattr(TkJsonEngine, "_guard_page", guard)
        engine.press("报表")
        assert calls == ["report"] and engine._components["ui_page"] == page


def test_engine_copy_shares_configuration_and_owns_its_state(make_engine):
    engine = make_engine(LAYOUT, cls=type("Host", (TkJsonEngine,), {}))
    engine.note = ["kept"]
    engine.merge_components(entry="alice")
    twin = copy.copy(engine)
    assert type(twin) is type(engine) and twin is not engine and twin.note is engine.note
    for field in ("_plugins", "plugin", "_layout", "_nav", "_actions", "_component_keys"):
        assert getattr(twin, field) is getattr(engine, field)
    assert twin._components == engine._components and twin._components is not engine._components
    twin.merge_components(entry="bob")
    twin.press("报表")
    assert engine._components["entry"] == "alice" and engine.snapshot()["revision"] == 1
    assert twin.snapshot()["revision"] == 3


def test_a_replaced_field_map_is_refused_on_every_path(make_engine):
    engine = make_engine(LAYOUT)
    engine._field_map = ["not", "a", "dict"]
    for call in (lambda: engine.press("登录"), engine._auth_fields):
        with pytest.raises(TypeError, match="_fields_from_map"):
            call()


# --- login backend --------------------------------------------------------------------------


def test_store_members_are_found_as_attribute_access_finds_them(tmp_path, write_json):
    columns = [{"name": "id", "type": "INTEGER", "primary_key": True}, {"name": "username", "unique": True},
               {"name": "password"}]
    store = type("Store", (JsonAppPlugin,), {})(write_json(tmp_path / "gui_layout.json", {
        "database": {"name": "s", "data_root": str(tmp_path), "tables": [{"name": "users", "columns": columns}]},
        "auth": {"hash": "none"}}))
    store.init_database()
    assert store.register_user({"username": "u", "password": "p"}) == (True, "注册成功")
    store.hash_password = lambda password: "x" + password  # an instance attribute hides the method
    assert store.register_user({"username": "v", "password": "p"}) == (True, "注册成功")
    assert store.login_user({"username": "v", "password": "p"})[0] is True
    with store.connect() as conn:
        assert conn.execute("SELECT password FROM users WHERE username = 'v'").fetchone()[0] == "xp"
    del store.hash_password
    type(store).auth_cfg = property(lambda self: {"hash": "sha256"})  # replaced on the class after use
    assert store.hash_password("p") == JsonAppPlugin.hash_password(store, "p") != "p"
    assert store.login_user({"username": "u", "password": "p"}) == (False, "用户名或密码错误")
    del type(store).auth_cfg
    assert store.login_user({"username": "u", "password": "p"})[0] is True
