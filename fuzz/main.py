"""One fuzz target under atheris: ``python fuzz/main.py TARGET [libFuzzer options] [corpus dirs]``.

Started by ``fuzz/run.py`` with the sanitizer runtime preloaded. The Python
parts of the package and the generators are instrumented for Python-level
coverage; in the native mode the extensions bring their own counters.
"""

from __future__ import annotations

import sys
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parent))

#: Exit status of a target that cannot run here (its reason printed).
SKIPPED = 86

with atheris.instrument_imports(include=["gen", "targets", "vantrel_app_plugin", "vantrel_soft"]):
    import targets
    import vantrel_app_plugin.login
    import vantrel_app_plugin.plugins.registry
    import vantrel_soft.gui_config
    import vantrel_soft.harness  # noqa: F401


def main() -> None:
    target = targets.TARGETS[sys.argv.pop(1)]
    reason = target.unavailable()
    if reason:
        print(reason)
        raise SystemExit(SKIPPED)
    targets.prepare()
    atheris.Setup(sys.argv, target.run)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
