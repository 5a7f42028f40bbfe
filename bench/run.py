"""Run every benchmark file (bench/bench_*.py) and print ns per call.

Usage: python bench/run.py [name-filter]
"""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import run_cases  # noqa: E402


def main(argv: list[str]) -> int:
    wanted = argv[1] if len(argv) > 1 else ""
    missed: list[str] = []
    for path in sorted(HERE.glob("bench_*.py")):
        if wanted not in path.stem:
            continue
        spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        missed += run_cases(module.__doc__.strip().splitlines()[0], module.cases())
    if missed:
        print(f"\nmissed targets: {', '.join(missed)}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
