"""Members that Python code may override are found as attribute access finds them.

The C++ modules remember, per class, how a class provides the members they
call (the bound implementation, a plain function, nothing); these tables
check that every way Python has of providing a member (a method, a property
and what its getter does, ``__getattr__``, an attribute of the instance, a
class attribute replaced after first use) gives what plain attribute access
would give.
"""

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


def make_plugin(base, run_kind, supports_kind, log):
    """A plugin on ``base`` whose two action members are provided as the kinds say."""
    impl = {
        "run_action": lambda self, at, key, spec, engine: log.append(("run", at)) or at == "go",
        "supports_action": lambda self, at: log.append(("supports", at)) or True,
    }
    namespace, instance, dynamic = {"ACTION_TYPES": frozenset({"go"})}, {}, {}
    for name, kind in (("run_action", run_kind), ("supports_action", supports_kind)):
        fn = impl[name]

        def getter(self, name=name, kind=kind, fn=fn):
            log.append(("get", name))
            if kind == "property-attributeerror":
                raise AttributeError(name)
            if kind == "property-error":
                raise RuntimeError(f"{name} getter failed")
            return None if kind == "property-none" else fn.__get__(self)

        if kind == "method":
            namespace[name] = fn
        elif kind.startswith("property"):
            namespace[name] = property(getter)
        elif kind == "getattr":
            dynamic[name] = fn
        elif kind == "instance":
            instance[name] = fn
        elif kind == "instance-none":
            namespace[name] = fn
            instance[name] = None
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
        setattr(plugin, name, fn if fn is None else fn.__get__(plugin))
    return plugin


def outcome(dispatch, plugin, log):
    try:
        result = dispatch({"p": plugin}, "GO", "k", {}, None)
    except Exception as exc:  # noqa: BLE001 - the outcome compared
        result = (type(exc), str(exc))
    return result, list(log)


@pytest.mark.parametrize("base", [object, UnifiedPluginBase], ids=["plain", "sdk"])
def test_dispatch_agrees_with_attribute_access(base):
    """Every pair of member kinds, on plain plugins and on SDK plugins, twice each
    (the second dispatch is answered from what the first one remembered)."""
    for run_kind, supports_kind in itertools.product(MEMBER_KINDS, repeat=2):
        if base is object and "inherited" in (run_kind, supports_kind):
            continue
        seen = {}
        for name, dispatch in (("native", dispatch_plugin_action), ("reference", reference_dispatch)):
            log = []
            plugin = make_plugin(base, run_kind, supports_kind, log)
            first = outcome(dispatch, plugin, log)
            log.clear()
            seen[name] = (first, outcome(dispatch, plugin, log))
        assert seen["native"] == seen["reference"], (run_kind, supports_kind)


def test_a_raising_property_is_not_skipped_when_the_other_member_is_missing():
    class Plugin:
        @property
        def run_action(self):
            raise RuntimeError("run_action getter")

    with pytest.raises(RuntimeError, match="run_action getter"):
        dispatch_plugin_action({"p": Plugin()}, "go", "k", {}, None)

    class Other:
        @property
        def supports_action(self):
            raise RuntimeError("supports_action getter")

    with pytest.raises(RuntimeError, match="supports_action getter"):
        dispatch_plugin_action({"p": Other()}, "go", "k", {}, None)


@pytest.mark.parametrize("base", [object, UnifiedPluginBase], ids=["plain", "sdk"])
def test_dispatch_sees_members_replaced_on_the_class_after_use(base):
    log = []
    plugin = make_plugin(base, "method", "method", log)
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
                             "办理": {"type": "business", "handler": "h"}, "守卫": {"type": "goto",
                             "page": "report", "require_login": True}},
                 "public_pages": ["login", "register", "report"]}}

#: member -> (how the engine is brought to call it, a stand-in answering like the original)
ENGINE_MEMBERS = {
    "_goto": (lambda e: e.press("报表"), lambda self, page_id, clear_form=False: None),
    "_guard_page": (lambda e: e.press("报表"), lambda self, page_id: page_id),
    "_page_index": (lambda e: e.press("报表"), lambda self, page_id: 0),
    "_run_action": (lambda e: e.press("报表"), lambda self, key, spec: None),
    "reset_all": (lambda e: e.press("CLR"), lambda self: None),
    "_action_login": (lambda e: e.press("登录"), lambda self, spec: None),
    "_action_logout": (lambda e: e.press("退出"), lambda self, spec: None),
    "_action_business": (lambda e: e.press("办理"), lambda self, spec: None),
    "_auth_fields": (lambda e: e.press("登录"), lambda self: {"username": "", "password": ""}),
    "_fields_from_map": (lambda e: e.press("登录"), lambda self, mapping: {k: "" for k in mapping}),
    "_require_login": (lambda e: e.press("守卫"), lambda self: None),
    "_snapshot_components": (lambda e: e.snapshot(), lambda self: {}),
}

ENGINE_PROPERTIES = {
    "home_page": (lambda e: (setattr(e, "_user", {"id": 1, "username": "a"}), e.press("报表")), "dashboard"),
    "business_handlers": (lambda e: e.press("办理"), {}),
}


def _recording(name, answer, log):
    def member(self, *args, **kwargs):
        log.append(name)
        return answer(self, *args, **kwargs)
    return member


