"""The site `vantrel-app web` and the WSGI factory serve, secure by default: CSRF tokens on every form, session
cookies, security headers, login throttling; the library keeps its designed behaviour unless told otherwise."""

import os
import re
import socket
import subprocess
import sys
import time

import pytest
from web_support import USERS, FormClient, Visitor, csrf_token

flask = pytest.importorskip("flask")

import itsdangerous.timed  # noqa: E402
from vantrel_app_plugin.calvet import JsonAppPluginWeb  # noqa: E402
from vantrel_app_plugin.login.keldra import JsonAppPlugin  # noqa: E402
from vantrel_soft.website import CONTENT_SECURITY_POLICY, THROTTLED, create_site  # noqa: E402

FIELDS = [{"name": "username", "label": "用户名", "type": "text"}, {"name": "password", "label": "密码", "type": "password"}]
ADMIN = {"username": "admin", "password": "admin123"}
LAYOUT = {"title": "安全站点", "database": {"name": "secure", "tables": [USERS]},
          "auth": {"seed_users": [ADMIN], "min_password_length": 8},
          "auth_forms": {"login": {"title": "登录", "fields": FIELDS}, "register": {"title": "注册", "fields": FIELDS}}}


@pytest.fixture
def make_layout(tmp_path, write_json, monkeypatch):
    monkeypatch.delenv("CALC_WS_ROOT", raising=False)

    def make(auth=None, **web):
        doc = dict(LAYOUT, web=web, database=dict(LAYOUT["database"], data_root=str(tmp_path)),
                   auth={**LAYOUT["auth"], **(auth or {})})
        return write_json(tmp_path / "site" / "gui_layout.json", doc)

    return make


@pytest.fixture
def make_site(make_layout):
    return lambda **web: create_site(make_layout(**web))


def library(layout):
    web = JsonAppPluginWeb(layout)
    web.init_database()
    return web.create_flask_app()


FORMS = {"login": ADMIN, "register": {"username": "newcomer", "password": "long enough"}, "logout": {}}


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("token", ["none", "other session", "expired", "right"])
def test_forms_without_the_session_token_are_refused_and_change_nothing(make_site, monkeypatch, form, token):
    app = make_site()
    client = FormClient(app)
    if form == "logout":
        client.post("/login", **ADMIN)
    with client.session() as session:
        session["planted"] = "by someone else"
    sent = {"none": "", "other session": csrf_token(FormClient(app).get("/login").text), "right": True}.get(token)
    if token == "expired":
        sent = csrf_token(client.get(f"/{form}").text)
        later = time.time() + 3661
        monkeypatch.setattr(itsdangerous.timed.time, "time", lambda: later)
    answer = client.post(f"/{form}", token=sent, **FORMS[form])
    if token == "right":
        assert answer.status_code == 302
    else:
        assert answer.status_code == 400 and "表单已过期，请刷新页面后重试" in answer.text
        assert "csrf_token" not in answer.text or form == "logout"
    monkeypatch.undo()
    with client.session() as session:  # a refused form leaves the session as it was; a login replaces all of it
        assert (session.get("user") is not None) is {"login": token == "right", "register": False,
                                                      "logout": token != "right"}[form]
        if token != "right" or form == "login":
            assert ("planted" in session) is (token != "right")
    with app.extensions["vantrel_site"].connect() as conn:
        names = [row[0] for row in conn.execute("SELECT username FROM users")]
    assert ("newcomer" in names) is (form == "register" and token == "right")


@pytest.mark.parametrize("factory, web, checked", [
    (library, {}, False), (library, {"csrf": True}, True), (create_site, {"csrf": False}, False)])
def test_tokens_are_checked_only_where_asked_and_cookies_are_lax_and_http_only(make_layout, factory, web, checked):
    app = factory(make_layout(**web))
    assert app.test_client().post("/login", data=ADMIN).status_code == (400 if checked else 302)
    assert ("csrf_token" in app.test_client().get("/login").text) is checked
    answer = FormClient(app).post("/login", **ADMIN)
    assert answer.status_code == 302
    assert "HttpOnly" in answer.headers["Set-Cookie"] and "SameSite=Lax" in answer.headers["Set-Cookie"]
    assert "Secure" not in answer.headers["Set-Cookie"]


HEADERS = {"X-Frame-Options": "DENY", "X-Content-Type-Options": "nosniff", "Referrer-Policy": "same-origin"}
STYLESHEET = "/static/vantrel/bootstrap.min.css"


