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
from web_support import USERS, Visitor

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
            # The browser runs without the sanitizer runtime a `make test-asan` run preloads.
            env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
            browser = pw.chromium.launch(executable_path=browser_path, args=["--no-sandbox"], env=env)
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


PAGE_ARTIFACTS = ARTIFACTS.parent / "web-pages"


def launch(sync_api, pw):
    # The browser runs without the sanitizer runtime a `make test-asan` run preloads.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    return pw.chromium.launch(executable_path=chromium(), args=["--no-sandbox"], env=env)


def serve_example(project):
    from werkzeug.serving import make_server

    app = calvet.create_app(str(project))  # the example's engine unless VANTREL_ENGINE names another
    server = make_server("127.0.0.1", free_port(), app, threaded=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_port}"


@pytest.fixture
def example_project(tmp_path, monkeypatch):
    monkeypatch.delenv("VANTREL_ENGINE", raising=False)
    layout = json.loads((Path(__file__).resolve().parents[1] / "examples" / "demo" / "gui_layout.json")
                        .read_text(encoding="utf-8"))
    layout["database"]["data_root"] = str(tmp_path)
    layout["auth"]["pbkdf2_iterations"] = 1000
    path = tmp_path / "demo" / "gui_layout.json"
    path.parent.mkdir()
    path.write_text(json.dumps(layout, ensure_ascii=False), encoding="utf-8")
    yield path
    from vantrel_soft import gui_config

    gui_config.use_layout(None)


def test_the_example_pages_in_chromium(example_project):
    """Register, log in, add two students, open the list, go back, log out: what the
    window does, in a browser, without a line of JavaScript."""
    sync_api = pytest.importorskip("playwright.sync_api", reason="Playwright is not installed")
    if chromium() is None:
        pytest.skip("no Chromium installed")
    server, base = serve_example(example_project)
    PAGE_ARTIFACTS.mkdir(parents=True, exist_ok=True)
    try:
        with sync_api.sync_playwright() as pw:
            browser = launch(sync_api, pw)
            page = browser.new_page(java_script_enabled=False)
            requests = []
            page.on("request", lambda r: requests.append(r.url))

            def step(name):
                page.screenshot(path=str(PAGE_ARTIFACTS / f"{name}.png"), full_page=True)

            def shown():
                return page.get_attribute("[data-page]", "data-page")

            page.goto(base + "/register")
            for field, value in (("username", "小红"), ("password", "pw-12345"), ("confirm_password", "pw-12345")):
                page.fill(f"input[name={field}]", value)
            step("1-register")
            page.click("button")
            page.wait_for_url(base + "/login")
            page.fill("input[name=username]", "小红")
            page.fill("input[name=password]", "pw-12345")
            step("2-login")
            page.click("button")
            page.wait_for_url(base + "/dashboard")
            assert shown() == "dashboard" and page.inner_text("#user") == "当前用户: 小红"
            assert page.inner_text("#summary") == "小红 共有 0 名学生"
            step("3-dashboard")
            for name, age in (("张三", "12"), ("李四", "9")):
                page.fill("#student_name", name)
                page.fill("#student_age", age)
                page.click("#btn_add")
                assert shown() == "students" and page.inner_text("#status") == f"已添加学生: {name}"
                page.click("#btn_home")
            page.click("#btn_list")
            assert page.input_value("#student_list") == "张三（12 岁）\n李四（9 岁）"
            step("4-students")
            page.go_back()  # the back button shows a page again; it never presses twice
            page.reload()
            assert shown() == "students"
            page.click("#btn_home")
            assert shown() == "dashboard" and page.inner_text("#summary") == "小红 共有 2 名学生"
            step("5-back-home")
            page.click("#btn_logout")
            page.wait_for_url(base + "/login")
            step("6-logged-out")
            page.goto(base + "/dashboard")
            assert page.url == base + "/login"
            # Styled by the site's own stylesheet: the card has a shadow.
            assert page.eval_on_selector(".card", "e => getComputedStyle(e).boxShadow") != "none"
            browser.close()
        assert all(url.startswith(base) for url in requests), "the pages reached a third party"
    finally:
        server.shutdown()


def test_two_browser_contexts_are_two_visitors(example_project):
    sync_api = pytest.importorskip("playwright.sync_api", reason="Playwright is not installed")
    if chromium() is None:
        pytest.skip("no Chromium installed")
    server, base = serve_example(example_project)
    try:
        with sync_api.sync_playwright() as pw:
            browser = launch(sync_api, pw)
            one, two = browser.new_context().new_page(), browser.new_context().new_page()
            for page, (name, password) in ((one, ("admin", "admin123")), (two, ("guest", "guest-pass"))):
                if name == "guest":
                    page.goto(base + "/register")
                    page.fill("input[name=username]", name)
                    page.fill("input[name=password]", password)
                    page.fill("input[name=confirm_password]", password)
                    page.click("button")
                page.goto(base + "/login")
                page.fill("input[name=username]", name)
                page.fill("input[name=password]", password)
                page.click("button")
                page.wait_for_url(base + "/dashboard")
            one.fill("#student_name", "只属于一")
            one.click("#btn_list")  # navigates without clearing: the value stays in one's engine
            one.click("#btn_home")
            two.reload()
            assert one.input_value("#student_name") == "只属于一" and two.input_value("#student_name") == ""
            assert one.inner_text("#user") == "当前用户: admin" and two.inner_text("#user") == "当前用户: guest"
            two.click("#btn_list")
            one.reload()
            assert one.get_attribute("[data-page]", "data-page") == "dashboard"
            assert two.get_attribute("[data-page]", "data-page") == "students"
            two.click("#btn_students_logout")
            one.reload()
            assert one.inner_text("#user") == "当前用户: admin"
            browser.close()
    finally:
        server.shutdown()