@pytest.mark.parametrize("how", ["subclass", "instance", "replaced-after-use", "getattribute"])
@pytest.mark.parametrize("name", sorted(ENGINE_MEMBERS))
def test_engine_calls_overridden_methods(make_engine, name, how):
    trigger, answer = ENGINE_MEMBERS[name]
    log = []
    namespace = {}
    if how == "subclass":
        namespace[name] = _recording(name, answer, log)
    elif how == "getattribute":
        def __getattribute__(self, attr):
            if attr == name:
                log.append(name)
                return answer.__get__(self)
            return object.__getattribute__(self, attr)
        namespace["__getattribute__"] = __getattribute__
    cls = type("Engine", (TkJsonEngine,), namespace)
    engine = make_engine(LAYOUT, cls=cls)
    engine._user = {"id": 1, "username": "a"}
    if how == "instance":
        trigger(engine)  # first through the class's own member
        setattr(engine, name, _recording(name, answer, log).__get__(engine))
    elif how == "replaced-after-use":
        trigger(engine)
        setattr(cls, name, _recording(name, answer, log))
    log.clear()
    trigger(engine)
    assert name in log


@pytest.mark.parametrize("how", ["subclass", "replaced-after-use", "getattribute"])
@pytest.mark.parametrize("name", sorted(ENGINE_PROPERTIES))
def test_engine_reads_overridden_properties(make_engine, name, how):
    trigger, value = ENGINE_PROPERTIES[name]
    log = []

    def prop(self):
        log.append(name)
        return value

    namespace = {name: property(prop)} if how == "subclass" else {}
    if how == "getattribute":
        def __getattribute__(self, attr):
            if attr == name:
                return prop(self)
            return object.__getattribute__(self, attr)
        namespace["__getattribute__"] = __getattribute__
    cls = type("Engine", (TkJsonEngine,), namespace)
    engine = make_engine(LAYOUT, cls=cls)
    if how == "replaced-after-use":
        trigger(engine)
        setattr(cls, name, property(prop))
    log.clear()
    trigger(engine)
    assert log == [name]


def test_base_class_members_replaced_after_use_are_seen(make_engine, monkeypatch):
    """Even the bound class's own namespace may change (a test's monkeypatch)."""
    engine = make_engine(LAYOUT)
    engine.press("报表")
    calls = []
    original = TkJsonEngine._guard_page
    monkeypatch.setattr(TkJsonEngine, "_guard_page", lambda self, page_id: calls.append(page_id) or "register")
    engine.press("报表")
    assert calls == ["report"] and engine._components["ui_page"] == "register"
    monkeypatch.setattr(TkJsonEngine, "_guard_page", original)
    engine.press("报表")
    assert calls == ["report"] and engine._components["ui_page"] == "report"


def test_engine_copy_shares_configuration_and_owns_its_state(make_engine):
    class Host(TkJsonEngine):
        pass

    engine = make_engine(LAYOUT, cls=Host)
    engine.note = ["kept"]
    engine.merge_components(entry="alice")
    twin = copy.copy(engine)
    assert type(twin) is Host and twin is not engine
    for field in ("_plugins", "plugin", "_layout", "_nav", "_actions", "_component_keys"):
        assert getattr(twin, field) is getattr(engine, field)
    assert twin._components == engine._components and twin._components is not engine._components
    assert twin.note is engine.note
    twin.merge_components(entry="bob")
    twin.press("报表")
    assert engine._components["entry"] == "alice" and engine.snapshot()["revision"] == 1
    assert twin.snapshot()["revision"] == 3


# --- login backend --------------------------------------------------------------------------


def test_store_members_are_found_as_attribute_access_finds_them(tmp_path, write_json):
    layout = write_json(tmp_path / "gui_layout.json", {
        "database": {"name": "s", "data_root": str(tmp_path), "tables": [{"name": "users", "columns": [
            {"name": "id", "type": "INTEGER", "primary_key": True}, {"name": "username", "unique": True},
            {"name": "password"}]}]},
        "auth": {"hash": "none"}})

    class Store(JsonAppPlugin):
        pass

    store = Store(layout)
    store.init_database()
    assert store.register_user({"username": "u", "password": "p"}) == (True, "注册成功")
    store.hash_password = lambda password: "x" + password  # an instance attribute hides the method
    assert store.register_user({"username": "v", "password": "p"}) == (True, "注册成功")
    assert store.login_user({"username": "v", "password": "p"})[0] is True
    with store.connect() as conn:
        assert conn.execute("SELECT password FROM users WHERE username = 'v'").fetchone()[0] == "xp"
    del store.hash_password
    Store.auth_cfg = property(lambda self: {"hash": "sha256"})  # replaced on the class after use
    assert store.hash_password("p") == JsonAppPlugin.hash_password(store, "p") != "p"
    assert store.login_user({"username": "u", "password": "p"}) == (False, "用户名或密码错误")
    del Store.auth_cfg
    assert store.login_user({"username": "u", "password": "p"})[0] is True


def test_a_replaced_field_map_is_refused_on_every_path(make_engine):
    """The engine calls its own members natively only where they would act alike."""
    engine = make_engine(LAYOUT)
    engine._field_map = ["not", "a", "dict"]
    with pytest.raises(TypeError, match="_fields_from_map"):
        engine.press("登录")
    with pytest.raises(TypeError, match="_fields_from_map"):
        engine._auth_fields()
