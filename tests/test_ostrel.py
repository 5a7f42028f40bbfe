import gc
import json
import sys
import types
import weakref
from pathlib import Path

import pytest

from vantrel_app_plugin import ostrel
from vantrel_app_plugin.ostrel import (
    UnifiedPlugin,
    UnifiedPluginBase,
    action_types_for_plugin,
    build_effective_layout,
    dispatch_plugin_action,
    load_unified_plugins,
    merged_sections,
    plugin_config,
    plugins_block,
    primary_plugin,
)

LOGIN_DB = {"file": "plugin.db"}
LAYOUT = {
    "database": {"file": "top.db", "tables": []},
    "auth": {"table": "users"},
    "tk": {"actions": {"登录": "login"}},
    "plugins": {"enabled": ["login"],
                "config": {"login": {"mode": "sqlite", "sections": {"database": LOGIN_DB}}}},
}


# --- UnifiedPlugin --------------------------------------------------------------------

class Shaped:
    """Meets the interface by shape only."""

    feature_id = "x"
    data = {}

    def on_load(self): ...
    def supports_action(self, action_type): ...
    def run_action(self, action_type, key, spec, engine): ...


def test_interface_is_structural():
    assert UnifiedPlugin.__doc__ == "统一插件接口（JSON 驱动 + 可选接管 Tk 动作）。"
    assert isinstance(Shaped(), UnifiedPlugin)
    assert isinstance(UnifiedPluginBase("x.json", {}), UnifiedPlugin)
    assert UnifiedPlugin not in UnifiedPluginBase.__mro__
    for member in ("feature_id", "data", "on_load", "supports_action", "run_action"):
        partial = type("Partial", (), {k: v for k, v in vars(Shaped).items() if k != member})
        assert not isinstance(partial(), UnifiedPlugin), member


# --- UnifiedPluginBase ---------------------------------------------------------------

class LoginPlugin(UnifiedPluginBase):
    FEATURE_ID = "grisel"
    JSON_SECTIONS = ("database", "auth")
    ACTION_TYPES = frozenset({"login", "logout"})


def test_class_attributes_and_plain_base():
    assert UnifiedPluginBase.FEATURE_ID == "" and UnifiedPluginBase.JSON_SECTIONS == ()
    assert UnifiedPluginBase.ACTION_TYPES == frozenset() and type(UnifiedPluginBase.ACTION_TYPES) is frozenset
    assert UnifiedPluginBase.__mro__ == (UnifiedPluginBase, object)
    assert UnifiedPluginBase.on_load.__doc__ == "引擎构造后调用（建库等）。"


def test_construction_with_a_layout_never_reads_the_file(tmp_path):
    plugin = LoginPlugin(tmp_path / "nowhere" / "gui_layout.json", LAYOUT)
    assert plugin._path == tmp_path / "nowhere" / "gui_layout.json" and isinstance(plugin._path, Path)
    assert plugin.data is LAYOUT and plugin._layout is LAYOUT
    assert plugin.on_load() is None


def test_plugin_config_is_taken_once_through_the_alias():
    plugin = LoginPlugin("x.json", LAYOUT)
    assert plugin.feature_id == "grisel"
    assert plugin.config == {"mode": "sqlite", "sections": {"database": LOGIN_DB}}
    assert plugin.config is plugin.config and plugin.config is plugin._plugin_cfg
    assert plugin.config is not LAYOUT["plugins"]["config"]["login"]
    LoginPlugin.FEATURE_ID = "other"
    try:
        assert plugin.feature_id == "other" and plugin.config["mode"] == "sqlite"
    finally:
        LoginPlugin.FEATURE_ID = "grisel"


def test_sections_merge_anew_on_each_read():
    layout = json.loads(json.dumps(LAYOUT))
    plugin = LoginPlugin("x.json", layout)
    first, second = plugin.sections, plugin.sections
    assert first == second == {"database": LOGIN_DB, "auth": {"table": "users"}} and first is not second
    assert list(first) == ["database", "auth"]
    layout["auth"] = {"table": "accounts"}
    assert plugin.sections["auth"] == {"table": "accounts"}


