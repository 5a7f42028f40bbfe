import importlib
import sys
import types
from pathlib import Path

import pytest

import vantrel_app_plugin.plugins as plugins_package
from vantrel_app_plugin._nimbra import resolve_feature_id

GRISEL = "vantrel_app_plugin.plugins.grisel"


@pytest.fixture
def load_grisel(monkeypatch):
    """Import the entry module afresh against a stand-in login package; the
    module state of the process is restored afterwards."""

    saved_module = sys.modules.pop(GRISEL, None)
    saved_attr = vars(plugins_package).pop("grisel", None)

    def load(login):
        monkeypatch.setitem(sys.modules, "vantrel_app_plugin.login", login)
        sys.modules.pop(GRISEL, None)
        return importlib.import_module(GRISEL)

    yield load
    sys.modules.pop(GRISEL, None)
    vars(plugins_package).pop("grisel", None)
    if saved_module is not None:
        sys.modules[GRISEL] = saved_module
    if saved_attr is not None:
        plugins_package.grisel = saved_attr


def stand_in_login(**extra):
    login = types.ModuleType("vantrel_app_plugin.login")

    class JsonAppPlugin:
        def __init__(self, config_path):
            if not Path(config_path).is_file():
                raise FileNotFoundError(f"配置文件不存在: {config_path}")
            self.config_path = config_path

    login.JsonAppPlugin = JsonAppPlugin
    login.create_plugin = lambda config_path: JsonAppPlugin(config_path)
    vars(login).update(extra)
    return login


def test_identity_and_bound_names(load_grisel):
    login = stand_in_login()
    grisel = load_grisel(login)
    assert (grisel.PLUGIN_ID, grisel.PLUGIN_NAME, grisel.PLUGIN_VERSION, grisel.PLUGIN_DESCRIPTION) == (
        "grisel", "SQLite 用户认证", "1.0.0", "兼容别名，等价于 login")
    assert tuple(grisel.__all__) == ("JsonAppPlugin", "create_plugin", "PLUGIN_ID")
    assert grisel.Path is Path
    assert grisel.JsonAppPlugin is login.JsonAppPlugin and grisel._create is login.create_plugin
    assert resolve_feature_id(grisel.PLUGIN_ID) == "login"


def test_create_plugin_delegates_unchanged(load_grisel, tmp_path):
    seen = []
    sentinel = object()
    grisel = load_grisel(stand_in_login(create_plugin=lambda p: seen.append(p) or sentinel))
    path = tmp_path / "gui_layout.json"
    assert grisel.create_plugin(path) is sentinel
    assert grisel.create_plugin(config_path=str(path)) is sentinel
    assert seen[0] is path and seen[1] == str(path)


def test_factory_errors_propagate(load_grisel, tmp_path):
    grisel = load_grisel(stand_in_login())
    missing = tmp_path / "missing.json"
    with pytest.raises(FileNotFoundError, match="^配置文件不存在: "):
        grisel.create_plugin(missing)


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), (("a.json", "b.json"), {}), ((), {"path": "a.json"}), (("a.json",), {"config_path": "b.json"})],
)
def test_create_plugin_takes_exactly_one_argument(load_grisel, args, kwargs):
    grisel = load_grisel(stand_in_login())
    with pytest.raises(TypeError, match="create_plugin"):
        grisel.create_plugin(*args, **kwargs)


@pytest.mark.parametrize("missing", ["JsonAppPlugin", "create_plugin"])
def test_loading_fails_without_the_login_exports(load_grisel, missing):
    login = stand_in_login()
    delattr(login, missing)
    with pytest.raises(ImportError) as info:
        load_grisel(login)
    cause = info.value.__cause__ or info.value.__context__
    assert isinstance(cause, ImportError) and missing in str(cause)


def test_with_the_real_login_package(tmp_path, write_json, monkeypatch):
    monkeypatch.delenv("CALC_WS_ROOT", raising=False)
    from vantrel_app_plugin.login import JsonAppPlugin
    from vantrel_app_plugin.plugins import grisel

    assert grisel.JsonAppPlugin is JsonAppPlugin
    path = write_json(tmp_path / "gui_layout.json",
                      {"web": {"title": "演示"}, "database": {"data_root": str(tmp_path)}})
    made, direct = grisel.create_plugin(path), JsonAppPlugin(path)
    assert type(made) is JsonAppPlugin
    assert (made.app_title, made.db_path) == (direct.app_title, direct.db_path) == ("演示", tmp_path / "data" / "演示.db")
    missing = tmp_path / "missing.json"
    with pytest.raises(FileNotFoundError) as info:
        grisel.create_plugin(config_path=missing)
    assert str(info.value) == f"配置文件不存在: {missing}"
