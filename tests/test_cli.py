"""The command line in a subprocess: help, the layout checker, one-line errors."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from vantrel_app_plugin.cli import SUBCOMMANDS

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "demo"


def run_cli(*args, env=None):
    return subprocess.run([sys.executable, "-m", "vantrel_app_plugin", *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=60)


@pytest.mark.parametrize("command", [None, *SUBCOMMANDS])
def test_help(command):
    done = run_cli(*([command] if command else []), "--help")
    assert done.returncode == 0 and not done.stderr
    assert done.stdout.startswith(f"usage: vantrel-app {command or ''}".rstrip())
    if command is None:
        assert all(name in done.stdout for name in SUBCOMMANDS)
    elif command != "demo":
        assert "LAYOUT" in done.stdout


#: (arguments, files to write {name: text or bytes}, start of the error line).
ONE_LINE_ERRORS = [
    (["info", "{tmp}/missing"], {}, "vantrel-app: 未找到配置文件: "),
    (["check", "{tmp}/bad.json"], {"bad.json": '{\n  "tk": {,}\n}'},
     "vantrel-app: {tmp}/bad.json: invalid JSON at line 2, column 10: Expecting property name"),
    (["check", "{tmp}/list.json"], {"list.json": "[]"}, "vantrel-app: 布局配置根节点必须是 object: "),
    (["check", "{tmp}/latin1.json"], {"latin1.json": b'{"title": "caf\xe9"}'},
     "vantrel-app: {tmp}/latin1.json: not UTF-8 text (byte 14)"),
    (["desktop", "{tmp}/gui_layout.json", "--engine", "no_such_module:Engine"], {"gui_layout.json": "{}"},
     "vantrel-app: cannot load engine 'no_such_module:Engine': No module named 'no_such_module'"),
    (["desktop", "{tmp}/gui_layout.json", "--engine", "vantrel_soft.demo"], {"gui_layout.json": "{}"},
     "vantrel-app: engine must be given as MODULE:NAME"),
    # An exception of the runtime itself (SQLite refuses the schema) is one line as well.
    (["demo", "{tmp}/gui_layout.json"],
     {"gui_layout.json": json.dumps({"database": {"data_root": "@app", "tables": [
         {"name": "users", "columns": [{"name": "id", "type": "TEXT", "primary_key": True, "autoincrement": True}]}]}})},
     "vantrel-app: OperationalError: AUTOINCREMENT is only allowed on an INTEGER PRIMARY KEY"),
]


@pytest.mark.parametrize("args, files, expected", ONE_LINE_ERRORS)
def test_failures_are_one_line_on_stderr(tmp_path, args, files, expected):
    for name, content in files.items():
        target = tmp_path / name
        target.write_bytes(content if isinstance(content, bytes) else content.encode())
    done = run_cli(*(a.format(tmp=tmp_path) for a in args))
    assert done.returncode == 1, done
    assert done.stderr.startswith(expected.format(tmp=tmp_path)), done.stderr
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr
    assert done.stdout == ""


def test_desktop_without_a_display_is_one_line(tmp_path):
    pytest.importorskip("tkinter")
    done = run_cli("desktop", EXAMPLE, env={k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")})
    assert done.returncode == 1
    assert done.stderr.startswith("vantrel-app: cannot open the window: ") and done.stderr.count("\n") == 1


def test_check_example_and_broken_layout(tmp_path):
    done = run_cli("check", EXAMPLE)
    assert done.returncode == 0, done.stdout
    assert done.stdout.strip().endswith("gui_layout.json: 0 errors, 0 warnings")

    layout = json.loads((EXAMPLE / "gui_layout.json").read_text(encoding="utf-8"))
    layout["tk"]["actions"]["去注册"]["page"] = "registr"
    layout["pages"][0]["sections"][0]["widgets"].append({"type": "slider"})
    layout["auth"]["hash"] = "pbkdf2_sha256"  # salted: no warning about the password scheme
    path = tmp_path / "gui_layout.json"
    path.write_text(json.dumps(layout, ensure_ascii=False), encoding="utf-8")

    done = run_cli("check", tmp_path)
    assert done.returncode == 1
    assert 'error   $.tk.actions["去注册"].page: "registr" is not a page [unknown-page]' in done.stdout
    assert done.stdout.strip().endswith("gui_layout.json: 1 error, 1 warning")

    done = run_cli("check", "--json", path)
    assert done.returncode == 1
    report = json.loads(done.stdout)
    assert (report["layout"], report["errors"], report["warnings"]) == (str(path), 1, 1)
    assert report["findings"] == [
        {"severity": "error", "path": '$.tk.actions["去注册"].page', "code": "unknown-page",
         "message": '"registr" is not a page'},
        {"severity": "warning", "path": "$.pages[0].sections[0].widgets[3].type", "code": "unknown-widget",
         "message": '"slider" is not a widget type the window draws '
                    "(button, button_row, checkbox, entry, label, progress, spin, text)"},
    ]
