import importlib
import sys
import types
from pathlib import Path

import pytest

import vantrel_app_plugin
from vantrel_app_plugin import fennic
from vantrel_app_plugin.fennic import (
    discover_builtin_features,
    is_builtin_feature,
    iter_builtin_feature_dirs,
    load_builtin_feature,
)
from vantrel_app_plugin.plugins.base import AppPlugin


@pytest.fixture
def tree(tmp_path, monkeypatch):
    """A package directory of our own, importable as part of vantrel_app_plugin."""
    root = tmp_path / "app_plugin"
    root.mkdir()
    monkeypatch.setattr(fennic, "APP_PLUGIN_DIR", root)
    monkeypatch.setattr(vantrel_app_plugin, "__path__", [*vantrel_app_plugin.__path__, str(root)])
    before = set(sys.modules)

    def add(name, body="", init=True):
        folder = root / name
        folder.mkdir()
        if init:
            (folder / "__init__.py").write_text(body, encoding="utf-8")
        importlib.invalidate_caches()
        return folder

    yield add
    for name in set(sys.modules) - before:
        if name.startswith("vantrel_app_plugin."):
            del sys.modules[name]


def test_module_constants():
    assert fennic.APP_PLUGIN_DIR == Path(fennic.__file__).resolve().parent
    assert fennic.APP_PLUGIN_DIR.is_absolute()
    assert fennic._SKIP_DIRS == frozenset({"__pycache__", "plugins"})
    assert fennic.AppPlugin is AppPlugin
    assert "login" in iter_builtin_feature_dirs() and "plugins" not in iter_builtin_feature_dirs()


def test_only_feature_packages_are_listed_in_path_order(tree):
    for name in ("login", "_private", "plugins", "b", "a", "C"):
        tree(name)
    tree("__pycache__", init=False)
    tree("no_init", init=False)
    (fennic.APP_PLUGIN_DIR / "module.py").write_text("", encoding="utf-8")
    assert iter_builtin_feature_dirs() == ["C", "a", "b", "login"]


def test_a_directory_named_init_is_not_a_package(tree):
    tree("odd", init=False)
    (fennic.APP_PLUGIN_DIR / "odd" / "__init__.py").mkdir()
    assert iter_builtin_feature_dirs() == []
    assert not is_builtin_feature("odd")


def test_is_builtin_feature_resolves_but_does_not_filter(tree):
    tree("login")
    tree("plugins")
    tree("_hidden")
    assert is_builtin_feature("grisel") and is_builtin_feature("  login\n")
    assert is_builtin_feature("plugins") and is_builtin_feature("_hidden")
    assert not is_builtin_feature("missing") and not is_builtin_feature("GRISEL")
    with pytest.raises(TypeError, match="is_builtin_feature\\(\\) argument 'feature_id' must be str"):
        is_builtin_feature(None)


def test_descriptors_fall_back_and_sort_stably_by_id(tree):
    tree("vtfx_new", 'FEATURE_ID = "b-id"\nFEATURE_NAME = "新"\nFEATURE_VERSION = 2\n'
                     'FEATURE_DESCRIPTION = "d"\nPLUGIN_ID = "ignored"\n')
    tree("vtfx_legacy", 'FEATURE_ID = ""\nPLUGIN_ID = "a-id"\nPLUGIN_NAME = ""\nPLUGIN_VERSION = "1.0"\n')
    tree("vtfx_bare")
    tree("vtfx_dup2", 'FEATURE_ID = "same"\n')
    tree("vtfx_dup1", 'FEATURE_ID = "same"\nFEATURE_NAME = 0\nPLUGIN_NAME = None\n')
    got = discover_builtin_features()
    assert got == [
        {"id": "a-id", "name": "", "version": "1.0", "description": "",
         "module": "vantrel_app_plugin.vtfx_legacy", "kind": "builtin"},
        {"id": "b-id", "name": "新", "version": "2", "description": "d",
         "module": "vantrel_app_plugin.vtfx_new", "kind": "builtin"},
        {"id": "same", "name": "None", "version": "0.0.0", "description": "",
         "module": "vantrel_app_plugin.vtfx_dup1", "kind": "builtin"},
        {"id": "same", "name": "same", "version": "0.0.0", "description": "",
         "module": "vantrel_app_plugin.vtfx_dup2", "kind": "builtin"},
        {"id": "vtfx_bare", "name": "vtfx_bare", "version": "0.0.0", "description": "",
         "module": "vantrel_app_plugin.vtfx_bare", "kind": "builtin"},
    ]
    assert [list(d) for d in got] == [["id", "name", "version", "description", "module", "kind"]] * 5


