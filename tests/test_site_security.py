"""The site `vantrel-app web` and the WSGI factory serve, secure by default:
CSRF tokens on every form, session cookies, security headers, login
throttling; the library keeps its designed behaviour unless told otherwise."""

import json
import os
import re
import socket
import subprocess
import sys
import time

import pytest
from web_support import USERS, FormClient, Visitor, csrf_token

flask = pytest.importorskip("flask")

from vantrel_app_plugin.calvet import JsonAppPluginWeb  # noqa: E402
from vantrel_soft.website import CONTENT_SECURITY_POLICY, THROTTLED, create_site  # noqa: E402

FIELDS = [{"name": "username", "label": "用户名", "type": "text"},
          {"name": "password", "label": "密码", "type": "password"}]
LAYOUT = {
    "title": "安全站点",
    "database": {"name": "secure", "tables": [USERS]},
    "auth": {"seed_users": [{"username": "admin", "password": "admin123"}], "min_password_length": 8},
    "auth_forms": {"login": {"title": "登录", "fields": FIELDS}, "register": {"title": "注册", "fields": FIELDS}},
}


@pytest.fixture
def make_layout(tmp_path, write_json, monkeypatch):
    monkeypatch.delenv("CALC_WS_ROOT", raising=False)

    def make(**web):
        doc = json.loads(json.dumps(LAYOUT))
        doc["database"]["data_root"] = str(tmp_path)
        doc["web"] = web
        return write_json(tmp_path / "site" / "gui_layout.json", doc)

    return make


@pytest.fixture
def make_site(make_layout):
    def make(**web):
        return create_site(make_layout(**web))

    return make


def user_of(client):
    with client.session() as session:
        return session.get("user")


def accounts(app):
    with app.extensions["vantrel_site"].connect() as conn:
        return [row[0] for row in conn.execute("SELECT username FROM users ORDER BY id")]


# --- CSRF -------------------------------------------------------------------------------------


def logged_in(client):
    client.post("/login", username="admin", password="admin123")
    return client


@pytest.mark.parametrize("form", ["login", "register", "logout"])
@pytest.mark.parametrize("token", ["none", "other session", "expired", "right"])
def test_forms_without_the_session_token_are_refused_and_change_nothing(make_site, monkeypatch, form, token):
    app = make_site()
    client = FormClient(app)
    other = FormClient(app)
    if form == "logout":
        logged_in(client)
    path = {"login": "/login", "register": "/register", "logout": "/logout"}[form]
    fields = {"login": {"username": "admin", "password": "admin123"},
              "register": {"username": "newcomer", "password": "long enough"}, "logout": {}}[form]
    sent = {"none": "", "other session": csrf_token(other.get("/login").text),
            "right": True}.get(token)
    if token == "expired":
        sent = csrf_token(client.get(path).text)
        import itsdangerous.timed

        later = time.time() + 3661
        monkeypatch.setattr(itsdangerous.timed.time, "time", lambda: later)
    answer = client.post(path, token=sent, **fields)
    if token == "right":
        assert answer.status_code == 302
    else:
        assert answer.status_code == 400 and "表单已过期，请刷新页面后重试" in answer.text
        assert "csrf_token" not in answer.text or form == "logout"
    monkeypatch.undo()
    expected_user = {"login": token == "right", "register": False, "logout": token != "right"}[form]
    assert (user_of(client) is not None) is expected_user
    assert ("newcomer" in accounts(app)) is (form == "register" and token == "right")


def library(layout):
    web = JsonAppPluginWeb(layout)
    web.init_database()
    return web.create_flask_app()


def test_the_library_checks_tokens_only_when_asked(make_layout):
    plain = library(make_layout())
    answer = plain.test_client().post("/login", data={"username": "admin", "password": "admin123"})
    assert answer.status_code == 302 and "csrf_token" not in plain.test_client().get("/login").text
    checked = library(make_layout(csrf=True))
    assert checked.test_client().post("/login", data={"username": "admin", "password": "x"}).status_code == 400
    assert FormClient(checked).post("/login", username="admin", password="admin123").status_code == 302


