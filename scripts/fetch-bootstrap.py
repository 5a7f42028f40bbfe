"""Put Bootstrap 5.1.3's minified stylesheet where the web face serves it.

The file comes from the bootstrap-flask 2.1.0 wheel on PyPI (MIT licence),
taken with pip or, failing that, straight from PyPI, and is checked against
its known digest. Without network access the build goes on without it (the
pages then show unstyled) and says so.

Usage: fetch-bootstrap.py OUTPUT CACHE_DIR
"""

from __future__ import annotations

import hashlib
import json
import subprocess
import sys
import urllib.request
import zipfile
from pathlib import Path

PACKAGE, VERSION = "bootstrap-flask", "2.1.0"
MEMBER = "flask_bootstrap/static/bootstrap5/css/bootstrap.min.css"
SHA256 = "62f74b1cf824a89f03554c638e719594c309b4d8a627a758928c0516fa7890ab"


def wheel_from_pip(cache: Path) -> Path | None:
    subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "-d", str(cache),
                    f"{PACKAGE}=={VERSION}"], check=False, capture_output=True)
    return next(iter(sorted(cache.glob("*.whl"))), None)


def wheel_from_pypi(cache: Path) -> Path | None:
    with urllib.request.urlopen(f"https://pypi.org/pypi/{PACKAGE}/{VERSION}/json", timeout=30) as r:
        files = json.load(r)["urls"]
    url = next(f["url"] for f in files if f["filename"].endswith(".whl"))
    target = cache / url.rsplit("/", 1)[1]
    with urllib.request.urlopen(url, timeout=60) as r:
        target.write_bytes(r.read())
    return target


def main(output: str, cache_dir: str) -> int:
    out, cache = Path(output), Path(cache_dir)
    if out.is_file() and hashlib.sha256(out.read_bytes()).hexdigest() == SHA256:
        return 0
    cache.mkdir(parents=True, exist_ok=True)
    for source in (wheel_from_pip, wheel_from_pypi):
        try:
            wheel = source(cache)
            if wheel is None:
                continue
            data = zipfile.ZipFile(wheel).read(MEMBER)
        except Exception as exc:  # noqa: BLE001 - try the next source
            print(f"fetch-bootstrap: {source.__name__}: {exc}", file=sys.stderr)
            continue
        if hashlib.sha256(data).hexdigest() != SHA256:
            print(f"fetch-bootstrap: {wheel.name} holds an unexpected stylesheet", file=sys.stderr)
            continue
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_bytes(data)
        return 0
    print("fetch-bootstrap: WARNING: Bootstrap 5.1.3 could not be fetched; web pages will be unstyled",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    raise SystemExit(main(*sys.argv[1:3]))
