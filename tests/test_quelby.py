"""The REPL line grammar: the example lines, Python's white space and case
rules, JSON lines through the host's converter, the host's element ids, and
hostile input. A plain Python rendering of the grammar (the benchmark's twin)
serves as the reference for generated lines."""

import random
import re
import sys
from pathlib import Path

import pytest

from vantrel_app_plugin import quelby
from vantrel_app_plugin.quelby import apply_ws_repl_parse_patch, parse_repl_line
from vantrel_soft import gui_config, ws_repl

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
from bench_repl import py_parse_repl_line  # noqa: E402

SET = lambda i, v: ("set_by_id", {"patches": [{"id": i, "value": v}]})  # noqa: E731
SEQ = lambda *keys: ("sequence", {"keys": list(keys)})  # noqa: E731


@pytest.fixture(autouse=True)
def host(monkeypatch):
    """Host element ids: "lamp" and "set" (so that two-word lines can name them)."""
    monkeypatch.setattr(gui_config, "known_element_ids", lambda: {"lamp", "set"})


@pytest.mark.parametrize("line, parsed", [
    ("", None), ("   \t", None), ("  # note", None), ("#", None),
    ("EXIT", ("quit", {})), ("Q", ("quit", {})), ("quit", ("quit", {})), ("D", ("display", {})),
    ("Stream", ("display_stream", {})), ("DISPLAY_stream", ("display_stream", {})), ("gUi", ("gui", {})),
    ("ping", ("ping", {})), ("Reset", ("reset", {})), (" d ", ("display", {})),
    ("SET lamp on", SET("lamp", "on")), ("set lamp on, off", SET("lamp", "on, off")),
    ("set   lamp \t on  and  more", SET("lamp", "on  and  more")),
    ("ſet lamp on", SET("lamp", "on")),                 # the long s folds to s, as in re
    ("set lamp", SET("set", "lamp")),                   # two words: "set" is a known id here
    ("lamp 开", SET("lamp", "开")), ("other 开", SEQ("other", "开")),
    ("a, b,,x", SEQ("a", "b", "x")), (",,,", SEQ()), ("[1, 2]", SEQ("[1", "2]")),
    ("mc x 1", ("merge_components", {"x": "1"})), ("MC x 1 y 2", ("merge_components", {"x": "1", "y": "2"})),
    ("components x 1 x 2 y 3", ("merge_components", {"x": "2", "y": "3"})),
    ("mc x 1 y", SEQ("mc", "x", "1", "y")), ("mc x 1 y 2 z", SEQ("mc", "x", "1", "y", "2", "z")),
    ("mc", ("press", {"key": "mc"})), ("mc x", SEQ("mc", "x")),
    ("Enter", ("press", {"key": "Enter"})), ("登录", ("press", {"key": "登录"})),
    ("{oops", ("press", {"key": "{oops"})), ("{} x", SEQ("{}", "x")),
    ('{"action": "press", "key": "A"}', ("press", {"key": "A"})),
    ('{"action": "press", "action": "reset"}', ("reset", {})),  # the decoder's last duplicate wins
    ('{"no_action": 1}', None),                               # the converter's None is the answer
    ("[1]", ("press", {"key": "[1]"})),
    ("a\u3000b", SEQ("a", "b")), ("\u2003quit\u00a0", ("quit", {})),  # white space of other scripts
    ("set\u2028lamp\u2029on", SET("lamp", "on")),
    ("set lamp a\nb", SEQ("set", "lamp", "a", "b")),     # "." stops at a line feed: no set match
])
def test_grammar(line, parsed):
    assert parse_repl_line(line) == parsed
    assert py_parse_repl_line(line) == parsed


def test_generated_lines_agree_with_the_reference():
    rng = random.Random(1234)
    alphabet = ["s", "S", "ſ", "e", "E", "t", "T", "m", "c", "q", "d", ",", "#", "{", "}", '"', ":", "x", "1",
                " ", "\t", "\n", "\u3000", "\u2028", "\u00a0", "\u0301", "\u212a", "İ", "開", "\ud800", "\x00"]
    for _ in range(5000):
        line = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 12)))
        assert parse_repl_line(line) == py_parse_repl_line(line), repr(line)


def test_the_set_rule_matches_the_runtime_regex_everywhere(monkeypatch):
    monkeypatch.setattr(gui_config, "known_element_ids", set)  # two words never name an element here
    pattern = re.compile(r"(?i)^set\s+(\S+)\s+(.*)$")
    # Every character of the basic plane, and a sample of the others.
    for c in [*range(0x10000), *range(0x10000, sys.maxunicode + 1, 97)]:
        ch = chr(c)
        for line in (f"{ch}et a b", f"set{ch}a b", f"set a{ch}b", f"set a b{ch}c"):
            s = line.strip()
            m = pattern.match(s)
            got = parse_repl_line(line)
            if m:
                assert got == SET(m.group(1), m.group(2)), hex(c)
            else:
                assert got is None or got[0] != "set_by_id", hex(c)


