"""The REPL line grammar and its installation in the host's websocket REPL."""

import json
import re
import sys

import pytest

from vantrel_app_plugin import quelby
from vantrel_app_plugin.quelby import apply_ws_repl_parse_patch, parse_repl_line
from vantrel_soft import gui_config, ws_repl

SET_LINE = re.compile(r"(?i)^set\s+(\S+)\s+(.*)$")


def seq(*keys):
    return ("sequence", {"keys": list(keys)})


def setting(id_, value):
    return ("set_by_id", {"patches": [{"id": id_, "value": value}]})


@pytest.fixture(autouse=True)
def element_ids(monkeypatch):
    """The host knows the element ids "lamp" and "title" (tests may replace the function)."""
    monkeypatch.setattr(gui_config, "known_element_ids", lambda: {"lamp", "title"})


# --- the grammar, line by line ----------------------------------------------------------

LINES = {
    # blank lines and comments
    "": None, " \t\u3000 ": None, "  # note": None, "#": None,
    # fixed words, any case, surrounding white space dropped
    "EXIT": ("quit", {}), "Q": ("quit", {}), " quit ": ("quit", {}), "Reset": ("reset", {}),
    "D": ("display", {}), "display": ("display", {}), "GUI": ("gui", {}), "Stream": ("display_stream", {}),
    "display_STREAM": ("display_stream", {}), "PinG": ("ping", {}),
    # str.lower(), not case folding: "reſet" is no reset, "ｑ" no q
    "reſet": ("press", {"key": "reſet"}), "ｑ": ("press", {"key": "ｑ"}),
    # set lines: before the comma rule; the value keeps the rest of the line
    "SET lamp on": setting("lamp", "on"), "set lamp on, off": setting("lamp", "on, off"),
    "set\u3000lamp \t on  and   off": setting("lamp", "on  and   off"),
    "ſet lamp on": setting("lamp", "on"), "sEt x=1 y\rz": setting("x=1", "y\rz"),
    "set lamp on\noff": seq("set", "lamp", "on", "off"),  # "." stops at a line break
    "set lamp": seq("set", "lamp"), "settle lamp on": seq("settle", "lamp", "on"),
    # comma rule before word splitting
    "a, b,,x": seq("a", "b", "x"), ",,,": seq(), " , ": seq(), "[1, 2]": seq("[1", "2]"),
    "a b, c d": seq("a b", "c d"), "mc x, 1": seq("mc x", "1"),
    # merge lines: three words, or five or more in odd count
    "mc x 1": ("merge_components", {"x": "1"}), "MC x 1 y 2": ("merge_components", {"x": "1", "y": "2"}),
    "components x 1 x 2 y 3": ("merge_components", {"x": "2", "y": "3"}),
    "Merge_Components a b": ("merge_components", {"a": "b"}),
    "mc x 1 y": seq("mc", "x", "1", "y"), "mc x 1 y 2 z": seq("mc", "x", "1", "y", "2", "z"),
    "mc": ("press", {"key": "mc"}), "mc x": seq("mc", "x"),
    # words split at any white space str.split() knows, and only there
    "a\u3000b\x1cc\x85d\u2028e": seq("a", "b", "c", "d", "e"), "a\u200bb": ("press", {"key": "a\u200bb"}),
    # two words: a known element id first sets it
    "lamp on": setting("lamp", "on"), "LAMP on": seq("LAMP", "on"), "go home": seq("go", "home"),
    # single words keep their case
    "Enter": ("press", {"key": "Enter"}), " 登录 ": ("press", {"key": "登录"}),
    "{oops": ("press", {"key": "{oops"}), "{oops there": seq("{oops", "there"),
    # hostile text: NUL and lone surrogates are characters like any other
    "a\x00b": ("press", {"key": "a\x00b"}), "\ud800 \udfff": seq("\ud800", "\udfff"),
    "set \ud800 \x00": setting("\ud800", "\x00"),
}


@pytest.mark.parametrize("line", LINES)
def test_grammar(line):
    assert parse_repl_line(line) == LINES[line]


def test_bodies_are_new_mappings_and_keyword_calls_work():
    a, b = parse_repl_line("reset"), parse_repl_line(line="reset")
    assert a == b and a[1] is not b[1]


@pytest.mark.parametrize("template", ["{}et id v", "s{}t id v", "se{} id v", "set{}id{}v"])
def test_set_rule_agrees_with_re_over_every_code_point(template):
    lines = [template.format(chr(c), chr(c)) for c in range(sys.maxunicode + 1)]
    got = [r is not None and r[0] == "set_by_id" for r in map(parse_repl_line, lines)]
    assert got == [SET_LINE.match(line.strip()) is not None for line in lines]


