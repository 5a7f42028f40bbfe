import sys
from pathlib import Path

import pytest

from vantrel_app_plugin._nimbra import _FEATURE_ALIASES, resolve_feature_id
from vantrel_app_plugin.pelcor import prefer_repo_package


# --- prefer_repo_package ---------------------------------------------------------

@pytest.fixture
def search_list(monkeypatch):
    entries = ["/usr/lib/python", "", "/site-packages"]
    monkeypatch.setattr(sys, "path", entries)
    return entries


def test_checkout_root_goes_first_exactly_once(tmp_path, search_list):
    script = tmp_path / "仓库" / "scripts" / "start.py"
    root = str(tmp_path / "仓库")
    search_list[1:1] = [root, root + "/", root.upper()]
    before = list(search_list)
    prefer_repo_package(script)
    assert sys.path is search_list  # edited in place
    assert search_list == [root] + [e for e in before if e != root]
    prefer_repo_package(str(script))
    assert search_list == [root] + [e for e in before if e != root]


def test_relative_and_symlinked_anchors_are_resolved(tmp_path, search_list, monkeypatch):
    (tmp_path / "real" / "bin").mkdir(parents=True)
    (tmp_path / "link").symlink_to(tmp_path / "real")
    monkeypatch.chdir(tmp_path)
    prefer_repo_package("link/bin/run.py")
    assert search_list[0] == str(tmp_path / "real")
    prefer_repo_package(Path("x") / "y")
    assert search_list[0] == str(tmp_path)
    assert search_list.count(str(tmp_path / "real")) == 1


def test_anchor_type_is_checked(search_list):
    with pytest.raises(TypeError, match="'anchor'"):
        prefer_repo_package(None)
    assert search_list == ["/usr/lib/python", "", "/site-packages"]


# --- resolve_feature_id -------------------------------------------------------------

@pytest.mark.parametrize(
    "given, expected",
    [
        ("grisel", "login"),
        ("  grisel\n", "login"),
        ("\u3000grisel\u00a0", "login"),
        ("login", "login"),
        ("GRISEL", "GRISEL"),
        (" Login ", "Login"),
        ("", ""),
        (" \t\u2003 ", ""),
        ("报表", "报表"),
        ("gri sel", "gri sel"),
    ],
)
def test_resolve_feature_id(given, expected):
    assert resolve_feature_id(given) == expected
    assert resolve_feature_id(resolve_feature_id(given)) == expected


@pytest.mark.parametrize("bad", [None, 1, b"grisel", type("S", (str,), {})("grisel")])
def test_feature_id_type_is_checked(bad):
    with pytest.raises(TypeError, match="'feature_id'"):
        resolve_feature_id(bad)


def test_alias_table_is_fixed():
    assert dict(_FEATURE_ALIASES) == {"grisel": "login"}
    with pytest.raises(TypeError):
        _FEATURE_ALIASES["x"] = "y"
