"""Web under load, on loopback, each site under gunicorn (4 workers), driven by
wrk (or, without it, a bounded Python client).

1. The web face of the library beside the same site built on the pure-Python
   twin of the web object. Three scenarios, each for a third of the time: GET
   of the login page, POST of a login, GET of the protected page with a
   session cookie.
2. The layout's pages on the site `vantrel-app web` serves (the example's
   layout and engine), beside a bare Flask application serving the same
   bytes (the framework's floor): a page view (GET with a logged-in
   visitor's cookie), and a press round trip (the POST of a button, its
   redirect, the GET of the page), one visitor per connection.

3. Logins (POST of the login form, CSRF token and all) on the site with its
   user store on SQLite (one host), on PostgreSQL (one host), and on two
   hosts: two independent gunicorn masters on two ports, each with a data
   root of its own, sharing one PostgreSQL database and one secret, driven
   together. Before that run it checks that a session made on one host is
   valid on the other, that registrations through both never duplicate, and
   that failed logins through both add up. Needs a PostgreSQL server's
   programs (the run starts a throwaway cluster); skipped, with the reason,
   without them.

Prints requests per second and p50/p99 latency per scenario; exits 1 on any
server error or failed check, when the web face serves fewer requests per
second than the twin, when a page view reaches less than 0.7 of the floor's
requests per second, or when a press round trip's p99 reaches 20 ms.

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
from collections.abc import Callable
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


def start_site(factory: str, layout: Path, workers: int, **env_extra: str) -> tuple[subprocess.Popen, int]:
    port = free_port()
    env = {**os.environ, "VANTREL_LAYOUT": str(layout), "PYTHONPATH": str(HERE), **env_extra}
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


def time_loops(seconds: float, loops: list[Callable[[], bool]]) -> dict:
    """Each callable in a thread of its own, called until time is up; one call
    is one timed request (False or an OSError: an error, the latter untimed)."""
    latencies: list[float] = []
    errors = [0]
    stop = time.time() + seconds
    lock = threading.Lock()

    def loop(once: Callable[[], bool]) -> None:
        mine, failed = [], 0
        while time.time() < stop:
            start = time.perf_counter()
            try:
                ok = once()
            except OSError:
                failed += 1
                continue
            failed += not ok
            mine.append((time.perf_counter() - start) * 1000)
        with lock:
            latencies.extend(mine)
            errors[0] += failed

    threads = [threading.Thread(target=loop, args=(once,)) for once in loops]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    q = statistics.quantiles(latencies, n=100)
    return {"rps": len(latencies) / seconds, "p50": q[49], "p99": q[98], "errors": errors[0]}


def run_python_client(port: int, path: str, seconds: float, connections: int, method: str,
                      headers: dict[str, str]) -> dict:
    """A bounded client without wrk: ``connections`` threads, keep-alive, until time is up."""

    def client() -> Callable[[], bool]:
        conn = [http.client.HTTPConnection("127.0.0.1", port, timeout=10)]

        def once() -> bool:
            try:
                if method == "POST":
                    conn[0].request("POST", path, FORM,
                                    {**headers, "Content-Type": "application/x-www-form-urlencoded"})
                else:
                    conn[0].request("GET", path, headers=headers)
                response = conn[0].getresponse()
                response.read()
            except OSError:
                conn[0] = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                raise
            return response.status < 400

        return once

    return time_loops(seconds, [client() for _ in range(connections)])


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


# --- the layout's pages -----------------------------------------------------------------------

EXAMPLE = HERE.parent / "examples" / "demo" / "gui_layout.json"
TOKEN = re.compile(r'name="csrf_token" value="([^"]+)"|name=\'csrf_token\' value=\'([^\']+)\'')


def write_pages_layout(root: Path) -> Path:
    layout = json.loads(EXAMPLE.read_text(encoding="utf-8"))
    layout["database"]["data_root"] = str(root)
    layout["auth"]["pbkdf2_iterations"] = 1000  # logging the visitors in is not what is measured
    layout.setdefault("web", {})["secret_key"] = "load-test-secret-" + "y" * 40
    path = root / "pages" / "gui_layout.json"
    path.parent.mkdir(parents=True)
    path.write_text(json.dumps(layout, ensure_ascii=False), encoding="utf-8")
    return path


class Session:
    """One logged-in visitor of a site: its cookie and the token of its pages."""

    def __init__(self, port: int) -> None:
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        self.cookie = ""
        page = self.request("GET", "/login")[1]
        status, _ = self.request("POST", "/login", {"username": "admin", "password": "admin123",
                                                   "csrf_token": self.token_of(page)})
        assert status == 302, status
        self.page = self.request("GET", "/dashboard")[1]
        self.token = self.token_of(self.page)

    @staticmethod
    def token_of(page: str) -> str:
        found = TOKEN.search(page)
        return found.group(1) or found.group(2)

    def request(self, method: str, path: str, form: dict | None = None) -> tuple[int, str]:
        headers = {"Cookie": self.cookie} if self.cookie else {}
        body = urllib.parse.urlencode(form) if form is not None else None
        if body is not None:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        self.conn.request(method, path, body, headers)
        response = self.conn.getresponse()
        data = response.read().decode()
        cookie = response.getheader("Set-Cookie")
        if cookie:
            self.cookie = cookie.split(";", 1)[0]
        return response.status, data


#: A press that leaves the visitor on the page: adding a student without a name
#: (the business function answers "请输入学生姓名"), with the page's hook run.
PRESS = {"page": "dashboard", "key": "添加学生", "student_name": "", "student_age": ""}

WRK_PAGES = """local sessions = {sessions}
local count = 0
function setup(thread)
  count = count + 1
  thread:set("id", count)
