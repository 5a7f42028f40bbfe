"""The rules of the package's functions written plainly in Python, with the
runtime's ``json``, ``re`` and str methods: on plain inputs (no hostile
values) a fuzz target compares the function's outcome with these, and the
benchmarks time the C++ functions against them.

Like the package, they take arguments of the exact types they name (a
subclass is refused too) and raise TypeError for anything else.
"""

from __future__ import annotations

import json
import re
from typing import Any


def text(v: Any) -> str:
    """Text form: the value itself when it is a str, else ``str(value)``."""
    return v if isinstance(v, str) else str(v)


#: Older feature ids still accepted, with the canonical id each one means.
FEATURE_ALIASES = {"grisel": "login"}


def resolve_feature_id(feature_id: str) -> str:
    """Canonical id of a feature: white space stripped, older aliases mapped."""
    if type(feature_id) is not str:
        raise TypeError("feature_id must be str")
    fid = feature_id.strip()
    return FEATURE_ALIASES.get(fid, fid)


def sanitize_db_basename(name: str) -> str:
    """The database base name rule, written plainly with ``re``."""
    if type(name) is not str:
        raise TypeError("name must be str")
    s = name.strip()
    if s.lower().endswith(".db"):
        s = s[:-3].strip()
    s = re.sub(r"[^\w\-]+", "_", s).strip("_")
    return s[:64] if s else "app"


_SET = re.compile(r"(?i)^set\s+(\S+)\s+(.*)$")


def repl_line(line: str) -> Any:
    """The REPL line grammar, written plainly with ``json``, ``re`` and str methods."""
    if type(line) is not str:
        raise TypeError("line must be str")
    s = line.strip()
    if not s or s.startswith("#"):
        return None
    if s.startswith("{"):
        try:
            act = json.loads(s)
            if isinstance(act, dict):
                from vantrel_soft.ws_repl import _json_action_to_kind_body

                result = _json_action_to_kind_body(act)
                if result is None or isinstance(result, tuple) and len(result) == 2:
                    return result
        except (ValueError, TypeError):
            pass
    low = s.lower()
    for words, kind in ((("quit", "exit", "q"), "quit"), (("reset",), "reset"), (("display", "d"), "display"),
                        (("gui",), "gui"), (("stream", "display_stream"), "display_stream"), (("ping",), "ping")):
        if low in words:
            return kind, {}
    m = _SET.match(s)
    if m:
        return "set_by_id", {"patches": [{"id": m.group(1), "value": m.group(2)}]}
    if "," in s:
        return "sequence", {"keys": [p.strip() for p in s.split(",") if p.strip()]}
    parts = s.split()
    if parts[0].lower() in ("merge_components", "mc", "components"):
        if len(parts) == 3 or len(parts) >= 5 and len(parts) % 2:
            return "merge_components", dict(zip(parts[1::2], parts[2::2]))
    if len(parts) == 2:
        try:
            from vantrel_soft.gui_config import known_element_ids

            if parts[0] in known_element_ids():
                return "set_by_id", {"patches": [{"id": parts[0], "value": parts[1]}]}
        except Exception:
            pass
    if len(parts) >= 2:
        return "sequence", {"keys": parts}
    return "press", {"key": s}


# --- the tk block -----------------------------------------------------------------------

DEFAULT_FIELD_MAP = {"username": "entry", "password": "label_frame_entry", "confirm_password": "ttk_entry"}
DEFAULT_CLEAR = ("entry", "label_frame_entry", "ttk_entry", "progress", "spin")


def tk_section(layout: dict) -> dict:
    if type(layout) is not dict:
        raise TypeError("layout must be dict")
    tk = layout.get("tk")
    return dict(tk) if isinstance(tk, dict) else {}