@pytest.mark.parametrize(
    "attrs, expected",
    [
        ({"FEATURE_ID": "", "PLUGIN_ID": "legacy"}, "legacy"),
        ({"FEATURE_ID": None, "PLUGIN_ID": "legacy"}, "legacy"),
        ({}, ""),
        ({"FEATURE_ID": 42}, "42"),
        ({"FEATURE_ID": "", "PLUGIN_ID": None}, "None"),
        ({"FEATURE_ID": "new", "PLUGIN_ID": "legacy"}, "new"),
    ],
)
def test_feature_id_rules(attrs, expected):
    cls = type("P", (UnifiedPluginBase,), attrs)
    plugin = cls("x.json", {"plugins": {"config": {"legacy": {"k": 1}, "42": {"n": 2}}}})
    assert plugin.feature_id == expected
    assert plugin.config == {"legacy": {"k": 1}, "42": {"n": 2}}.get(expected, {})


def test_overridden_feature_id_property_picks_the_block():
    class Custom(UnifiedPluginBase):
        @property
        def feature_id(self):
            assert self._path == Path("x.json")  # fields are usable while the constructor reads it
            return " login "

    assert Custom("x.json", LAYOUT).config["mode"] == "sqlite"


def test_read_from_file_and_from_config(tmp_path, write_json):
    path = write_json(tmp_path / "布局" / "gui_layout.json", LAYOUT)
    plugin = LoginPlugin.from_config(path)
    assert type(plugin) is LoginPlugin and plugin.data == LAYOUT and plugin._path == path
    assert type(UnifiedPluginBase.from_config(str(path))) is UnifiedPluginBase


def test_read_failures(tmp_path, write_json):
    with pytest.raises(FileNotFoundError):
        LoginPlugin(tmp_path / "missing.json")
    bad = tmp_path / "bad.json"
    bad.write_text("{", encoding="utf-8")
    with pytest.raises(json.JSONDecodeError):
        LoginPlugin(bad)
    for root in ([], "text", 3, None):
        with pytest.raises(ValueError, match="^布局 JSON 根节点必须是对象$"):
            LoginPlugin(write_json(tmp_path / "root.json", root))


def test_constructor_argument_types():
    with pytest.raises(TypeError, match="'layout' must be dict or None, not list"):
        UnifiedPluginBase("x.json", [])
    with pytest.raises(TypeError, match="'config_path'"):
        UnifiedPluginBase(None, {})


def test_supports_action_compares_declared_set_in_lower_case():
    plugin = LoginPlugin("x.json", {})
    assert plugin.supports_action("LOGIN") and plugin.supports_action("login")
    assert not plugin.supports_action("register")
    upper = type("Upper", (UnifiedPluginBase,), {"ACTION_TYPES": frozenset({"LOGIN"})})("x.json", {})
    assert not upper.supports_action("LOGIN")
    with pytest.raises(TypeError, match="supports_action\\(\\) argument 'action_type' must be str"):
        plugin.supports_action(None)


def test_base_run_action_handles_nothing_but_checks_its_arguments():
    plugin = LoginPlugin("x.json", {})
    assert plugin.run_action("login", "登录", {"type": "login"}, object()) is False
    for args, param in [((1, "k", {}, None), "action_type"), (("a", 1, {}, None), "key"),
                        (("a", "k", [], None), "spec")]:
        with pytest.raises(TypeError, match=f"'{param}'"):
            plugin.run_action(*args)


def test_json_sections_must_be_a_tuple():
    listed = type("Listed", (UnifiedPluginBase,), {"JSON_SECTIONS": ["database"]})("x.json", LAYOUT)
    with pytest.raises(TypeError, match="'section_names' must be tuple, not list"):
        listed.sections


def test_fields_hold_any_object_without_harm():
    plugin = LoginPlugin("x.json", {})
    plugin._layout = ["not", "a", "mapping"]
    plugin._plugin_cfg = None
    assert plugin.data == ["not", "a", "mapping"] and plugin.config is None
    with pytest.raises(TypeError, match="'layout' must be dict"):
        plugin.sections


def test_reference_cycles_through_fields_are_collected():
    plugin = LoginPlugin("x.json", {})
    plugin._layout = {"me": plugin}
    ref = weakref.ref(plugin)
    del plugin
    gc.collect()
    assert ref() is None


# --- plugins block and effective layout --------------------------------------------

