"""Write the reference stubs the tests compare the built ones with.

Every extension module of the installed package gets
``<folder>/<module path>.pyi.ref``, a copy of the stub installed beside it;
references of modules that are no longer built are removed. Run it with the
interpreter of the environment the package is installed in (``make stub-refs``
builds and installs first).

Usage: stub-refs.py FOLDER
"""

from __future__ import annotations

import sys
from pathlib import Path

import vantrel_app_plugin

SUFFIX = ".pyi.ref"


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    folder = Path(argv[1])
    package = Path(vantrel_app_plugin.__file__).parent
    modules = [p for p in sorted(package.rglob("*.so")) + sorted(package.rglob("*.pyd"))
               if not p.name.startswith("lib")]
    if not modules:
        print(f"stub-refs: no extension module installed in {package}", file=sys.stderr)
        return 1
    refs = {}
    for ext in modules:
        stem = ext.name.split(".")[0]
        stub = ext.with_name(stem + ".pyi")
        if not stub.is_file():
            print(f"stub-refs: {ext.name} has no stub beside it", file=sys.stderr)
            return 1
        refs[".".join(ext.relative_to(package.parent).with_name(stem).parts) + SUFFIX] = stub
    folder.mkdir(parents=True, exist_ok=True)
    for name, stub in refs.items():
        (folder / name).write_bytes(stub.read_bytes())
    for old in folder.glob("*" + SUFFIX):
        if old.name not in refs:
            old.unlink()
            print(f"removed {old}")
    print(f"{len(refs)} reference stubs in {folder}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
