"""REPL line parsing and port probing: quelby, dovask.

``py_parse_repl_line`` is the straightforward pure-Python parser of the same
grammar (``oracles.repl_line``, which the fuzzers and the tests use as the
reference too); the corpus mixes the kinds of line a REPL receives.
"""

from __future__ import annotations

import socket
import time

from harness import Case
from oracles import repl_line as py_parse_repl_line

from vantrel_app_plugin import quelby

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