def test_plugins_block_is_a_shallow_copy():
    layout = json.loads(json.dumps(LAYOUT))
    block = plugins_block(layout)
    block["added"] = 1
    assert "added" not in layout["plugins"]
    block["config"]["login"]["mode"] = "changed"
    assert layout["plugins"]["config"]["login"]["mode"] == "changed"


@pytest.mark.parametrize(
    "plugins",
    [None, [], "login", {"config": ["login"]}, {"config": {"login": "sqlite"}},
     {"config": {"grisel": {"x": 1}}}, {"config": {"Login": {"x": 1}, " login": {"x": 1}}}],
)
def test_plugin_config_is_empty_without_a_matching_block(plugins):
    layout = {"database": {"a": 1}} if plugins is None else {"plugins": plugins, "database": {"a": 1}}
    for fid in ("login", "grisel"):
        assert plugin_config(layout, fid) == {}
        assert merged_sections(layout, fid, ("database",)) == {"database": {"a": 1}}


def test_plugin_config_resolves_and_strips_the_id():
    for fid in ("login", " login\t", "grisel", " grisel "):
        got = plugin_config(LAYOUT, fid)
        assert got == LAYOUT["plugins"]["config"]["login"]
        assert got is not LAYOUT["plugins"]["config"]["login"]
    assert plugins_block({"plugins": 3}) == {}


def test_merged_sections_precedence_and_order():
    assert merged_sections(LAYOUT, "login", ("database", "auth")) == {"database": LOGIN_DB,
                                                                       "auth": {"table": "users"}}
    assert merged_sections(LAYOUT, "login", ("database", "auth"))["database"] is LOGIN_DB
    got = merged_sections(LAYOUT, "login", ("auth", "nowhere", "database", "auth"))
    assert list(got) == ["auth", "database"]
    nulled = {"database": {"a": 1}, "plugins": {"config": {"x": {"sections": {"database": None, "extra": 1}}}}}
    assert merged_sections(nulled, "x", ("database",)) == {"database": None}
    assert merged_sections(LAYOUT, "login", ()) == {}


def test_build_effective_layout_replaces_in_place_and_appends_new_sections():
    layout = {"auth": {"a": 1}, "database": {"top": True}, "tk": {},
              "plugins": {"config": {"login": {"sections": {"database": {"own": True}, "web": {"w": 1}}}}}}
    got = build_effective_layout(layout, "grisel", ("web", "database", "auth"))
    assert list(got) == ["auth", "database", "tk", "plugins", "web"]
    assert got["database"] == {"own": True} and got["web"] == {"w": 1} and got["auth"] is layout["auth"]
    assert layout["database"] == {"top": True} and "web" not in layout
    same = build_effective_layout(layout, "login", ())
    assert same == layout and same is not layout


@pytest.mark.parametrize("func", [merged_sections, build_effective_layout])
def test_section_names_and_other_arguments_are_type_checked(func):
    with pytest.raises(TypeError, match="'section_names' must be tuple, not list"):
        func(LAYOUT, "login", ["database"])
    with pytest.raises(TypeError, match="'feature_id' must be str"):
        func(LAYOUT, None, ())
    with pytest.raises(TypeError, match="'layout' must be dict"):
        func(None, "login", ())
    with pytest.raises(TypeError, match="'layout' must be dict"):
        plugin_config([], "login")


# --- loading through the registry ------------------------------------------------------

@pytest.fixture
def fake_registry(monkeypatch):
    calls = []

    def install(**functions):
        module = types.ModuleType("vantrel_app_plugin.plugins.registry")
        for name, fn in functions.items():
            setattr(module, name, fn)
        monkeypatch.setitem(sys.modules, "vantrel_app_plugin.plugins.registry", module)
        return module

    install.calls = calls
    return install


def test_registry_is_imported_at_each_call(fake_registry):
    sentinel, path = object(), Path("some/gui_layout.json")
    fake_registry(load_enabled_plugins=lambda p: {"one": (p, sentinel)}, primary_auth_plugin=lambda m: m["one"])
    plugins = load_unified_plugins(path)
    assert plugins == {"one": (path, sentinel)} and plugins["one"][0] is path
    assert primary_plugin(plugins) is plugins["one"]
    fake_registry(load_enabled_plugins=lambda p: None, primary_auth_plugin=lambda m: "second")
    assert load_unified_plugins(path) is None
    assert primary_plugin({}) == "second"


