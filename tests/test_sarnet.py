import json
import os
from pathlib import Path

import pytest

from vantrel_app_plugin.sarnet import (
    read_layout_file,
    resolve_config_file,
    vantrel_soft_source_from_layout,
)


# --- resolve_config_file ---------------------------------------------------

@pytest.mark.parametrize(
    "present, expected",
    [
        (["gui_layout.json", "config/gui_layout.json", "config/app_config.json"], "gui_layout.json"),
        (["gui_layout.json", "config/app_config.json"], "gui_layout.json"),
        (["config/gui_layout.json", "config/app_config.json"], "config/gui_layout.json"),
        (["config/app_config.json"], "config/app_config.json"),
    ],
)
def test_candidates_are_tried_in_order(tmp_path, write_json, present, expected):
    for rel in present:
        write_json(tmp_path / rel, {})
    assert resolve_config_file(tmp_path) == (tmp_path / expected).resolve()


def test_directory_named_like_a_candidate_is_skipped(tmp_path, write_json):
    (tmp_path / "gui_layout.json").mkdir()
    write_json(tmp_path / "config" / "app_config.json", {})
    assert resolve_config_file(str(tmp_path)) == tmp_path / "config" / "app_config.json"


def test_any_existing_file_is_returned_absolute_and_resolved(tmp_path, monkeypatch):
    target = tmp_path / "目录" / "whatever.txt"
    target.parent.mkdir()
    target.write_text("not even json", encoding="utf-8")
    link = tmp_path / "link.json"
    link.symlink_to(target)
    monkeypatch.chdir(tmp_path)
    for given in ("目录/whatever.txt", "目录/../目录/whatever.txt", "link.json", Path("link.json")):
        result = resolve_config_file(given)
        assert isinstance(result, Path) and result.is_absolute()
        assert result == target.resolve()


@pytest.mark.parametrize("given", ["no/such/./dir/..", "empty-dir", "空目录/"])
def test_missing_layout_quotes_the_path_as_passed(tmp_path, monkeypatch, given):
    (tmp_path / "empty-dir").mkdir()
    (tmp_path / "空目录").mkdir()
    monkeypatch.chdir(tmp_path)
    with pytest.raises(FileNotFoundError) as info:
        resolve_config_file(given)
    assert str(info.value) == "未找到配置文件: " + given


@pytest.mark.parametrize("func", [resolve_config_file, read_layout_file])
@pytest.mark.parametrize("bad", [None, 3, b"bytes", ["x"]])
def test_path_argument_type_is_checked(func, bad):
    with pytest.raises(TypeError, match="'path'"):
        func(bad)


# --- read_layout_file ------------------------------------------------------

def test_reads_object_roots(tmp_path, write_json):
    doc = {"标题": "应用", "tk": {"actions": {"登录": "login"}}, "n": [1, 2.5, None, True]}
    assert read_layout_file(write_json(tmp_path / "中文" / "gui_layout.json", doc)) == doc
    assert read_layout_file(str(write_json(tmp_path / "empty.json", {}))) == {}


@pytest.mark.parametrize("root", [[], [1], "text", 3, True, None])
def test_non_object_root_is_rejected(tmp_path, write_json, root):
    path = write_json(tmp_path / "layout.json", root)
    with pytest.raises(ValueError) as info:
        read_layout_file(path)
    assert str(info.value) == "布局配置根节点必须是 object: " + str(path)


def test_missing_file_and_directory_are_not_found(tmp_path):
    for given in (tmp_path / "nope.json", tmp_path):
        with pytest.raises(FileNotFoundError) as info:
            read_layout_file(given)
        assert str(info.value) == "找不到布局配置: " + str(given)


def test_decoder_errors_propagate_unchanged(tmp_path):
    bom = tmp_path / "bom.json"
    bom.write_bytes(b"\xef\xbb\xbf{}")
    with pytest.raises(json.JSONDecodeError):
        read_layout_file(bom)
    broken = tmp_path / "broken.json"
    broken.write_text('{"a": ', encoding="utf-8")
    with pytest.raises(json.JSONDecodeError) as info:
        read_layout_file(broken)
    with pytest.raises(json.JSONDecodeError) as expected:
        json.loads('{"a": ')
    assert (info.value.msg, info.value.pos) == (expected.value.msg, expected.value.pos)
    latin = tmp_path / "latin.json"
    latin.write_bytes('{"a": "é"}'.encode("latin-1"))
    with pytest.raises(UnicodeDecodeError):
        read_layout_file(latin)


def test_functions_compose(tmp_path, write_json):
    write_json(tmp_path / "config" / "gui_layout.json", {"vantrel_soft_source": " ../host "})
    assert vantrel_soft_source_from_layout(read_layout_file(resolve_config_file(tmp_path))) == "../host"


# --- vantrel_soft_source_from_layout ----------------------------------------

@pytest.mark.parametrize(
    "layout, expected",
    [
        ({}, None),
        ({"vantrel_soft_source": "  /src/host  ", "vantrel_soft": "/other"}, "/src/host"),
        ({"vantrel_soft_source": " \t ", "vantrel_soft": " /other "}, "/other"),
        ({"vantrel_soft_source": None, "vantrel_soft": {"source": "s"}}, "s"),
        ({"vantrel_soft_source": 12}, "12"),
        ({"vantrel_soft_source": False}, "False"),
        ({"vantrel_soft": "   "}, None),
        ({"vantrel_soft": ["/x"]}, None),
        ({"vantrel_soft": 5}, None),
        ({"vantrel_soft": {"prefer_local": False, "source": "s"}}, None),
        ({"vantrel_soft": {"prefer_local": 0, "source": "s"}}, "s"),
        ({"vantrel_soft": {"prefer_local": "false", "source": "s"}}, "s"),
        ({"vantrel_soft": {"prefer_local": None, "source": "s"}}, "s"),
        ({"vantrel_soft": {"path": "", "root": " r "}}, "r"),
        ({"vantrel_soft": {"root": "r", "path": "p", "source_path": "sp", "source": " "}}, "sp"),
        ({"vantrel_soft": {"source": None, "root": 0}}, "0"),
        ({"vantrel_soft": {}}, None),
        ({"vantrel_soft": {"source": "\u3000源码\u00a0"}}, "源码"),
    ],
)
def test_host_source_location(layout, expected):
    assert vantrel_soft_source_from_layout(layout) == expected


@pytest.mark.parametrize("bad", [None, [], "x", type("D", (dict,), {})()])
def test_host_source_wants_exactly_a_dict(bad):
    with pytest.raises(TypeError, match="'data'"):
        vantrel_soft_source_from_layout(bad)


def test_text_form_uses_the_value_str():
    class Odd:
        def __str__(self):
            return "  odd  "

    assert vantrel_soft_source_from_layout({"vantrel_soft_source": Odd()}) == "odd"