end
function init(args)
  local s = sessions[(id - 1) % #sessions + 1]
  cookie = s[1]
  press = s[2]
  n = 0
end
function request()
  n = n + 1
  if {round_trip} and n % 2 == 1 then
    return wrk.format("POST", "/dashboard", {{["Cookie"] = cookie,
      ["Content-Type"] = "application/x-www-form-urlencoded"}}, press)
  end
  return wrk.format("GET", "/dashboard", {{["Cookie"] = cookie}})
end
"""


def round_trips(port: int, sessions: list[Session], seconds: float) -> dict:
    """Press round trips (POST, redirect, GET), one thread per visitor: round trips
    per second and the latency of a whole round trip."""

    def visitor(s: Session) -> Callable[[], bool]:
        form = {**PRESS, "csrf_token": s.token}

        def once() -> bool:
            status, _ = s.request("POST", "/dashboard", form)
            shown, _ = s.request("GET", "/dashboard")
            return status == 303 and shown == 200

        return once

    return time_loops(seconds, [visitor(s) for s in sessions])


def lua_sessions(sessions: list[Session]) -> str:
    def quoted(text: str) -> str:
        return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'

    rows = [f"{{{quoted(s.cookie)}, {quoted(urllib.parse.urlencode({**PRESS, 'csrf_token': s.token}))}}}"
            for s in sessions]
    return "{" + ", ".join(rows) + "}"


def measure_pages(root: Path, args: argparse.Namespace) -> dict[str, dict]:
    layout = write_pages_layout(root)
    part = args.seconds / 3
    proc, port = start_site("site_app", layout, args.workers)
    results = {}
    try:
        sessions = [Session(port) for _ in range(args.connections)]
        floor_page = root / "floor.html"
        floor_page.write_text(sessions[0].page, encoding="utf-8")
        if shutil.which("wrk"):
            view = WRK_PAGES.format(sessions=lua_sessions(sessions), round_trip="false")
            results["page view"] = run_wrk(port, "/dashboard", part, args.connections, view, {})
            press = WRK_PAGES.format(sessions=lua_sessions(sessions), round_trip="true")
            results["press round trip (wrk, per request)"] = run_wrk(port, "/dashboard", part, args.connections,
                                                                     press, {})
        else:
            results["page view"] = run_python_client(port, "/dashboard", part, args.connections, "GET",
                                                     {"Cookie": sessions[0].cookie})
        results["press round trip"] = round_trips(port, [Session(port) for _ in range(args.connections)], part)
    finally:
        proc.terminate()
        proc.wait(timeout=20)
    proc, port = start_site("floor_app", layout, args.workers, VANTREL_FLOOR_PAGE=str(floor_page))
    try:
        if shutil.which("wrk"):
            results["floor: the same bytes"] = run_wrk(port, "/dashboard", part, args.connections, None, {})
        else:
            results["floor: the same bytes"] = run_python_client(port, "/dashboard", part, args.connections,
                                                                 "GET", {})
    finally:
        proc.terminate()
        proc.wait(timeout=20)
    return results


# --- the store on PostgreSQL and several hosts ----------------------------------------------

SECRET = "load-test-shared-secret-" + "z" * 40


def write_store_layout(root: Path, name: str) -> Path:
    """The login load's layout for one host: its own data root."""
    layout = json.loads((root / "gui_layout.json").read_text(encoding="utf-8"))
    layout["database"]["data_root"] = str(root / name)
    layout["web"] = {"csrf": True}
    layout["auth_forms"]["register"] = {"title": "注册", "fields": layout["auth_forms"]["login"]["fields"]}
    path = root / name / "gui_layout.json"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(layout, ensure_ascii=False), encoding="utf-8")
    return path


