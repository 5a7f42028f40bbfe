"""The fuzz targets: each turns the fuzzer's bytes into calls of the package.

A target may end in a result or in any ``Exception`` (TypeError, ValueError,
KeyError, RuntimeError, json, sqlite3 and OS errors, RecursionError...):
those are what hostile input is meant to get. A crash, a sanitizer report, a
hang, a ``SystemError`` (the runtime's sign of a misused C API) or a broken
invariant (:class:`Finding`) is a finding.

Targets work in a scratch directory (:func:`prepare`): the working
directory, ``HOME`` and ``CALC_WS_ROOT`` point there, and generated
documents only name relative places on disk (``gen.PATH_KEYS``).
"""

from __future__ import annotations

import functools
import json
import os
import reprlib
import shutil
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

import gen
import oracles
from gen import Layouts, Source, hostile, key, plain, text, word

SCRATCH: dict[str, Path] = {}


class Finding(BaseException):
    """A broken invariant; not an ``Exception``, so no guard swallows it."""


def guard(fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    """``fn(*args, **kwargs)``, with every ordinary exception dropped (None)."""
    try:
        return fn(*args, **kwargs)
    except SystemError:
        raise
    except Exception:
        return None


def prepare(root: str | None = None) -> Path:
    """Work from a private scratch directory (made once per process)."""
    if "root" not in SCRATCH:
        base = Path(root or tempfile.mkdtemp(prefix="vantrel-fuzz-")).resolve()
        base.mkdir(parents=True, exist_ok=True)
        os.chdir(base)
        os.environ["HOME"] = str(base)
        os.environ["CALC_WS_ROOT"] = str(base / "root")
        os.environ.pop("VANTREL_LAYOUT", None)
        SCRATCH["root"] = base
    return SCRATCH["root"]


def scratch_file(rel: str, data: bytes) -> Path:
    path = prepare() / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return path


def clean_data() -> None:
    """Empty the scratch directory (the user store writes databases there)."""
    for p in prepare().iterdir():
        if p.is_dir() and not p.is_symlink():
            shutil.rmtree(p, ignore_errors=True)
        else:
            p.unlink(missing_ok=True)


def split(data: bytes) -> tuple[Source, bytes | None]:
    """The choices of an input, and the document text it gives as such.

    Input starting with "{" or "[" is the text of a layout document (the seed
    corpus is made of such), optionally followed by a NUL byte and the bytes
    of the other choices; any other input is all choices."""
    if data[:1] in (b"{", b"["):
        given, _, rest = data.partition(b"\0")
        src = Source(rest)
    else:
        given, src = None, Source(data)
    gen.begin(src)
    return src, given


def parsed(given: bytes) -> Any:
    """The document a given text holds (None when it is not JSON)."""
    try:
        return json.loads(given.decode("utf-8"))
    except (ValueError, RecursionError):
        return None


def layout_file(src: Source, given: bytes | None) -> tuple[bytes, Any] | None:
    """The bytes of a layout file and the document they hold: the given text,
    or a generated document. None when the document names an unsafe place."""
    if given is not None:
        doc = parsed(given)
        return (given, doc) if gen.paths_safe(doc) else None
    doc = Layouts(src, mean=False).document()
    return gen.json_text(src, doc), doc


def layout_in_memory(src: Source, given: bytes | None) -> tuple[Any, bool]:
    """A layout to read, and whether it holds plain data only: the given
    document, or a generated one (with hostile values, mostly)."""
    if given is not None:
        return parsed(given), True
    mean = src.often(3)
    return Layouts(src, mean).document(), not mean


def compare(what: str, fn: Callable[..., Any], rule: Callable[..., Any], *args: Any) -> None:
    """``fn(*args)`` must end as the plain rule does: the same result, or the same exception type."""
    got, want = outcome(fn, *args), outcome(rule, *args)
    if got != want:
        raise Finding(f"{what}({', '.join(map(reprlib.repr, args))}) gave {reprlib.repr(got)}, "
                      f"the rule gives {reprlib.repr(want)}")


def path_forms(src: Source, path: Path) -> Any:
    """``path`` as text, a path object, a str subclass or something else entirely."""
    k = src.below(8)
    return (str(path), path, gen.TrapStr(str(path)), gen.PlainDict(), None, 5, str(path) + "\x00",
            str(path.parent))[k]


# --- targets -----------------------------------------------------------------------------


def outcome(fn: Callable[..., Any], *args: Any) -> Any:
    """``fn(*args)``, or the type of the ordinary exception it raised."""
    try:
        return fn(*args)
    except SystemError:
        raise
    except Exception as exc:
        return type(exc)


def fuzz_repl_line(data: bytes) -> None:
    from vantrel_app_plugin.quelby import parse_repl_line

    if data[:1] == b"\xff":
        src = Source(data[1:])
        gen.begin(src)
        k = src.below(4)
        line = text(src) if k == 0 else gen.TrapStr(text(src)) if k == 1 else gen.OddStr(text(src)) if k == 2 \
            else hostile(src)
        if type(line) is not str:
            guard(parse_repl_line, line)
            return
    else:
        line = data.decode("utf-8", "surrogateescape")
    compare("parse_repl_line", parse_repl_line, oracles.repl_line, line)


def fuzz_layout_file(data: bytes) -> None:
    from vantrel_app_plugin.login.keldra import load_plugin_sections
    from vantrel_app_plugin.sarnet import read_layout_file, resolve_config_file, vantrel_soft_source_from_layout

    src, given = split(data)
    raw = given if given is not None else gen.json_text(src, Layouts(src, mean=False).document())
    name = src.choice(("gui_layout.json", "config/gui_layout.json", "config/app_config.json", "other.json"))
    path = scratch_file(f"layout/{name}", raw)
    doc = guard(read_layout_file, path_forms(src, path))
    guard(resolve_config_file, path_forms(src, path.parent if src.often(2) else path))
    guard(load_plugin_sections, path_forms(src, path))
    for value in (doc, Layouts(src, mean=True).document()):
        guard(vantrel_soft_source_from_layout, value)
    path.unlink()


def fuzz_app_plugin(data: bytes) -> None:
    from vantrel_app_plugin.login.keldra import JsonAppPlugin

    src, given = split(data)
    made = layout_file(src, given)
    if made is None:
        return
    raw, _ = made
    path = scratch_file(src.choice(("proj/config/gui_layout.json", "proj/gui_layout.json", "app_config.json")), raw)
    cls = JsonAppPlugin if src.often(3) else overriding_store()
    try:
        plugin = guard(cls, path_forms(src, path) if src.chance(8) else str(path))
        if plugin is None:
            return
        gen.VICTIMS.append((plugin, ("_raw",)))
        if isinstance(plugin.data, dict):
            gen.VICTIMS.append((plugin.data, ()))
        for name in STORE_READS:
            guard(getattr, plugin, name)
        guard(plugin.init_database)
        for _ in range(src.below(12)):
            store_op(src, plugin)
        guard(plugin.login_user, {"username": "admin", "password": "admin123"})
    finally:
        clean_data()


@functools.cache
def overriding_store():
    from vantrel_app_plugin.login.keldra import JsonAppPlugin

    class Overriding(JsonAppPlugin):
        """Overrides the properties other members read, with hostile answers."""

        @property
        def database_cfg(self):
            gen.mischief()
            return super().database_cfg

        @property
        def app_title(self):
            value = _STORE_SRC[0]
            return hostile(value, 1) if value.chance(3) else super().app_title

        def hash_password(self, password):
            gen.mischief()
            return super().hash_password(password)

    return Overriding


_STORE_SRC: list[Source] = [Source(b"")]

STORE_READS = ("config_path", "data", "database_cfg", "auth_cfg", "web_cfg", "pages_cfg", "app_title", "app_name",
               "data_root", "db_path")


def fields(src: Source) -> Any:
    """Form fields for registration and login."""
    if src.chance(8):
        return hostile(src, 1)
    names = ("username", "password", "confirm_password", "x")
    out = gen.TrapDict() if src.chance(6) else {}
    for _ in range(src.below(4)):
        out[src.choice(names)] = src.choice(("admin", "pw", " alice ", "", "\x00", "\ud800")) if src.below(2) \
            else hostile(src, 1)
    return out


def store_op(src: Source, plugin: Any) -> None:
    _STORE_SRC[0] = src
    k = src.below(10)
    if k == 0:
        guard(getattr, plugin, src.choice(STORE_READS))
    elif k == 1:
        guard(plugin.init_database)
    elif k == 2:
        guard(plugin.register_user, fields(src))
    elif k == 3:
        guard(plugin.login_user, fields(src))
    elif k == 4:
        guard(plugin.hash_password, src.choice(("pw", "", "\ud800", "\x00")) if src.often(2) else hostile(src, 1))
    elif k == 5:
        guard(plugin.seed_default_users)
    elif k == 6:
        guard(plugin.reload)
    elif k == 7:
        doc = Layouts(src, mean=True).document()
        if gen.paths_safe(doc):
            guard(setattr, plugin, "_raw", doc)
    elif k == 8:
        def query():
            with plugin.connect() as con:
                con.execute("SELECT 1").fetchall()
        guard(query)
    else:
        for name in STORE_READS:
            guard(getattr, plugin, name)


def fuzz_lirren(data: bytes) -> None:
    from vantrel_app_plugin import lirren

    src, given = split(data)
    layout, plain = layout_in_memory(src, given)
    if isinstance(layout, dict):
        gen.VICTIMS.append((layout, ()))
        tk = dict.get(layout, "tk")
        if isinstance(tk, dict):
            gen.VICTIMS.append((tk, ()))
    for name in ("tk_section", "navigation_cfg", "auth_field_map", "actions_cfg", "forms_cfg", "clear_components",
                 "page_hooks_cfg"):
        if plain and type(layout) is dict:
            compare(name, getattr(lirren, name), getattr(oracles, name), layout)
        else:
            guard(getattr(lirren, name), layout)
    if src.chance(4):
        guard(getattr(lirren, src.choice(("tk_section", "actions_cfg"))), layout=layout, extra=1)


class FuzzPlugin:
    """A plugin whose dispatch members answer as the input says: yes, no, a
    hostile truth value, an exception, or mischief first."""

    def __init__(self, src: Source) -> None:
        self.src = src
        self.ACTION_TYPES = src.choice((("login", "Goto", 7), ["x"], "login", None, frozenset({"LOGIN"}))) \
            if src.often(3) else hostile(src, 1)
        if src.chance(5):
            self.supports_action = src.choice((None, "yes", 5))

    def _answer(self):
        k = self.src.below(6)
        if k == 0:
            gen.mischief()
        if k == 1:
            raise ValueError("plugin says no")
        return (True, False, True, 0, 1, hostile(self.src, 0))[k]

    def supports_action(self, action_type):
        return self._answer()

    def run_action(self, action_type, key, spec, engine):
        return self._answer()


def fuzz_ostrel(data: bytes) -> None:
    from vantrel_app_plugin import ostrel

    src, given = split(data)
    layout, plain = layout_in_memory(src, given)
    if isinstance(layout, dict):
        gen.VICTIMS.append((layout, ()))
    fid = word(src, ("login", "grisel", " login ", "p", "LOGIN", "", "\u3000login")) if src.often(4) else key(src)
    names = tuple(word(src, ("database", "auth", "web", "tk", "auth_forms")) for _ in range(src.below(5)))
    if src.chance(5):
        names = (list(names), names + (key(src),), gen.TrapList(names))[src.below(3)]
    plain = plain and isinstance(layout, dict) and type(fid) is str and type(names) is tuple \
        and all(type(n) is str for n in names)
    for name, args in (("plugins_block", (layout,)), ("plugin_config", (layout, fid)),
                       ("merged_sections", (layout, fid, names)), ("build_effective_layout", (layout, fid, names))):
        if plain:
            compare(name, getattr(ostrel, name), getattr(oracles, name), *args)
        else:
            guard(getattr(ostrel, name), *args)

    plugins = {f"p{i}": FuzzPlugin(src) for i in range(src.below(4))}
    if src.chance(6):
        plugins = gen.TrapDict(plugins)
    gen.VICTIMS.append((plugins, ()))
    for plugin in list(plugins.values()):
        guard(ostrel.action_types_for_plugin, plugin)
    spec = Layouts(src, mean=True).action()
    action = word(src, ("login", "LOGIN", "goto", "x")) if src.often(4) else key(src)
    guard(ostrel.dispatch_plugin_action, plugins, action, word(src), spec if isinstance(spec, dict) else {}, None)

    if src.chance(3):
        base = guard(ostrel.UnifiedPluginBase, str(prepare() / "missing.json"), layout)
        if base is not None:
            gen.VICTIMS.append((base, ("_layout", "_plugin_cfg")))
            for name in ("feature_id", "data", "config", "sections"):
                guard(getattr, base, name)
            guard(base.supports_action, action)


def fuzz_sanitize(data: bytes) -> None:
    from vantrel_app_plugin.login.keldra import _sanitize_db_basename

    if data[:1] == b"\xff":
        src = Source(data[1:])
        gen.begin(src)
        guard(_sanitize_db_basename, hostile(src) if src.often(2) else gen.TrapStr(text(src)))
        return
    compare("_sanitize_db_basename", _sanitize_db_basename, oracles.sanitize_db_basename,
            data.decode("utf-8", "surrogateescape"))


# --- the page engine ----------------------------------------------------------------------

ENGINE_FIELDS = ("_plugins", "plugin", "_layout", "_nav", "_field_map", "_auth_component_keys", "_actions", "_forms",
                 "_page_hooks", "_clear_keys", "_component_keys", "_public_pages", "_revision", "_user", "_status",
                 "_components")
ENGINE_CALLS = ("_guard_page", "_page_index", "_goto", "_run_action", "_fields_from_map", "_action_login",
                "_action_register", "_action_logout", "_action_business")


class FakeStore:
    """Primary plugin stand-in: the layout as its data, answers as the input says."""

    def __init__(self, layout: Any, src: Source) -> None:
        self.data, self.src = layout, src

    def init_database(self):
        gen.mischief()

    def _pair(self, fields):
        k = self.src.below(8)
        if k == 0:
            raise RuntimeError("store down")
        if k == 1:
            return hostile(self.src, 1)
        if k == 2:
            return (True,)
        if k < 5:
            return True, {"id": self.src.choice((7, "7", None, 2**70, "x")), "username": str(fields)[:20]}
        if k == 5:
            return True, gen.TrapDict(id=1, username=hostile(self.src, 0))
        return False, "用户名或密码错误"

    login_user = register_user = _pair


@functools.cache
def engine_classes():
    from vantrel_app_plugin.brisen import TkJsonEngine

    class FuzzEngine(TkJsonEngine):
        """Business functions and page hooks that answer as the input says."""

        src = Source(b"")

        @property
        def business_handlers(self):
            src = self.src
            k = src.below(6)
            if k == 0:
                return hostile(src, 1)
            gen.mischief() if k == 1 else None

            def add(**kw):
                return (True, f"ok {len(kw)}") if src.often(2) else hostile(src, 1)

            def boom(**kw):
                raise KeyError("boom")

            return {"add": add, "boom": boom, "hook_a": self.hook_a}

        def hook_a(self, *args, **kwargs):
            gen.mischief()

        def hook_b(self):
            raise RuntimeError("hook failed")

    class OverridingEngine(FuzzEngine):
        """Python overrides of the members the engine calls on itself."""

        def _guard_page(self, page_id):
            gen.mischief()
            return super()._guard_page(page_id) if self.src.often(4) else hostile(self.src, 0)

        def _page_index(self, page_id):
            gen.mischief()
            return super()._page_index(page_id)

        def _goto(self, page_id, clear_form=False):
            gen.mischief()
            return super()._goto(page_id, clear_form)

        def _run_action(self, key, spec):
            gen.mischief()
            return super()._run_action(key, spec)

        def _fields_from_map(self, mapping):
            return super()._fields_from_map(mapping) if self.src.often(3) else hostile(self.src, 1)

        @property
        def home_page(self):
            return hostile(self.src, 0) if self.src.chance(3) else "dashboard"

    return TkJsonEngine, FuzzEngine, OverridingEngine


def engine_keys(layout: Any) -> tuple:
    """The key names of the layout's action table (plain dict reads only)."""
    tk = dict.get(layout, "tk") if isinstance(layout, dict) else None
    actions = dict.get(tk, "actions") if isinstance(tk, dict) else None
    return tuple(k for k in dict.keys(actions) if type(k) is str) if isinstance(actions, dict) else ()


def fuzz_engine(data: bytes) -> None:
    from vantrel_app_plugin import brisen
    from vantrel_soft import gui_config
    from vantrel_soft.harness import COMPONENT_KEYS, DEFAULT_COMPONENTS

    src, given = split(data)
    real = src.chance(8)  # the real registry and user store, on a layout file
    made = layout_file(src, given) if real else (given, layout_in_memory(src, given)[0])
    if made is None:
        return
    layout = made[1]
    host = Layouts(src, mean=False).host_pages()
    host_file = scratch_file("host/gui_layout.json", gen.dump({"pages": host}))
    config = scratch_file("proj/gui_layout.json", made[0] or b"{}")
    saved = {n: getattr(brisen, n) for n in ("load_unified_plugins", "primary_plugin", "COMPONENT_KEYS")}
    saved_keys = set(COMPONENT_KEYS)
    try:
        guard(gui_config.use_layout, host_file)
        known = {*DEFAULT_COMPONENTS, "ui_page", "ui_page_index", "title", "note", *(text(src) for _ in range(2))}
        brisen.COMPONENT_KEYS = known if src.often(6) else hostile(src, 1)
        if not real:
            store = FakeStore(layout, src)
            plugins = {"fake": store, **{f"p{i}": FuzzPlugin(src) for i in range(src.below(3))}}
            brisen.load_unified_plugins = lambda path: plugins
            brisen.primary_plugin = lambda ps: store if src.often(8) else hostile(src, 0)
        cls = engine_classes()[src.below(3)]
        cls.src = src
        engine = guard(cls, str(config))
        if engine is None:
            return
        gen.VICTIMS.extend([(engine, ENGINE_FIELDS), (COMPONENT_KEYS, ())])
        if isinstance(layout, dict):
            gen.VICTIMS.append((layout, ()))
        keys = engine_keys(layout) + ("清空", "CLR", "clear", "reset", " ", "未知")
        for k in keys[:8]:
            guard(engine.press, k)
        guard(engine.snapshot)
        for _ in range(src.below(40)):
            if not src.left:
                break
            engine_op(src, engine, keys, str(config))
    finally:
        for name, value in saved.items():
            setattr(brisen, name, value)
        COMPONENT_KEYS.clear()
        COMPONENT_KEYS.update(saved_keys)
        guard(gui_config.use_layout, None)
        if real:
            clean_data()


def engine_op(src: Source, engine: Any, keys: tuple, config: str) -> None:
    k = src.below(16)
    if k < 5:
        press = src.choice(keys) if src.often(5) else text(src) if src.often(3) else hostile(src, 0)
        if isinstance(press, str) and src.chance(5):
            press = gen.TrapStr(str.__str__(press))
        guard(engine.press, press)
    elif k < 8:
        names = ("entry", "label_frame_entry", "ttk_entry", "ui_page", "ui_page_index", "title", "note", "x")
        values = {}
        for _ in range(src.below(4)):
            name = src.choice(names) if src.often(4) else text(src)
            if src.chance(6):
                name = gen.TrapStr(name)
            values[name] = src.choice(("admin", "pw", "login", "dashboard", "", 3)) if src.below(2) \
                else hostile(src, 1)
        guard(engine.merge_components, **values)
    elif k == 8:
        guard(engine.reset_all)
    elif k < 11:
        guard(engine.snapshot)
    elif k == 11:
        guard(setattr, engine, src.choice(ENGINE_FIELDS), hostile(src, 1) if src.often(2) else plain(src, 1))
    elif k == 12:
        name = src.choice(ENGINE_CALLS)
        args = [src.choice(("login", "dashboard", "report", "f")) if src.often(2) else hostile(src, 1)]
        if name == "_run_action":
            args.append(Layouts(src, mean=True).action())
        guard(getattr(engine, name), *args)
    elif k == 13:
        for name in ("home_page", "business_handlers", "_auth_fields", "_require_login", "_empty_components",
                     "_layout_component_keys", "_snapshot_components"):
            member = guard(getattr, engine, name)
            if callable(member) and src.below(2):
                guard(member)
    elif k == 14:
        guard(engine.__init__, config if src.often(4) else hostile(src, 0))
    else:
        gen.mischief()


# --- the table of targets ---------------------------------------------------------------------


@dataclass(frozen=True)
class Target:
    name: str
    run: Callable[[bytes], None]
    #: Module whose import failure switches the target off (with the reason printed).
    needs: str = "vantrel_app_plugin"

    def unavailable(self) -> str | None:
        """Why the target cannot run here, or None."""
        import importlib

        try:
            importlib.import_module(self.needs)
        except ImportError as exc:
            return f"{self.needs} cannot be imported ({exc})"
        return None


TARGETS = {t.name: t for t in (
    Target("repl_line", fuzz_repl_line, "vantrel_app_plugin.quelby"),
    Target("layout_file", fuzz_layout_file),
    Target("app_plugin", fuzz_app_plugin),
    Target("lirren", fuzz_lirren),
    Target("ostrel", fuzz_ostrel),
    Target("sanitize", fuzz_sanitize),
    Target("engine", fuzz_engine),
)}