def test_set_rule_agrees_with_re_on_random_lines():
    import random

    rnd = random.Random(7)
    alphabet = "sSſeEtT \t\n\r\x1c\u3000\x85ab,\u212aİ="
    for _ in range(20000):
        line = "set" * rnd.randint(0, 1) + "".join(rnd.choice(alphabet) for _ in range(rnd.randint(1, 10)))
        s = line.strip()
        m = SET_LINE.match(s)
        got = parse_repl_line(line)
        if m:
            assert got == setting(m.group(1), m.group(2)), repr(line)
        elif got is not None and got[0] == "set_by_id":
            assert len(s.split()) == 2, repr(line)  # only a known element id may set it


def test_single_characters_follow_str_lower():
    words = {"q": ("quit", {}), "d": ("display", {})}
    for c in map(chr, range(sys.maxunicode + 1)):
        s = c.strip()
        want = None if not s or s == "#" else words.get(s.lower()) or (
            seq() if s == "," else ("press", {"key": s}))
        assert parse_repl_line(c) == want, hex(ord(c))


@pytest.mark.parametrize("line, want", [
    ("x" * 1_000_000, ("press", {"key": "x" * 1_000_000})),
    ("a," * 200_000, seq(*["a"] * 200_000)),
    ("mc " + "k v " * 100_000 + "k w", ("merge_components", {"k": "w"})),
    ("set id " + "v " * 200_000, setting("id", ("v " * 200_000).strip())),
    (" " * 1_000_000, None),
])
def test_huge_lines(line, want):
    assert parse_repl_line(line) == want


class Line(str):
    pass


