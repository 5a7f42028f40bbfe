"""Soak: a million calls of each hot entry point, memory measured around them.

Usage: python bench/soak.py [--calls N] [--warmup N] [case-filter]

Each case is warmed up, then called N times (default 1,000,000). Before and
after, with a full collection each time, the soak reads the resident set
size (``/proc/self/statm``), the live objects the collector tracks
(``len(gc.get_objects())``) and the runtime's allocated memory blocks
(``sys.getallocatedblocks()``). It prints one line per case with the growth
scaled to a million calls, and exits with 1 when any case grew by more than
the bounds below: a leak of one object or one small block per call shows up
in every run, and a leak of a few bytes per call in the resident size.

The resident size is not judged under AddressSanitizer (its quarantine holds
freed memory on purpose); the object and block counts still are.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

#: Growth over one run of a case that counts as a leak.
MAX_RSS_GROWTH = 1 << 20  # bytes
MAX_OBJECT_GROWTH = 8
MAX_BLOCK_GROWTH = 64


@dataclass
class Case:
    """``fn(*args[i % len(args)])`` for i in range(calls)."""

    name: str
    fn: Callable[..., Any]
    args: list[tuple]
    kwargs: dict | None = None


def rss() -> int:
    """Resident set size of this process, in bytes."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:  # no /proc: the peak is the best there is
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def under_asan() -> bool:
    return "asan" in os.environ.get("LD_PRELOAD", "")


def run(case: Case, calls: int) -> None:
    fn, args, kw = case.fn, case.args, case.kwargs
    if kw:
        for _ in range(calls):
            fn(**kw)
    elif len(args) == 1:
        a = args[0]
        for _ in range(calls):
            fn(*a)
    else:
        n = len(args)
        for i in range(calls):
            fn(*args[i % n])


def footprint() -> tuple[int, int, int]:
    gc.collect()
    return rss(), len(gc.get_objects()), sys.getallocatedblocks()


# --- the cases ----------------------------------------------------------------------------


