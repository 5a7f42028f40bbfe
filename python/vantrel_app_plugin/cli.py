"""Command line of the package: ``vantrel-app`` / ``python -m vantrel_app_plugin``.

Every subcommand is a function registered with ``@subcommand``; it takes the
parsed arguments and returns the exit status. Failures it expects (a missing
file, broken JSON, a missing optional dependency, a window that cannot open)
are raised as ``CliError`` and become one line on standard error with a
non-zero exit; ``main`` turns any other exception into one line as well,
unless ``--traceback`` is given.
"""

from __future__ import annotations

import argparse
import importlib
import json
import sys
import unicodedata
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

# The engine class of the window, the site and the REPL unless ``--engine``
# names another: the example's, which adds the business function its layout names.
from vantrel_soft.engines import DEFAULT_ENGINE

PROG = "vantrel-app"

#: Project used when no path is given: the example shipped with the checkout.
DEFAULT_PROJECT = Path("examples") / "demo"


class CliError(Exception):
    """A failure reported as one line on standard error, with ``status`` as exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


@dataclass
class Subcommand:
    name: str
    help: str
    run: Callable[[argparse.Namespace], int]
    arguments: Callable[[argparse.ArgumentParser], None] | None


#: Registered subcommands, in the order of ``--help``.
SUBCOMMANDS: dict[str, Subcommand] = {}


def subcommand(name: str, help: str,
               arguments: Callable[[argparse.ArgumentParser], None] | None = None):
    """Register the decorated function as subcommand ``name``; ``arguments`` adds its options."""

    def register(run: Callable[[argparse.Namespace], int]):
        SUBCOMMANDS[name] = Subcommand(name, help, run, arguments)
        return run

    return register


# ---------------------------------------------------------------- shared helpers


def layout_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("layout", nargs="?", default=str(DEFAULT_PROJECT), metavar="LAYOUT",
                        help="layout file or project directory (default: %(default)s)")


def load_layout(source: str) -> tuple[Path, dict]:
    """The layout file found for ``source`` (a file or a project directory) and its document."""
    from vantrel_app_plugin.sarnet import read_layout_file, resolve_config_file

    path = resolve_config_file(source)
    try:
        return path, read_layout_file(path)
    except json.JSONDecodeError as exc:
        raise CliError(f"{path}: invalid JSON at line {exc.lineno}, column {exc.colno}: {exc.msg}") from None
    except UnicodeDecodeError as exc:
        raise CliError(f"{path}: not UTF-8 text (byte {exc.start})") from None


def require(module: str, what: str, install: str):
    """Import an optional dependency; its absence is a one-line error saying how to get it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise CliError(f"{what} needs {install}: {exc}") from None


def load_object(name: str, what: str) -> Any:
    """The object named by ``module:attribute``."""
    from vantrel_soft.engines import load_engine_class

    try:
        return load_engine_class(name)
    except ValueError:
        raise CliError(f"{what} must be given as MODULE:NAME, not {name!r}") from None
    except ImportError as exc:
        raise CliError(f"cannot load {what} {name!r}: {exc.__cause__ or exc}") from None


# ---------------------------------------------------------------- info, demo


@subcommand("info", "show the layout file, data root and host source of a project", layout_argument)
def cmd_info(args: argparse.Namespace) -> int:
    """Print where the layout file, the data root and the host source are."""
    from vantrel_app_plugin.sarnet import vantrel_soft_source_from_layout
    from vantrel_app_plugin.tamsel import resolve_project_data_root

    layout_path, layout = load_layout(args.layout)
    database = layout.get("database")
    data_root = resolve_project_data_root(layout_path, database if isinstance(database, dict) else None)
    print(f"layout:      {layout_path}")
    print(f"data root:   {data_root}")
    print(f"host source: {vantrel_soft_source_from_layout(layout) or '(installed vantrel_soft)'}")
    return 0


