"""The desktop face end to end: the bundled example layout driven through the desk test host."""

import ast
import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

from vantrel_soft import gui_config, harness
from vantrel_soft.demo import DemoEngine
from vantrel_soft.harness import TestbenchHost

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "demo" / "gui_layout.json"


def test_example_session(project):
    host = TestbenchHost(project, DemoEngine)
    engine = host.engine
    assert engine.plugin.db_path == project.parent / "data" / "demo.db"
    snap = host.snapshot()
    assert snap["components"]["ui_page"] == "login" and snap["revision"] == 0
    assert {"student_name", "student_list", "dashboard_summary"} <= harness.COMPONENT_KEYS

    host.press("去注册")
    snap = host.merge(entry=" 小明 ", label_frame_entry="秘密 12345", ttk_entry="秘密 12345")
    assert snap["display"] == "请登录"
    snap = host.press("注册")
    assert (snap["display"], snap["components"]["ui_page"], snap["components"]["entry"]) == ("注册成功", "login", "")

    host.merge(entry="小明", label_frame_entry="秘密12345")
    snap = host.press("登录")
    assert snap["display"] == "用户名或密码错误" and snap["expression_line"] == "未登录"

    host.merge(entry="小明", label_frame_entry="秘密 12345")
    snap = host.press("登录")
    assert snap["display"] == "欢迎，小明" and snap["expression_line"] == "当前用户: 小明"
    assert snap["components"]["ui_page"] == "dashboard" and snap["components"]["ui_page_index"] == 2
    assert snap["components"]["dashboard_summary"] == "小明 共有 0 名学生"

    host.merge(student_name="张三", student_age="12")
    snap = host.press("添加学生")
    assert snap["display"] == "已添加学生: 张三" and snap["components"]["ui_page"] == "students"
    assert snap["components"]["student_list"] == "张三（12 岁）"
    with engine.plugin.connect() as con:
        owner = con.execute("SELECT owner_id FROM students").fetchone()[0]
    assert owner == engine._user["id"]

    snap = host.press("注销")
    assert (snap["display"], snap["expression_line"], snap["components"]["ui_page"]) == ("已注销", "未登录", "login")
    with pytest.raises(ValueError, match="请先登录"):
        host.press("添加学生")


def test_seeded_account_logs_in(project):
    host = TestbenchHost(str(project))
    host.merge(entry="admin", label_frame_entry="admin123")
    snap = host.press("登录")
    assert snap["display"] == "欢迎，admin"
    snap = host.press("添加学生")  # the base engine registers no business function
    assert snap["display"] == "未注册业务: add_student"
    assert host.reset()["display"] == "已复位"


def test_host_layout_from_environment(project, monkeypatch):
    monkeypatch.setenv(gui_config.LAYOUT_ENV, str(project.parent))
    gui_config.use_layout(None)
    assert gui_config.layout_path() == project
    assert [p["id"] for p in gui_config.get_gui_layout()["pages"]] == ["login", "register", "dashboard", "students"]
    assert {"entry", "btn_login", "student_list", "summary"} <= gui_config.known_element_ids()


def test_demo_command_runs_the_scripted_session(project, capsys):
    from vantrel_app_plugin.cli import main

    assert main(["demo", str(project.parent)]) == 0
    out = capsys.readouterr().out
    for expected in ("注册成功", "用户名或密码错误", "欢迎，demo_user", "已添加学生: 张三", "共有 1 名学生", "已注销"):
        assert expected in out
    assert "secret12" not in out  # passwords are not echoed


def test_use_layout_reads_the_file_again(write_json, tmp_path):
    path = write_json(tmp_path / "gui_layout.json", {"pages": [{"id": "a"}]})
    assert gui_config.use_layout(path)["pages"] == [{"id": "a"}]
    write_json(path, {"pages": [{"id": "b", "sections": [{"widgets": [{"component_key": "b_key"}]}]}]})
    assert gui_config.use_layout(path)["pages"][0]["id"] == "b" and "b_key" in harness.COMPONENT_KEYS
    gui_config.use_layout(None)


# --- the host's layout and its component keys depend one way only ----------------------------


def _host_imports(name: str) -> set[str]:
    """Every module (or module member) the source of ``name`` imports, at any depth."""
    tree = ast.parse(Path(importlib.util.find_spec(name).origin).read_text(encoding="utf-8"))
    found: set[str] = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = importlib.util.resolve_name("." * node.level + (node.module or ""), name.rpartition(".")[0])
            found.update([base, *(f"{base}.{alias.name}" for alias in node.names)])
    return found


def test_gui_config_does_not_import_the_harness():
    gui, host = "vantrel_soft.gui_config", "vantrel_soft.harness"
    assert gui in _host_imports(host)  # the harness reads the layout through gui_config ...
    assert host not in _host_imports(gui)  # ... and never the reverse, not even inside a function


@pytest.mark.parametrize("first", ["vantrel_soft.gui_config", "vantrel_soft.harness"])
def test_component_keys_of_a_read_layout_whichever_module_loads_first(first, tmp_path, write_json):
    layout = write_json(tmp_path / "gui_layout.json", {"pages": [{"sections": [{"widgets": [
        {"component_key": "only_here"}]}]}]})
    script = f"""
import sys
import {first}
from vantrel_soft import gui_config
gui_config.use_layout({str(layout)!r})
assert ("vantrel_soft.harness" in sys.modules) == ({first!r} == "vantrel_soft.harness"), sorted(sys.modules)
from vantrel_soft import harness
assert {{"only_here", "entry", "ui_page"}} <= harness.COMPONENT_KEYS, harness.COMPONENT_KEYS
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
