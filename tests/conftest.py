import json
from pathlib import Path

import pytest

from engine_support import host_pages, make_engine, project  # noqa: F401  (fixtures)


@pytest.fixture
def write_json():
    """Write ``obj`` as UTF-8 JSON at ``path`` (parents created) and return the path."""

    def write(path: Path, obj) -> Path:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(json.dumps(obj, ensure_ascii=False), encoding="utf-8")
        return path

    return write


@pytest.fixture(autouse=True)
def _work_in_a_scratch_directory(tmp_path_factory, monkeypatch):
    """Run every test from a scratch working directory, so that nothing (a data
    root falling back to the working directory, say) lands in the checkout."""
    monkeypatch.chdir(tmp_path_factory.mktemp("cwd"))
