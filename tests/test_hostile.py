"""Python code run from inside a call (a key's ``__hash__`` or ``__eq__``, a value's
``__str__``, a subclass hook, a plugin, a path object's methods) may replace the very
field the call is working on. Each family below does exactly that; every call must end
in a result or a Python exception, never in a crash. The families also run under
``make test-asan``, where a use after free is reported at once."""

import pytest

from vantrel_app_plugin.brisen import TkJsonEngine

from engine_support import FakePlugin


def trap(text, action):
    """A str equal to ``text`` whose hashing and comparisons first run ``action``."""

    class Trap(str):
        def __hash__(self):
            action()
            return str.__hash__(self)

        def __eq__(self, other):
            action()
            return str.__eq__(self, other)

        __ne__ = lambda self, other: not self.__eq__(other)  # noqa: E731

    return Trap(text)


class Comps(dict):
    """A components mapping of another type than the engine's own."""


LAYOUT = {
    "tk": {
        "public_pages": ["login", "register", "report"],
        "actions": {
            "登录": "login",
            "报表": {"type": "goto", "page": "report"},
            "加": {"type": "business", "form": "f"},
        },
        "page_hooks": {"report": {"on_enter": "entered"}},
        "forms": {"f": {"handler": "add"}},
    }
}


class Hooked(TkJsonEngine):
    """An engine with a hook method and a business handler, as hosts write them."""

    entered_count = 0

    def entered(self):
        self.entered_count += 1

    @property
    def business_handlers(self):
        return {"add": lambda **kw: (True, f"ok {sorted(kw)}")}


@pytest.fixture
def engine(make_engine):
    return make_engine(LAYOUT, cls=Hooked)


def replacing(engine, field, make):
    """An action that puts a fresh ``make()`` into ``engine.<field>`` each time it runs."""
    return lambda: setattr(engine, field, make())


# --- a key whose hash or comparison replaces the container it is looked up in ----------

KEY_CASES = {
    "merge into replaced components": lambda e: (
        setattr(e, "_components", Comps(e._components)),
        e.merge_components(**{trap("entry", replacing(e, "_components", Comps)): "v"}),
    ),
    "action table replaced during press": lambda e: (
        setattr(e, "_actions", {trap("报表", replacing(e, "_actions", dict)): {"type": "goto", "page": "report"}}),
        e.press("报表"),
    ),
    "public pages replaced during the guard": lambda e: (
        setattr(e, "_public_pages", frozenset({trap("report", replacing(e, "_public_pages", frozenset))})),
        e._goto("report"),
    ),
    "page hooks replaced during the hook look-up": lambda e: (
        setattr(e, "_page_hooks", {trap("report", replacing(e, "_page_hooks", dict)): {"on_enter": "entered"}}),
        e._goto("report"),
    ),
    "forms replaced during a business action": lambda e: (
        setattr(e, "_forms", {trap("f", replacing(e, "_forms", dict)): {"handler": "add"}}),
        e.press("加"),
    ),
    "field map replaced while it is walked": lambda e: (
        setattr(e, "_field_map", {trap("username", replacing(e, "_field_map", dict)): "entry"}),
        e._auth_fields(),
    ),
    "cleared keys replace the components": lambda e: (
        setattr(e, "_clear_keys", (trap("entry", replacing(e, "_components", dict)),)),
        e._goto("login", True),
    ),
    "auth keys replaced during a merge": lambda e: (
        setattr(e, "_auth_component_keys", frozenset({trap("entry", replacing(e, "_auth_component_keys", frozenset))})),
        e.merge_components(entry="x"),
    ),
}


@pytest.mark.parametrize("case", KEY_CASES)
def test_key_replacing_the_container_it_is_looked_up_in(engine, case):
    KEY_CASES[case](engine)
    assert isinstance(engine.snapshot(), dict)


# --- a value whose text form, truth, copy or item access replaces a field --------------


