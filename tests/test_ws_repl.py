"""The host's websocket REPL stand-in: its JSON converter, its original parser, and
commands parsed by the installed grammar carried out on the example project."""

import pytest

from vantrel_app_plugin.quelby import apply_ws_repl_parse_patch
from vantrel_soft import ws_repl
from vantrel_soft.demo import DemoEngine
from vantrel_soft.harness import TestbenchHost


@pytest.mark.parametrize("act, want", [
    ({"action": "press", "key": "x"}, ("press", {"key": "x"})),
    ({"action": " reset ", "extra": [1]}, ("reset", {"extra": [1]})),
    ({"action": ""}, None),
    ({"action": 3}, None),
    ({"key": "x"}, None),
    (["action", "press"], None),
])
def test_json_action_to_kind_body(act, want):
    assert ws_repl._json_action_to_kind_body(act) == want


@pytest.mark.parametrize("line, want", [
    (" # c", None),
    ("Q", ("quit", {})),
    ("RESET", ("reset", {})),
    ('{"action": "ping"}', ("ping", {})),
    ("{oops", ("press", {"key": "{oops"})),
    ("a, ,b", ("sequence", {"keys": ["a", "b"]})),
    ("mc x 1", ("sequence", {"keys": ["mc", "x", "1"]})),  # the original knows no merge lines
    ("Enter", ("press", {"key": "Enter"})),
])
def test_original_parser(monkeypatch, line, want):
    monkeypatch.setattr(ws_repl, "_parse_line", ws_repl._parse_line)
    assert ws_repl._parse_line(line) == want


@pytest.fixture
def repl(project, monkeypatch):
    """Run REPL lines, parsed by the installed grammar, on the example's engine."""
    monkeypatch.setattr(ws_repl, "_parse_line", ws_repl._parse_line)
    apply_ws_repl_parse_patch()
    engine = TestbenchHost(project, DemoEngine).engine

    def run(line):
        return ws_repl.execute(engine, *ws_repl._parse_line(line))

    return run


def test_a_session_through_the_repl(repl):
    assert repl("去注册, 返回登录")["components"]["ui_page"] == "login"
    snap = repl("set login_username admin")  # a widget id stands for its component
    assert snap["components"]["entry"] == "admin"
    assert repl("label_frame_entry admin123")["components"]["label_frame_entry"] == "admin123"
    snap = repl("登录")
    assert (snap["display"], snap["components"]["ui_page"]) == ("欢迎，admin", "dashboard")
    assert repl("d") == snap
    assert repl("mc student_name 张三 student_age 12")["components"]["student_name"] == "张三"
    assert repl('{"action": "press", "key": "添加学生"}')["display"] == "已添加学生: 张三"
    assert repl("reset")["components"]["ui_page"] == "login"


@pytest.mark.parametrize("line, message", [
    ("quit", "不支持的命令: quit"),
    ("set nowhere 1", "未知元素: nowhere"),
    ("set btn_login 1", "未知元素: btn_login"),  # a button holds no value
])
def test_commands_the_engine_cannot_carry_out(repl, line, message):
    with pytest.raises(ValueError, match=message):
        repl(line)