def navigation_cfg(layout: dict) -> dict:
    tk, inp = tk_section(layout), layout.get("input")
    if isinstance(tk.get("navigation"), dict):
        return dict(tk["navigation"])
    if isinstance(inp, dict) and isinstance(inp.get("navigation"), dict):
        return dict(inp["navigation"])
    auth, home = layout.get("auth"), ""
    if isinstance(auth, dict):
        home = text(auth.get("home_after_login") or auth.get("after_login_page") or "")
    return {"start_page": text(tk.get("start_page") or "login"),
            "home_after_login": text(tk.get("home_after_login") or home or "dashboard"),
            "after_register_page": text(tk.get("after_register_page") or "login"),
            "after_logout_page": text(tk.get("after_logout_page") or "login"),
            "public_pages": list(tk.get("public_pages") or ["login", "register"])}


def auth_field_map(layout: dict) -> dict:
    tk, inp = tk_section(layout), layout.get("input")
    raw = tk.get("auth_field_map")
    if not isinstance(raw, dict) and isinstance(inp, dict):
        raw = inp.get("auth_field_map")
    return {text(k): text(v) for k, v in raw.items()} if isinstance(raw, dict) else dict(DEFAULT_FIELD_MAP)


def actions_cfg(layout: dict) -> dict:
    raw, inp = tk_section(layout).get("actions"), layout.get("input")
    if not isinstance(raw, dict):
        raw = inp.get("actions") if isinstance(inp, dict) else None
    out: dict = {}
    for key, spec in raw.items() if isinstance(raw, dict) else ():
        if isinstance(spec, dict):
            out[text(key)] = dict(spec)
        elif isinstance(spec, str):
            out[text(key)] = {"type": spec}
    return out


def _specs(layout: dict, name: str) -> dict:
    raw = tk_section(layout).get(name)
    return {text(k): dict(v) for k, v in raw.items() if isinstance(v, dict)} if isinstance(raw, dict) else {}


def forms_cfg(layout: dict) -> dict:
    return _specs(layout, "forms")


def page_hooks_cfg(layout: dict) -> dict:
    return _specs(layout, "page_hooks")


def clear_components(layout: dict) -> tuple:
    raw = tk_section(layout).get("clear_components_on_goto")
    return tuple(text(v) for v in raw) if isinstance(raw, list) else DEFAULT_CLEAR


# --- the plugins block ----------------------------------------------------------------

def plugins_block(layout: dict) -> dict:
    if type(layout) is not dict:
        raise TypeError("layout must be dict")
    raw = layout.get("plugins")
    return dict(raw) if isinstance(raw, dict) else {}


def plugin_config(layout: dict, feature_id: str) -> dict:
    fid = resolve_feature_id(feature_id)
    cfg = plugins_block(layout).get("config")
    raw = cfg.get(fid) if isinstance(cfg, dict) else None
    return dict(raw) if isinstance(raw, dict) else {}


def merged_sections(layout: dict, feature_id: str, names: tuple) -> dict:
    per = plugin_config(layout, feature_id).get("sections")
    if type(names) is not tuple:
        raise TypeError("section_names must be tuple")
    out: dict = {}
    for name in names:
        if isinstance(per, dict) and name in per:
            out[name] = per[name]
        elif name in layout:
            out[name] = layout[name]
    return out


def build_effective_layout(layout: dict, feature_id: str, names: tuple) -> dict:
    merged = merged_sections(layout, feature_id, names)
    out = dict(layout)
    out.update(merged)
    return out


def dispatch_plugin_action(plugins: dict, action_type: str, key: str, spec: dict, engine: Any) -> bool:
    """The first plugin whose ``supports_action`` accepts the action type and
    whose ``run_action`` handles it; both members looked up on every plugin,
    ``run_action`` first, as attribute access finds them."""
    if type(plugins) is not dict or type(action_type) is not str or type(key) is not str or type(spec) is not dict:
        raise TypeError("bad argument")
    at = action_type.lower()
    for plugin in plugins.values():
        run = getattr(plugin, "run_action", None)
        supports = getattr(plugin, "supports_action", None)
        if not callable(supports) or not callable(run):
            continue
        if not supports(at):
            continue
        if run(at, key, spec, engine):
            return True
    return False