class Nav:
    """A navigation object with only ``get``, which swaps itself out on every call."""

    def __init__(self, engine):
        self.engine = engine

    def get(self, key, default=None):
        self.engine._nav = Nav(self.engine)
        return "login"


class Record(dict):
    """A user record whose item access logs the user out."""

    engine = None

    def __getitem__(self, key):
        self.engine._user = None
        return dict.__getitem__(self, key)


class Sly:
    """A component value whose text form and deep copy replace the components."""

    def __init__(self, engine):
        self.engine = engine

    def __str__(self):
        self.engine._components = Comps(entry="")
        return "alice"

    def __deepcopy__(self, memo):
        self.engine._components = Comps()
        self.engine._component_keys = frozenset()
        return "copy"


def logged_in_with_record(e):
    rec = Record(id=7, username="alice")
    rec.engine = e
    e._user = rec
    return e


VALUE_CASES = {
    "navigation object replaced by its own get": lambda e: (
        setattr(e, "_nav", Nav(e)), e.home_page, e._guard_page("report"), e.reset_all()),
    "user record logs out while the snapshot reads it": lambda e: logged_in_with_record(e).snapshot(),
    "user record logs out while a business action reads its id": lambda e: logged_in_with_record(e).press("加"),
    "component text replaces the components during login": lambda e: (
        e.merge_components(label_frame_entry="pw"), e._components.__setitem__("entry", Sly(e)), e.press("登录")),
    "component copy replaces the components during a snapshot": lambda e: (
        e._components.__setitem__("entry", Sly(e)), e.snapshot()),
    "revision at the end of the C integer range": lambda e: (
        setattr(e, "_revision", 2**63 - 1), e.press("报表"), e.merge_components(entry="x")),
}


@pytest.mark.parametrize("case", VALUE_CASES)
def test_value_replacing_a_field(engine, case):
    VALUE_CASES[case](engine)
    assert isinstance(engine.snapshot(), dict)


def test_revision_keeps_python_integer_semantics(engine):
    engine._revision = 2**63 - 1
    engine.press("报表")
    engine.merge_components(entry="x")
    assert engine._revision == 2**63 + 1 and engine.snapshot()["revision"] == 2**63 + 1
    engine._revision = "not a number"
    with pytest.raises(TypeError):
        engine.press("报表")


# --- subclass hooks and plugins that replace fields -------------------------------------


class Rebuilder(Hooked):
    """Hooks that tear the engine down from inside a navigation."""

    def entered(self):
        self.__init__(self.config_path_for_rebuild)

    def _guard_page(self, page_id):
        self._components = Comps(self._components)
        self._page_hooks = dict(self._page_hooks)
        return page_id

    def _page_index(self, page_id):
        self._components = Comps(self._components)
        return 0


class Thief(FakePlugin):
    """A plugin that supports every action, empties the plugin table and declines."""

    def __init__(self, layout, engine_box):
        super().__init__(layout)
        self.box = engine_box

    def supports_action(self, action_type):
        self.box[0]._plugins = {}
        self.box[0].plugin = None
        return True

    def run_action(self, action_type, key, spec, engine):
        engine._actions = {}
        return False


def test_hooks_that_rebuild_or_replace_fields(make_engine, tmp_path):
    engine = make_engine(LAYOUT, cls=Rebuilder)
    engine.config_path_for_rebuild = str(tmp_path / "layout.json")
    engine.press("报表")  # guard, index and on_enter each replace fields; on_enter rebuilds
    assert engine._components["ui_page"] == "login" and engine._revision == 1


def test_plugins_that_replace_the_plugin_table(make_engine):
    box = []
    plugin = Thief(LAYOUT, box)
    engine = make_engine(LAYOUT, plugins={"thief": plugin, "other": FakePlugin(LAYOUT)})
    box.append(engine)
    engine.press("报表")
    assert engine._components["ui_page"] == "report" and engine._plugins == {}


