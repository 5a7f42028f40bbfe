import json
import sys
import types
from pathlib import Path

import pytest

from vantrel_app_plugin import fennic, ostrel
from vantrel_app_plugin.plugins import registry
from vantrel_app_plugin.plugins.registry import load_enabled_plugins, primary_auth_plugin


class DocumentPlugin:
    """Stands in for the login backend: holds its own parsed copy of the document as `_raw`."""

    def __init__(self, fid, path, raw):
        self.fid, self.path, self._raw = fid, path, raw

    @property
    def data(self):
        return self._raw

    def login_user(self, fields):
        return True, {"id": 1, "username": fields.get("username")}


@pytest.fixture
def loads(monkeypatch):
    """Record the built-in features the registry loads; each one is a DocumentPlugin."""
    calls = []

    def load(fid, config_path):
        calls.append((fid, config_path))
        return DocumentPlugin(fid, config_path, json.loads(Path(config_path).read_text(encoding="utf-8")))

    monkeypatch.setattr(fennic, "load_builtin_feature", load)
    return calls


@pytest.mark.parametrize("plugins", [None, {}, {"enabled": None}, "login", {"config": {}}])
def test_login_is_enabled_when_nothing_is_listed(tmp_path, write_json, loads, plugins):
    layout = {} if plugins is None else {"plugins": plugins}
    path = write_json(tmp_path / "gui_layout.json", layout)
    got = load_enabled_plugins(path)
    assert list(got) == ["login"] and loads == [("login", path)]
    assert loads[0][1] is path


def test_listed_ids_resolve_in_order_once_each(tmp_path, write_json, loads):
    path = write_json(tmp_path / "gui_layout.json", {"plugins": {"enabled": ["report", " grisel ", "login", "report"]}})
    got = load_enabled_plugins(str(path))
    assert list(got) == ["report", "login"]
    assert [fid for fid, _ in loads] == ["report", "login"]
    assert got["login"].fid == "login"


def test_an_empty_list_enables_nothing(tmp_path, write_json, loads):
    assert load_enabled_plugins(write_json(tmp_path / "l.json", {"plugins": {"enabled": []}})) == {}
    assert loads == []


@pytest.mark.parametrize("enabled", ["login", {"login": True}, 3, ["login", 5], ["  "], [None]])
def test_malformed_enabled_lists_are_reported(tmp_path, write_json, loads, enabled):
    with pytest.raises(ValueError, match="plugins.enabled"):
        load_enabled_plugins(write_json(tmp_path / "l.json", {"plugins": {"enabled": enabled}}))


def test_unknown_feature_is_named(tmp_path, write_json):
    path = write_json(tmp_path / "l.json", {"plugins": {"enabled": ["nope"]}})
    with pytest.raises(ValueError, match=r"^未知内置功能 'nope'（app_plugin/nope/ 不存在）$"):
        load_enabled_plugins(path)


def test_unreadable_layouts(tmp_path, write_json):
    with pytest.raises(FileNotFoundError, match="^配置文件不存在: "):
        load_enabled_plugins(tmp_path / "missing.json")
    with pytest.raises(ValueError, match="^配置根节点必须是 JSON 对象$"):
        load_enabled_plugins(write_json(tmp_path / "l.json", ["login"]))


# --- the login plugin's own sections --------------------------------------------------

SECTIONED = {
    "database": {"name": "top"},
    "auth": {"table": "users"},
    "tk": {"start_page": "login"},
    "plugins": {"enabled": ["grisel"],
                "config": {"login": {"sections": {"database": {"name": "own"}, "web": {"title": "W"}}}}},
}


def test_login_plugin_works_on_the_effective_layout(tmp_path, write_json, loads):
    plugin = load_enabled_plugins(write_json(tmp_path / "l.json", SECTIONED))["login"]
    assert plugin.data["database"] == {"name": "own"}
    assert plugin.data["web"] == {"title": "W"}
    assert plugin.data["auth"] == {"table": "users"} and plugin.data["tk"] == {"start_page": "login"}
    assert plugin.data["plugins"] == SECTIONED["plugins"]


@pytest.mark.parametrize(
    "config",
    [{}, {"login": {}}, {"login": {"sections": {"tk": {"start_page": "x"}}}}, {"login": {"sections": ["database"]}}],
)
def test_layout_without_login_sections_is_left_as_read(tmp_path, write_json, loads, config):
    layout = dict(SECTIONED, plugins={"config": config})
    plugin = load_enabled_plugins(write_json(tmp_path / "l.json", layout))["login"]
    assert plugin.data == layout


