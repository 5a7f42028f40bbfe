"""The web face served for real: the WSGI factory under gunicorn with two
workers, and a headless Chromium going through register, login, a protected
page and logout (a screenshot per step under build/test-artifacts/web)."""

import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from web_support import USERS, Visitor, csrf_token

pytest.importorskip("flask")

from vantrel_app_plugin import calvet  # noqa: E402

ARTIFACTS = Path(__file__).resolve().parents[1] / "build" / "test-artifacts" / "web"

LAYOUT = {
    "title": "演示站点",
    "database": {"name": "site", "tables": [USERS]},
    "auth": {"seed_users": [{"username": "admin", "password": "admin123"}]},
    "auth_forms": {
        "login": {"title": "登录", "submit_text": "登录",
                  "fields": [{"name": "username", "label": "用户名", "type": "text", "required": True},
                             {"name": "password", "label": "密码", "type": "password", "required": True}],
                  "footer_links": [{"text": "还没有账号？", "href": "/register", "link_text": "注册"}]},
        "register": {"title": "注册", "submit_text": "注册",
                     "fields": [{"name": "username", "label": "用户名", "type": "text", "required": True},
                                {"name": "password", "label": "密码", "type": "password", "required": True}]},
    },
}


@pytest.fixture
def project(tmp_path, write_json, monkeypatch):
    monkeypatch.delenv("CALC_WS_ROOT", raising=False)
    doc = json.loads(json.dumps(LAYOUT))
    doc["database"]["data_root"] = str(tmp_path)
    return write_json(tmp_path / "site" / "gui_layout.json", doc)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(port, proc=None, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if proc is not None and proc.poll() is not None:
            pytest.fail(f"server exited: {proc.stderr.read()[-2000:]}")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.1)
    pytest.fail("server did not start")