def test_a_broken_feature_fails_the_whole_discovery(tree):
    tree("vtfx_fine")
    tree("vtfx_broken", 'raise ImportError("broken feature")\n')
    with pytest.raises(ImportError, match="broken feature"):
        discover_builtin_features()


def test_hooks_are_read_from_the_module_at_call_time(tree, monkeypatch):
    tree("vtfx_one")
    seen = []
    fake = types.SimpleNamespace(__name__="elsewhere.one", create_plugin=lambda p: ("made", p))

    def hook(fid):
        seen.append(fid)
        return fake

    monkeypatch.setattr(fennic, "_import_builtin", hook)
    assert discover_builtin_features()[0]["module"] == "elsewhere.one"
    assert load_builtin_feature("vtfx_one", "cfg.json") == ("made", "cfg.json")
    monkeypatch.setattr(fennic, "_SKIP_DIRS", frozenset({"vtfx_one"}))
    assert discover_builtin_features() == []
    assert seen == ["vtfx_one", "vtfx_one"]


def test_import_builtin_goes_through_the_import_system(tree, monkeypatch):
    tree("vtfx_real", "VALUE = 1\n")
    module = fennic._import_builtin(" vtfx_real ")
    assert module.VALUE == 1 and sys.modules["vantrel_app_plugin.vtfx_real"] is module
    stand_in = types.ModuleType("vantrel_app_plugin.login")
    monkeypatch.setitem(sys.modules, "vantrel_app_plugin.login", stand_in)
    assert fennic._import_builtin("grisel") is stand_in
    with pytest.raises(ModuleNotFoundError):
        fennic._import_builtin("vtfx_absent")


# --- load_builtin_feature ---------------------------------------------------------

@pytest.mark.parametrize(
    "given, message",
    [
        ("abc", "未知内置功能 'abc'（app_plugin/abc/ 不存在）"),
        (" grisel ", "未知内置功能 ' grisel '（app_plugin/login/ 不存在）"),
        ("it's", "未知内置功能 \"it's\"（app_plugin/it's/ 不存在）"),
    ],
)
def test_unknown_feature_message(tree, given, message):
    with pytest.raises(ValueError) as info:
        load_builtin_feature(given, "cfg.json")
    assert str(info.value) == message


@pytest.mark.parametrize("body", ["", "create_plugin = None\n", "create_plugin = 'text'\n"])
def test_feature_without_a_callable_factory(tree, body):
    tree("vtfx_nofactory", body)
    with pytest.raises(ValueError) as info:
        load_builtin_feature("vtfx_nofactory", "cfg.json")
    assert str(info.value) == "app_plugin.vtfx_nofactory 缺少 create_plugin(config_path)"


def test_factory_gets_the_path_unchanged_and_its_errors_propagate(tree):
    tree("vtfx_echo", "def create_plugin(config_path):\n    return ['plugin', config_path]\n")
    tree("vtfx_fail", "def create_plugin(config_path):\n    raise OSError('no layout')\n")
    path = Path("some") / "gui_layout.json"
    got = load_builtin_feature("vtfx_echo", path)
    assert got == ["plugin", path] and got[1] is path
    with pytest.raises(OSError, match="no layout"):
        load_builtin_feature("vtfx_fail", path)
    with pytest.raises(TypeError, match="load_builtin_feature\\(\\) argument 'feature_id' must be str"):
        load_builtin_feature(3, path)


def test_grisel_loads_the_login_package(monkeypatch):
    calls = []
    login = types.ModuleType("vantrel_app_plugin.login")
    login.create_plugin = lambda path: calls.append(path) or "login plugin"
    monkeypatch.setitem(sys.modules, "vantrel_app_plugin.login", login)
    assert load_builtin_feature("grisel", "cfg.json") == "login plugin"
    assert calls == ["cfg.json"]


def test_the_login_feature_of_the_package(tmp_path, write_json, monkeypatch):
    monkeypatch.delenv("CALC_WS_ROOT", raising=False)
    from vantrel_app_plugin.login import JsonAppPlugin

    login = [d for d in discover_builtin_features() if d["module"] == "vantrel_app_plugin.login"]
    assert login and login[0]["id"] == "login" and login[0]["kind"] == "builtin"
    path = write_json(tmp_path / "gui_layout.json", {"database": {"data_root": str(tmp_path)}})
    plugin = load_builtin_feature("grisel", path)
    assert type(plugin) is JsonAppPlugin and plugin.config_path == path
