"""Inputs for the fuzz targets, built from the fuzzer's bytes.

Every decision is read from a :class:`Source` over the input bytes, so one
input always builds the same values (a crash replays from its file) and the
fuzzer's coverage feedback steers the choices. An exhausted source reads as
zeros, which always picks the first, simplest option, so generation ends.

Besides JSON-like layout documents with the keys the runtime reads, the
generators make hostile values: text with white space of other scripts,
combining marks, lone surrogates and NUL; str, dict and list subclasses;
huge and deeply nested values; cycles; and objects whose ``__str__``,
``__bool__``, ``__eq__``, ``__hash__`` or container methods raise, or first
run :func:`mischief`, which replaces a field of an object under test.
"""

from __future__ import annotations

import json
import math
from typing import Any, Callable

# --- the byte source -------------------------------------------------------------------


class Source:
    """Reads small decisions from the input bytes; zeros once they run out."""

    __slots__ = ("data", "pos")

    def __init__(self, data: bytes) -> None:
        self.data, self.pos = data, 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n: int) -> int:
        """A number in ``range(n)``."""
        if n <= 1:
            return 0
        v = 0
        for _ in range(((n - 1).bit_length() + 7) // 8):
            v = v << 8 | self.byte()
        return v % n

    def chance(self, one_in: int) -> bool:
        """True about once in ``one_in`` draws (never for an exhausted source)."""
        return self.below(one_in) == one_in - 1

    def often(self, one_in: int) -> bool:
        """True but about once in ``one_in`` draws (always for an exhausted source)."""
        return self.below(one_in) != one_in - 1

    def choice(self, seq):
        return seq[self.below(len(seq))]

    def take(self, n: int) -> bytes:
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return chunk

    @property
    def left(self) -> int:
        return len(self.data) - self.pos


# --- text --------------------------------------------------------------------------------

#: White space that ``str.isspace()`` knows beyond ASCII, and other awkward
#: code points: NUL, combining marks, zero-width characters, lone surrogates,
#: letters whose case mapping changes their length, a character outside the BMP.
ODD_CHARS = (
    "\u3000", "\u00a0", "\u1680", "\u2002", "\u200a", "\u2028", "\u2029", "\u205f", "\u0085", "\x1c", "\x1f",
    "\x0b", "\x0c", "\t", "\n", "\r", " ", "\x00", "\u200b", "\ufeff", "\u180e", "\u0301", "\u0345", "\u20dd",
    "\ud800", "\udfff", "\udc80", "\U0001f600", "\U000e0001", "\u0130", "\u00df", "\ufb01", "\u03a3", "\u0131",
    "\uffff", "\x7f", "\x80", "\u202e",
)

#: Words the runtime gives meaning to: keys, pages, components, action kinds,
#: REPL commands, special data-root values, and the engine's reserved keys.
WORDS = (
    "login", "register", "dashboard", "report", "home", "entry", "label_frame_entry", "ttk_entry", "progress",
    "spin", "ui_page", "ui_page_index", "username", "password", "confirm_password", "id", "users", "goto", "page",
    "navigate", "business", "handler", "form", "method", "hook", "logout", "auth_login", "auth_register",
    "auth_logout", "LOGIN", "登录", "注册", "报表", "清空", "CLR", "clear", "reset", "set", "mc",
    "merge_components", "components", "quit", "exit", "q", "display", "d", "gui", "stream", "display_stream",
    "ping", "win_", "WIN_", ".db", ".DB", "@app", "app", "config", "grisel", "sha256", "none", "pbkdf2_sha256",
    "hook_a", "hook_b", "add", "boom", "{username}", "{", "}", "[", "]", ",", "#", "'", '"', "\\", ":", ";",
    "-", "_", "=", "0", "1", "7", "-1", "1e9", "true", "null", "NaN",
)


def text(src: Source, budget: int = 6) -> str:
    """Text of a few pieces: words, odd characters, raw code points."""
    mode = src.below(8)
    if mode == 6:  # raw bytes, with the undecodable ones as lone surrogates
        return src.take(src.below(24)).decode("utf-8", "surrogateescape")
    if mode == 7:  # code points anywhere in the range, surrogates included
        return "".join(chr(src.below(0x110000)) for _ in range(src.below(6)))
    out = []
    for _ in range(1 + src.below(budget)):
        kind = src.below(4)
        out.append(src.choice(WORDS) if kind < 2 else src.choice(ODD_CHARS) if kind == 2 else
                   chr(0x20 + src.below(0x60)))
        if not src.left:
            break
    return "".join(out)


def word(src: Source, words=WORDS) -> str:
    """One of ``words``, now and then with white space of another script around it."""
    w = src.choice(words)
    if src.chance(6):
        w = src.choice(ODD_CHARS[:11]) + w + src.choice(ODD_CHARS[:11])
    return w


# --- mischief: hostile code that replaces a field of an object under test -------------------

#: Objects under test and the attribute names a hostile call may replace.
#: A target fills it once its objects exist; ``mischief`` draws from ``src``.
VICTIMS: list[tuple[Any, tuple[str, ...]]] = []
_STATE: dict[str, Any] = {"src": Source(b""), "depth": 0}


def begin(src: Source) -> None:
    """Start one input: hostile values draw from ``src`` and have no victims yet."""
    VICTIMS.clear()
    _STATE["src"], _STATE["depth"] = src, 0


def mischief() -> None:
    """Replace one field of one victim (or change one victim mapping in place)."""
    src = _STATE["src"]
    if not VICTIMS or _STATE["depth"] > 3 or not src.left:
        return
    obj, fields = src.choice(VICTIMS)
    _STATE["depth"] += 1
    try:
        if isinstance(obj, dict):
            op = src.below(3)
            if op == 0:
                obj.clear()
            elif op == 1 and obj:
                obj.pop(next(iter(obj)), None)
            else:
                obj[word(src)] = plain(src, 1)
        elif fields:
            setattr(obj, src.choice(fields), hostile(src, 1) if src.chance(3) else plain(src, 1))
    except Exception:
        pass
    finally:
        _STATE["depth"] -= 1


def _fail(kind: int):
    exc = (ValueError, RuntimeError, KeyError, TypeError, LookupError, ArithmeticError)[kind % 6]
    raise exc("hostile")


class TrapStr(str):
    """A str whose hashing and comparisons first run mischief."""

    def __hash__(self):
        mischief()
        return str.__hash__(self)

    def __eq__(self, other):
        mischief()
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)


