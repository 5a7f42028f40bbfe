"""Page engine: press, merge_components, snapshot (brisen).

The Python twin below is a straightforward pure-Python engine with the same
call paths (plugin dispatch, page guard, host page index, hooks, deep-copied
snapshots). Both engines run on the same layout, plugins and host page list;
the twin borrows the C++ engine's parsed configuration, since construction is
not what is measured here. For the full login the twin also logs in through
the pure-Python user store of the login benchmarks.
"""

from __future__ import annotations

import copy
import json
import tempfile
from pathlib import Path

from bench_login import PyJsonAppPlugin
from bench_plugins import py_dispatch_plugin_action
from harness import Case

from vantrel_app_plugin import brisen
from vantrel_app_plugin.brisen import TkJsonEngine
from vantrel_app_plugin.ostrel import UnifiedPluginBase
from vantrel_soft import gui_config
from vantrel_soft.harness import COMPONENT_KEYS

# --- pure-Python versions ------------------------------------------------------------------


class PyEngine:
    RESERVED = ("清空", "CLR", "clear", "reset")

    def __init__(self, twin: TkJsonEngine):
        for name in ("_plugins", "plugin", "_layout", "_nav", "_field_map", "_auth_component_keys", "_actions",
                     "_forms", "_page_hooks", "_clear_keys", "_component_keys", "_public_pages", "_revision",
                     "_user", "_status"):
            setattr(self, name, getattr(twin, name))
        self._components = dict(twin._components)

    @property
    def home_page(self) -> str:
        return str(self._nav.get("home_after_login") or "dashboard")

    @property
    def business_handlers(self) -> dict:
        return {}

    def snapshot(self) -> dict:
        user_line = f"当前用户: {self._user['username']}" if self._user is not None else "未登录"
        return {"display": self._status, "expression_line": user_line, "memory": 0.0, "has_memory": False,
                "revision": self._revision, "components": self._snapshot_components()}

    def _snapshot_components(self) -> dict:
        out = {}
        for key in (*self._component_keys, "ui_page", "ui_page_index"):
            if key in self._components:
                out[key] = copy.deepcopy(self._components[key])
        return out

    def merge_components(self, **values) -> None:
        dirty = touched_auth = False
        if "ui_page" in values:
            pid = self._guard_page(str(values["ui_page"]))
            values["ui_page"] = pid
            values["ui_page_index"] = self._page_index(pid)
        for key, value in values.items():
            if key in COMPONENT_KEYS:
                dirty = True
                if key in self._auth_component_keys:
                    touched_auth = True
                self._components[key] = value
        if not dirty:
            return
        if self._user is None and touched_auth:
            self._status = "请登录"
        self._revision += 1

    def reset_all(self) -> None:
        self._user = None
        self._status = "已复位"
        self._goto(str(self._nav.get("after_logout_page") or "login"), True)

    def press(self, key: str) -> None:
        if not isinstance(key, str):
            raise TypeError("key must be str")
        key = key.strip()
        if not key:
            raise ValueError("空键名")
        if key in self.RESERVED:
            self.reset_all()
            return
        spec = self._actions.get(key)
        if spec is None:
            self._status = f"未配置的按键: {key}"
            self._revision += 1
            return
        self._run_action(key, spec)
        self._revision += 1

    def _guard_page(self, page_id: str) -> str:
        if self._user is None and page_id not in self._public_pages:
            return str(self._nav.get("start_page") or "login")
        if self._user is not None and page_id in self._public_pages:
            return self.home_page
        return page_id

    def _page_index(self, page_id: str) -> int:
        from vantrel_soft.gui_config import get_gui_layout

        for i, page in enumerate(get_gui_layout().get("pages") or []):
            if str(page.get("id")) == page_id:
                return i
        return 0

    def _goto(self, page_id: str, clear_form=False) -> None:
        page_id = self._guard_page(page_id)
        if clear_form:
            for key in self._clear_keys:
                if key in self._components:
                    self._components[key] = ""
        self._components["ui_page"] = page_id
        self._components["ui_page_index"] = self._page_index(page_id)
        hook = (self._page_hooks.get(page_id) or {}).get("on_enter")
        if hook and hasattr(self, str(hook)):
            getattr(self, str(hook))()

    def _require_login(self) -> None:
        if self._user is None:
            raise ValueError("请先登录")

    def _fields_from_map(self, mapping: dict) -> dict:
        return {name: str(self._components[key]) if key in self._components else ""
                for name, key in mapping.items()}

    def _auth_fields(self) -> dict:
        return self._fields_from_map(self._field_map)

    def _run_action(self, key: str, spec: dict) -> None:
        if spec.get("require_login"):
            self._require_login()
        kind = str(spec.get("type") or spec.get("action") or "").lower()
        if py_dispatch_plugin_action(self._plugins, kind, key, spec, self):
            return
        if kind in ("login", "auth_login"):
            self._action_login(spec)
        elif kind in ("goto", "navigate", "page"):
            target = str(spec.get("page") or spec.get("goto") or "")
            if not target:
                self._status = f"动作 {key} 缺少 page"
                return
            preset = spec.get("set")
            if preset and isinstance(preset, dict):
                for k, v in preset.items():
                    if k in COMPONENT_KEYS:
                        self._components[k] = v
            self._goto(target, bool(spec.get("clear") or spec.get("clear_form")))
        else:
            self._status = f"未知动作类型: {kind}"

    def _action_login(self, spec: dict) -> None:
        fields = self._auth_fields()
        ok, payload = self.plugin.login_user({"username": fields.get("username", "").strip(),
                                              "password": fields.get("password", "")})
        if ok and isinstance(payload, dict):
            self._user = payload
            self._status = str(spec.get("success_message") or "欢迎，{username}").format_map(payload)
            target = spec.get("success_page") or spec.get("goto") or self.home_page
            clear = spec.get("clear_form")
            self._goto(str(target), bool(clear) if clear is not None else bool(spec.get("clear_on_success")))
        else:
            self._status = str(payload)
            if spec.get("fail_page"):
                self._goto(str(spec["fail_page"]))


