"""REPL line parser and port reclaim: quelby, dovask.

Each C++ function is timed beside a straightforward pure-Python version of
the same behaviour, written here. The parser runs on every line the host's
websocket REPL receives; the host's element ids are a ready set here, so the
parser itself is timed, not the host's layout walk. The port check is
dominated by starting ``lsof`` (or ``ss``): its time is reported, the two
versions run the same tool.
"""

from __future__ import annotations

import json
import os
import re
import signal
import socket
import subprocess
import time
from collections import deque

from harness import Case

from vantrel_app_plugin import dovask, quelby
from vantrel_soft import gui_config

# --- pure-Python versions ------------------------------------------------------

def py_parse_repl_line(line):
    if not isinstance(line, str):
        raise TypeError("line must be str")
    s = line.strip()
    if not s or s.startswith("#"):
        return None
    if s.startswith("{"):
        try:
            obj = json.loads(s)
            if isinstance(obj, dict):
                from vantrel_soft.ws_repl import _json_action_to_kind_body

                res = _json_action_to_kind_body(obj)
                if res is None or (isinstance(res, tuple) and len(res) == 2):
                    return res
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
    m = re.match(r"(?i)^set\s+(\S+)\s+(.*)$", s)
    if m:
        return "set_by_id", {"patches": [{"id": m.group(1), "value": m.group(2)}]}
    if "," in s:
        return "sequence", {"keys": [p.strip() for p in s.split(",") if p.strip()]}
    parts = s.split()
    n = len(parts)
    if parts[0].lower() in ("merge_components", "mc", "components") and (n == 3 or (n >= 5 and n % 2)):
        return "merge_components", dict(zip(parts[1::2], parts[2::2]))
    if n == 2:
        try:
            from vantrel_soft.gui_config import known_element_ids

            if parts[0] in known_element_ids():
                return "set_by_id", {"patches": [{"id": parts[0], "value": parts[1]}]}
        except Exception:
            pass
    if n >= 2:
        return "sequence", {"keys": parts}
    return "press", {"key": s}


def py_pids_listening_on_tcp_port(port: int) -> list[int]:
    found = []
    for argv in (["lsof", "-nP", f"-iTCP:{port}", "-sTCP:LISTEN", "-t"], ["ss", "-ltnp"]):
        try:
            proc = subprocess.run(argv, capture_output=True, text=True, errors="replace", check=False)
        except FileNotFoundError:
            continue
        out = (proc.stdout or "") + (proc.stderr or "")
        if argv[0] == "lsof":
            found = [int(t) for t in out.split() if t.isdecimal()]
            break
        for line in out.splitlines():
            if re.search(rf":{port}(?!\d)", line) and "LISTEN" in line.upper():
                m = re.search(r"pid=(\d+)", line)
                if m:
                    found.append(int(m.group(1)))
    return sorted({p for p in found if p > 0})


def py_kill_pid(pid: int) -> bool:
    if pid == os.getpid() or pid <= 0:
        return False
    try:
        os.kill(pid, signal.SIGTERM)
    except OSError:
        return False
    time.sleep(0.15)
    try:
        os.kill(pid, signal.SIGKILL)
    except OSError:
        pass
    return True


def py_ensure_port_available(host: str, port: int, *, reclaim: bool = True) -> list[int]:
    killed = []
    if reclaim:
        killed = [p for p in py_pids_listening_on_tcp_port(port) if p != os.getpid() and py_kill_pid(p)]
        if killed:
            time.sleep(0.35)
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        try:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("" if host in ("0.0.0.0", "::") else host, port))
        except OSError as exc:
            raise SystemExit(f"端口 {host}:{port} 仍被占用（{exc}）。\n"
                             f"请手动执行: ss -ltnp | grep ':{port}'  再 kill <pid>") from exc
    return killed


# --- cases ---------------------------------------------------------------------------

CORPUS = [
    "", "  # a comment", "EXIT", "Q", "quit", "D", "Stream", "SET lamp on", "set lamp on, off", "set lamp",
    "a, b,,x", ",,,", "mc x 1", "MC x 1 y 2", "mc x 1 y", "mc", "lamp on", "go home", "Enter", "[1, 2]",
    "{oops", "登录", '{"action": "press", "key": "Enter"}',
]


def parse_all(parse):
    """Parse every line of a corpus (the loop itself runs in C: only the parser is timed)."""
    return lambda lines: deque(map(parse, lines), 0)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cases() -> list[Case]:
    ids = frozenset({"lamp", "title", "entry"})
    gui_config.known_element_ids = lambda: ids
    assert [quelby.parse_repl_line(line) for line in CORPUS] == [py_parse_repl_line(line) for line in CORPUS]
    parse, py_parse = quelby.parse_repl_line, py_parse_repl_line
    port = free_port()
    return [
        Case(f"parse_repl_line (corpus of {len(CORPUS)} lines)", parse_all(parse), parse_all(py_parse),
             (CORPUS,), 5.0),
        # The result (a new tuple and body) is most of the cost of a command word.
        Case("parse_repl_line (command word)", parse, py_parse, ("Stream",), 2.5),
        Case("parse_repl_line (set line)", parse, py_parse, ("set lamp on, off",), 3.0),
        Case("parse_repl_line (merge line)", parse, py_parse, ("MC x 1 y 2",), 3.0),
        Case("parse_repl_line (two words, known id)", parse, py_parse, ("lamp on",), 3.0),
        Case("parse_repl_line (key press)", parse, py_parse, ("Enter",), 3.0),
        Case("parse_repl_line (not JSON: {oops)", parse, py_parse, ("{oops",), 3.0),
        Case("parse_repl_line (JSON action: decoder and host)", parse, py_parse,
             ('{"action": "press", "key": "Enter"}',), 1.5),
        # Report only: both run the same tool, whose start-up is the whole cost.
        Case("ensure_port_available (free port, runs lsof)", dovask.ensure_port_available,
             py_ensure_port_available, ("127.0.0.1", port), 0.0),
    ]