class OddStr(str):
    """A str subclass whose own methods answer with the wrong types."""

    def __str__(self):
        return 5  # type: ignore[return-value]

    def lower(self):
        return None

    def strip(self, chars=None):
        return self

    def __format__(self, spec):
        mischief()
        return str.__format__(self, spec)


class Raiser:
    """An object whose every protocol method raises (after mischief, sometimes)."""

    def __init__(self, kind: int, meddle: bool) -> None:
        self.kind, self.meddle = kind, meddle

    def _go(self, *_):
        if self.meddle:
            mischief()
        _fail(self.kind)

    __str__ = __repr__ = __bool__ = __len__ = __iter__ = __index__ = __int__ = __fspath__ = _go
    __hash__ = _go  # type: ignore[assignment]
    __eq__ = __ne__ = __lt__ = __getitem__ = __contains__ = __format__ = _go  # type: ignore[assignment]
    __deepcopy__ = __copy__ = __reduce_ex__ = _go


class Shapeshifter:
    """An object whose answers are of the wrong type or change on every call."""

    def __init__(self, seed: int) -> None:
        self.seed = seed

    def _tick(self) -> int:
        mischief()
        self.seed += 1
        return self.seed

    def __str__(self):
        n = self._tick() % 4
        return ("text", TrapStr("login"), OddStr("entry"), "\ud800")[n]

    def __bool__(self):
        return bool(self._tick() % 2)

    def __eq__(self, other):
        return bool(self._tick() % 2)

    def __hash__(self):
        return self._tick()

    def __deepcopy__(self, memo):
        mischief()
        return self

    def __format__(self, spec):
        return str(self)