def test_factory_under_gunicorn_with_two_workers(project):
    pytest.importorskip("gunicorn")
    port = free_port()
    env = {**os.environ, "VANTREL_LAYOUT": str(project)}
    proc = subprocess.Popen([sys.executable, "-m", "gunicorn", "-w", "2", "-b", f"127.0.0.1:{port}",
                             "vantrel_app_plugin.calvet:create_app()"],
                            env=env, cwd=project.parent, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        wait_for(port, proc)
        visitor = Visitor(f"http://127.0.0.1:{port}")
        assert visitor.fetch("/login")[0] == 200
        assert visitor.fetch("/login", {"username": "admin", "password": "admin123"})[0] == 400  # no token
        assert visitor.post("/login", username="admin", password="admin123")[:2] == (302, "/dashboard")
        # Either worker accepts the session cookie: they share one stored key.
        assert {visitor.fetch("/")[:2] for _ in range(8)} == {(302, "/dashboard")}
    finally:
        proc.terminate()
        proc.wait(timeout=10)


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if path := shutil.which(name):
            return path
    return None


class Home:
    """The engine hook a host adds: a protected home page with the user and a logout link."""

    def mount_web_routes(self, app, web):
        def dashboard():
            user = web.session_user()
            return f"<h1 id='who'>欢迎 {user['username']}</h1><a id='out' href='/logout'>退出</a>"

        app.add_url_rule("/dashboard", "dashboard", web.require_login(dashboard))


def test_browser_session_end_to_end(project):
    sync_api = pytest.importorskip("playwright.sync_api", reason="Playwright is not installed")
    browser_path = chromium()
    if browser_path is None:
        print("skipping the browser test: no Chromium on this machine (.ci/run installs Debian's as root)")
        pytest.skip("no Chromium installed")
    from werkzeug.serving import make_server

    app = calvet.create_app(str(project), engine=Home())
    port = free_port()
    server = make_server("127.0.0.1", port, app, threaded=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    base = f"http://127.0.0.1:{port}"
    try:
        with sync_api.sync_playwright() as pw:
            browser = launch(pw)
            page = browser.new_page()
            requests = []
            page.on("request", lambda r: requests.append(r.url))

            def step(name):
                page.screenshot(path=str(ARTIFACTS / f"{name}.png"), full_page=True)

            page.goto(base + "/register")
            page.fill("input[name=username]", "网页用户")
            page.fill("input[name=password]", "pw-123")
            step("1-register")
            page.click("button")
            page.wait_for_url(base + "/login")
            assert page.title() == "登录 — 演示站点"
            # Styled by the site's own copy of Bootstrap: the card has a shadow.
            assert page.eval_on_selector(".card", "e => getComputedStyle(e).boxShadow") != "none"
            page.fill("input[name=username]", "网页用户")
            page.fill("input[name=password]", "pw-123")
            step("2-login")
            page.click("button")
            page.wait_for_url(base + "/dashboard")
            assert page.inner_text("#who") == "欢迎 网页用户"
            step("3-protected-page")
            page.click("#out")  # a link: the site asks before it logs out, with a form that posts
            assert page.inner_text("#message") == "确定要退出登录吗？"
            step("4-logout")
            page.click("button")
            page.wait_for_url(base + "/login")
            step("5-logged-out")
            page.goto(base + "/dashboard")
            assert page.url == base + "/login"
            browser.close()
        assert all(url.startswith(base) for url in requests), "the pages reached a third party"
    finally:
        server.shutdown()


def launch(pw):
    # The browser runs without the sanitizer runtime a `make test-asan` run preloads.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    return pw.chromium.launch(executable_path=chromium(), args=["--no-sandbox"], env=env)


@pytest.fixture
def browser():
    sync_api = pytest.importorskip("playwright.sync_api", reason="Playwright is not installed")
    if chromium() is None:
        pytest.skip("no Chromium installed")
    with sync_api.sync_playwright() as pw:
        yield launch(pw)  # closed with Playwright


@pytest.fixture
def example_project(tmp_path, write_json, monkeypatch):
    """A copy of the example project, its data in the test's directory, run with the example's engine."""
    monkeypatch.delenv("VANTREL_ENGINE", raising=False)
    layout = json.loads((ARTIFACTS.parents[2] / "examples" / "demo" / "gui_layout.json").read_text(encoding="utf-8"))
    layout["database"]["data_root"] = str(tmp_path)
    layout["auth"]["pbkdf2_iterations"] = 1000  # the example's salted scheme, at a test's pace
    yield write_json(tmp_path / "demo" / "gui_layout.json", layout)
    from vantrel_soft import gui_config

    gui_config.use_layout(None)


@pytest.fixture
def example_site(example_project):
    """The example served in this process: its base URL."""
    from werkzeug.serving import make_server

    server = make_server("127.0.0.1", free_port(), calvet.create_app(str(example_project)), threaded=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_port}"
    server.shutdown()


PAGE_ARTIFACTS = ARTIFACTS.parent / "web-pages"


def shoot(page, name):
    PAGE_ARTIFACTS.mkdir(parents=True, exist_ok=True)
    page.screenshot(path=str(PAGE_ARTIFACTS / f"{name}.png"), full_page=True)


def submit(page, url, shot=None, **fields):
    """Fill the form of the page at ``url`` and press its button (a screenshot ``shot`` in between)."""
    page.goto(url)
    for name, value in fields.items():
        page.fill(f"input[name={name}]", value)
    if shot:
        shoot(page, shot)
    page.click("button")


def page_id(page):
    return page.get_attribute("[data-page]", "data-page")


def test_the_example_pages_in_chromium(browser, example_site):
    """What the window does, in a browser without JavaScript: register, log in, add, list, go back, log out."""
    base, page, requests = example_site, browser.new_page(java_script_enabled=False), []
    page.on("request", lambda r: requests.append(r.url))
    submit(page, base + "/register", "1-register", username="小红", password="pw-12345", confirm_password="pw-12345")
    page.wait_for_url(base + "/login")
    submit(page, base + "/login", "2-login", username="小红", password="pw-12345")
    page.wait_for_url(base + "/dashboard")
    assert page_id(page) == "dashboard" and page.inner_text("#user") == "当前用户: 小红"
    assert page.inner_text("#summary") == "小红 共有 0 名学生"
    shoot(page, "3-dashboard")
    for name, age in (("张三", "12"), ("李四", "9")):
        page.fill("#student_name", name)
        page.fill("#student_age", age)
        page.click("#btn_add")
        assert page_id(page) == "students" and page.inner_text("#status") == f"已添加学生: {name}"
        page.click("#btn_home")
    page.click("#btn_list")
    assert page.input_value("#student_list") == "张三（12 岁）\n李四（9 岁）"
    shoot(page, "4-students")
    page.go_back()  # the back button shows a page again; it never presses twice
    page.reload()
    assert page_id(page) == "students"
    page.click("#btn_home")
    assert page_id(page) == "dashboard" and page.inner_text("#summary") == "小红 共有 2 名学生"
    shoot(page, "5-back-home")
    page.click("#btn_logout")
    page.wait_for_url(base + "/login")
    shoot(page, "6-logged-out")
    page.goto(base + "/dashboard")
    assert page.url == base + "/login"
    # Styled by the site's own stylesheet: the card has a shadow.
    assert page.eval_on_selector(".card", "e => getComputedStyle(e).boxShadow") != "none"
    assert all(url.startswith(base) for url in requests), "the pages reached a third party"


def test_two_browser_contexts_are_two_visitors(browser, example_site):
    base, (one, two) = example_site, (browser.new_context().new_page() for _ in range(2))
    submit(two, base + "/register", username="guest", password="guest-pass", confirm_password="guest-pass")
    two.wait_for_url(base + "/login")
    for page, name, password in ((one, "admin", "admin123"), (two, "guest", "guest-pass")):
        submit(page, base + "/login", username=name, password=password)
        page.wait_for_url(base + "/dashboard")
    one.fill("#student_name", "只属于一")
    one.click("#btn_list")  # navigates without clearing: the value stays in one's engine
    one.click("#btn_home")
    two.reload()
    assert one.input_value("#student_name") == "只属于一" and two.input_value("#student_name") == ""
    assert one.inner_text("#user") == "当前用户: admin" and two.inner_text("#user") == "当前用户: guest"
    two.click("#btn_list")
    one.reload()
    assert (page_id(one), page_id(two)) == ("dashboard", "students")
    two.click("#btn_students_logout")
    one.reload()
    assert one.inner_text("#user") == "当前用户: admin"


def serve(project, port):
    proc = subprocess.Popen([sys.executable, "-m", "vantrel_app_plugin", "web", str(project), "--port", str(port),
                             "--no-reclaim"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert "serving" in proc.stdout.readline()
    wait_for(port, proc)
    return proc


def test_two_server_processes_keep_one_session_and_a_restart_keeps_it(example_project):
    pytest.importorskip("waitress")
    ports = [free_port(), free_port()]
    procs = [serve(example_project, port) for port in ports]
    try:
        one, two = (Visitor(f"http://127.0.0.1:{port}") for port in ports)
        two.opener = one.opener  # one visitor (one set of cookies), served by either process
        assert one.post("/login", username="admin", password="admin123")[:2] == (302, "/dashboard")
        token = csrf_token(two.fetch("/dashboard")[1])
        for where, page, key in ((one, "dashboard", "学生列表"), (two, "students", "首页"), (one, "dashboard", "学生列表")):
            assert where.fetch("/dashboard", {"page": page, "key": key, "csrf_token": token})[:2] == (303, "/dashboard")
        procs[0].terminate()
        procs[0].wait(timeout=10)
        procs[0] = serve(example_project, ports[0])  # a restart
        status, page, _ = one.fetch("/dashboard")
        assert status == 200 and 'data-page="students"' in page
    finally:
        for proc in procs:
            proc.terminate()
            proc.wait(timeout=10)
