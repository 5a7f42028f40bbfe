"""The host's websocket REPL commands: parse a line, carry it out on an engine.

``_parse_line`` is the host's own, plain parser; ``apply_ws_repl_parse_patch``
of ``vantrel_app_plugin.quelby`` replaces it with the richer one. A parsed
command is a pair (kind, body) that ``execute`` carries out on a page engine,
answering with the engine's snapshot.
"""

from __future__ import annotations

from typing import Any

#: Kinds that change nothing and only ask for the current state.
PASSIVE_KINDS = frozenset({"display", "display_stream", "gui", "ping", "quit"})


def _parse_line(line: str) -> tuple[str, dict] | None:
    """The original parser: words, comma sequences and single keys."""
    s = line.strip()
    if not s or s.startswith("#"):
        return None
    low = s.lower()
    if low in ("quit", "exit", "q"):
        return "quit", {}
    if low == "reset":
        return "reset", {}
    if low in ("display", "d"):
        return "display", {}
    if "," in s:
        return "sequence", {"keys": [k.strip() for k in s.split(",") if k.strip()]}
    return "press", {"key": s}


def _json_action_to_kind_body(act: dict) -> tuple[str, dict] | None:
    """``{"action": kind, ...}`` as (kind, the other entries); None for anything else."""
    if not isinstance(act, dict):
        return None
    kind = act.get("action")
    if not isinstance(kind, str) or not kind.strip():
        return None
    body = dict(act)
    del body["action"]
    return kind.strip(), body


def _component_of(element_id: str) -> str:
    """The component key behind a layout element id (a widget's ``id``), else the id itself."""
    from vantrel_soft.gui_config import get_gui_layout, iter_widgets

    for widget in iter_widgets(get_gui_layout()):
        if str(widget.get("id")) == element_id and widget.get("component_key"):
            return str(widget["component_key"])
    return element_id


def execute(engine: Any, kind: str, body: dict) -> dict:
    """Carry out one parsed command on ``engine`` and return its snapshot."""
    if kind == "press":
        engine.press(str(body["key"]))
    elif kind == "sequence":
        for key in body.get("keys") or []:
            engine.press(str(key))
    elif kind == "merge_components":
        engine.merge_components(**{str(k): v for k, v in body.items()})
    elif kind == "set_by_id":
        values = {_component_of(str(p["id"])): p.get("value") for p in body.get("patches") or []}
        engine.merge_components(**values)
    elif kind == "reset":
        engine.reset_all()
    elif kind not in PASSIVE_KINDS:
        raise ValueError(f"未知命令: {kind}")
    return engine.snapshot()
