"""The REPL line grammar: the example lines, Python's white space and case
rules, JSON lines through the host's converter, the host's element ids, and
hostile input. A plain Python rendering of the grammar (fuzz/oracles.py, also
the benchmark's twin) serves as the reference for generated lines."""

import json
import random
import re
import sys
from pathlib import Path

import pytest

from vantrel_app_plugin import quelby
from vantrel_app_plugin.quelby import apply_ws_repl_parse_patch, parse_repl_line
from vantrel_soft import gui_config, ws_repl

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fuzz"))
from oracles import repl_line as py_parse_repl_line  # noqa: E402

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
    ("mc\0 x 1", SEQ("mc\0", "x", "1")), ("components\0x x 1", SEQ("components\0x", "x", "1")),  # NUL is no end
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


def test_only_the_kelvin_sign_lowercases_to_ascii():
    # The parser skips lower-casing lines that cannot become a command word.
    assert [c for c in range(128, sys.maxunicode + 1) if chr(c).lower().isascii()] == [0x212A]


TEXT = SEQ('{"action":', '"x"}')  # the line read by the text grammar
PAIR = type("Pair", (tuple,), {})(("kind", {"body": 1}))


@pytest.mark.parametrize("converter, parsed", [
    (lambda act: ("custom", act), ("custom", {"action": "x"})),
    (lambda act: PAIR, PAIR),       # a pair (here a tuple subclass) is returned as it is
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
        got = parse_repl_line('{"action": "x"}')
        assert got == parsed and (got is PAIR) == (parsed is PAIR)


def raising(error):
    def known_element_ids():
        raise error
    return known_element_ids


@pytest.mark.parametrize("ids, known", [
    (lambda: 1 / 0, False), (lambda: 5, False), (lambda: None, False), (lambda: {"lamp": 1}.keys(), True),
    (lambda: ["lamp"], True), ("not callable", False),
    (raising(KeyboardInterrupt()), KeyboardInterrupt), (raising(SystemExit(3)), SystemExit),  # beyond ordinary
])
def test_failing_or_odd_element_ids(monkeypatch, ids, known):
    monkeypatch.setattr(gui_config, "known_element_ids", ids)
    if isinstance(known, type):
        with pytest.raises(known):
            parse_repl_line("lamp on")
        return
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


# --- more of the runtime's rules, exactly ---------------------------------------------------


EVERY_CODE_POINT = range(sys.maxunicode + 1)


@pytest.mark.parametrize("template, points", [
    ("{}et id v", EVERY_CODE_POINT), ("s{}t id v", EVERY_CODE_POINT), ("se{} id v", EVERY_CODE_POINT),
    ("set{}id{}v", EVERY_CODE_POINT),
    ("set id v{}w", [*range(0x10000), *range(0x10000, sys.maxunicode + 1, 97)]),  # inside the value
], ids=["s", "e", "t", "spaces", "value"])
def test_the_set_rule_agrees_with_re_over_every_code_point(monkeypatch, template, points):
    monkeypatch.setattr(gui_config, "known_element_ids", set)  # two words never name an element here
    pattern = re.compile(r"(?i)^set\s+(\S+)\s+(.*)$")
    lines = [template.format(chr(c), chr(c)) for c in points]
    want = [(m := pattern.match(line.strip())) and SET(m.group(1), m.group(2)) for line in lines]
    got = [r if r and r[0] == "set_by_id" else None for r in map(parse_repl_line, lines)]
    assert got == want


def test_single_characters_follow_str_lower():
    words = {"q": ("quit", {}), "d": ("display", {})}
    for c in map(chr, range(sys.maxunicode + 1)):
        s = c.strip()
        want = None if s in ("", "#") else words.get(s.lower()) or (SEQ() if s == "," else ("press", {"key": s}))
        assert parse_repl_line(c) == want, hex(ord(c))


@pytest.mark.parametrize("doc", [
    '{"a": 1, "a": 2}', '{"n": NaN, "i": Infinity, "j": -Infinity, "z": -0.0, "e": 1E400}',
    '{"x": 123456789012345678901234567890, "f": 1.5e-7}', '{"s": "\\u00e9\\ud83d\\ude00\\ud800", "\ud800": "é"}',
    '{ }', '{\t"a" :\r\n[1, {"b": null}, true, false, "x"] }', '{"a": 1}{"b": 2}', '{"a": 1} x',
    '{"a": 1,}', '{"a": 01}', '{"k": "a\tb"}', '{"a": 1' + "0" * 5000 + "}", '{"a": 1', '{"a" 1}',
    '{"a": [1, 2}', '{"\\x": 1}', '{"a": nan}', '{"a": -}', '{"a": {"b": }}', '{"a": tru}', '{"a": 1e}',
])
def test_json_lines_decode_as_json_loads_does(monkeypatch, doc):
    monkeypatch.setattr(ws_repl, "_json_action_to_kind_body", lambda act: ("ok", act))
    try:
        want = ("ok", json.loads(doc))
    except ValueError:
        want = None  # read as text
    got = parse_repl_line(doc)
    if want is None:
        assert got is None or got[0] != "ok"
    else:
        assert repr(got) == repr(want)  # NaN is unequal to itself; its text is not


def test_json_lines_agree_with_json_loads_on_random_text(monkeypatch):
    monkeypatch.setattr(ws_repl, "_json_action_to_kind_body", lambda act: ("ok", act))
    rnd = random.Random(11)
    pieces = ['"a"', ":", ",", " ", "{", "}", "[", "]", "1", "-", "e", ".", "0", "null", "NaN", "\\", '"', "\n"]
    values = [1, -0.5, "x", None, True, [1, {"c": 2}], {}, float("nan")]
    for _ in range(20000):
        # a JSON object, often with one piece put in or replaced
        doc = json.dumps({rnd.choice("ab"): rnd.choice(values) for _ in range(rnd.randint(0, 3))})
        if rnd.random() < 0.7:
            at = rnd.randrange(1, len(doc) + 1)
            doc = doc[:at] + rnd.choice(pieces) + doc[at + rnd.randint(0, 1):]
        try:
            want = ("ok", json.loads(doc.strip()))
        except ValueError:
            want = None
        got = parse_repl_line(doc)
        assert repr(got) == repr(want) if want else (got is None or got[0] != "ok"), repr(doc)


@pytest.mark.parametrize("line", ['{"a":' * 100_000 + "1" + "}" * 100_000, '{"a":' * 100_000])
def test_json_nesting_beyond_the_runtime_limit_propagates(line):
    with pytest.raises(RecursionError):
        parse_repl_line(line)


@pytest.mark.parametrize("line, want", [
    ("x" * 1_000_000, ("press", {"key": "x" * 1_000_000})),
    ("a," * 200_000, SEQ(*["a"] * 200_000)),
    ("mc " + "k v " * 100_000 + "k w", ("merge_components", {"k": "w"})),
    ("set id " + "v " * 200_000, SET("id", ("v " * 200_000).strip())),
    (" " * 1_000_000, None),
])
def test_huge_lines(line, want):
    assert parse_repl_line(line) == want


# --- what the parser asks of the host ---------------------------------------------------------


class Refusing:
    """A host module whose names cannot be read: ``error`` is raised instead."""

    def __init__(self, error):
        self.error = error

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        raise self.error


@pytest.mark.parametrize("module, outcome", [
    (None, ImportError),                           # the host module is missing
    (Refusing(RuntimeError("host")), RuntimeError),
    (Refusing(ValueError("host")), SEQ('{"a":', "1}")),   # a value error of the step: read as text
])
def test_host_module_for_a_json_line(monkeypatch, module, outcome):
    monkeypatch.setitem(sys.modules, "vantrel_soft.ws_repl", module)
    assert parse_repl_line("{oops") == ("press", {"key": "{oops"})  # no JSON object: no import
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            parse_repl_line('{"a": 1}')
    else:
        assert parse_repl_line('{"a": 1}') == outcome


def test_patch_needs_the_host_module(monkeypatch):
    monkeypatch.setitem(sys.modules, "vantrel_soft.ws_repl", None)
    with pytest.raises(ImportError):
        apply_ws_repl_parse_patch()


def test_element_ids_are_asked_for_two_word_lines_only(monkeypatch):
    calls = []
    monkeypatch.setattr(gui_config, "known_element_ids", lambda: calls.append(1) or {"a", "mc"})
    for line in ("a", "a b c", "a, b", "set a b", "mc a b", "mc a"):
        parse_repl_line(line)
    assert calls == [1]
