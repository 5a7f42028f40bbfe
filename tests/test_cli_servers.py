"""`vantrel-app web` and `vantrel-app repl` as real processes: an HTTP client
on the site, lines on standard input, two websocket clients."""

import json
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from http.cookiejar import CookieJar

import pytest


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(*args, ready):
    proc = subprocess.Popen([sys.executable, "-m", "vantrel_app_plugin", *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if ready not in line:
        proc.kill()
        pytest.fail(f"did not start: {line!r} {proc.stderr.read()[-2000:]}")
    return proc


def stop(proc):
    proc.terminate()
    proc.wait(timeout=10)


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


def test_web_site(project):
    pytest.importorskip("flask")
    port = free_port()
    proc = start("web", project, "--port", port, ready=f"http://127.0.0.1:{port}/login")
    try:
        opener = urllib.request.build_opener(NoRedirect, urllib.request.HTTPCookieProcessor(CookieJar()))
        base = f"http://127.0.0.1:{port}"

        def fetch(path, **form):
            data = urllib.parse.urlencode(form).encode() if form else None
            try:
                r = opener.open(base + path, data=data)
                return r.status, r.read().decode()
            except urllib.error.HTTPError as e:
                return e.code, e.headers.get("Location")

        for _ in range(50):  # the server is up once the port answers
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                time.sleep(0.1)
        status, page = fetch("/login", username="admin", password="wrong")
        assert status == 200 and "alert-danger" in page and "用户名或密码错误" in page
        status, page = fetch("/register", username="admin", password="x", confirm_password="x")
        assert status == 200 and "用户名已存在" in page
        assert fetch("/login", username="admin", password="admin123") == (302, "/dashboard")
        status, page = fetch("/dashboard")
        assert status == 200 and "当前用户: admin" in page and "登录成功" in page and "/logout" in page
        assert fetch("/logout") == (302, "/login")
        assert fetch("/dashboard") == (302, "/login")
        # A second site on the same port without reclaiming: one line, exit status 1.
        busy = subprocess.run([sys.executable, "-m", "vantrel_app_plugin", "web", str(project), "--port",
                               str(port), "--no-reclaim"], capture_output=True, text=True, timeout=60)
        assert busy.returncode == 1 and busy.stdout == ""
        assert busy.stderr.startswith(f"vantrel-app: 端口 127.0.0.1:{port} 仍被占用") and busy.stderr.count("\n") == 1
    finally:
        stop(proc)


REPL_LINES = """\
# a comment, then a blank line

去注册
mc entry bob label_frame_entry pw ttk_entry pw
注册
mc entry bob label_frame_entry pw
登录
添加学生
没有的键
{"action": "reset"}
quit
首页
"""


def test_repl_on_standard_input(project):
    done = subprocess.run([sys.executable, "-m", "vantrel_app_plugin", "repl", str(project)], input=REPL_LINES,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    pages = [line.split()[0] for line in done.stdout.splitlines() if line.startswith("page=")]
    assert pages == ["page=login", "page=register", "page=register", "page=login", "page=login",
                     "page=dashboard", "page=dashboard", "page=dashboard", "page=login"]
    assert "  entry = 'bob'" in done.stdout and "| 欢迎，bob" in done.stdout
    assert "error: 请先登录" not in done.stdout and "| 未配置的按键: 没有的键" in done.stdout
    last = [line for line in done.stdout.splitlines() if line.startswith("page=")][-1]
    assert last == "page=login  未登录  | 已复位"  # the reset; nothing after quit


def test_websocket_connections_keep_separate_engines(project):
    client = pytest.importorskip("websockets.sync.client")
    port = free_port()
    proc = start("repl", project, "--ws", port, ready=f"ws://127.0.0.1:{port}")
    try:
        with client.connect(f"ws://127.0.0.1:{port}") as one, client.connect(f"ws://127.0.0.1:{port}") as two:
            one.send("mc entry admin label_frame_entry admin123")
            assert json.loads(one.recv())["changed"]["entry"] == "admin"
            one.send("登录")
            assert json.loads(one.recv())["user"] == "当前用户: admin"
            two.send("display")
            report = json.loads(two.recv())
            assert report["user"] == "未登录" and report["page"] == "login"
            two.send("添加学生")
            assert json.loads(two.recv()) == {"error": "请先登录"}
            one.send("quit")
            with pytest.raises(Exception):
                one.recv(timeout=5)
    finally:
        stop(proc)


@pytest.mark.parametrize("args, blocked, message", [
    (["web"], "flask", "vantrel-app: the web site needs Flask"),
    (["repl", "--ws", "9"], "websockets", "vantrel-app: the websocket REPL needs websockets"),
    (["desktop"], "tkinter", "vantrel-app: the desktop window needs Tk for Python"),
])
def test_missing_optional_dependency_is_one_line(project, args, blocked, message):
    script = (f"import sys; sys.modules[{blocked!r}] = None\n"
              "from vantrel_app_plugin.cli import main\n"
              f"sys.exit(main({[args[0], str(project), *args[1:]]!r}))")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 1 and done.stderr.startswith(message) and done.stderr.count("\n") == 1