def test_csrf_can_be_turned_off_for_the_site(make_site):
    app = make_site(csrf=False)
    answer = app.test_client().post("/login", data={"username": "admin", "password": "admin123"})
    assert answer.status_code == 302


def test_a_login_replaces_the_whole_session(make_site):
    client = FormClient(make_site())
    with client.session() as session:
        session["planted"] = "by someone else"
    logged_in(client)
    with client.session() as session:
        assert "planted" not in session and session["user"]["username"] == "admin"


# --- cookies and headers ------------------------------------------------------------------------

HEADERS = {"X-Frame-Options": "DENY", "X-Content-Type-Options": "nosniff", "Referrer-Policy": "same-origin"}


@pytest.mark.parametrize("secure", [False, True])
def test_every_route_answers_with_the_security_headers_and_safe_cookies(make_site, secure):
    app = make_site(cookie_secure=secure)
    base = "https://localhost" if secure else "http://localhost"
    client = app.test_client()
    token = csrf_token(client.get("/login", base_url=base).text)
    client.post("/login", data={"username": "admin", "password": "admin123", "csrf_token": token}, base_url=base,
                headers={"Referer": f"{base}/login"})  # over HTTPS the token must come from the site's own page
    routes = [r.rule for r in app.url_map.iter_rules() if "GET" in r.methods]
    assert {"/", "/login", "/register", "/logout", "/dashboard", "/static/vantrel/bootstrap.min.css"} <= set(routes)
    cookies = []
    for rule in routes + ["/no-such-page"]:
        answer = client.get(rule, base_url=base)
        assert answer.status_code in (200, 302, 404), rule
        for name, value in HEADERS.items():
            assert answer.headers[name] == value, (rule, name)
        policy = dict(part.strip().split(" ", 1) for part in answer.headers["Content-Security-Policy"].split(";"))
        assert policy == CONTENT_SECURITY_POLICY, rule
        cookies += answer.headers.getlist("Set-Cookie")
    assert client.get("/dashboard", base_url=base).status_code == 200  # the session held on every route
    for cookie in cookies:
        assert "HttpOnly" in cookie and "SameSite=Lax" in cookie
        assert ("; Secure" in cookie) is secure
    page = client.get("/login", base_url=base).text
    assert not re.search(r"(src|href)=['\"]https?://", page)  # nothing from another origin


def test_the_library_cookie_is_lax_and_http_only_too(make_layout):
    app = library(make_layout())
    answer = app.test_client().post("/login", data={"username": "admin", "password": "admin123"})
    cookie = answer.headers["Set-Cookie"]
    assert "HttpOnly" in cookie and "SameSite=Lax" in cookie and "Secure" not in cookie


# --- login throttling -----------------------------------------------------------------------


class Clock:
    def __init__(self):
        self.now = 1_900_000_000.0

    def __call__(self):
        return self.now


@pytest.fixture
def throttled(make_site):
    app = make_site()
    clock = Clock()
    app.extensions["vantrel_site"].throttle.clock = clock
    return app, clock


def attempt(client, name, password, address="10.0.0.1"):
    return client.client.post("/login", data={"username": name, "password": password,
                                              "csrf_token": csrf_token(client.get("/login").text)},
                              environ_base={"REMOTE_ADDR": address})


def test_the_sixth_failure_for_a_name_waits_whatever_the_password(throttled):
    app, clock = throttled
    client = FormClient(app)
    for _ in range(5):
        assert attempt(client, "admin", "wrong").status_code == 200
    refused = attempt(client, "admin", "admin123")
    assert refused.status_code == 429 and THROTTLED in refused.text
    assert int(refused.headers["Retry-After"]) == 900
    assert user_of(client) is None
    assert attempt(client, " admin ", "admin123").status_code == 429  # the name as the store compares it
    assert attempt(client, "Admin", "wrong").status_code == 200      # another name
    clock.now += 600
    assert int(attempt(client, "admin", "admin123").headers["Retry-After"]) == 300
    clock.now += 301  # the window has passed
    assert attempt(client, "admin", "admin123").status_code == 302