def test_only_the_kelvin_sign_lowercases_to_ascii():
    # The parser skips lower-casing lines that cannot become a command word.
    assert [c for c in range(128, sys.maxunicode + 1) if chr(c).lower().isascii()] == [0x212A]


TEXT = SEQ('{"action":', '"x"}')  # the line read by the text grammar


@pytest.mark.parametrize("converter, parsed", [
    (lambda act: ("custom", act), ("custom", {"action": "x"})),
    (lambda act: None, None),
    (lambda act: ["not", "a tuple"], TEXT),
    (lambda act: ("one",), TEXT),
    (lambda act: 1 / 0 if act else None, ZeroDivisionError),
    (lambda act: int("x"), TEXT),   # a value error: text grammar
    (lambda act: len(5), TEXT),     # a type error: text grammar
])
def test_json_lines_go_through_the_host_converter(monkeypatch, converter, parsed):
    monkeypatch.setattr(ws_repl, "_json_action_to_kind_body", converter)
    if parsed is ZeroDivisionError:
        with pytest.raises(ZeroDivisionError):
            parse_repl_line('{"action": "x"}')
    else:
        assert parse_repl_line('{"action": "x"}') == parsed


@pytest.mark.parametrize("ids, known", [
    (lambda: 1 / 0, False), (lambda: 5, False), (lambda: None, False), (lambda: {"lamp": 1}.keys(), True),
    (lambda: ["lamp"], True), ("not callable", False),
])
def test_failing_or_odd_element_ids(monkeypatch, ids, known):
    monkeypatch.setattr(gui_config, "known_element_ids", ids)
    assert parse_repl_line("lamp on") == (SET("lamp", "on") if known else SEQ("lamp", "on"))
    monkeypatch.delattr(gui_config, "known_element_ids")
    assert parse_repl_line("lamp on") == SEQ("lamp", "on")


@pytest.mark.parametrize("line, error", [
    (None, TypeError), (5, TypeError), (b"q", TypeError), (type("S", (str,), {})("q"), TypeError),
])
def test_argument_must_be_exactly_text(line, error):
    with pytest.raises(error, match="line"):
        parse_repl_line(line)


@pytest.mark.parametrize("line", [
    "\ud800", "set \udfff on", "a\x00b", "{" * 100000, "[" * 100000, "x " * 200000, "{\"a\": " * 50000,
    "{" + "\"k\": 1," * 10000 + "\"action\": \"press\"}",
])
def test_hostile_lines_give_results_or_python_errors(line):
    try:
        parse_repl_line(line)
    except (RecursionError, ValueError, TypeError):
        pass


def test_patch_installs_the_parser(monkeypatch):
    monkeypatch.setattr(ws_repl, "_parse_line", ws_repl._parse_line)
    assert ws_repl._parse_line("mc x 1") == ("press", {"key": "mc x 1"})  # the host's own, plainer parser
    apply_ws_repl_parse_patch()
    apply_ws_repl_parse_patch()
    assert ws_repl._parse_line is quelby.parse_repl_line
    assert ws_repl._parse_line("mc x 1") == ("merge_components", {"x": "1"})


# --- the host side: JSON actions and carrying commands out ------------------------------


@pytest.mark.parametrize("act, pair", [
    ({"action": "press", "key": "A"}, ("press", {"key": "A"})),
    ({"action": " reset "}, ("reset", {})),
    ({"action": ""}, None), ({"action": 5}, None), ({"key": "A"}, None), ([1], None),
])
def test_json_action_to_kind_body(act, pair):
    assert ws_repl._json_action_to_kind_body(act) == pair


def test_execute_carries_out_each_kind(make_engine):
    engine = make_engine({"tk": {"public_pages": ["login", "report"],
                                 "actions": {"报表": {"type": "goto", "page": "report"}}}})
    run = lambda line: ws_repl.execute(engine, *parse_repl_line(line))  # noqa: E731
    assert run("报表")["components"]["ui_page"] == "report"
    assert run("报表, 无此键")["display"] == "未配置的按键: 无此键"
    assert run("mc entry 甲 spin 3")["components"]["entry"] == "甲"
    assert run("set spin 新的 值")["components"]["spin"] == "新的 值"
    revision = engine._revision
    for passive in ("display", "ping", "gui", "stream", "quit"):
        assert run(passive)["revision"] == revision
    assert run("reset")["display"] == "已复位"
    with pytest.raises(ValueError, match="未知命令"):
        ws_repl.execute(engine, "fly", {})