def login_script(session: "Session") -> str:
    form = urllib.parse.urlencode({"username": "admin", "password": "admin123", "csrf_token": session.token})
    return (f'wrk.method = "POST"\nwrk.body = "{form}"\n'
            f'wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"\n'
            f'wrk.headers["Cookie"] = "{session.cookie}"\n')


class Anonymous(Session):
    """A visitor that has only seen the login page: its cookie and the page's token."""

    def __init__(self, port: int) -> None:  # noqa: super().__init__ would log in
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        self.cookie = ""
        self.token = self.token_of(self.request("GET", "/login")[1])


def drive(ports: list[int], seconds: float, connections: int) -> dict:
    """Logins on every port at once (the connections shared out); the rates add up."""
    results: list[dict] = []

    def one(port: int) -> None:
        results.append(run_wrk(port, "/login", seconds, max(1, connections // len(ports)),
                               login_script(Anonymous(port)), {}))

    threads = [threading.Thread(target=one, args=(port,)) for port in ports]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return {"rps": sum(r["rps"] for r in results), "p50": max(r["p50"] for r in results),
            "p99": max(r["p99"] for r in results), "errors": sum(r["errors"] for r in results)}


def check_two_hosts(ports: list[int]) -> list[str]:
    """What two hosts on one database must agree on; the failures, if any."""
    problems = []
    visitor = Anonymous(ports[0])
    status, _ = visitor.request("POST", "/login", {"username": "admin", "password": "admin123",
                                                  "csrf_token": visitor.token})
    other = http.client.HTTPConnection("127.0.0.1", ports[1], timeout=10)
    other.request("GET", "/dashboard", headers={"Cookie": visitor.cookie})
    if status != 302 or other.getresponse().status != 200:
        problems.append("a session made on one host is not valid on the other")
    outcomes: list[int] = []

    def register(port: int, name: str) -> None:
        v = Anonymous(port)
        v.request("GET", "/register")
        page = v.request("GET", "/register")[1]
        status, _ = v.request("POST", "/register", {"username": name, "password": "pw-1234567",
                                                   "csrf_token": v.token_of(page)})
        outcomes.append(status)

    threads = [threading.Thread(target=register, args=(ports[i % 2], f"both-{i // 2}")) for i in range(40)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if outcomes.count(302) != 20:
        problems.append(f"registrations through both hosts: {outcomes.count(302)} of 20 names registered once")
    for i in range(5):
        v = Anonymous(ports[i % 2])
        v.request("POST", "/login", {"username": "counted", "password": "wrong", "csrf_token": v.token})
    answers = []
    for port in ports:
        v = Anonymous(port)
        answers.append(v.request("POST", "/login", {"username": "counted", "password": "wrong",
                                                   "csrf_token": v.token})[0])
    if answers != [429, 429]:
        problems.append(f"failed logins through both hosts do not add up: {answers}")
    return problems


def measure_stores(root: Path, args: argparse.Namespace) -> tuple[dict[str, dict], list[str]]:
    sys.path.insert(0, str(HERE.parent / "tests"))
    import pgcluster

    reason = pgcluster.unavailable()
    if reason:
        print(f"\nskipping the PostgreSQL scenarios: {reason}")
        return {}, []
    part = args.seconds / 3
    results: dict[str, dict] = {}
    problems: list[str] = []
    cluster = pgcluster.Cluster().start()
    try:
        url = cluster.create_database("load")
        proc, port = start_site("site_app", write_store_layout(root, "sqlite"), args.workers,
                                VANTREL_SECRET_KEY=SECRET)
        try:
            results["SQLite, one host"] = drive([port], part, args.connections)
        finally:
            proc.terminate()
            proc.wait(timeout=20)
        shared = {"VANTREL_DATABASE_URL": url, "VANTREL_SECRET_KEY": SECRET}
        proc, port = start_site("site_app", write_store_layout(root, "pg-one"), args.workers, **shared)
        try:
            results["PostgreSQL, one host"] = drive([port], part, args.connections)
        finally:
            proc.terminate()
            proc.wait(timeout=20)
        hosts = [start_site("site_app", write_store_layout(root, f"pg-host-{i}"), max(1, args.workers // 2), **shared)
                 for i in range(2)]
        try:
            ports = [port for _, port in hosts]
            problems = check_two_hosts(ports)
            results["PostgreSQL, two hosts"] = drive(ports, part, args.connections)
        finally:
            for proc, _ in hosts:
                proc.terminate()
                proc.wait(timeout=20)
    finally:
        cluster.stop()
    return results, problems


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

    pages = measure_pages(root, args)
    print(f"\nThe layout's pages (the example), {args.connections} visitors, one per connection")
    print(f"  {'scenario':<40}{'req/s':>10}{'p50 ms':>9}{'p99 ms':>9}{'errors':>8}")
    for name, r in pages.items():
        print(f"  {name:<40}{r['rps']:>10.0f}{r['p50']:>9.2f}{r['p99']:>9.2f}{r['errors']:>8}")
    share = pages["page view"]["rps"] / pages["floor: the same bytes"]["rps"]
    p99 = pages["press round trip"]["p99"]
    page_errors = sum(r["errors"] for r in pages.values())
    print(f"  page view at {share:.2f} of the floor's requests per second (aim: 0.7); "
          f"press round trip p99 {p99:.1f} ms (aim: under 20 ms)")
    failed = failed or page_errors > 0 or share < 0.7 or p99 >= 20

    stores, problems = measure_stores(root, args)
    if stores:
        print(f"\nLogins (POST /login), {args.connections} connections; two hosts: "
              f"{max(1, args.workers // 2)} workers each")
        print(f"  {'store':<40}{'req/s':>10}{'p50 ms':>9}{'p99 ms':>9}{'errors':>8}")
        for name, r in stores.items():
            print(f"  {name:<40}{r['rps']:>10.0f}{r['p50']:>9.2f}{r['p99']:>9.2f}{r['errors']:>8}")
        for problem in problems:
            print(f"  FAILED: {problem}")
        if not problems:
            print("  two hosts: a session of one valid on the other, registrations never duplicated, "
                  "failed logins added up")
        failed = failed or bool(problems) or any(r["errors"] for r in stores.values())
    return 1 if failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