def test_unknown_and_known_names_are_answered_alike(make_site):
    app = make_site(csrf=False)
    app.extensions["vantrel_site"].throttle.clock = Clock()
    client = app.test_client()

    def answers(name):
        out = []
        for _ in range(7):
            r = client.post("/login", data={"username": name, "password": "wrong"})
            out.append((r.status_code, r.get_data(), r.headers.get("Retry-After")))
        return out

    known, unknown = answers("admin"), answers("nobody-by-this-name")
    assert known == unknown and [s for s, _, _ in known] == [200] * 5 + [429] * 2


def test_a_success_clears_the_count(throttled):
    app, _ = throttled
    client = FormClient(app)
    for _ in range(4):
        attempt(client, "admin", "wrong")
    assert attempt(client, "admin", "admin123").status_code == 302
    fresh = FormClient(app)
    for _ in range(4):
        assert attempt(fresh, "admin", "wrong").status_code == 200
    assert attempt(fresh, "admin", "admin123").status_code == 302


def test_the_address_limit(throttled):
    app, clock = throttled
    client = FormClient(app)
    for i in range(100):
        assert attempt(client, f"guess{i}", "wrong", address="10.9.9.9").status_code == 200
    assert attempt(client, "admin", "admin123", address="10.9.9.9").status_code == 429
    assert attempt(client, "admin", "admin123", address="10.9.9.8").status_code == 302
    clock.now += 3601
    assert attempt(FormClient(app), "admin", "admin123", address="10.9.9.9").status_code == 302


def test_throttling_settings(make_site):
    app = make_site(max_failed_logins=0)
    client = FormClient(app)
    assert app.extensions["vantrel_site"].throttle is None
    for _ in range(8):
        assert attempt(client, "admin", "wrong").status_code == 200
    app = make_site(max_failed_logins=2, lockout_seconds=60)
    client = FormClient(app)
    for _ in range(2):
        attempt(client, "admin", "wrong")
    assert attempt(client, "admin", "admin123").headers["Retry-After"] in ("59", "60")
    for bad in ({"max_failed_logins": -1}, {"max_failed_logins": "5"}, {"lockout_seconds": 0},
                {"proxy_hops": True}):
        with pytest.raises(ValueError, match="web\\."):
            make_site(**bad)