class BadBool:
    """``__bool__`` answering with something else than a bool."""

    def __bool__(self):
        return "yes"  # type: ignore[return-value]


class TrapDict(dict):
    """A dict subclass whose reading methods first run mischief (which may empty it)."""

    def get(self, key, default=None):
        mischief()
        return dict.get(self, key, default)

    def __getitem__(self, key):
        mischief()
        return dict.__getitem__(self, key)

    def __contains__(self, key):
        mischief()
        return dict.__contains__(self, key)

    def __iter__(self):
        mischief()
        return dict.__iter__(self)

    def keys(self):
        mischief()
        return dict.keys(self)

    def items(self):
        mischief()
        return dict.items(self)

    def values(self):
        mischief()
        return dict.values(self)


class TrapList(list):
    """A list subclass whose iteration and indexing first run mischief."""

    def __iter__(self):
        mischief()
        return list.__iter__(self)

    def __getitem__(self, index):
        mischief()
        return list.__getitem__(self, index)

    def __len__(self):
        mischief()
        return list.__len__(self)


class PlainDict(dict):
    """A dict subclass that changes nothing (a type test must still see a mapping)."""


# --- values -----------------------------------------------------------------------------

NUMBERS = (0, 1, -1, 7, 2**31 - 1, 2**31, 2**63 - 1, 2**63, -2**63 - 1, 2**64, 10**5000, True, False,
           0.0, -0.0, 1.5, math.inf, -math.inf, math.nan, 1e308)


def scalar(src: Source) -> Any:
    """A JSON scalar: null, a boolean, a number or text."""
    k = src.below(6)
    return (None, True, False)[src.below(3)] if k == 0 else src.choice(NUMBERS) if k == 1 else text(src)


def plain(src: Source, depth: int = 3) -> Any:
    """A JSON-like value (dict, list, str, numbers, booleans, None)."""
    k = src.below(8) if depth > 0 else 0
    if k < 5:
        return scalar(src)
    if k == 5:
        return [plain(src, depth - 1) for _ in range(src.below(5))]
    return {word(src) if src.often(2) else text(src): plain(src, depth - 1) for _ in range(src.below(5))}


def huge(src: Source) -> Any:
    """A value that is large or deep: a long text, a long list, deep nesting, a cycle."""
    k = src.below(6)
    n = 1 << (8 + src.below(9))  # 256 .. 64K
    if k == 0:
        return src.choice(WORDS) * (n << 4)
    if k == 1:
        return [src.choice(WORDS)] * n
    if k == 2:
        return {f"k{i}": i for i in range(n)}
    deep: Any = src.choice(WORDS)
    for _ in range(n >> 2):
        deep = [deep] if k == 3 else {"tk": deep}
    if k == 5:
        cycle: list = [deep]
        cycle.append(cycle)
        return cycle
    return deep


def hostile(src: Source, depth: int = 2) -> Any:
    """A value of any of the hostile kinds, or a plain one."""
    k = src.below(14)
    if k == 0:
        return TrapStr(word(src))
    if k == 1:
        return OddStr(word(src))
    if k == 2:
        return Raiser(src.below(6), src.below(2) == 1)
    if k == 3:
        return Shapeshifter(src.below(8))
    if k == 4:
        return BadBool()
    if k == 5 and depth > 0:
        return TrapDict({key(src): hostile(src, depth - 1) for _ in range(src.below(4))})
    if k == 6 and depth > 0:
        return TrapList(hostile(src, depth - 1) for _ in range(src.below(4)))
    if k == 7 and depth > 0:
        return PlainDict({key(src): hostile(src, depth - 1) for _ in range(src.below(4))})
    if k == 8:
        return huge(src)
    if k == 9:
        return (b"bytes", (1, "t"), frozenset({"login"}), {"login", "register"}, object(), 3j)[src.below(6)]
    return plain(src, depth)


