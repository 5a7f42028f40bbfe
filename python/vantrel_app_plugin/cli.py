"""Command line of the package: ``vantrel-app`` / ``python -m vantrel_app_plugin``."""

from __future__ import annotations

import argparse
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


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vantrel-app", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    info = sub.add_parser("info", help="show the layout file, data root and host source of a project")
    info.add_argument("path", nargs="?", default=str(DEFAULT_PROJECT),
                      help="layout file or project directory (default: %(default)s)")
    info.set_defaults(func=cmd_info)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.func(args)
    except (FileNotFoundError, ValueError) as exc:
        print(f"vantrel-app: {exc}")
        return 1