def layout(root: Path) -> dict:
    pages = [{"id": p, "sections": [{"widgets": [{"id": f"{p}_note", "component_key": "note"}]}]}
             for p in ("login", "register", "dashboard", "report")]
    return {
        "database": {"name": "soak", "data_root": str(root), "tables": [{"name": "users", "columns": [
            {"name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True},
            {"name": "username", "type": "TEXT", "unique": True}, {"name": "password", "type": "TEXT"}]}]},
        "auth": {"seed_users": [{"username": "admin", "password": "admin123"}]},
        "pages": pages,
        "plugins": {"enabled": ["login"], "config": {"login": {"sections": {"web": {"title": "浸泡"}}}}},
        "tk": {"public_pages": ["login", "register", "report"],
               "actions": {"登录": "login", "报表": {"type": "goto", "page": "report", "set": {"note": "r"}},
                           "导出": {"type": "export"}},
               "forms": {"f": {"handler": "add"}},
               "page_hooks": {"report": {"on_enter": "on_report"}}},
    }


def cases(root: Path) -> list[Case]:
    from vantrel_app_plugin import lirren
    from vantrel_app_plugin.brisen import TkJsonEngine
    from vantrel_app_plugin.ostrel import UnifiedPluginBase, dispatch_plugin_action
    from vantrel_soft import gui_config

    doc = layout(root)
    path = root / "gui_layout.json"
    path.write_text(json.dumps(doc, ensure_ascii=False), encoding="utf-8")
    gui_config.use_layout(path)

    class Engine(TkJsonEngine):
        visits = 0

        def on_report(self):
            self.visits += 1

    class Exporter:
        """A plain-Python plugin that takes over "export" only."""

        def supports_action(self, action_type):
            return action_type == "export"

        def run_action(self, action_type, key, spec, engine):
            return True

    class Bystander(UnifiedPluginBase):
        FEATURE_ID = "bystander"
        ACTION_TYPES = frozenset({"report"})

    engine = Engine(str(path))
    plugins = {"login": engine.plugin, "bystander": Bystander(path, doc), "export": Exporter()}
    engine._plugins = plugins
    engine.merge_components(entry="admin", note=["a", {"b": [1, 2]}])

    spec = {"type": "goto", "page": "report"}
    out = [
        Case("press (bound key)", engine.press, [("报表",), ("导出",)]),
        Case("press (unbound key)", engine.press, [("无此键",), ("  未配置  ",)]),
        Case("merge_components", engine.merge_components, [()],
             {"entry": "admin", "label_frame_entry": "pw", "note": "n", "unknown": 1}),
        Case("snapshot", engine.snapshot, [()]),
        Case("dispatch_plugin_action", dispatch_plugin_action,
             [(plugins, "goto", "报表", spec, engine), (plugins, "EXPORT", "导出", {"type": "export"}, engine)]),
    ]
    for name in ("tk_section", "navigation_cfg", "auth_field_map", "actions_cfg", "forms_cfg", "clear_components",
                 "page_hooks_cfg"):
        out.append(Case(f"lirren.{name}", getattr(lirren, name), [(doc,)]))
    try:
        from vantrel_app_plugin.quelby import parse_repl_line
    except ImportError as exc:
        print(f"parse_repl_line: skipped: vantrel_app_plugin.quelby cannot be imported ({exc})")
    else:
        lines = ["quit", "SET lamp on, off", "mc entry 1 note 2", "a, b,,x", "登录", "entry admin", "  # note",
                 "报表 登录 导出"]
        out.append(Case("parse_repl_line", parse_repl_line, [(line,) for line in lines]))
    return out


# --- the run ------------------------------------------------------------------------------


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1_000_000, help="calls per case (default 1,000,000)")
    parser.add_argument("--warmup", type=int, default=0, help="warm-up calls per case (default calls/10)")
    parser.add_argument("filter", nargs="?", default="", help="run only cases whose name holds this text")
    args = parser.parse_args(argv)
    warmup = args.warmup or max(1000, args.calls // 10)
    check_rss = not under_asan()

    root = Path(tempfile.mkdtemp(prefix="vantrel-soak-")).resolve()
    os.chdir(root)
    selected = [c for c in cases(root) if args.filter in c.name]
    per_m = 1_000_000 / args.calls
    print(f"soak: {args.calls} calls per case after {warmup} warm-up calls"
          f"{'' if check_rss else ' (resident size not judged under AddressSanitizer)'}")
    print(f"{'case':<28} {'ns/call':>8} {'RSS KiB':>9} {'RSS +KiB/M':>11} {'objects +/M':>12} "
          f"{'blocks +/M':>11}  verdict")
    failed = []
    for case in selected:
        run(case, warmup)
        rss0, obj0, blk0 = footprint()
        started = time.perf_counter()
        run(case, args.calls)
        elapsed = time.perf_counter() - started
        rss1, obj1, blk1 = footprint()
        grew = []
        if check_rss and rss1 - rss0 > MAX_RSS_GROWTH:
            grew.append("resident size")
        if obj1 - obj0 > MAX_OBJECT_GROWTH:
            grew.append("objects")
        if blk1 - blk0 > MAX_BLOCK_GROWTH:
            grew.append("blocks")
        verdict = "ok" if not grew else "GREW: " + ", ".join(grew)
        if grew:
            failed.append(case.name)
        print(f"{case.name:<28} {elapsed / args.calls * 1e9:>8.0f} {rss1 // 1024:>9} "
              f"{(rss1 - rss0) / 1024 * per_m:>11.1f} {(obj1 - obj0) * per_m:>12.1f} "
              f"{(blk1 - blk0) * per_m:>11.1f}  {verdict}", flush=True)
    if failed:
        print(f"memory grew: {', '.join(failed)}")
        return 1
    print(f"no growth beyond {MAX_RSS_GROWTH >> 10} KiB resident, {MAX_OBJECT_GROWTH} objects and "
          f"{MAX_BLOCK_GROWTH} blocks per case")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