def key(src: Source) -> Any:
    """A mapping key: mostly a known word, sometimes trapped, odd or not text at all."""
    k = src.below(10)
    if k == 0:
        return TrapStr(word(src))
    if k == 1:
        return text(src)
    if k == 2:
        return (5, None, ("t",), 1.5, Shapeshifter(1))[src.below(5)]
    return word(src)


# --- layout documents -------------------------------------------------------------------

#: Keys whose values name places on disk. The generators give them only
#: relative, one-level names (or the special data-root words), so a fuzzed
#: document never makes the runtime create or open files outside the scratch
#: directory the fuzzer works in.
PATH_KEYS = frozenset({"path", "dir", "data_dir", "data_root", "source", "source_path", "root"})
SAFE_PATHS = ("", " ", "data", "db", "app", "@app", ".", "var", "users.sqlite", "x.db", "数据", "a b", "\u3000",
              "sub_dir")


def safe_path_value(src: Source) -> Any:
    k = src.below(8)
    if k == 0:
        return None
    if k == 1:
        return src.choice((0, 1, True, False, [], {}, 5))
    return src.choice(SAFE_PATHS)


def is_safe_path_value(v: Any) -> bool:
    """A value a path key may hold: not text, or a relative name without separators."""
    if not isinstance(v, str):
        return isinstance(v, Raiser) or not isinstance(v, (bytes, bytearray)) and not hasattr(v, "__fspath__")
    s = v.strip()
    return not any(c in s for c in "/\\~\x00") and ".." not in s and ":" not in s


def paths_safe(doc: Any) -> bool:
    """Does every path key of ``doc`` (at any depth) hold a safe value? Walks
    with the base types' own methods, so no hostile override runs."""
    stack, seen = [doc], set()
    while stack:
        v = stack.pop()
        if id(v) in seen:
            continue
        seen.add(id(v))
        if isinstance(v, dict):
            for k, item in dict.items(v):
                if isinstance(k, str) and str.__str__(k) in PATH_KEYS and not is_safe_path_value(item):
                    return False
                stack.append(item)
        elif isinstance(v, list):
            stack.extend(list.__iter__(v))
    return True