#: The scripted desk session of ``vantrel-app demo``: (what, argument).
DEMO_SESSION = [
    ("press", "去注册"),
    ("merge", {"entry": "demo_user", "label_frame_entry": "secret12", "ttk_entry": "secret12"}),
    ("press", "注册"),
    ("merge", {"entry": "demo_user", "label_frame_entry": "wrong"}),
    ("press", "登录"),
    ("merge", {"entry": "  demo_user  ", "label_frame_entry": "secret12"}),
    ("press", "登录"),
    ("merge", {"student_name": "张三", "student_age": "12"}),
    ("press", "添加学生"),
    ("press", "首页"),
    ("press", "注销"),
]


@subcommand("demo", "run a scripted desk session (register, login, business action, logout)",
            layout_argument)
def cmd_demo(args: argparse.Namespace) -> int:
    """Drive the page engine on a project through the desk test host, step by step."""
    from vantrel_soft.demo import DemoEngine
    from vantrel_soft.harness import TestbenchHost

    layout_path, _ = load_layout(args.layout)
    host = TestbenchHost(layout_path, DemoEngine)
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


# ---------------------------------------------------------------- desktop


def _desktop_arguments(parser: argparse.ArgumentParser) -> None:
    layout_argument(parser)
    parser.add_argument("--engine", default=DEFAULT_ENGINE, metavar="MODULE:CLASS",
                        help="page engine class, a TkJsonEngine subclass with the layout's business "
                             "functions and page hooks (default: %(default)s)")


@subcommand("desktop", "open the layout's pages as a desktop window (Tk)", _desktop_arguments)
def cmd_desktop(args: argparse.Namespace) -> int:
    """Run the layout in the host's Tk window until it is closed."""
    require("tkinter", "the desktop window", "Tk for Python (the tkinter module; Debian: python3-tk)")
    layout_path, _ = load_layout(args.layout)
    engine_class = load_object(args.engine, "engine")
    from vantrel_soft.desktop import WindowError, run_window

    try:
        run_window(layout_path, engine_class, on_open=lambda title: print(f"window open: {title}", flush=True))
    except WindowError as exc:
        raise CliError(str(exc)) from None
    return 0


# ---------------------------------------------------------------- check


def _check_arguments(parser: argparse.ArgumentParser) -> None:
    layout_argument(parser)
    parser.add_argument("--json", action="store_true", help="print the findings as one JSON object")


@subcommand("check", "report what in a layout the runtime would ignore, replace by a default or fail on",
            _check_arguments)
def cmd_check(args: argparse.Namespace) -> int:
    """Check a layout document; exit status 1 when it has errors."""
    from vantrel_app_plugin.layout_check import check_layout, format_report

    layout_path, layout = load_layout(args.layout)
    findings = check_layout(layout)
    if args.json:
        print(json.dumps({
            "layout": str(layout_path),
            "errors": sum(f.severity == "error" for f in findings),
            "warnings": sum(f.severity == "warning" for f in findings),
            "findings": [f.as_dict() for f in findings],
        }, ensure_ascii=False, indent=2))
    else:
        print(format_report(layout_path, findings))
    return 1 if any(f.severity == "error" for f in findings) else 0


# ---------------------------------------------------------------- web


def _web_arguments(parser: argparse.ArgumentParser) -> None:
    layout_argument(parser)
    parser.add_argument("--host", help="listening address (default: the layout's web.host, else the web face's)")
    parser.add_argument("--port", type=int, help="listening port (default: the layout's web.port, else the web face's)")
    parser.add_argument("--engine", default=DEFAULT_ENGINE, metavar="MODULE:CLASS",
                        help="page engine class of the layout's pages, a TkJsonEngine subclass with the layout's "
                             "business functions and page hooks (default: %(default)s)")
    parser.add_argument("--threads", type=int, default=8, help="threads serving requests (default: %(default)s)")
    parser.add_argument("--debug", action="store_true",
                        help="Flask's development server with its debugger, instead of waitress (never in production)")
    parser.add_argument("--no-reclaim", action="store_true",
                        help="do not terminate other processes listening on the port; only check it is free")