def test_other_plugins_keep_their_document(tmp_path, write_json, loads):
    layout = dict(SECTIONED, plugins={"enabled": ["report"], "config": {"report": SECTIONED["plugins"]["config"]["login"]}})
    assert load_enabled_plugins(write_json(tmp_path / "l.json", layout))["report"].data == layout


# --- primary_auth_plugin --------------------------------------------------------------------

def test_primary_is_login_then_the_first_that_can_log_in():
    first = DocumentPlugin("a", "p", {})
    second = DocumentPlugin("b", "p", {})
    no_login = types.SimpleNamespace(login_user="not callable")
    login = object()
    assert primary_auth_plugin({"x": no_login, "a": first, "login": login}) is login
    assert primary_auth_plugin({"x": no_login, "a": first, "b": second}) is first
    assert primary_auth_plugin({"login": None, "b": second}) is second
    assert primary_auth_plugin({"x": no_login}) is None
    assert primary_auth_plugin({}) is None and primary_auth_plugin(None) is None


def test_engine_path_through_ostrel(tmp_path, write_json, monkeypatch):
    """load_unified_plugins + primary_plugin with the real registry and a stand-in login package."""

    class Auth(ostrel.UnifiedPluginBase):
        FEATURE_ID = "login"
        JSON_SECTIONS = ("database", "auth")

        def login_user(self, fields):
            return False, "用户名或密码错误"

    login = types.ModuleType("vantrel_app_plugin.login")
    login.create_plugin = Auth
    monkeypatch.setitem(sys.modules, "vantrel_app_plugin.login", login)
    path = write_json(tmp_path / "gui_layout.json", SECTIONED)
    plugins = ostrel.load_unified_plugins(path)
    assert list(plugins) == ["login"]
    primary = ostrel.primary_plugin(plugins)
    assert type(primary) is Auth
    assert primary.sections == {"database": {"name": "own"}, "auth": {"table": "users"}}
    assert primary.data == SECTIONED  # a UnifiedPluginBase merges its sections itself


# --- with the real login backend ------------------------------------------------------------

USERS_TABLE = {"name": "users", "columns": [
    {"name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True},
    {"name": "username", "type": "TEXT", "not_null": True, "unique": True},
    {"name": "password", "type": "TEXT", "not_null": True},
]}


@pytest.fixture
def real_layout(tmp_path, write_json, monkeypatch):
    monkeypatch.delenv("CALC_WS_ROOT", raising=False)

    def write(plugins=None, **top):
        doc = {"title": "演示", **top}
        if plugins is not None:
            doc["plugins"] = plugins
        return write_json(tmp_path / "gui_layout.json", doc)

    return write


@pytest.mark.parametrize("plugins", [None, {"enabled": ["login"]}, {"enabled": ["grisel"]}, {"enabled": [" login "]}])
def test_enabled_login_gives_a_json_app_plugin_as_primary(real_layout, tmp_path, plugins):
    from vantrel_app_plugin.login import JsonAppPlugin

    path = real_layout(plugins, database={"name": "top", "data_root": str(tmp_path)})
    loaded = ostrel.load_unified_plugins(path)
    primary = ostrel.primary_plugin(loaded)
    assert list(loaded) == ["login"] and type(primary) is JsonAppPlugin
    assert primary.config_path == path and primary.app_name == "top"
    assert ostrel.dispatch_plugin_action(loaded, "login", "登录", {"type": "login"}, None) is False


def test_login_sections_configure_the_user_store(real_layout, tmp_path):
    plugins = {"enabled": ["login"], "config": {"login": {"sections": {
        "database": {"name": "own", "data_root": str(tmp_path), "tables": [USERS_TABLE]},
        "auth": {"seed_users": [{"username": "admin", "password": "pw"}]}}}}}
    path = real_layout(plugins, database={"name": "top", "data_root": str(tmp_path / "elsewhere")})
    primary = ostrel.primary_plugin(ostrel.load_unified_plugins(path))
    assert primary.app_name == "own" and primary.db_path == tmp_path / "data" / "own.db"
    primary.init_database()
    ok, user = primary.login_user({"username": "admin", "password": "pw"})
    assert ok is True and user["username"] == "admin"
    assert primary.data["plugins"] == plugins and primary.data["title"] == "演示"