def test_plugin_removing_itself_while_dispatch_walks(make_engine):
    class Leaver(FakePlugin):
        def supports_action(self, action_type):
            return True

        def run_action(self, action_type, key, spec, engine):
            engine._plugins.pop("leaver")
            return False

    engine = make_engine(LAYOUT)
    engine._plugins = {"leaver": Leaver(LAYOUT), "other": FakePlugin(LAYOUT)}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        engine.press("报表")


def test_failed_reinitialisation_keeps_the_engine(engine, monkeypatch):
    engine.press("报表")
    before = (engine._components, engine._actions, engine._revision)
    with pytest.raises(TypeError, match="config_path"):
        engine.__init__(5)
    assert (engine._components, engine._actions, engine._revision) == before


def test_kind_whose_lower_is_not_text(engine):
    class Odd(str):
        def lower(self):
            return 5

    for kind in ("Login", "Login√"):
        engine._actions = {"k": {"type": Odd(kind)}}
        with pytest.raises(TypeError, match="lower"):
            engine.press("k")


# --- the login backend: path objects and documents that replace the plugin's fields -----


class Slippery:
    """A path object whose every method first sets the plugin's ``_path`` to None."""

    def __init__(self, plugin, real):
        self.plugin, self.real = plugin, real

    def _slip(self):
        self.plugin._path = None

    def is_file(self):
        self._slip()
        return True

    def read_text(self, encoding=None):
        self._slip()
        return '{"title": "T"}'

    @property
    def parent(self):
        self._slip()
        return self.real.parent

    def __fspath__(self):
        self._slip()
        return str(self.real)

    def __str__(self):
        self._slip()
        return str(self.real)


@pytest.fixture
def user_store(tmp_path, write_json):
    from vantrel_app_plugin.login.keldra import JsonAppPlugin

    cfg = write_json(tmp_path / "app" / "config" / "gui_layout.json", {
        "database": {"data_root": str(tmp_path / "data"),
                     "tables": [{"name": "users", "columns": [{"name": "id", "type": "INTEGER", "primary_key": 1},
                                                              {"name": "username"}, {"name": "password"}]}]},
        "auth": {"seed_users": [{"username": "admin", "password": "pw"}]},
    })
    return JsonAppPlugin(cfg), cfg


PATH_CASES = {
    "reload": lambda p: p.reload(),
    "app name from the configuration directory": lambda p: p.app_name,
    "data root": lambda p: p.data_root,
    "database path": lambda p: p.db_path,
}


@pytest.mark.parametrize("case", PATH_CASES)
def test_path_object_replacing_the_path_field(user_store, case):
    plugin, cfg = user_store
    plugin._raw = {}  # nothing names the database: the path is consulted
    plugin._path = Slippery(plugin, cfg)
    try:
        PATH_CASES[case](plugin)
    except (TypeError, AttributeError, OSError):
        pass  # a path object of this shape may be refused; it must not crash
    assert plugin._path is None


def test_document_keys_replacing_the_document(user_store):
    plugin, cfg = user_store
    plugin.init_database()
    doc = dict(plugin.data)
    swap = lambda: setattr(plugin, "_raw", dict(doc))  # noqa: E731
    for name in ("database", "auth", "window", "title"):
        if name in doc:
            doc[trap(name, swap)] = doc.pop(name)
    plugin._raw = dict(doc)
    for read in (lambda: plugin.database_cfg, lambda: plugin.app_title, lambda: plugin.app_name,
                 lambda: plugin.db_path, lambda: plugin.login_user({"username": "admin", "password": "pw"})):
        read()
    assert plugin.login_user({"username": "admin", "password": "pw"})[0] is True


# --- the plugin SDK: overriding members that replace the layout --------------------------


