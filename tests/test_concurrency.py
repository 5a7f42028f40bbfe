"""Many users at once: threads and processes registering and logging in on one
database file, and threads sharing one engine. Nothing is lost, no account is
doubled, and every caller gets a result pair, never an exception."""

import json
import os
import subprocess
import sys
import threading
from collections import Counter

import pytest

from vantrel_app_plugin.login.keldra import JsonAppPlugin

LAYOUT = {
    "database": {"name": "crowd", "tables": [{"name": "users", "columns": [
        {"name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True},
        {"name": "username", "type": "TEXT", "not_null": True, "unique": True},
        {"name": "password", "type": "TEXT", "not_null": True}]}]},
}


@pytest.fixture
def layout_file(tmp_path, write_json, monkeypatch):
    monkeypatch.delenv("CALC_WS_ROOT", raising=False)
    doc = json.loads(json.dumps(LAYOUT))
    doc["database"]["data_root"] = str(tmp_path)
    path = write_json(tmp_path / "gui_layout.json", doc)
    JsonAppPlugin(path).init_database()
    return path


def count_rows(path, name=None):
    with JsonAppPlugin(path).connect() as conn:
        if name is None:
            return conn.execute("SELECT COUNT(*) FROM users").fetchone()[0]
        return conn.execute("SELECT COUNT(*) FROM users WHERE username = ?", (name,)).fetchone()[0]


def run_threads(count, target):
    """Run `target` in `count` threads at once and wait for all of them."""
    threads = [threading.Thread(target=target) for _ in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def test_hundred_threads_register_one_name(layout_file):
    barrier = threading.Barrier(100)
    results, errors = [], []

    def register():
        plugin = JsonAppPlugin(layout_file)
        barrier.wait()
        try:
            results.append(plugin.register_user({"username": "same", "password": "pw"}))
        except Exception as exc:  # noqa: BLE001 - any exception is the fault under test
            errors.append(repr(exc))

    run_threads(100, register)
    assert errors == []
    assert Counter(results) == {(True, "注册成功"): 1, (False, "用户名已存在"): 99}
    assert count_rows(layout_file, "same") == 1


# A worker process: waits for the start file, then runs its share of operations
# and prints one JSON line of outcomes.
WORKER = r"""
import json, os, sys, time
from vantrel_app_plugin.login.keldra import JsonAppPlugin
layout, start, worker, plan = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
plugin = JsonAppPlugin(layout)
while not os.path.exists(start):
    time.sleep(0.001)
out = []
if plan == "same":
    out.append(plugin.register_user({"username": "same", "password": "pw"}))
else:
    for i in range(int(plan)):
        name = f"w{worker}-{i}"
        out.append(plugin.register_user({"username": name, "password": "pw" + name}))
        out.append(plugin.login_user({"username": name, "password": "pw" + name}))
        out.append(plugin.login_user({"username": "admin", "password": "wrong"}))
        out.append(plugin.register_user({"username": "admin", "password": "x"}))
print(json.dumps([[ok, payload if isinstance(payload, str) else "user"] for ok, payload in out]))
"""


def run_workers(layout_file, tmp_path, count, plan):
    """Odd workers reach SQLite through the runtime's sqlite3 module, even ones directly."""
    start = tmp_path / "go"
    procs = [subprocess.Popen([sys.executable, "-c", WORKER, str(layout_file), str(start), str(w), plan],
                              env={**os.environ, **({"VANTREL_KELDRA_SQLITE": "module"} if w % 2 else {})},
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for w in range(count)]
    start.write_text("")
    outcomes = []
    for proc in procs:
        out, err = proc.communicate(timeout=120)
        assert proc.returncode == 0, err
        outcomes += [tuple(x) for x in json.loads(out)]
    return outcomes


def test_four_processes_register_one_name(layout_file, tmp_path):
    outcomes = run_workers(layout_file, tmp_path, 4, "same")
    assert Counter(outcomes) == {(True, "注册成功"): 1, (False, "用户名已存在"): 3}
    assert count_rows(layout_file, "same") == 1


def test_thousand_mixed_operations_from_four_processes_lose_nothing(layout_file, tmp_path):
    JsonAppPlugin(layout_file).register_user({"username": "admin", "password": "admin"})
    outcomes = run_workers(layout_file, tmp_path, 4, "63")  # 4 x 63 x 4 = 1008 operations
    assert Counter(outcomes) == {(True, "注册成功"): 252, (True, "user"): 252,
                                 (False, "用户名或密码错误"): 252, (False, "用户名已存在"): 252}
    assert count_rows(layout_file) == 253


def test_threads_sharing_one_engine_count_every_change(make_engine):
    layout = {"tk": {"public_pages": ["login", "report"],
                     "actions": {"报表": {"type": "goto", "page": "report"}}}}
    engine = make_engine(layout)
    barrier = threading.Barrier(8)
    errors = []

    def drive():
        barrier.wait()
        try:
            for i in range(200):
                engine.press("报表")
                engine.press("没有这个键")
                engine.merge_components(title=f"t{i}")
                engine.snapshot()
        except Exception as exc:  # noqa: BLE001
            errors.append(repr(exc))

    run_threads(8, drive)
    assert errors == []
    assert engine._revision == 8 * 200 * 3