@pytest.mark.parametrize("call, message", [
    (lambda: parse_repl_line(None), "argument 'line' must be str, not NoneType"),
    (lambda: parse_repl_line(b"d"), "argument 'line' must be str, not bytes"),
    (lambda: parse_repl_line(Line("d")), "argument 'line' must be str, not Line"),
    (lambda: parse_repl_line(), "missing required argument 'line'"),
    (lambda: parse_repl_line("d", "e"), "takes 1 positional argument but 2 were given"),
    (lambda: parse_repl_line(text="d"), "unexpected keyword argument 'text'"),
])
def test_wrong_arguments(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call()


# --- the host's element ids for two-word lines ---------------------------------------------

class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __contains__(self, item):
        raise self.exc


class Odd:
    def __contains__(self, item):
        return "yes"  # truthy: the runtime's membership test makes it True


def raising(exc):
    def known_element_ids():
        raise exc

    return known_element_ids


@pytest.mark.parametrize("known, want", [
    (lambda: ["lamp"], setting("lamp", "on")),
    (lambda: "a lamp here", setting("lamp", "on")),  # substring test of a str: the runtime's `in`
    (lambda: Odd(), setting("lamp", "on")),
    (lambda: 42, seq("lamp", "on")),
    (lambda: None, seq("lamp", "on")),
    (raising(LookupError("gone")), seq("lamp", "on")),
    (raising(OSError("no layout")), seq("lamp", "on")),
    (lambda: Raises(RuntimeError("broken")), seq("lamp", "on")),
    ("not callable", seq("lamp", "on")),
])
def test_element_ids_from_the_host(monkeypatch, known, want):
    monkeypatch.setattr(gui_config, "known_element_ids", known)
    assert parse_repl_line("lamp on") == want


def test_element_ids_missing_module_or_function(monkeypatch):
    monkeypatch.delattr(gui_config, "known_element_ids")
    assert parse_repl_line("lamp on") == seq("lamp", "on")
    monkeypatch.setitem(sys.modules, "vantrel_soft.gui_config", None)
    assert parse_repl_line("lamp on") == seq("lamp", "on")


@pytest.mark.parametrize("known", [raising(KeyboardInterrupt()), lambda: Raises(SystemExit(3))])
def test_errors_beyond_ordinary_severity_propagate(monkeypatch, known):
    monkeypatch.setattr(gui_config, "known_element_ids", known)
    with pytest.raises((KeyboardInterrupt, SystemExit)):
        parse_repl_line("lamp on")


def test_element_ids_are_only_asked_for_two_word_lines(monkeypatch):
    calls = []
    monkeypatch.setattr(gui_config, "known_element_ids", lambda: calls.append(1) or {"a", "mc"})
    for line in ("a", "a b c", "a, b", "set a b", "mc a b", "mc a"):
        parse_repl_line(line)
    assert calls == [1]
    assert parse_repl_line("mc a") == setting("mc", "a")


# --- JSON lines and the host's converter ---------------------------------------------------

PAIR = ("press", {"key": "x"})


@pytest.mark.parametrize("line, convert, want", [
    ('{"action": "press", "key": "x"}', None, ("press", {"key": "x"})),  # the host's own converter
    ('{"action": "reset"}', None, ("reset", {})),
    ('{"a": 1, "a": 2}', lambda act: ("dup", act), ("dup", {"a": 2})),  # json: the last duplicate wins
    ('{"n": NaN, "big": 1e999}', lambda act: ("n", {k: str(v) for k, v in act.items()}),
     ("n", {"n": "nan", "big": "inf"})),
    ('{"n": 1' + "0" * 5000 + "}", lambda act: PAIR, seq('{"n":', "1" + "0" * 5000 + "}")),  # int too long
    ("{}", lambda act: None, None),
    ("{}", lambda act: PAIR, PAIR),
    ('{"k": 1}', lambda act: act.pop("missing"), KeyError),
    ('{"k": 1}', lambda act: int("x"), seq('{"k":', "1}")),
    ('{"k": 1}', lambda act: len(5), seq('{"k":', "1}")),
    ('{"k": 1}', lambda act: ["press", {}], seq('{"k":', "1}")),
    ('{"k": 1}', lambda act: ("a", "b", "c"), seq('{"k":', "1}")),
    ('{"k": 1}', lambda act: "ab", seq('{"k":', "1}")),
    ('{"k":1}', lambda act: 7, ("press", {"key": '{"k":1}'})),
    ('{"k": "\\ud800"}', lambda act: ("s", act), ("s", {"k": "\ud800"})),
    ("{\"k\": 1} trailing", lambda act: PAIR, seq('{"k":', "1}", "trailing")),
    ("{" * 3, lambda act: PAIR, ("press", {"key": "{{{"})),
    ("{a, b}", lambda act: PAIR, seq("{a", "b}")),
])
def test_json_lines(monkeypatch, line, convert, want):
    if convert is not None:
        monkeypatch.setattr(ws_repl, "_json_action_to_kind_body", convert)
    if want is KeyError:
        with pytest.raises(KeyError):
            parse_repl_line(line)
    else:
        assert parse_repl_line(line) == want


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
        assert repr(got) == repr(want)  # NaN compares unequal to itself; its text does not


def test_json_lines_agree_with_json_loads_on_random_text(monkeypatch):
    import random

    monkeypatch.setattr(ws_repl, "_json_action_to_kind_body", lambda act: ("ok", act))
    rnd = random.Random(11)
    pieces = ['"a"', '"b"', ":", ",", " ", "{", "}", "[", "]", "1", "-", "e", ".", "0", "null", "true", "NaN",
              "\\", '"', "\n", "x", "Infinity"]
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


def test_json_nesting_beyond_the_recursion_limit_propagates():
    depth = 100_000
    with pytest.raises(RecursionError):
        parse_repl_line('{"a":' * depth + "1" + "}" * depth)


def test_converter_result_is_returned_unchanged(monkeypatch):
    class Pair(tuple):
        pass

    result = Pair(("kind", {"body": 1}))
    monkeypatch.setattr(ws_repl, "_json_action_to_kind_body", lambda act: result)
    assert parse_repl_line('{"x": 1}') is result


def test_host_module_missing_for_a_json_line(monkeypatch):
    monkeypatch.setitem(sys.modules, "vantrel_soft.ws_repl", None)
    with pytest.raises(ImportError):
        parse_repl_line('{"action": "press"}')
    assert parse_repl_line("{oops") == ("press", {"key": "{oops"})  # no JSON object: no import
    with pytest.raises(ImportError):
        apply_ws_repl_parse_patch()


# --- installation in the host -------------------------------------------------------------

def test_patch_replaces_the_host_parser(monkeypatch):
    monkeypatch.setattr(ws_repl, "_parse_line", ws_repl._parse_line)
    assert ws_repl._parse_line("mc x 1") == seq("mc", "x", "1")
    for _ in range(2):
        assert apply_ws_repl_parse_patch() is None
        assert ws_repl._parse_line is quelby.parse_repl_line
    assert ws_repl._parse_line("mc x 1") == ("merge_components", {"x": "1"})
