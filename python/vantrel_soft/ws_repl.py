"""The host's websocket REPL: one text line per command.

``_parse_line`` turns a line into ``None`` or a ``(kind, body)`` pair; a
client may also send a JSON object ``{"action": kind, ...}``, which
``_json_action_to_kind_body`` converts. ``execute`` carries a parsed command
out on a page engine and returns its snapshot. The parser here is the host's
plain original one: ``vantrel_app_plugin.quelby.apply_ws_repl_parse_patch()``
replaces it with a richer grammar.
"""

from __future__ import annotations

import json
from typing import Any

Command = tuple[str, dict[str, Any]]


def _json_action_to_kind_body(act: Any) -> Command | None:
    """``{"action": kind, ...}`` as ``(kind, the other entries)``; None for anything else."""
    if not isinstance(act, dict):
        return None
    kind = act.get("action")
    if not isinstance(kind, str) or not kind.strip():
        return None
    body = dict(act)
    del body["action"]
    return kind.strip(), body


def _parse_line(line: str) -> Command | None:
    """The host's original grammar: quit, reset, display, comma or word sequences, key presses."""
    s = line.strip()
    if not s or s.startswith("#"):
        return None
    if s.startswith("{"):
        try:
            act = json.loads(s)
        except ValueError:
            act = None
        if isinstance(act, dict):
            return _json_action_to_kind_body(act)
    low = s.lower()
    if low in ("quit", "exit", "q"):
        return "quit", {}
    if low in ("reset", "display"):
        return low, {}
    if "," in s:
        return "sequence", {"keys": [k.strip() for k in s.split(",") if k.strip()]}
    words = s.split()
    if len(words) > 1:
        return "sequence", {"keys": words}
    return "press", {"key": s}


def _component_for(element_id: str) -> str:
    """The component key behind an element id of the host's layout (a widget's
    ``id`` or its ``component_key``)."""
    from vantrel_soft.gui_config import get_gui_layout, iter_widgets

    for widget in iter_widgets(get_gui_layout()):
        key = widget.get("component_key")
        if key and element_id in (str(key), str(widget.get("id"))):
            return str(key)
    raise ValueError(f"未知元素: {element_id}")


def execute(engine: Any, kind: str, body: dict[str, Any]) -> dict[str, Any]:
    """Carry out one parsed command on ``engine``; the engine's snapshot afterwards."""
    if kind == "press":
        engine.press(body["key"])
    elif kind == "sequence":
        for key in body["keys"]:
            engine.press(key)
    elif kind == "merge_components":
        engine.merge_components(**body)
    elif kind == "set_by_id":
        engine.merge_components(**{_component_for(p["id"]): p["value"] for p in body["patches"]})
    elif kind == "reset":
        engine.reset_all()
    elif kind != "display":
        raise ValueError(f"不支持的命令: {kind}")
    return engine.snapshot()
