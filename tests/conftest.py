import json
import os
import re
from pathlib import Path

import pgcluster
import pytest

from vantrel_app_plugin.login.postgres import close_pools

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "demo" / "gui_layout.json"

from engine_support import host_pages, make_engine  # noqa: F401  (fixtures)


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


@pytest.fixture
def project(tmp_path):
    """A copy of the example project whose data stays in the temporary directory."""
    layout = json.loads(EXAMPLE.read_text(encoding="utf-8"))
    layout["database"]["data_root"] = "@app"
    layout["auth"]["pbkdf2_iterations"] = 1000  # the example's salted scheme, at a test's pace
    path = tmp_path / "示例" / "gui_layout.json"
    path.parent.mkdir()
    path.write_text(json.dumps(layout, ensure_ascii=False), encoding="utf-8")
    yield path
    from vantrel_soft import gui_config

    gui_config.use_layout(None)


@pytest.fixture(scope="session")
def pg_cluster():
    """A throwaway PostgreSQL cluster for the whole run (skipped, with the reason, where none can start)."""
    if reason := pgcluster.unavailable():
        pytest.skip(reason)
    cluster = pgcluster.Cluster().start()
    yield cluster
    close_pools()
    cluster.stop()


@pytest.fixture
def pg_url(pg_cluster, request):
    name = "t_" + re.sub(r"\W", "_", request.node.name.lower())[:40] + f"_{os.getpid()}"
    pg_cluster.drop_database(name)
    yield pg_cluster.create_database(name)
    close_pools()
    pg_cluster.drop_database(name)


@pytest.fixture(params=["sqlite", "postgresql"])
def store_url(request):
    """None for the SQLite file under the data root, else a PostgreSQL database."""
    return None if request.param == "sqlite" else request.getfixturevalue("pg_url")