@pytest.mark.parametrize("secure", [False, True])
def test_every_route_answers_with_the_security_headers_and_safe_cookies(make_site, secure):
    app = make_site(cookie_secure=secure)
    base = "https://localhost" if secure else "http://localhost"
    client = app.test_client()
    token = csrf_token(client.get("/login", base_url=base).text)
    client.post("/login", data={**ADMIN, "csrf_token": token}, base_url=base,
                headers={"Referer": f"{base}/login"})  # over HTTPS the token must come from the site's own page
    routes = [r.rule for r in app.url_map.iter_rules() if "GET" in r.methods]
    assert {"/", "/login", "/register", "/logout", "/dashboard", STYLESHEET} <= set(routes)
    cookies = []
    for rule in routes + ["/no-such-page"]:
        answer = client.get(rule, base_url=base)
        assert answer.status_code in (200, 302, 404), rule
        assert {name: answer.headers[name] for name in HEADERS} == HEADERS, rule
        policy = dict(part.strip().split(" ", 1) for part in answer.headers["Content-Security-Policy"].split(";"))
        assert policy == CONTENT_SECURITY_POLICY, rule
        cookies += answer.headers.getlist("Set-Cookie")
    assert client.get("/dashboard", base_url=base).status_code == 200  # the session held on every route
    for cookie in cookies:
        assert "HttpOnly" in cookie and "SameSite=Lax" in cookie and ("; Secure" in cookie) is secure
    assert not re.search(r"(src|href)=['\"]https?://", client.get("/login", base_url=base).text)  # all same-origin
    stylesheet = client.get(STYLESHEET, base_url=base)  # shipped in the installed package
    assert stylesheet.status_code == 200 and stylesheet.mimetype == "text/css"
    assert b"Bootstrap v5.1.3" in stylesheet.get_data()[:200]


def attempt(client, name, password, address="10.0.0.1"):
    token = csrf_token(client.get("/login").text)
    return client.client.post("/login", data={"username": name, "password": password, "csrf_token": token},
                              environ_base={"REMOTE_ADDR": address})


def test_the_sixth_failure_for_a_name_waits_whatever_the_password(make_site):
    app, now = make_site(), [1_900_000_000.0]
    app.extensions["vantrel_site"].throttle.clock = lambda: now[0]
    for client in (FormClient(app), FormClient(app)):  # four failures, a success, four more: the success cleared
        assert [attempt(client, "admin", "wrong").status_code for _ in range(4)] == [200] * 4
        assert attempt(client, "admin", "admin123").status_code == 302
    client = FormClient(app)
    assert [attempt(client, "admin", "wrong").status_code for _ in range(5)] == [200] * 5
    refused = attempt(client, "admin", "admin123")
    assert refused.status_code == 429 and THROTTLED in refused.text and int(refused.headers["Retry-After"]) == 900
    with client.session() as session:
        assert session.get("user") is None
    assert attempt(client, " admin ", "admin123").status_code == 429  # the name as the store compares it
    assert attempt(client, "Admin", "wrong").status_code == 200      # another name
    now[0] += 600
    assert int(attempt(client, "admin", "admin123").headers["Retry-After"]) == 300
    now[0] += 301  # the window has passed
    assert attempt(client, "admin", "admin123").status_code == 302


def test_unknown_and_known_names_are_answered_alike(make_site):
    app = make_site(csrf=False)
    app.extensions["vantrel_site"].throttle.clock = lambda: 1_900_000_000.0
    client = app.test_client()

    def answers(name):
        posted = [client.post("/login", data={"username": name, "password": "wrong"}) for _ in range(7)]
        return [(r.status_code, r.get_data(), r.headers.get("Retry-After")) for r in posted]

    known, unknown = answers("admin"), answers("nobody-by-this-name")
    assert known == unknown and [s for s, _, _ in known] == [200] * 5 + [429] * 2


def test_throttling_settings(make_site):
    client = FormClient(make_site(max_failed_logins=0))  # no throttling
    assert [attempt(client, "admin", "wrong").status_code for _ in range(8)] == [200] * 8
    client = FormClient(make_site(max_failed_logins=2, lockout_seconds=60))
    for _ in range(2):
        attempt(client, "admin", "wrong")
    assert attempt(client, "admin", "admin123").headers["Retry-After"] in ("59", "60")
    for bad in ({"max_failed_logins": -1}, {"max_failed_logins": "5"}, {"lockout_seconds": 0}, {"proxy_hops": True}):
        with pytest.raises(ValueError, match="web\\."):
            make_site(**bad)