# --- set-up ---------------------------------------------------------------------------------


class Bystander(UnifiedPluginBase):
    """A plugin written on the SDK's base class that takes over only its own action type."""

    FEATURE_ID = "export"
    ACTION_TYPES = frozenset({"export"})


class HostMembers:
    """What a host adds to the engine: business handlers and a page hook."""

    visits = 0

    @property
    def business_handlers(self):
        return {"add": lambda **kw: (True, "ok")}

    def on_report(self):
        self.visits += 1


class HostEngine(HostMembers, TkJsonEngine):
    """The engine as hosts use it: a subclass with business handlers and a page hook."""


class PyHostEngine(HostMembers, PyEngine):
    pass


class HandlersOnly:
    """The commonest host engine: it only registers business functions (the example's
    DemoEngine does this and adds methods the layout's hooks name)."""

    @property
    def business_handlers(self):
        return {"add": self.add}

    def add(self, **kw):
        return True, "ok"


class HandlersEngine(HandlersOnly, TkJsonEngine):
    pass


class PyHandlersEngine(HandlersOnly, PyEngine):
    pass


class HostPlugin:
    """A plugin written as a plain Python class that takes over only "export"."""

    def supports_action(self, action_type):
        return action_type == "export"

    def run_action(self, action_type, key, spec, engine):
        return True


def _layout() -> dict:
    widgets = [{"id": f"w{i}", "component_key": f"field_{i}"} for i in range(15)]
    pages = [{"id": p, "sections": [{"widgets": widgets if p == "form" else []}]}
             for p in ("login", "register", "dashboard", "form", "report")]
    return {
        "database": {"name": "bench", "data_root": "@app", "tables": [{"name": "users", "columns": [
            {"name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True},
            {"name": "username", "type": "TEXT", "unique": True},
            {"name": "password", "type": "TEXT"}]}]},
        "auth": {"seed_users": [{"username": "admin", "password": "admin123"}]},
        "pages": pages,
        "tk": {"actions": {"登录": "login", "表单": {"type": "goto", "page": "form"},
                           "报表": {"type": "goto", "page": "report"}},
               "page_hooks": {"dashboard": {"on_enter": "missing_hook"}, "report": {"on_enter": "on_report"}}},
    }


def cases() -> list[Case]:
    root = Path(tempfile.mkdtemp(prefix="vantrel-bench-engine-"))
    path = root / "gui_layout.json"
    path.write_text(json.dumps(_layout(), ensure_ascii=False), encoding="utf-8")
    gui_config.use_layout(path)

    engine = HostEngine(str(path))
    engine._plugins = {"login": engine.plugin, "a": HostPlugin(), "b": Bystander(path, {})}
    twin = PyHostEngine(engine)
    for e in (engine, twin):
        e._user = {"id": 1, "username": "admin"}
        for i in range(15):
            e._components[f"field_{i}"] = f"value {i}"
        e._components["entry"] = ["nested", {"list": [1, 2]}]

    login_engine = TkJsonEngine(str(path))
    login_twin = PyEngine(login_engine)
    login_twin.plugin = PyJsonAppPlugin(path)  # the whole login path in Python

    def full_login(e):
        e._user = None
        e.merge_components(entry="admin", label_frame_entry="admin123")
        e.press("登录")
        return e._status

    handlers = HandlersEngine(str(path))
    handlers._plugins = dict(engine._plugins)
    handlers_twin = PyHandlersEngine(handlers)

    assert len(engine.snapshot()["components"]) == 20 + 2
    both, twins, logins = (engine,), (twin,), (login_engine,)
    return [  # the snapshot first: both engines still have the same revision
        Case("snapshot (20 components)", HostEngine.snapshot, PyHostEngine.snapshot, both, 3.0, py_args=twins),
        Case("press (navigate key, 3 plugins)", engine.press, twin.press, ("报表",), 3.0),
        Case("press (unconfigured key)", engine.press, twin.press, ("无此键",), 3.0),
        Case("merge_components (3 keys)", engine.merge_components, twin.merge_components, (), 3.0,
             kwargs={"field_1": "a", "field_2": "b", "spin": 3}),
        Case("merge_components (ui_page)", engine.merge_components, twin.merge_components, (), 3.0,
             kwargs={"ui_page": "form"}),
        Case("full login (merge + press)", full_login, full_login, logins, 1.0, py_args=(login_twin,)),
        # A subclass that only adds business functions: every member it inherits still runs natively.
        Case("subclass: snapshot", HandlersEngine.snapshot, PyHandlersEngine.snapshot, (handlers,), 3.0,
             py_args=(handlers_twin,)),
        Case("subclass: press (unconfigured key)", handlers.press, handlers_twin.press, ("无此键",), 2.0),
        Case("subclass: press (navigate key, 3 plugins)", handlers.press, handlers_twin.press, ("表单",), 3.0),
        Case("subclass: merge_components (ui_page)", handlers.merge_components, handlers_twin.merge_components,
             (), 3.0, kwargs={"ui_page": "form"}),
    ]