class Layouts:
    """Layout documents: structured sections with the keys the runtime reads,
    values of the wrong types, and (when ``mean``) hostile objects."""

    def __init__(self, src: Source, mean: bool) -> None:
        self.src, self.mean = src, mean

    # values --------------------------------------------------------------------------
    def any(self, depth: int = 2) -> Any:
        if self.mean and self.src.chance(4):
            return hostile(self.src, depth)
        return plain(self.src, depth)

    def name(self, words=WORDS) -> Any:
        """A name-like value: mostly a word, sometimes any value."""
        return word(self.src, words) if self.src.often(6) else self.any(1)

    def mapping(self, entries: dict[str, Callable[[], Any]], extra: int = 2) -> Any:
        """Some of ``entries`` (key: value maker) in a random order, plus a few unknown keys."""
        src = self.src
        if src.chance(12):
            return self.any(1)  # the wrong type altogether
        names = list(entries)
        out: dict = TrapDict() if self.mean and src.chance(8) else {}
        for _ in range(src.below(len(names) + 1)):
            k = src.choice(names)
            out[TrapStr(k) if self.mean and src.chance(10) else k] = (
                safe_path_value(src) if k in PATH_KEYS else entries[k]())
        for _ in range(src.below(extra + 1) if src.chance(3) else 0):
            k = key(src) if self.mean else text(src)
            out[k] = safe_path_value(src) if k in PATH_KEYS else self.any(1)
        return out

    def listing(self, make: Callable[[], Any], most: int = 4) -> Any:
        if self.src.chance(12):
            return self.any(1)
        items = [make() for _ in range(self.src.below(most + 1))]
        return TrapList(items) if self.mean and self.src.chance(8) else items

    # sections ------------------------------------------------------------------------
    def column(self) -> Any:
        flag = lambda: self.src.choice((0, 1, True, None, "yes", ""))  # noqa: E731
        return self.mapping({"name": self.name, "type": lambda: self.src.choice(("TEXT", "INTEGER", "", "BLOB", 5)),
                             "primary_key": flag, "autoincrement": flag, "not_null": flag, "unique": flag,
                             "default": lambda: self.src.choice((None, 0, "''", "x", 1.5))})

    def table(self) -> Any:
        fk = lambda: self.mapping({"column": self.name, "table": self.name, "references": self.name})  # noqa: E731
        return self.mapping({"name": lambda: self.name(("users", "students", "t", "用户")),
                             "columns": lambda: self.listing(self.column, 5),
                             "foreign_keys": lambda: self.listing(fk, 2)})

    def database(self) -> Any:
        return self.mapping({"name": self.name, "app_name": self.name, "path": None, "dir": None, "data_dir": None,
                             "data_root": None, "tables": lambda: self.listing(self.table, 3)})

    def account(self) -> Any:
        return self.mapping({"username": self.name, "password": self.name})

    def auth(self) -> Any:
        s = self.src
        return self.mapping({
            "user_table": lambda: self.name(("users", "t", "missing")), "username_column": self.name,
            "password_column": self.name, "id_column": self.name,
            "hash": lambda: self.name(("sha256", "none", "pbkdf2_sha256", "SHA256", "md5", "")),
            # Few rounds: the default 600000 makes one hash take a visible fraction of a second.
            "pbkdf2_iterations": lambda: s.choice((1, 2, 0, -1, "3", None, 1.5, 2**40)),
            "confirm_password_field": lambda: self.name(("confirm_password", "password", "x")),
            "seed_users": lambda: self.listing(self.account, 3), "default_user": self.account,
            "home_after_login": self.name, "after_login_page": self.name, "session_key": self.name})

    def action(self) -> Any:
        s = self.src
        if s.below(3) == 0:
            return self.name(("login", "register", "logout", "goto", "business", "method", "LOGIN", "x"))
        return self.mapping({
            "type": lambda: self.name(("login", "register", "logout", "goto", "navigate", "page", "business",
                                       "handler", "form", "hook", "method", "auth_login", "Login√", "x")),
            "action": self.name, "page": self.name, "goto": self.name, "success_page": self.name,
            "fail_page": self.name, "form": lambda: self.name(("f", "g", "missing")),
            "handler": lambda: self.name(("add", "boom", "hook_a", "missing")), "method": self.name,
            "business": self.name, "require_login": lambda: s.choice((True, 0, 1, "")),
            "clear": lambda: s.choice((True, False)), "clear_form": lambda: s.choice((True, False, None)),
            "clear_on_success": lambda: s.choice((True, False)), "message": self.name,
            "success_message": lambda: s.choice(("欢迎，{username}", "{id}", "{", "{username!r:>4}", "ok")),
            "set": lambda: self.mapping({"entry": self.any, "title": self.any, "ui_page": self.name}),
            "fields": lambda: self.mapping({"name": self.name, "age": self.name, "user_id": self.name}),
            "pass_user_id": lambda: s.choice((True, False, 0))})

    def actions(self) -> Any:
        return self.mapping({k: self.action for k in self.src.choice(ACTION_KEYS)}, 1)

    def tk(self) -> Any:
        s = self.src
        pages = lambda: self.listing(self.name, 4)  # noqa: E731
        nav = lambda: self.mapping({"start_page": self.name, "home_after_login": self.name,  # noqa: E731
                                    "after_register_page": self.name, "after_logout_page": self.name,
                                    "public_pages": pages})
        return self.mapping({
            "navigation": nav, "start_page": self.name, "home_after_login": self.name,
            "after_register_page": self.name, "after_logout_page": self.name, "public_pages": pages,
            "auth_field_map": lambda: self.mapping({"username": self.name, "password": self.name,
                                                     "confirm_password": self.name}),
            "actions": self.actions,
            "forms": lambda: self.mapping({"f": lambda: self.mapping({"handler": self.name, "fields": self.any}),
                                           "g": self.any}),
            "clear_components_on_goto": lambda: self.listing(self.name, 4),
            "page_hooks": lambda: self.mapping({p: lambda: self.mapping({"on_enter": lambda: self.name(
                ("hook_a", "hook_b", "missing", "snapshot", "reset_all"))}) for p in ("login", "dashboard", "report")}),
        }, 1)

    def plugins(self) -> Any:
        sections = lambda: self.mapping({"database": self.database, "auth": self.auth, "web": self.any,  # noqa: E731
                                         "tk": self.tk})
        return self.mapping({
            "enabled": lambda: self.listing(lambda: self.name(("login", "grisel", " Login ", "nope")), 2),
            "config": lambda: self.mapping({w: lambda: self.mapping({"sections": sections, "x": self.any})
                                            for w in ("login", "grisel", "p", "")})})

    def host_pages(self) -> Any:
        widget = lambda: self.mapping({"component_key": self.name, "id": self.name,  # noqa: E731
                                       "children": lambda: self.listing(lambda: self.mapping(
                                           {"component_key": self.name}), 2)})
        section = lambda: self.mapping({"widgets": lambda: self.listing(widget, 3)})  # noqa: E731
        page = lambda: self.mapping({"id": self.name, "sections": lambda: self.listing(section, 2)})  # noqa: E731
        return self.listing(page, 5)

    def document(self) -> Any:
        """A whole layout document (its root may be of the wrong type, too)."""
        s = self.src
        return self.mapping({
            "database": self.database, "auth": self.auth, "web": lambda: self.mapping(
                {"title": self.name, "secret_key": self.name, "port": self.any}),
            "tk": self.tk, "plugins": self.plugins, "input": lambda: self.mapping(
                {"navigation": self.any, "auth_field_map": self.any, "actions": self.actions}),
            "pages": lambda: self.host_pages() if s.often(2) else self.mapping({"login": self.any}),
            "auth_forms": lambda: self.mapping({"login": self.any, "register": self.any}),
            "window": lambda: self.mapping({"title": self.name, "id": lambda: self.name(("win_main", "WIN_", "x"))}),
            "title": self.name, "app_name": self.name,
            "vantrel_soft": lambda: self.mapping({"prefer_local": lambda: s.choice((False, 0, None, "false")),
                                                  "source": None, "source_path": None, "path": None, "root": None}),
            "vantrel_soft_source": lambda: safe_path_value(s),
        }, 2)


#: Key names of the action tables the generated layouts hold.
ACTION_KEYS = (
    ("登录", "注册", "报表", "加", "退出"),
    ("login", "go", "biz", "hook", "x"),
    ("清空", "CLR", " 报表 ", "\u3000登录", "k"),
)


def json_text(src: Source, doc: Any) -> bytes:
    """``doc`` as the bytes of a JSON file: escaped, raw UTF-8, or raw with lone
    surrogates left undecodable; now and then deeply nested or cut short."""
    k = src.below(10)
    if k == 8:
        depth = 1 << (4 + src.below(14))
        return b"[" * depth + b"]" * depth
    data = dump(doc, ensure_ascii=k < 5)
    if k == 9:
        data = data[:src.below(len(data) + 1)]
    return data


def dump(doc: Any, ensure_ascii: bool = True) -> bytes:
    """``doc`` as JSON bytes (lone surrogates kept as such); "{}" for what JSON cannot hold."""
    try:
        raw = json.dumps(doc, ensure_ascii=ensure_ascii)
    except (ValueError, TypeError, RecursionError):
        raw = "{}"
    return raw.encode("utf-8", "surrogatepass")