@subcommand("web", "serve the layout's web site (its pages, login and registration)", _web_arguments)
def cmd_web(args: argparse.Namespace) -> int:
    """Free the port, then serve the site with waitress until interrupted."""
    require("flask", "the web site", "Flask (pip install 'vantrel_app_plugin[web]')")
    require("waitress", "the web site", "waitress (pip install 'vantrel_app_plugin[web]')")
    from vantrel_app_plugin.calvet import ROUTES, WEB_DEFAULTS
    from vantrel_app_plugin.dovask import ensure_port_available
    from vantrel_soft.website import create_site

    layout_path, _ = load_layout(args.layout)
    app = create_site(layout_path, engine_class=load_object(args.engine, "engine"))
    site = app.extensions["vantrel_site"]
    web = site.web_cfg
    host = args.host or str(web.get("host") or WEB_DEFAULTS["host"])
    port = args.port if args.port is not None else int(web.get("port") or WEB_DEFAULTS["port"])
    if args.threads < 1:
        raise CliError(f"--threads must be at least 1, not {args.threads}")
    try:
        ensure_port_available(host, port, reclaim=not args.no_reclaim)
    except SystemExit as exc:
        raise CliError(str(exc.code)) from None
    login = str((site.pages_cfg.get("login") or {}).get("route") or ROUTES["login"])
    shown = "127.0.0.1" if host in ("0.0.0.0", "") else host
    print(f"serving {site.app_title} at http://{shown}:{port}{login}", flush=True)
    if args.debug:
        app.run(host=host, port=port, debug=True, use_reloader=False)
    else:
        import waitress

        waitress.serve(app, host=host, port=port, threads=args.threads, ident="vantrel")
    return 0


# ---------------------------------------------------------------- store


def _store_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("action", choices=["copy"], help="copy: the declared tables into an empty PostgreSQL "
                                                         "database")
    layout_argument(parser)
    parser.add_argument("--to", required=True, metavar="URL", help="the target database (postgresql://...)")


@subcommand("store", "move a layout's user store (its SQLite file) to PostgreSQL", _store_arguments)
def cmd_store(args: argparse.Namespace) -> int:
    """Copy the declared tables of the layout's SQLite file (accounts included,
    password digests unchanged) to an empty PostgreSQL database, and report the
    rows copied per table. A target that already holds rows is refused."""
    require("psycopg", "the PostgreSQL store", "psycopg (pip install 'vantrel_app_plugin[postgres]')")
    from vantrel_app_plugin.login.transfer import copy_store

    layout_path, _ = load_layout(args.layout)
    for table, count in copy_store(layout_path, args.to):
        print(f"{table}: {count} row{'s' * (count != 1)} copied")
    return 0


# ---------------------------------------------------------------- repl


def _repl_arguments(parser: argparse.ArgumentParser) -> None:
    _desktop_arguments(parser)
    parser.add_argument("--ws", type=int, metavar="PORT",
                        help="serve the REPL over a websocket on 127.0.0.1:PORT instead of standard input "
                             "(one engine per connection)")


def _repl_engine(layout_path: Path, engine_class: Any) -> Any:
    from vantrel_soft import gui_config

    gui_config.use_layout(layout_path)
    return engine_class(str(layout_path))


def repl_step(engine: Any, line: str, before: dict) -> tuple[dict | None, dict]:
    """Carry out one REPL line: (report, snapshot); no report for a blank or comment line.

    The report holds the page, the status, the user line and the components that
    changed; a refused or failing command reports its error instead."""
    from vantrel_soft import ws_repl

    parsed = ws_repl._parse_line(line)
    if parsed is None:
        return None, before
    kind, body = parsed
    if kind == "quit":
        return {"quit": True}, before
    try:
        snap = ws_repl.execute(engine, kind, body)
    except Exception as exc:  # noqa: BLE001 - shown to the user, the session goes on
        return {"error": _one_line(exc)}, before
    old = before.get("components", {})
    changed = {k: v for k, v in snap["components"].items() if old.get(k) != v}
    return {"page": snap["components"].get("ui_page"), "status": snap["display"], "user": snap["expression_line"],
            "changed": changed}, snap