def test_plugin_members_replacing_the_layout(tmp_path):
    from vantrel_app_plugin.ostrel import UnifiedPluginBase

    layout = {"database": {"name": "x"}, "plugins": {"config": {"p": {"sections": {"auth": {"a": 1}}}}}}

    class Shifty(UnifiedPluginBase):
        @property
        def feature_id(self):
            self._layout = dict(layout)
            return "p"

        @property
        def JSON_SECTIONS(self):
            self._layout = {}
            return (trap("database", lambda: setattr(self, "_layout", {})), "auth")

    plugin = Shifty(tmp_path / "x.json", dict(layout))
    assert plugin.sections == {}  # the layout read after the names is the one they left


# --- first use from many threads ------------------------------------------------------

FIRST_USE = r"""
import sys, threading
path = sys.argv[1]
assert "json" not in sys.modules and "pathlib" not in sys.modules
barrier = threading.Barrier(8)
errors = []

def work():
    barrier.wait()
    try:
        from vantrel_app_plugin.sarnet import read_layout_file
        from vantrel_app_plugin.login.keldra import JsonAppPlugin
        read_layout_file(path)
        plugin = JsonAppPlugin(path)
        plugin.login_user({"username": "nobody", "password": "x"})
    except Exception as exc:  # an exception is a result; a hang is the fault
        errors.append(repr(exc))

threads = [threading.Thread(target=work) for _ in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print("done", errors)
"""


def test_first_use_from_eight_threads_finishes(tmp_path, write_json):
    import subprocess
    import sys

    cfg = write_json(tmp_path / "gui_layout.json", {
        "database": {"data_root": str(tmp_path), "tables": [{"name": "users", "columns": [
            {"name": "id", "type": "INTEGER", "primary_key": True}, {"name": "username"}, {"name": "password"}]}]},
    })
    for _ in range(5):  # each run starts a fresh interpreter: nothing imported yet
        run = subprocess.run([sys.executable, "-c", FIRST_USE, str(cfg)], capture_output=True, text=True,
                             timeout=60)
        assert run.returncode == 0, run.stderr
        assert run.stdout.startswith("done"), run.stdout


# --- results of Python calls of the wrong type ---------------------------------------------


def test_path_names_that_are_not_text(tmp_path, write_json):
    from pathlib import PosixPath

    from vantrel_app_plugin.login.keldra import JsonAppPlugin
    from vantrel_app_plugin.tamsel import app_root_from_config

    class Nameless(PosixPath):
        @property
        def name(self):
            return 5

    class Parent:
        name = b"config"
        parent = property(lambda self: self)

    with pytest.raises(TypeError, match="Path.name returned non-string"):
        app_root_from_config(Nameless(tmp_path / "x.json"))
    plugin = JsonAppPlugin(write_json(tmp_path / "gui_layout.json", {}))
    plugin._path = type("P", (), {"parent": Parent()})()
    with pytest.raises(TypeError, match="Path.name returned non-string"):
        plugin.app_name


# --- configuration that makes the engine call itself by name without end ------------------


class Looping(TkJsonEngine):
    """A business function that is the engine's own native ``press``."""

    @property
    def business_handlers(self):
        return {"again": self.press}


CYCLES = {
    # The start page's hook is reset_all, which navigates to the start page again.
    "page hook naming reset_all": ({"tk": {"page_hooks": {"login": {"on_enter": "reset_all"}}}}, None),
    # The business function presses the very key that runs it.
    "business function pressing its own key": (
        {"tk": {"public_pages": ["login", "report"],
                "actions": {"加": {"type": "business", "handler": "again", "fields": {"key": "entry"}}}}},
        lambda e: (e.merge_components(entry="加"), e.press("加"))),
}


@pytest.mark.parametrize("case", CYCLES)
def test_native_call_cycles_end_in_recursion_error(make_engine, case):
    """Cycles that run native code only have no Python frame for the runtime to
    count; they must end in RecursionError, not in a C stack overflow."""
    layout, drive = CYCLES[case]
    with pytest.raises(RecursionError):
        engine = make_engine(layout, cls=Looping)
        drive(engine)
    engine = make_engine({"tk": {"public_pages": ["login"]}}, cls=Looping)  # the next engine works
    assert engine.snapshot()["components"]["ui_page"] == "login"