def test_registry_results_and_failures(fake_registry):
    fake_registry(load_enabled_plugins=lambda p: ["a"])
    with pytest.raises(TypeError, match="load_enabled_plugins\\(\\) must return a dict or None, not list"):
        load_unified_plugins("x.json")
    with pytest.raises(ImportError, match="primary_auth_plugin"):
        primary_plugin({})
    with pytest.raises(TypeError, match="primary_plugin\\(\\) argument 'plugins' must be dict"):
        primary_plugin(None)

    def boom(p):
        raise KeyError("registry says no")

    fake_registry(load_enabled_plugins=boom)
    with pytest.raises(KeyError, match="registry says no"):
        load_unified_plugins("x.json")


# --- dispatch -----------------------------------------------------------------------------

class Recorder:
    """A plugin that records what it is asked and answers as configured."""

    def __init__(self, log, name, supports=True, handles=False):
        self.log, self.name, self._supports, self._handles = log, name, supports, handles

    def supports_action(self, action_type):
        self.log.append((self.name, "supports", action_type))
        return self._supports

    def run_action(self, action_type, key, spec, engine):
        self.log.append((self.name, "run", action_type, key, spec, engine))
        return self._handles


def test_dispatch_order_and_tie_break():
    log, spec, engine = [], {"type": "Login"}, object()
    plugins = {"a": Recorder(log, "a", supports=False), "b": Recorder(log, "b", handles=False),
               "c": Recorder(log, "c", handles=1), "d": Recorder(log, "d", handles=True)}
    assert dispatch_plugin_action(plugins, "LOGIN", "登录", spec, engine) is True
    assert log == [("a", "supports", "login"), ("b", "supports", "login"),
                   ("b", "run", "login", "登录", spec, engine), ("c", "supports", "login"),
                   ("c", "run", "login", "登录", spec, engine)]
    assert log[2][4] is spec and log[2][5] is engine


def test_dispatch_without_a_taker_is_false():
    log = []
    assert dispatch_plugin_action({}, "login", "k", {}, None) is False
    assert dispatch_plugin_action({"a": Recorder(log, "a", handles="")}, "login", "k", {}, None) is False


@pytest.mark.parametrize("missing", ["run_action", "supports_action"])
def test_plugins_without_both_callable_members_are_never_asked(missing):
    log = []
    lacking = Recorder(log, "lacking", handles=True)
    setattr(lacking, missing, None)
    texty = Recorder(log, "texty", handles=True)
    setattr(texty, missing, "not callable")
    bare = types.SimpleNamespace(supports_action=lambda at: log.append("bare") or True)
    taker = Recorder(log, "taker", handles=True)
    plugins = {"lacking": lacking, "texty": texty, "bare": bare, "taker": taker}
    assert dispatch_plugin_action(plugins, "x", "k", {}, None) is True
    assert log == [("taker", "supports", "x"), ("taker", "run", "x", "k", {}, None)]


def test_dispatch_errors_propagate_and_stop():
    log = []

    class Failing(Recorder):
        def run_action(self, *args):
            raise LookupError("plugin failed")

    plugins = {"f": Failing(log, "f"), "later": Recorder(log, "later", handles=True)}
    with pytest.raises(LookupError, match="plugin failed"):
        dispatch_plugin_action(plugins, "x", "k", {}, None)
    assert ("later", "supports", "x") not in log


def test_dispatch_detects_changes_to_the_plugin_mapping():
    plugins = {}

    class Adder(Recorder):
        def run_action(self, *args):
            plugins["new"] = Recorder([], "new", handles=True)
            return False

    plugins["adder"] = Adder([], "adder")
    plugins["next"] = Recorder([], "next", handles=True)
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        dispatch_plugin_action(plugins, "x", "k", {}, None)


def test_dispatch_reaches_base_class_plugins_and_subclass_overrides():
    class Handler(LoginPlugin):
        def run_action(self, action_type, key, spec, engine):
            engine.append((self.feature_id, action_type, key))
            return True

    engine = []
    plugins = {"declared": LoginPlugin("x.json", {}), "handler": Handler("x.json", {})}
    assert dispatch_plugin_action(plugins, "LogOut", "退出", {"type": "LogOut"}, engine) is True
    assert engine == [("grisel", "logout", "退出")]
    assert dispatch_plugin_action(plugins, "register", "k", {}, engine) is False