def _print_report(report: dict) -> None:
    if "error" in report:
        print(f"error: {report['error']}", flush=True)
        return
    print(f"page={report['page']}  {report['user']}  | {report['status']}")
    for key, value in report["changed"].items():
        if key not in ("ui_page", "ui_page_index"):
            print(f"  {key} = {value!r}".replace("\n", " / "))
    sys.stdout.flush()


@subcommand("repl", "drive the layout's page engine line by line (standard input, or a websocket)",
            _repl_arguments)
def cmd_repl(args: argparse.Namespace) -> int:
    """Read commands, one per line (a key, keys separated by commas, "mc KEY VALUE", "set ID VALUE",
    "reset", "display", "quit", a JSON action), and print what changed."""
    from vantrel_app_plugin.quelby import apply_ws_repl_parse_patch

    layout_path, _ = load_layout(args.layout)
    engine_class = load_object(args.engine, "engine")
    apply_ws_repl_parse_patch()
    if args.ws is not None:
        return _serve_websocket(layout_path, engine_class, args.ws)
    engine = _repl_engine(layout_path, engine_class)
    snap = engine.snapshot()
    _print_report({"page": snap["components"].get("ui_page"), "status": snap["display"],
                   "user": snap["expression_line"], "changed": {}})
    for line in sys.stdin:
        report, snap = repl_step(engine, line, snap)
        if report is None:
            continue
        if report.get("quit"):
            break
        _print_report(report)
    return 0


def _serve_websocket(layout_path: Path, engine_class: Any, port: int) -> int:
    require("websockets", "the websocket REPL", "websockets (pip install 'vantrel_app_plugin[ws]')")
    import asyncio

    from websockets.asyncio.server import serve

    async def session(connection) -> None:
        engine = _repl_engine(layout_path, engine_class)  # one engine per connection
        snap = engine.snapshot()
        async for message in connection:
            for line in str(message).splitlines() or [""]:
                report, snap = repl_step(engine, line, snap)
                if report is None:
                    continue
                if report.get("quit"):
                    await connection.close()
                    return
                await connection.send(json.dumps(report, ensure_ascii=False, default=str))

    async def run() -> None:
        async with serve(session, "127.0.0.1", port) as server:
            print(f"REPL websocket at ws://127.0.0.1:{port}", flush=True)
            await server.serve_forever()

    asyncio.run(run())
    return 0


# ---------------------------------------------------------------- entry point


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Run a JSON layout document as an application.")
    parser.add_argument("--traceback", action="store_true",
                        help="show the full traceback of an unexpected error (for developers)")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in SUBCOMMANDS.values():
        doc = (command.run.__doc__ or command.help).strip()
        child = sub.add_parser(command.name, help=command.help, description=doc)
        if command.arguments is not None:
            command.arguments(child)
        child.set_defaults(run=command.run)
    return parser


def _one_line(exc: BaseException) -> str:
    if isinstance(exc, json.JSONDecodeError):
        text = f"invalid JSON at line {exc.lineno}, column {exc.colno}: {exc.msg}"
    elif isinstance(exc, (CliError, FileNotFoundError, ValueError)) and str(exc):
        text = str(exc)
    else:
        text = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
    return " ".join(text.split())


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except KeyboardInterrupt:
        return 130
    except Exception as exc:
        if args.traceback:
            raise
        print(f"{PROG}: {_one_line(exc)}", file=sys.stderr)
        return exc.status if isinstance(exc, CliError) else 1
