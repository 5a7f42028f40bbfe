"""`vantrel-app web` and `vantrel-app repl` as real processes: an HTTP client
on the site, lines on standard input, two websocket clients."""

import json
import socket
import subprocess
import sys
import time
import pytest
from web_support import Visitor


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


def test_web_site(project):
    pytest.importorskip("flask")
    port = free_port()
    proc = start("web", project, "--port", port, ready=f"http://127.0.0.1:{port}/login")
    try:
        visitor = Visitor(f"http://127.0.0.1:{port}")
        for _ in range(50):  # the server is up once the port answers
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                time.sleep(0.1)
        status, page, headers = visitor.post("/login", username="admin", password="wrong")
        assert status == 200 and "alert-danger" in page and "用户名或密码错误" in page
        assert headers["Server"] == "vantrel"  # waitress, not the development server
        status, page, _ = visitor.post("/register", username="admin", password="x" * 8, confirm_password="x" * 8)
        assert status == 200 and "用户名已存在" in page
        assert visitor.post("/login", username="admin", password="admin123")[:2] == (302, "/dashboard")
        status, page, _ = visitor.fetch("/dashboard")
        assert status == 200 and "当前用户: admin" in page and "登录成功" in page and 'data-page="dashboard"' in page
        assert visitor.fetch("/logout", {})[0] == 400  # a logout without the token is refused
        assert visitor.post("/logout")[:2] == (302, "/login")
        assert visitor.fetch("/dashboard")[:2] == (302, "/login")
        # A second site on the same port without reclaiming: one line, exit status 1.
        busy = subprocess.run([sys.executable, "-m", "vantrel_app_plugin", "web", str(project), "--port",
                               str(port), "--no-reclaim"], capture_output=True, text=True, timeout=60)
        assert busy.returncode == 1 and busy.stdout == ""
        assert busy.stderr.startswith(f"vantrel-app: 端口 127.0.0.1:{port} 仍被占用") and busy.stderr.count("\n") == 1
    finally:
        stop(proc)
    assert "development server" not in proc.stderr.read()


REPL_LINES = """\
# a comment, then a blank line

去注册
mc entry bob label_frame_entry password1 ttk_entry password1
注册
mc entry bob label_frame_entry password1
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
