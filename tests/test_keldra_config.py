import gc
import json
import os
import re
import sys
import weakref
from pathlib import Path

import pytest

from vantrel_app_plugin import json_app_plugin, login
from vantrel_app_plugin.login.keldra import JsonAppPlugin, _sanitize_db_basename, load_plugin_sections


@pytest.fixture(autouse=True)
def no_env(monkeypatch):
    monkeypatch.delenv("CALC_WS_ROOT", raising=False)


def plugin(tmp_path, write_json, doc, rel="proj/config/gui_layout.json"):
    return JsonAppPlugin(write_json(tmp_path / rel, doc))


# --- the document ------------------------------------------------------------------

def test_package_entry_and_reexport(tmp_path, write_json):
    assert login.JsonAppPlugin is JsonAppPlugin is json_app_plugin.JsonAppPlugin
    assert login.FEATURE_ID == "login"
    assert all(isinstance(v, str) and v for v in
               (login.FEATURE_NAME, login.FEATURE_VERSION, login.FEATURE_DESCRIPTION))
    cfg = write_json(tmp_path / "gui_layout.json", {"title": "T"})
    made = login.create_plugin(cfg)
    assert type(made) is JsonAppPlugin and made.app_title == "T"
    assert made.db_path == JsonAppPlugin(cfg).db_path