def test_dispatch_argument_types():
    for args, param in [(([], "x", "k", {}, None), "plugins"), (({}, 1, "k", {}, None), "action_type"),
                        (({}, "x", None, {}, None), "key"), (({}, "x", "k", "spec", None), "spec")]:
        with pytest.raises(TypeError, match=f"dispatch_plugin_action\\(\\) argument '{param}'"):
            dispatch_plugin_action(*args)


@pytest.mark.parametrize(
    "declared, expected",
    [
        (["Login", 7], frozenset({"login", "7"})),
        (("A", "a"), frozenset({"a"})),
        ({"X"}, frozenset({"x"})),
        (frozenset({"Ü"}), frozenset({"ü"})),
        ("login", frozenset()),
        ({"login": 1}, frozenset()),
        (None, frozenset()),
    ],
)
def test_action_types_for_plugin(declared, expected):
    got = action_types_for_plugin(types.SimpleNamespace(ACTION_TYPES=declared))
    assert got == expected and type(got) is frozenset
    assert action_types_for_plugin(object()) == frozenset()
    assert action_types_for_plugin(LoginPlugin) == frozenset({"login", "logout"})


def test_instance_and_subclass_members_override_the_class_ones():
    """Members are looked up on the object: instance attributes and properties count."""
    log = []
    shadowed = LoginPlugin("x.json", {})
    shadowed.run_action = None                       # present, not callable: passed over
    instance_level = LoginPlugin("x.json", {})
    instance_level.supports_action = lambda at: log.append(("instance", at)) or True
    instance_level.run_action = lambda at, key, spec, engine: log.append(("run", at)) or False

    class ByProperty(UnifiedPluginBase):
        @property
        def supports_action(self):
            return lambda at: log.append(("property", at)) or True

    class Declared(UnifiedPluginBase):
        ACTION_TYPES = frozenset({"login"})

        def supports_action(self, action_type):
            log.append(("override", action_type))
            return super().supports_action(action_type)

        def run_action(self, action_type, key, spec, engine):
            return "handled"

    plugins = {"shadowed": shadowed, "instance": instance_level, "property": ByProperty("x.json", {}),
               "declared": Declared("x.json", {})}
    assert dispatch_plugin_action(plugins, "LOGIN", "k", {}, None) is True
    assert log == [("instance", "login"), ("run", "login"), ("property", "login"), ("override", "login")]


@pytest.mark.filterwarnings("ignore:nanobind. attempted to access an uninitialized instance")
def test_dynamic_members_and_uninitialised_base_instances():
    class Dynamic:
        def __getattr__(self, name):
            if name == "supports_action":
                return lambda at: True
            if name == "run_action":
                return lambda at, key, spec, engine: at == "go"
            raise AttributeError(name)

    assert dispatch_plugin_action({"d": Dynamic()}, "GO", "k", {}, None) is True

    class Unready(LoginPlugin):
        def __init__(self):
            pass

    with pytest.raises(TypeError):
        dispatch_plugin_action({"u": Unready()}, "login", "k", {}, None)

    class Borrowing:
        supports_action = UnifiedPluginBase.supports_action
        run_action = UnifiedPluginBase.run_action
        ACTION_TYPES = frozenset({"login"})

    with pytest.raises(TypeError):
        dispatch_plugin_action({"b": Borrowing()}, "login", "k", {}, None)


def test_class_members_changed_after_use_are_seen():
    """Dispatch remembers each plugin class's members only until the class (or a base) changes."""
    class Base:
        def supports_action(self, action_type):
            return True

    class Plugin(Base):
        pass

    plugins = {"p": Plugin()}
    steps = [  # (change to the classes, result of the next dispatch)
        (lambda: None, False),                                                   # no run_action yet
        (lambda: setattr(Plugin, "run_action", lambda self, *a: True), True),
        (lambda: setattr(Base, "supports_action", lambda self, at: False), False),  # change on the base
        (lambda: delattr(Base, "supports_action"), False),                       # member gone: passed over
        (lambda: setattr(Plugin, "supports_action", lambda self, at: at == "go"), True),
        (lambda: delattr(Plugin, "run_action"), False),
    ]
    for i, (change, expected) in enumerate(steps):
        change()
        for _ in range(2):  # the second call is answered from what was remembered
            assert dispatch_plugin_action(plugins, "go", "k", {}, None) is expected, i
