"""REPL line parsing and port probing: quelby, dovask.

``py_parse_repl_line`` is the straightforward pure-Python parser of the same
grammar (the tests use it as the reference too); the corpus mixes the kinds of
line a REPL receives.
"""

from __future__ import annotations

import json
import re
import socket
import time

from harness import Case

from vantrel_app_plugin import quelby

_SET = "(?i)^set\\s+(\\S+)\\s+(.*)$"


def py_parse_repl_line(line: str):
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
                if result is None or (isinstance(result, tuple) and len(result) == 2):
                    return result
        except (ValueError, TypeError):
            pass
    low = s.lower()
    if low in ("quit", "exit", "q"):
        return "quit", {}
    if low == "reset":
        return "reset", {}
    if low in ("display", "d"):
        return "display", {}
    if low == "gui":
        return "gui", {}
    if low in ("stream", "display_stream"):
        return "display_stream", {}
    if low == "ping":
        return "ping", {}
    m = re.match(_SET, s)
    if m:
        return "set_by_id", {"patches": [{"id": m.group(1), "value": m.group(2)}]}
    if "," in s:
        return "sequence", {"keys": [p.strip() for p in s.split(",") if p.strip()]}
    parts = s.split()
    if parts[0].lower() in ("merge_components", "mc", "components"):
        if len(parts) == 3:
            return "merge_components", {parts[1]: parts[2]}
        if len(parts) >= 5 and len(parts) % 2 == 1:
            return "merge_components", dict(zip(parts[1::2], parts[2::2]))
    if len(parts) == 2:
        try:
            from vantrel_soft.gui_config import known_element_ids

            if parts[0] in known_element_ids():
                return "set_by_id", {"patches": [{"id": parts[0], "value": parts[1]}]}
        except Exception:  # noqa: BLE001 - the host's list is optional
            pass
    if len(parts) >= 2:
        return "sequence", {"keys": parts}
    return "press", {"key": s}


CORPUS = ["登录", "Enter", "  q ", "display", "SET lamp on", "set lamp on, off", "a, b,,x", "mc x 1",
          "MC x 1 y 2", "mc x 1 y", "# comment", "", "[1, 2]", "{oops", '{"action": "press", "key": "A"}',
          "press 登录 now", "ping", "Stream"]


def parse_corpus(parse):
    def run():  # the loop runs in C on both sides: only the parsers are timed
        return list(map(parse, CORPUS))
    return run


def probe_free_port():
    from vantrel_app_plugin.dovask import ensure_port_available

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    start = time.perf_counter()
    ensure_port_available("127.0.0.1", port)
    return (time.perf_counter() - start) * 1e9


def cases() -> list[Case]:
    free = min(probe_free_port() for _ in range(5))
    print(f"  ensure_port_available on a free port: {free / 1e6:.1f} ms per call (starting lsof/ss)")
    return [
        Case(f"parse_repl_line ({len(CORPUS)}-line corpus)", parse_corpus(quelby.parse_repl_line),
             parse_corpus(py_parse_repl_line), (), 5.0),
        Case("parse_repl_line (one key)", quelby.parse_repl_line, py_parse_repl_line, ("登录",), 5.0),
    ]