def test_path_is_kept_as_given(tmp_path, write_json, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_json(tmp_path / "conf" / "a.json", {})
    p = JsonAppPlugin("conf/../conf/a.json")
    assert p._path == Path("conf/../conf/a.json") and p.config_path is p._path
    assert not p.config_path.is_absolute()


@pytest.mark.parametrize("make", [lambda d: d / "missing.json", lambda d: d])
def test_missing_file_or_directory(tmp_path, make):
    target = make(tmp_path)
    with pytest.raises(FileNotFoundError) as info:
        JsonAppPlugin(str(target))
    assert str(info.value) == f"配置文件不存在: {target}"


@pytest.mark.parametrize("content, error, message", [
    ("[1, 2]", ValueError, "配置根节点必须是 JSON 对象"),
    ("\ufeff{}", json.JSONDecodeError, "Unexpected UTF-8 BOM"),
    ("{oops", json.JSONDecodeError, "Expecting property name"),
])
def test_bad_documents(tmp_path, content, error, message):
    cfg = tmp_path / "gui_layout.json"
    cfg.write_text(content, encoding="utf-8")
    with pytest.raises(error, match=message):
        JsonAppPlugin(cfg)


def test_invalid_utf8_is_the_decoders_error(tmp_path):
    cfg = tmp_path / "gui_layout.json"
    cfg.write_bytes(b'{"title": "\xff"}')
    with pytest.raises(UnicodeDecodeError):
        JsonAppPlugin(cfg)


def test_reload_replaces_or_keeps_the_document(tmp_path, write_json):
    cfg = write_json(tmp_path / "gui_layout.json", {"title": "一"})
    p = JsonAppPlugin(cfg)
    first = p.data
    for bad in ("{not json", "[]"):
        cfg.write_text(bad, encoding="utf-8")
        with pytest.raises(ValueError):
            p.reload()
        assert p.data is first
    write_json(cfg, {"title": "二"})
    assert p.reload() is None and p.app_title == "二" and p.data is not first


def test_data_is_the_document_and_sections_are_copies(tmp_path, write_json):
    p = plugin(tmp_path, write_json, {"database": {"name": "a", "tables": []}})
    cfg = p.database_cfg
    cfg["name"] = "changed"
    assert p.database_cfg == {"name": "a", "tables": []}
    assert cfg["tables"] is p.data["database"]["tables"]  # shallow
    p.data["database"]["name"] = "b"
    assert p.app_name == "b"
    p._raw = {"title": "新"}
    assert p.data == {"title": "新"} and p.app_title == "新"


@pytest.mark.parametrize("value", [None, 0, "", [], {}, False])
def test_sections_that_are_not_truthy_are_empty(tmp_path, write_json, value):
    p = plugin(tmp_path, write_json, {"database": value, "auth": value, "web": value, "window": value})
    assert p.database_cfg == p.auth_cfg == p.web_cfg == {}
    assert p.app_title == "应用"


LOGIN = ("login_user", {"username": "a", "password": "b"})
REGISTER = ("register_user", {"username": "a", "password": "b"})

# What reads each section, directly or through another property (a database
# without a name is named after the title, which the web section gives).
SECTION_READERS = {
    "database": ["database_cfg", "app_name", "data_root", "db_path", LOGIN, REGISTER, ("init_database",)],
    "auth": ["auth_cfg", LOGIN, REGISTER, ("seed_default_users",)],
    "web": ["web_cfg", "app_title", "app_name", "db_path", LOGIN, REGISTER, ("init_database",)],
}


@pytest.mark.parametrize("section, value", [
    ("database", "text"), ("database", True), ("web", 1.5), ("auth", [["a", "b"]]), ("auth", 3),
])
def test_sections_that_are_present_but_not_objects_are_refused(tmp_path, write_json, section, value):
    # Read as empty, they would silently run the application on defaults.
    doc = {"auth": {"seed_users": [{"username": "u", "password": "p"}]}}
    doc[section] = value
    if section == "web":
        doc["database"] = {"tables": [{"name": "users", "columns": [{"name": "username"}]}]}
    p = plugin(tmp_path, write_json, doc, rel="gui_layout.json")
    expected = re.escape(f"配置节 {section} 必须是 JSON 对象，不能是 {type(value).__name__}")
    for reader in SECTION_READERS[section]:
        with pytest.raises(TypeError, match=expected):
            getattr(p, reader) if isinstance(reader, str) else getattr(p, reader[0])(*reader[1:])


def test_pages_cfg(tmp_path, write_json):
    both = plugin(tmp_path, write_json, {"auth_forms": {"login": {}}, "pages": {"register": {}}})
    assert both.pages_cfg == {"login": {}}
    assert plugin(tmp_path, write_json, {"pages": {"register": {}}}).pages_cfg == {"register": {}}
    assert plugin(tmp_path, write_json, {"pages": [{"id": "home"}]}).pages_cfg == {}
    p = plugin(tmp_path, write_json, {"auth_forms": {"login": {"title": "x"}}})
    p.pages_cfg["login"] = None
    assert p.data["auth_forms"]["login"] == {"title": "x"}


# --- titles and names --------------------------------------------------------------

@pytest.mark.parametrize("doc, title", [
    ({"web": {"title": "网页"}, "title": "顶层", "window": {"title": "窗口"}}, "网页"),
    ({"web": {"title": ""}, "title": "顶层"}, "顶层"),
    ({"title": 0, "window": {"title": "窗口"}}, "窗口"),
    ({"title": 42}, "42"),
    ({"title": True}, "True"),
    ({}, "应用"),
])
def test_app_title_chain(tmp_path, write_json, doc, title):
    assert plugin(tmp_path, write_json, doc).app_title == title


@pytest.mark.parametrize("doc, name", [
    ({"database": {"name": "My App.db"}}, "My_App"),
    ({"database": {"name": " .DB "}}, "app"),
    ({"database": {"name": "用户库-2024"}}, "用户库-2024"),
    ({"database": {"name": "x" * 70}}, "x" * 64),
    ({"database": {"name": "  ", "app_name": "second"}}, "second"),
    ({"database": {"name": None, "app_name": 7}, "app_name": "third"}, "7"),
    ({"app_name": 0}, "0"),
    ({"app_name": False}, "False"),
    ({"window": {"id": "WIN_Main"}}, "Main"),
    ({"window": {"id": "win_"}}, "app"),
    ({"window": {"id": " 窗口 "}}, "窗口"),
    ({"window": {"id": 0}}, "proj"),
    ({"title": "标题 甲"}, "proj"),
])
def test_app_name_chain(tmp_path, write_json, doc, name):
    assert plugin(tmp_path, write_json, doc).app_name == name


@pytest.mark.parametrize("rel, name", [
    ("proj/Config/gui_layout.json", "proj"),
    ("My Proj/CONFIG/gui_layout.json", "My_Proj"),
    ("proj/configs/gui_layout.json", "标题"),
    ("proj/gui_layout.json", "标题"),
])
def test_app_name_from_the_config_directory(tmp_path, write_json, rel, name):
    assert plugin(tmp_path, write_json, {"title": "标题"}, rel).app_name == name


def test_app_name_of_relative_paths_uses_the_path_as_given(tmp_path, write_json, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_json(tmp_path / "config" / "gui_layout.json", {})
    assert JsonAppPlugin("config/gui_layout.json").app_name == "应用"  # the parent of config has no name
    write_json(tmp_path / "x" / "config" / "c.json", {})
    assert JsonAppPlugin("x/../x/config/c.json").app_name == "x"


def _re_sanitize(s):
    s = s.strip()
    if s.lower().endswith(".db"):
        s = s[:-3].strip()
    s = re.sub(r"[^\w\-]+", "_", s).strip("_")
    return s[:64] if s else "app"


def test_sanitizer_agrees_with_re_over_unicode():
    # Every code point of the basic plane and samples of the others, each
    # between two letters.
    ranges = [range(0, 0x10000), range(0x1D400, 0x1D800), range(0x10000, sys.maxunicode + 1, 61)]
    for r in ranges:
        for cp in r:
            s = f"a{chr(cp)}b"
            assert _sanitize_db_basename(s) == _re_sanitize(s), hex(cp)
    for s in ["汉字\u0301名", "٣٤٥", "x\u3000y", "\u00b2\u2167", "-_-", "__a__", "a.db.DB", "\ud800x",
              "  spaced .Db  ", "é" * 80, "a" * 63 + "!!b", "\t\n", "Ⅻ", "𝟘𝟙"]:
        assert _sanitize_db_basename(s) == _re_sanitize(s), repr(s)


# --- data root and database file ----------------------------------------------------

def test_data_root_comes_from_the_database_section(tmp_path, write_json):
    p = plugin(tmp_path, write_json, {"database": {"data_root": "@app"}})
    assert p.data_root == tmp_path / "proj"
    (tmp_path / "proj" / "pyproject.toml").write_text("", encoding="utf-8")
    assert plugin(tmp_path, write_json, {}).data_root == tmp_path / "proj"


def _pathlib_db_path(root, rel):
    p = Path(rel)
    if not p.is_absolute():
        p = Path(root) / p
    p.parent.mkdir(parents=True, exist_ok=True)
    return p.resolve()


@pytest.mark.parametrize("database, rel", [
    ({"name": "demo"}, "data/demo.db"),
    ({"name": "demo", "dir": "var"}, "var/demo.db"),
    ({"name": "demo", "dir": " ", "data_dir": "other"}, "data/demo.db"),
    ({"name": "demo", "data_dir": "other/deep"}, "other/deep/demo.db"),
    ({"name": "demo", "dir": 0, "data_dir": 5}, "5/demo.db"),
    ({"path": " users.sqlite "}, "users.sqlite"),
    ({"path": "a/./b/../c.db"}, "a/./b/../c.db"),
    ({"path": "a//b/"}, "a//b/"),
    ({"path": "x/.."}, "x/.."),
    ({"path": "."}, "."),
    ({"path": "链接/用户.db"}, "链接/用户.db"),
    ({"path": "dangling.db"}, "dangling.db"),
    ({"path": "file.txt/x.db"}, None),
])
def test_db_path_matches_pathlib(tmp_path, write_json, database, rel):
    root = tmp_path / "根"
    (root / "real").mkdir(parents=True)
    (root / "链接").symlink_to(root / "real")
    (root / "dangling.db").symlink_to(root / "nowhere" / "x.db")
    (root / "file.txt").write_text("", encoding="utf-8")
    p = plugin(tmp_path, write_json, {"database": {"data_root": str(root), **database}})
    if rel is None:
        with pytest.raises(FileExistsError):
            p.db_path
        return
    got = p.db_path  # first, so that this side creates the directories
    expected = _pathlib_db_path(root, rel)
    assert type(got) is type(expected) and got == expected


@pytest.mark.parametrize("source", ["layout", "environment"])
@pytest.mark.parametrize("form", ["{r}", "{r}/", "{r}//./", "{r}/../根", "{link}", "{link}/../根", "{r}/new/deeper",
                                  "  {r}  "])
def test_db_path_under_absolute_data_roots(tmp_path, write_json, monkeypatch, source, form):
    # Plain absolute data roots are resolved along with the database path;
    # the result must be what the data-root resolver and pathlib give.
    root = tmp_path / "根"
    root.mkdir()
    (tmp_path / "链").symlink_to(root)
    text = form.format(r=root, link=tmp_path / "链")
    database = {"name": "n"}
    if source == "layout":
        database["data_root"] = text
    else:
        monkeypatch.setenv("CALC_WS_ROOT", text)
    p = plugin(tmp_path, write_json, {"database": database})
    got = p.db_path
    assert got == _pathlib_db_path(p.data_root, "data/n.db") and got.parent.is_dir()


def test_db_path_creates_its_directory_on_every_access(tmp_path, write_json):
    outside = tmp_path / "outside" / "abs"
    p = plugin(tmp_path, write_json, {"database": {"name": "n", "data_root": "@app", "dir": str(outside)}})
    assert p.db_path == outside / "n.db" and outside.is_dir()
    outside.rmdir()
    assert p.db_path == outside / "n.db" and outside.is_dir()
    assert not (outside / "n.db").exists()


def test_db_path_through_a_linked_data_root(tmp_path, write_json, monkeypatch):
    (tmp_path / "store").mkdir()
    (tmp_path / "alias").symlink_to(tmp_path / "store")
    monkeypatch.setenv("CALC_WS_ROOT", str(tmp_path / "alias"))
    p = plugin(tmp_path, write_json, {"database": {"name": "n"}})
    assert p.db_path == tmp_path / "store" / "data" / "n.db"
    (tmp_path / "store" / "data" / "n.db").symlink_to(tmp_path / "elsewhere.db")
    assert p.db_path == tmp_path / "elsewhere.db"


# --- subclasses ----------------------------------------------------------------------

def test_subclass_overrides_reach_derived_values(tmp_path, write_json):
    class Custom(JsonAppPlugin):
        @property
        def database_cfg(self):
            return {"data_root": str(tmp_path / "r"), "name": "from-override"}

    p = Custom(write_json(tmp_path / "c.json", {"database": {"name": "doc"}}))
    assert p.app_name == "from-override"
    assert p.data_root == tmp_path / "r"
    assert p.db_path == tmp_path / "r" / "data" / "from-override.db"

    class Titled(JsonAppPlugin):
        app_title = "覆盖 标题"

    assert Titled(tmp_path / "c.json").app_name == "doc"
    write_json(tmp_path / "c.json", {})
    assert Titled(tmp_path / "c.json").app_name == "覆盖_标题"

    class Web(JsonAppPlugin):
        @property
        def web_cfg(self):
            return {"title": "网页"}

    assert Web(tmp_path / "c.json").app_title == "网页"

    class Named(JsonAppPlugin):
        app_name = "named"
        data_root = tmp_path / "elsewhere"

    assert Named(tmp_path / "c.json").db_path == tmp_path / "elsewhere" / "data" / "named.db"


def test_instances_in_reference_cycles_are_collected(tmp_path, write_json):
    class Marker:
        pass

    p = JsonAppPlugin(write_json(tmp_path / "c.json", {}))
    m = Marker()
    p._raw = {"self": p, "marker": m}
    ref = weakref.ref(m)
    del p, m
    gc.collect()
    assert ref() is None


# --- load_plugin_sections and argument types ----------------------------------------

def test_load_plugin_sections(tmp_path, write_json):
    doc = {"pages": {"p": 1}, "input": None, "database": {"a": 1}, "title": "t", "auth_forms": {"f": 2},
           "tk": {}, "web": {}, "auth": []}
    cfg = write_json(tmp_path / "c.json", doc)
    got = load_plugin_sections(str(cfg))
    assert list(got) == ["database", "auth", "web", "auth_forms", "title", "input"]
    assert got["auth_forms"] == {"p": 1} and got["input"] is None
    assert load_plugin_sections(tmp_path / "missing.json") == {}
    assert load_plugin_sections(write_json(tmp_path / "list.json", [1])) == {}
    assert load_plugin_sections(write_json(tmp_path / "a.json", {"auth_forms": {"f": 2}})) == {"auth_forms": {"f": 2}}
    (tmp_path / "bad.json").write_text("{", encoding="utf-8")
    with pytest.raises(json.JSONDecodeError):
        load_plugin_sections(tmp_path / "bad.json")


@pytest.mark.parametrize("call, param", [
    (lambda p: JsonAppPlugin(5), "config_path"),
    (lambda p: load_plugin_sections(None), "config_path"),
    (lambda p: _sanitize_db_basename(b"x"), "name"),
    (lambda p: p.hash_password(5), "password"),
    (lambda p: p.register_user([("username", "a")]), "fields"),
    (lambda p: p.login_user(None), "fields"),
])
def test_wrong_argument_types_name_the_parameter(tmp_path, write_json, call, param):
    p = JsonAppPlugin(write_json(tmp_path / "c.json", {}))
    with pytest.raises(TypeError, match=f"argument '{param}' must be"):
        call(p)


def test_non_ascii_and_pathlike_config_paths(tmp_path, write_json):
    cfg = write_json(tmp_path / "项目 一" / "配置.json", {"database": {"name": "库"}})

    class Fs:
        def __fspath__(self):
            return str(cfg)

    for given in (cfg, str(cfg), Fs()):
        p = JsonAppPlugin(given)
        assert p.app_name == "库" and p.config_path == cfg
    assert os.fspath(p.db_path).endswith(os.path.join("data", "库.db"))
