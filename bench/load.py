"""Web under load: the WSGI site under gunicorn (4 workers) on loopback, driven
by wrk (or, without it, a bounded Python client), beside the same site built
on the pure-Python twin of the web object.

Three scenarios, each for a third of the time: GET of the login page, POST of
a login, GET of the protected page with a session cookie. Prints requests per
second and p50/p99 latency per scenario and over the whole run; exits 1 on
any server error, or when the web face serves fewer requests per second over
the whole run than the twin.

Usage: python bench/load.py [--seconds 30] [--workers 4] [--connections 16]
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from pathlib import Path

HERE = Path(__file__).resolve().parent
FORM = urllib.parse.urlencode({"username": "admin", "password": "admin123"})


def write_layout(root: Path) -> Path:
    layout = root / "gui_layout.json"
    layout.write_text(json.dumps({
        "title": "负载站点",
        "database": {"name": "load", "data_root": str(root), "tables": [{"name": "users", "columns": [
            {"name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True},
            {"name": "username", "type": "TEXT", "unique": True}, {"name": "password", "type": "TEXT"}]}]},
        "auth": {"seed_users": [{"username": "admin", "password": "admin123"}]},
        "web": {"secret_key": "load-test-secret-" + "x" * 40},
        "auth_forms": {"login": {"title": "登录", "fields": [
            {"name": "username", "label": "用户名", "type": "text", "required": True},
            {"name": "password", "label": "密码", "type": "password", "required": True}],
            "footer_links": [{"text": "没有账号？", "href": "/register", "link_text": "注册"}]}},
    }, ensure_ascii=False), encoding="utf-8")
    return layout


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_site(factory: str, layout: Path, workers: int) -> tuple[subprocess.Popen, int]:
    port = free_port()
    env = {**os.environ, "VANTREL_LAYOUT": str(layout), "PYTHONPATH": str(HERE)}
    proc = subprocess.Popen([sys.executable, "-m", "gunicorn", "-w", str(workers), "-b", f"127.0.0.1:{port}",
                             "--log-level", "warning", f"load_app:{factory}()"],
                            env=env, cwd=layout.parent, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    deadline = time.time() + 60
    while time.time() < deadline:
        if proc.poll() is not None:
            raise SystemExit(f"gunicorn exited: {proc.stderr.read()[-2000:]}")
        try:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
            conn.request("GET", "/login")
            if conn.getresponse().status == 200:
                return proc, port
        except OSError:
            time.sleep(0.2)
    raise SystemExit("gunicorn did not answer")


def session_cookie(port: int) -> str:
    conn = http.client.HTTPConnection("127.0.0.1", port)
    conn.request("POST", "/login", FORM, {"Content-Type": "application/x-www-form-urlencoded"})
    response = conn.getresponse()
    assert response.status == 302, response.status
    return response.getheader("Set-Cookie").split(";", 1)[0]


WRK_POST = """wrk.method = "POST"
wrk.body = "{form}"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
"""


def run_wrk(port: int, path: str, seconds: float, connections: int, script: str | None,
            headers: dict[str, str]) -> dict:
    cmd = ["wrk", "-t2", f"-c{connections}", f"-d{max(1, round(seconds))}s", "--latency"]
    for k, v in headers.items():
        cmd += ["-H", f"{k}: {v}"]
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as lua:
        if script:
            lua.write(script)
    if script:
        cmd += ["-s", lua.name]
    out = subprocess.run(cmd + [f"http://127.0.0.1:{port}{path}"], capture_output=True, text=True).stdout
    os.unlink(lua.name)

    def ms(label: str) -> float:
        m = re.search(rf"^\s*{label}\s+([\d.]+)(us|ms|s)\s*$", out, re.M)
        value, unit = float(m.group(1)), m.group(2)
        return value / 1000 if unit == "us" else value * 1000 if unit == "s" else value

    errors = sum(int(n) for n in re.findall(r"(?:connect|read|write|timeout) (\d+)", out))
    non_ok = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return {"rps": float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)),
            "p50": ms("50%"), "p99": ms("99%"),
            "errors": errors + (int(non_ok.group(1)) if non_ok else 0)}


def run_python_client(port: int, path: str, seconds: float, connections: int, method: str,
                      headers: dict[str, str]) -> dict:
    """A bounded client without wrk: ``connections`` threads, keep-alive, until time is up."""
    latencies: list[float] = []
    errors = [0]
    stop = time.time() + seconds
    lock = threading.Lock()

    def worker() -> None:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        mine = []
        while time.time() < stop:
            start = time.perf_counter()
            try:
                if method == "POST":
                    conn.request("POST", path, FORM, {**headers, "Content-Type": "application/x-www-form-urlencoded"})
                else:
                    conn.request("GET", path, headers=headers)
                response = conn.getresponse()
                response.read()
                if response.status >= 400:
                    errors[0] += 1
            except OSError:
                errors[0] += 1
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                continue
            mine.append((time.perf_counter() - start) * 1000)
        with lock:
            latencies.extend(mine)

    threads = [threading.Thread(target=worker) for _ in range(connections)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    q = statistics.quantiles(latencies, n=100)
    return {"rps": len(latencies) / seconds, "p50": q[49], "p99": q[98], "errors": errors[0]}


def measure(factory: str, layout: Path, args: argparse.Namespace) -> dict[str, dict]:
    proc, port = start_site(factory, layout, args.workers)
    try:
        cookie = session_cookie(port)
        part = args.seconds / 3
        scenarios = {"GET /login": ("/login", "GET", {}), "POST /login": ("/login", "POST", {}),
                     "GET /dashboard (cookie)": ("/dashboard", "GET", {"Cookie": cookie})}
        results = {}
        for name, (path, method, headers) in scenarios.items():
            if shutil.which("wrk"):
                script = WRK_POST.format(form=FORM) if method == "POST" else None
                results[name] = run_wrk(port, path, part, args.connections, script, headers)
            else:
                results[name] = run_python_client(port, path, part, args.connections, method, headers)
        return results
    finally:
        proc.terminate()
        proc.wait(timeout=20)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=30, help="length of each site's run (default 30)")
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--connections", type=int, default=16)
    args = parser.parse_args()
    root = Path(tempfile.mkdtemp(prefix="vantrel-load-"))
    layout = write_layout(root)
    print(f"driver: {'wrk' if shutil.which('wrk') else 'Python client'}, gunicorn -w {args.workers}, "
          f"{args.connections} connections, {args.seconds:.0f} s per site")
    ours, twin = measure("cpp_app", layout, args), measure("py_app", layout, args)
    print(f"  {'scenario':<26}{'site':<12}{'req/s':>10}{'p50 ms':>9}{'p99 ms':>9}{'errors':>8}")
    for name in ours:
        for label, r in (("C++", ours[name]), ("Python", twin[name])):
            print(f"  {name:<26}{label:<12}{r['rps']:>10.0f}{r['p50']:>9.2f}{r['p99']:>9.2f}{r['errors']:>8}")
    # Each scenario runs for the same time, so the mean rate is the whole run's.
    total = {label: statistics.mean(r["rps"] for r in runs.values()) for label, runs in (("C++", ours), ("Python", twin))}
    errors = sum(r["errors"] for r in ours.values())
    print(f"  {'whole run':<26}{'C++':<12}{total['C++']:>10.0f}\n  {'':<26}{'Python':<12}{total['Python']:>10.0f}")
    failed = errors > 0 or total["C++"] <= total["Python"]
    print(f"FAILED: {errors} server errors, or not faster than the Python twin" if failed else
          f"ok: no server errors, {total['C++'] / total['Python']:.2f}x the Python twin's requests per second")
    return 1 if failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
