"""Command line of the package: ``vantrel-app`` / ``python -m vantrel_app_plugin``."""

from __future__ import annotations

import argparse
import unicodedata
from pathlib import Path

#: Project used when no path is given: the example shipped with the checkout.
DEFAULT_PROJECT = Path("examples") / "demo"


def cmd_info(args: argparse.Namespace) -> int:
    """Print where the layout file, the data root and the host source are."""
    from vantrel_app_plugin.sarnet import (
        read_layout_file,
        resolve_config_file,
        vantrel_soft_source_from_layout,
    )
    from vantrel_app_plugin.tamsel import resolve_project_data_root

    layout_path = resolve_config_file(args.path)
    layout = read_layout_file(layout_path)
    database = layout.get("database")
    data_root = resolve_project_data_root(layout_path, database if isinstance(database, dict) else None)
    print(f"layout:      {layout_path}")
    print(f"data root:   {data_root}")
    print(f"host source: {vantrel_soft_source_from_layout(layout) or '(installed vantrel_soft)'}")
    return 0


#: The scripted desk session of ``vantrel-app demo``: (what, argument).
DEMO_SESSION = [
    ("press", "去注册"),
    ("merge", {"entry": "demo_user", "label_frame_entry": "secret1", "ttk_entry": "secret1"}),
    ("press", "注册"),
    ("merge", {"entry": "demo_user", "label_frame_entry": "wrong"}),
    ("press", "登录"),
    ("merge", {"entry": "  demo_user  ", "label_frame_entry": "secret1"}),
    ("press", "登录"),
    ("merge", {"student_name": "张三", "student_age": "12"}),
    ("press", "添加学生"),
    ("press", "首页"),
    ("press", "注销"),
]


def cmd_demo(args: argparse.Namespace) -> int:
    """Drive the page engine on a project through the desk test host, step by step."""
    from vantrel_soft.demo import DemoEngine
    from vantrel_soft.harness import TestbenchHost

    host = TestbenchHost(args.path, DemoEngine)
    print(f"layout:   {host.engine.plugin.config_path}")
    print(f"database: {host.engine.plugin.db_path}")

    def pad(text: str, width: int) -> str:
        wide = sum(unicodedata.east_asian_width(ch) in "WF" for ch in text)
        return text + " " * max(1, width - len(text) - wide)

    # Page-specific components worth showing, by page.
    shown = {"dashboard": "dashboard_summary", "students": "student_list"}

    def show(label: str, snap: dict) -> None:
        comps = snap["components"]
        page, rev = "page=" + str(comps["ui_page"]), "rev=" + str(snap["revision"])
        print(f"{pad(label, 34)}{pad(page, 16)}{pad(rev, 8)}{pad(snap['expression_line'], 22)}| {snap['display']}")
        key = shown.get(comps["ui_page"])
        if key and comps.get(key):
            print(f"{'':34}{key}: {comps[key]}".replace("\n", " / "))

    show("start", host.snapshot())
    for what, arg in DEMO_SESSION:
        if what == "press":
            show(f"press {arg}", host.press(arg))
        else:
            # Passwords (label_frame_entry, ttk_entry) are typed but not echoed.
            fields = ", ".join(f"{k}={v!r}" for k, v in arg.items() if k not in ("label_frame_entry", "ttk_entry"))
            show(f"type {fields}", host.merge(**arg))
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vantrel-app", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    info = sub.add_parser("info", help="show the layout file, data root and host source of a project")
    info.add_argument("path", nargs="?", default=str(DEFAULT_PROJECT),
                      help="layout file or project directory (default: %(default)s)")
    info.set_defaults(func=cmd_info)
    demo = sub.add_parser("demo", help="run a scripted desk session (register, login, business action, logout)")
    demo.add_argument("path", nargs="?", default=str(DEFAULT_PROJECT),
                      help="layout file or project directory (default: %(default)s)")
    demo.set_defaults(func=cmd_demo)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.func(args)
    except (FileNotFoundError, ValueError) as exc:
        print(f"vantrel-app: {exc}")
        return 1