@pytest.mark.parametrize("hops, counted_as, from_another_proxy", [(0, "127.0.0.1", 302), (1, "203.0.113.7", 429)])
def test_the_address_limit_behind_trusted_proxies(make_site, hops, counted_as, from_another_proxy):
    app = make_site(proxy_hops=hops, csrf=False)
    throttle, now = app.extensions["vantrel_site"].throttle, [1_900_000_000.0]
    throttle.clock = lambda: now[0]

    def login(name, password, address="127.0.0.1"):  # each a new visitor, forwarded by a proxy at ``address``
        return app.test_client().post("/login", data={"username": name, "password": password},
                                      headers={"X-Forwarded-For": "203.0.113.7"},
                                      environ_base={"REMOTE_ADDR": address}).status_code

    assert [login(f"guess{i}", "wrong") for i in range(100)] == [200] * 100
    assert login("admin", "admin123") == 429
    assert login("admin", "admin123", address="10.9.9.8") == from_another_proxy
    assert throttle.retry_after("anyone", counted_as) is not None
    assert throttle.retry_after("anyone", "198.51.100.1") is None
    now[0] += 3601
    assert login("admin", "admin123") == 302


def test_two_server_processes_share_the_counts(make_layout):
    pytest.importorskip("waitress")
    command = [sys.executable, "-m", "vantrel_app_plugin", "web", str(make_layout()), "--no-reclaim"]
    procs, visitors = [], []
    try:
        for _ in range(2):
            with socket.create_server(("127.0.0.1", 0)) as free:
                port = free.getsockname()[1]
            procs.append(subprocess.Popen([*command, "--port", str(port)], stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE, text=True))
            assert "serving" in procs[-1].stdout.readline()
            visitors.append(Visitor(f"http://127.0.0.1:{port}"))
        deadline = time.time() + 30
        while any(v.fetch("/login")[0] != 200 for v in visitors):
            assert time.time() < deadline
            time.sleep(0.1)
        for i in range(5):
            assert visitors[i % 2].post("/login", username="admin", password="wrong")[0] == 200
        for visitor in visitors:  # the sixth failure is refused by either
            status, page, headers = visitor.post("/login", **ADMIN)
            assert status == 429 and THROTTLED in page and int(headers["Retry-After"]) > 0
    finally:
        for proc in procs:
            proc.terminate()
            proc.wait(timeout=10)


@pytest.mark.parametrize("setting, password, outcome", [
    (8, "short", (False, "密码长度至少为 8 位")), (8, "1234567", (False, "密码长度至少为 8 位")),
    (8, "12345678", (True, "注册成功")),
    (8, "密码密码密码密码", (True, "注册成功")),  # characters, not bytes
    (8, " 123456 ", (True, "注册成功")),         # as typed, spaces included
    *[(bad, "p" * 20, ValueError) for bad in (0, -3, "8", 8.0, True)],
])
def test_minimum_password_length(make_layout, setting, password, outcome):
    store = JsonAppPlugin(make_layout(auth={"min_password_length": setting}))
    store.init_database()
    if outcome is ValueError:
        with pytest.raises(ValueError, match="auth.min_password_length 必须是正整数"):
            store.register_user({"username": "u", "password": password})
    else:
        assert store.register_user({"username": "u", "password": password}) == outcome


def test_unknown_names_cost_a_login_as_much_as_known_ones(make_layout):
    """With salted passwords, a name without an account is checked as long as a wrong password."""
    store = JsonAppPlugin(make_layout(auth={"hash": "pbkdf2_sha256", "pbkdf2_iterations": 200_000}))
    store.init_database()

    def seconds(name):
        start = time.perf_counter()
        assert store.login_user({"username": name, "password": "wrong"}) == (False, "用户名或密码错误")
        return time.perf_counter() - start

    known = min(seconds("admin") for _ in range(3))
    assert min(seconds("nobody") for _ in range(3)) > known / 2


@pytest.mark.skipif(os.environ.get("VANTREL_SKIP_WHEEL_TEST") == "1", reason="VANTREL_SKIP_WHEEL_TEST=1")
def test_an_isolated_build_gives_a_styled_site(tmp_path, write_json):
    """`pip wheel .` (an isolated build, as users install), the wheel with its web extra in a fresh venv."""
    wheels, venv = tmp_path / "wheels", tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-q", "-w", str(wheels),
                    os.path.dirname(os.path.dirname(os.path.abspath(__file__)))], check=True, timeout=1800)
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = venv / "bin" / "python"
    wheel = next(wheels.glob("vantrel_app_plugin-*.whl"))
    subprocess.run([str(python), "-m", "pip", "install", "-q", f"{wheel}[web]"], check=True, timeout=900)
    layout = write_json(tmp_path / "site" / "gui_layout.json", {"database": {"data_root": str(tmp_path)}})
    probe = ("import sys; from vantrel_app_plugin.calvet import create_app; "
             f"c = create_app(sys.argv[1]).test_client(); r = c.get('{STYLESHEET}'); "
             "print(r.status_code, r.mimetype, b'Bootstrap v5.1.3' in r.get_data()[:200])")
    done = subprocess.run([str(python), "-c", probe, str(layout)], capture_output=True, text=True, timeout=120,
                          cwd=tmp_path)
    assert done.stdout.split() == ["200", "text/css", "True"], done.stderr