@pytest.mark.parametrize("hops, counted_as", [(0, "127.0.0.1"), (1, "203.0.113.7")])
def test_the_client_address_behind_trusted_proxies(make_site, hops, counted_as):
    app = make_site(proxy_hops=hops, csrf=False)
    client = app.test_client()
    for i in range(100):
        client.post("/login", data={"username": f"x{i}", "password": "wrong"},
                    headers={"X-Forwarded-For": "203.0.113.7"}, environ_base={"REMOTE_ADDR": "127.0.0.1"})
    site = app.extensions["vantrel_site"]
    assert site.throttle.retry_after("anyone", counted_as) is not None
    assert site.throttle.retry_after("anyone", "198.51.100.1") is None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_two_server_processes_share_the_counts(make_layout):
    """Two independent servers on one database: the sixth failure is refused by either."""
    pytest.importorskip("waitress")
    layout = make_layout()
    procs, visitors = [], []
    try:
        for _ in range(2):
            port = free_port()
            proc = subprocess.Popen([sys.executable, "-m", "vantrel_app_plugin", "web", str(layout), "--port",
                                     str(port), "--no-reclaim"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True)
            procs.append(proc)
            assert "serving" in proc.stdout.readline()
            visitors.append(Visitor(f"http://127.0.0.1:{port}"))
        deadline = time.time() + 30
        while any(v.fetch("/login")[0] != 200 for v in visitors):
            assert time.time() < deadline
            time.sleep(0.1)
        for i in range(5):
            assert visitors[i % 2].post("/login", username="admin", password="wrong")[0] == 200
        for visitor in visitors:
            status, page, headers = visitor.post("/login", username="admin", password="admin123")
            assert status == 429 and THROTTLED in page and int(headers["Retry-After"]) > 0
    finally:
        for proc in procs:
            proc.terminate()
            proc.wait(timeout=10)


# --- registration and passwords ---------------------------------------------------------------


@pytest.mark.parametrize("password, outcome", [
    ("short", (False, "密码长度至少为 8 位")),
    ("1234567", (False, "密码长度至少为 8 位")),
    ("12345678", (True, "注册成功")),
    ("密码密码密码密码", (True, "注册成功")),  # characters, not bytes
    (" 123456 ", (True, "注册成功")),         # as typed, spaces included
])
def test_minimum_password_length(make_layout, password, outcome):
    web = JsonAppPluginWeb(make_layout())
    web.init_database()
    assert web.register_user({"username": f"u{len(password)}{password.strip()[:1]}", "password": password}) == outcome


@pytest.mark.parametrize("setting", [0, -3, "8", 8.0, True])
def test_a_bad_minimum_length_is_refused(tmp_path, write_json, setting):
    from vantrel_app_plugin.login.keldra import JsonAppPlugin

    store = JsonAppPlugin(write_json(tmp_path / "l.json", {"auth": {"min_password_length": setting}}))
    with pytest.raises(ValueError, match="auth.min_password_length 必须是正整数"):
        store.register_user({"username": "u", "password": "p" * 20})


def test_unknown_names_cost_a_login_as_much_as_known_ones(tmp_path, write_json):
    """With salted passwords, a name without an account is checked as long as a wrong password."""
    from vantrel_app_plugin.login.keldra import JsonAppPlugin

    doc = json.loads(json.dumps(LAYOUT))
    doc["database"]["data_root"] = str(tmp_path)
    doc["auth"].update(hash="pbkdf2_sha256", pbkdf2_iterations=200_000)
    store = JsonAppPlugin(write_json(tmp_path / "l.json", doc))
    store.init_database()

    def seconds(name):
        start = time.perf_counter()
        assert store.login_user({"username": name, "password": "wrong"}) == (False, "用户名或密码错误")
        return time.perf_counter() - start

    known = min(seconds("admin") for _ in range(3))
    unknown = min(seconds("nobody") for _ in range(3))
    assert unknown > known / 2


# --- the stylesheet ships with the package ------------------------------------------------------


def test_the_stylesheet_is_served_from_the_installed_package(make_site):
    answer = make_site().test_client().get("/static/vantrel/bootstrap.min.css")
    assert answer.status_code == 200 and answer.mimetype == "text/css"
    assert b"Bootstrap v5.1.3" in answer.get_data()[:200]


@pytest.mark.skipif(os.environ.get("VANTREL_SKIP_WHEEL_TEST") == "1", reason="VANTREL_SKIP_WHEEL_TEST=1")
def test_an_isolated_build_gives_a_styled_site(tmp_path):
    """`pip wheel .` (an isolated build, as users install), then the wheel with its web extra in a
    fresh virtual environment: the stylesheet route answers 200."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    wheels = tmp_path / "wheels"
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-q", "-w", str(wheels), root],
                   check=True, timeout=1800)
    wheel = next(wheels.glob("vantrel_app_plugin-*.whl"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = venv / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", f"{wheel}[web]"], check=True, timeout=900)
    layout = tmp_path / "site" / "gui_layout.json"
    layout.parent.mkdir()
    layout.write_text(json.dumps({"database": {"data_root": str(tmp_path)}}), encoding="utf-8")
    probe = ("import sys; from vantrel_app_plugin.calvet import create_app; "
             "c = create_app(sys.argv[1]).test_client(); r = c.get('/static/vantrel/bootstrap.min.css'); "
             "print(r.status_code, r.mimetype, b'Bootstrap v5.1.3' in r.get_data()[:200])")
    done = subprocess.run([str(python), "-c", probe, str(layout)], capture_output=True, text=True, timeout=120,
                          cwd=tmp_path)
    assert done.stdout.split() == ["200", "text/css", "True"], done.stderr
