"""The web face through Flask's test client: routes, sessions, pages, the
secret key, hostile settings and requests."""

import gc
import io
import os
import re
import stat
import subprocess
import sys
import weakref
from html import escape

import pytest
from web_support import USERS, FormClient

flask = pytest.importorskip("flask")

from vantrel_app_plugin import calvet  # noqa: E402
from vantrel_app_plugin.calvet import JsonAppPluginWeb  # noqa: E402
from vantrel_app_plugin.json_app_plugin import JsonAppPlugin  # noqa: E402


LOGIN = {"title": "登录", "fields": [{"name": "username", "label": "用户名", "type": "text", "required": True},
                                    {"name": "password", "label": "密码", "type": "password"}],
         "footer_links": [{"text": "没有账号?", "href": "/register", "link_text": "去注册"}]}
REGISTER = {"title": "注册", "fields": [{"name": "username"}, {"name": "password"}]}


@pytest.fixture
def make_web(tmp_path, write_json, monkeypatch):
    """A JsonAppPluginWeb on a layout with a users table and a seeded admin."""
    monkeypatch.delenv("CALC_WS_ROOT", raising=False)

    def make(web=None, auth=None, forms=None, cls=JsonAppPluginWeb, **extra):
        doc = {"database": {"name": "site", "data_root": str(tmp_path), "tables": [USERS]},
               "auth": {"seed_users": [{"username": "admin", "password": "admin123"}], **(auth or {})},
               "auth_forms": {"login": LOGIN, "register": REGISTER} if forms is None else forms,
               "web": web or {}, **extra}
        site = cls(write_json(tmp_path / "gui_layout.json", doc))
        site.init_database()
        return site

    return make


def flashes(client):
    with client.session_transaction() as session:
        return [list(f) for f in session.get("_flashes", [])]


def login(client, name="admin", password="admin123", path="/login"):
    return client.post(path, data={"username": name, "password": password})


# --- routes and the session ---------------------------------------------------------------


@pytest.mark.parametrize("forms, routes", [
    ({}, {"/": "index", "/login": "plugin_login", "/logout": "plugin_logout"}),
    ({"login": LOGIN, "register": REGISTER},
     {"/": "index", "/login": "plugin_login", "/register": "plugin_register", "/logout": "plugin_logout"}),
    ({"login": {"route": "/auth/in"}, "register": {"route": "/auth/new"}},
     {"/": "index", "/auth/in": "plugin_login", "/auth/new": "plugin_register", "/logout": "plugin_logout"}),
])
def test_route_table(make_web, forms, routes):
    app = make_web(forms=forms).create_flask_app()
    table = {r.rule: (r.endpoint, r.methods - {"HEAD", "OPTIONS"}) for r in app.url_map.iter_rules()
             if r.endpoint != "vantrel_stylesheet"}
    assert {rule: endpoint for rule, (endpoint, _) in table.items()} == routes
    for rule, (endpoint, methods) in table.items():
        assert methods == ({"GET", "POST"} if endpoint in ("plugin_login", "plugin_register") else {"GET"})
    assert app.name == "vantrel_app_plugin.calvet"


@pytest.mark.parametrize("session_key, stored_under", [(None, "user"), ("", "user"), ("member", "member")])
def test_login_flow_and_session(make_web, session_key, stored_under):
    auth = {} if session_key is None else {"session_key": session_key}
    app = make_web(auth=auth, web={"home_after_login": "/home"}).create_flask_app()
    client = app.test_client()
    assert client.get("/").headers["Location"] == "/login"
    wrong = login(client, password="nope")
    assert wrong.status_code == 200 and "<title>登录 — 应用</title>" in wrong.text
    assert flashes(client) == [["error", "用户名或密码错误"]]
    right = login(client)
    assert (right.status_code, right.headers["Location"]) == (302, "/home")
    with client.session_transaction() as session:
        assert session[stored_under] == {"id": 1, "username": "admin"}
        # The login replaced the whole session: only what it set is left.
        assert [list(f) for f in session["_flashes"]] == [["success", "登录成功"]]
        assert set(session) == {stored_under, "_flashes"}
        session.pop("_flashes")
    assert client.get("/").headers["Location"] == "/home"
    out = client.get("/logout")
    assert out.headers["Location"] == "/login" and flashes(client) == []
    with client.session_transaction() as session:
        assert stored_under not in session
    assert client.get("/logout").headers["Location"] == "/login"  # nobody logged in: still fine


def test_registration_flow(make_web):
    client = make_web(forms={"register": {"route": "/join"}, "login": {"route": "/in"}}).create_flask_app().test_client()
    ok = client.post("/join", data={"username": "bob", "password": "pw"})
    assert (ok.status_code, ok.headers["Location"]) == (302, "/in")
    assert flashes(client) == [["success", "注册成功"]]
    taken = client.post("/join", data={"username": "bob", "password": "pw"})
    assert taken.status_code == 200 and "<title>register — 应用</title>" in taken.text
    assert flashes(client)[-1] == ["error", "用户名已存在"]
    assert client.get("/register").status_code == 404
    assert login(client, "bob", "pw", path="/in").headers["Location"] == "/dashboard"


def test_login_result_that_is_not_a_pair_is_a_server_error(make_web):
    for result in ("abc", "ok", (True,), 5):  # "ok" would unpack, but is no pair
        class Odd(JsonAppPluginWeb):
            def login_user(self, fields, result=result):
                return result

        client = make_web(cls=Odd).create_flask_app().test_client()
        assert login(client).status_code == 500
        with client.session_transaction() as session:
            assert dict(session) == {}

    class Flagged(JsonAppPluginWeb):  # a true flag with a message: a failed login
        def login_user(self, fields):
            return True, "not a user"

    client = make_web(cls=Flagged).create_flask_app().test_client()
    assert login(client).status_code == 200 and flashes(client) == [["error", "not a user"]]


def test_require_login_and_the_session_user(make_web):
    web = make_web(forms={"login": {"route": "/sign-in"}})
    app = web.create_flask_app()

    def dashboard(x=1):
        return f"home {x} {web.session_user()}"

    guarded = web.require_login(dashboard)
    assert guarded.__name__ == "dashboard" and web.require_login(lambda: 0).__name__ == "<lambda>"
    assert web.require_login(type("V", (), {"__call__": lambda s: 1})()).__name__ == "wrapped"
    assert guarded.__wrapped__ is dashboard
    with pytest.raises(TypeError, match="'view'"):
        web.require_login("dashboard")
    with app.test_request_context("/"):
        assert guarded().headers["Location"] == "/sign-in"
        web.set_session_user({})  # an empty record still counts as a stored user
        assert guarded(x=2) == "home 2 {}"
        flask.session["user"] = "not a mapping"
        assert web.session_user() is None and guarded().status_code == 302
        web.set_session_user(None)
        web.set_session_user(None)
        with pytest.raises(TypeError, match="user"):
            web.set_session_user(["alice"])



@pytest.mark.parametrize("keep", [
    lambda web: setattr(web, "app", web.create_flask_app()),
    lambda web: setattr(web, "home", web.require_login(lambda: "home")),
    lambda web: setattr(web, "app", web.create_flask_app(type("Hook", (), {"mount_web_routes": staticmethod(
        lambda app, w: app.add_url_rule("/home", "home", w.require_login(lambda: "home")))})())),
], ids=["application kept on the web object", "guarded view kept on it", "with a guarded route"])
def test_cycles_through_views_and_guards_are_collected(make_web, keep):
    web = make_web()
    keep(web)
    gone = weakref.ref(web)
    del web
    gc.collect()
    assert gone() is None

# --- pages ------------------------------------------------------------------------------------


def reference_page(key, cfg, app_title):
    """The page exactly as rendering the two texts with render_template_string gives it."""
    foot = "".join(f'{escape(str(l.get("text") or ""))} <a href="{escape(str(l.get("href") or "#"))}">'
                   f'{escape(str(l.get("link_text") or ""))}</a> '
                   for l in cfg.get("footer_links") or [] if isinstance(l, dict))
    title = str(cfg.get("title") or key)
    card = flask.render_template_string(
        calvet._AUTH_CARD, page_title=title, header_class=str(cfg.get("header_class") or "bg-primary"),
        btn_class=str(cfg.get("btn_class") or "btn-primary"), submit_text=str(cfg.get("submit_text") or "提交"),
        fields=list(cfg.get("fields") or []), footer_html=foot)
    return flask.render_template_string(calvet._BASE_LAYOUT, title=title, app_title=app_title, content=card)


@pytest.mark.parametrize("key, cfg", [
    ("login", LOGIN),
    ("nothing", {}),
    ("x", {"title": 5, "header_class": "bg-dark", "btn_class": "btn-success", "submit_text": "<go>",
           "fields": [{"name": "a", "required": 0}, {"label": "<b>", "type": "text", "required": "yes"}, {}],
           "footer_links": ["plain string", {}, {"text": "a\"b'c", "href": "/x?a=1&b=<2>", "link_text": "<i>"},
                            {"text": "two"}]}),
])
def test_pages_match_render_template_string(make_web, key, cfg):
    web = make_web(forms={key: cfg}, web={"title": "站<点>"})
    app = web.create_flask_app()
    with app.test_request_context("/"):
        page = web.render_auth_page(key)
        assert page == reference_page(key, cfg, "站<点>")
        assert web.render_auth_page(key) == page  # the compiled templates are kept on the application
    assert "motion" not in calvet._AUTH_CARD and calvet._AUTH_CARD.count("<div") == calvet._AUTH_CARD.count("</div>")
    assert "<title>{{ title }} \u2014 {{ app_title }}</title>" in calvet._BASE_LAYOUT


def test_page_checks(make_web):
    web = make_web(forms={"login": {"fields": [{"name": "u", "required": True}, {"name": "p"}],
                                    "footer_links": [{"link_text": "x"}]}})
    with web.create_flask_app().test_request_context("/"):
        page = web.render_auth_page("login")
        assert "name='u' type='' required>" in page and "name='p' type='' >" in page
        assert '<small> <a href="#">x</a> </small>' in page
        with pytest.raises(TypeError, match="page_key"):
            web.render_auth_page(5)


def test_subclass_overrides_are_read_through_the_object(make_web):
    class Custom(JsonAppPluginWeb):
        @property
        def pages_cfg(self):
            return {"login": {"title": "覆盖", "route": "/custom"}}

        @property
        def app_title(self):
            return "子类"

        @property
        def auth_cfg(self):
            return {**JsonAppPlugin.auth_cfg.__get__(self), "session_key": "who"}

    web = make_web(cls=Custom)
    app = web.create_flask_app()
    client = app.test_client()
    assert "<title>覆盖 — 子类</title>" in client.get("/custom").text
    login(client, path="/custom")
    with client.session_transaction() as session:
        assert session["who"]["username"] == "admin"
    assert isinstance(web, JsonAppPlugin) and web.db_path.name == "site.db"


def test_the_stylesheet_is_served_by_the_site_itself(make_web):
    client = make_web().create_flask_app().test_client()
    page = client.get("/login").text
    href = re.search(r"<link href='([^']+)'", page).group(1)
    assert href.startswith("/static/")
    css = client.get(href)
    assert css.status_code == 200 and b"Bootstrap v5.1.3" in css.data[:200]


# --- engines, server, factory, Flask missing -------------------------------------------------


def test_engine_hook_adds_routes_after_the_built_in_ones(make_web):
    seen = []

    class Engine:
        def mount_web_routes(self, app, web):
            seen.append(sorted(r.endpoint for r in app.url_map.iter_rules()))
            app.add_url_rule("/dashboard", "dashboard", web.require_login(lambda: "protected"))

    web = make_web()
    client = web.create_flask_app(Engine()).test_client()
    assert seen == [["index", "plugin_login", "plugin_logout", "plugin_register", "vantrel_stylesheet"]]
    assert client.get("/dashboard").headers["Location"] == "/login"
    login(client)
    assert client.get("/dashboard").text == "protected"
    for engine in (None, object()):
        assert len(list(web.create_flask_app(engine).url_map.iter_rules())) == 5

    class Failing:
        def mount_web_routes(self, app, web):
            raise RuntimeError("hook failed")

    with pytest.raises(RuntimeError, match="hook failed"):
        web.create_flask_app(Failing())


@pytest.mark.parametrize("web_cfg, debug_arg, expected", [
    ({}, None, {"host": "127.0.0.1", "port": 5000, "debug": False}),
    ({"host": "0.0.0.0", "port": "8081", "debug": True}, None, {"host": "0.0.0.0", "port": 8081, "debug": True}),
    ({"port": 0, "debug": True}, False, {"host": "127.0.0.1", "port": 5000, "debug": False}),
    ({"port": 7000}, True, {"host": "127.0.0.1", "port": 7000, "debug": True}),
])
def test_run_web_settings(make_web, monkeypatch, web_cfg, debug_arg, expected):
    runs = []
    monkeypatch.setattr(flask.Flask, "run", lambda app, **kw: runs.append(kw))
    make_web(web=web_cfg).run_web(debug=debug_arg)
    assert runs == [expected]
    with pytest.raises(ValueError):
        make_web(web={"port": "eighty"}).run_web()


def test_without_flask(make_web, monkeypatch, tmp_path):
    web = make_web()
    monkeypatch.setattr(calvet, "Flask", None)
    for call in (web.session_user, lambda: web.set_session_user(None), web.create_flask_app, web.run_web,
                 lambda: web.render_auth_page("login"), lambda: calvet.create_app(str(tmp_path / "absent"))):
        with pytest.raises(ImportError, match="Web 插件需要安装 flask"):
            call()
    # In a runtime where Flask cannot be imported, the module still loads.
    script = ("import sys; sys.modules['flask'] = None\n"
              "from vantrel_app_plugin import calvet\n"
              f"w = calvet.JsonAppPluginWeb({str(web.config_path)!r})\n"
              "print(calvet.Flask, w.app_title, w.login_user({'username': 'admin', 'password': 'admin123'})[0])")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.stdout.split() == ["None", "应用", "True"], out.stderr


def test_wsgi_factory(make_web, monkeypatch, tmp_path):
    project = make_web().config_path.parent
    for arg, env in ((str(project), None), (None, str(project / "gui_layout.json"))):
        if env:
            monkeypatch.setenv("VANTREL_LAYOUT", env)
        app = calvet.create_app(arg)
        assert login(app.test_client()).status_code == 400  # the site checks CSRF tokens
        client = FormClient(app)
        assert client.post("/login", username="admin", password="admin123").headers["Location"] == "/dashboard"
    monkeypatch.delenv("VANTREL_LAYOUT")
    with pytest.raises(RuntimeError, match="VANTREL_LAYOUT"):
        calvet.create_app()


# --- the secret key ----------------------------------------------------------------------------


def forged_cookie(app, secret, user):
    other = flask.Flask("forger")
    other.secret_key = secret
    return other.session_interface.get_signing_serializer(other).dumps({"user": user})


def test_default_site_gets_a_stored_random_key(make_web, tmp_path):
    web = make_web()
    first, second = web.create_flask_app(), make_web().create_flask_app()
    key_file = tmp_path / ".vantrel_secret_key"
    assert first.secret_key == second.secret_key == key_file.read_text().strip()
    assert len(bytes.fromhex(first.secret_key)) == 32 and first.secret_key != "swap-this"
    assert stat.S_IMODE(key_file.stat().st_mode) == 0o600
    admin = {"id": 1, "username": "admin"}
    for secret, accepted in (("swap-this", False), (first.secret_key, True)):
        client = second.test_client()
        client.set_cookie("session", forged_cookie(second, secret, admin))
        assert client.get("/").headers["Location"] == ("/dashboard" if accepted else "/login")
    assert make_web(web={"secret_key": 12345}).create_flask_app().secret_key == "12345"


@pytest.mark.parametrize("content", ["", "\n", "abc", "zz" * 40, "é" * 70])
def test_damaged_key_file_fails_at_start(make_web, tmp_path, content):
    (tmp_path / ".vantrel_secret_key").write_text(content, encoding="utf-8")
    with pytest.raises(RuntimeError, match=re.escape(str(tmp_path / ".vantrel_secret_key"))):
        make_web().create_flask_app()


def test_workers_starting_together_agree_on_one_key(make_web, tmp_path):
    path = make_web().config_path
    script = ("import sys, time\nfrom vantrel_app_plugin import calvet\n"
              "while time.time() < float(sys.argv[2]): pass\n"
              "print(calvet.JsonAppPluginWeb(sys.argv[1]).create_flask_app().secret_key)")
    import time
    start = str(time.time() + 1.0)
    procs = [subprocess.Popen([sys.executable, "-c", script, str(path), start], stdout=subprocess.PIPE, text=True)
             for _ in range(4)]
    keys = {p.communicate(timeout=60)[0].strip() for p in procs}
    assert len(keys) == 1 and keys == {(tmp_path / ".vantrel_secret_key").read_text().strip()}
    assert [n for n in os.listdir(tmp_path) if n.endswith(".tmp")] == []


# --- hostile settings and requests ------------------------------------------------------------


@pytest.mark.parametrize("forms, web, auth, message", [
    ({"login": {"route": "/"}}, {}, {}, "登录页路由与首页路由冲突"),
    ({"login": {"route": "/logout"}}, {}, {}, "登录页路由与注销路由冲突"),
    ({"register": {"route": "/logout"}}, {}, {}, "注册页路由与注销路由冲突"),
    ({"register": {"route": "/"}}, {}, {}, "注册页路由与首页路由冲突"),
    ({"login": {"route": "/x"}, "register": {"route": "/x"}}, {}, {}, "注册页路由与登录页路由相同"),
    ({"login": {"route": "/in\r\nSet-Cookie: x=1"}}, {}, {}, "登录页路由含有控制字符"),
    ({"register": {"route": "/reg\n"}}, {}, {}, "注册页路由含有控制字符"),
    ({}, {"home_after_login": "/home\r\nLocation: evil"}, {}, "web.home_after_login 含有控制字符"),
    ({}, {"home_after_login": "/"}, {}, "web.home_after_login 不能是首页路由"),
    ({}, {}, {"session_key": "_flashes"}, "auth.session_key 是框架自用的会话键"),
    ({}, {}, {"session_key": "_permanent"}, "auth.session_key 是框架自用的会话键"),
    ({}, {"max_form_bytes": 0}, {}, "web.max_form_bytes 必须是正整数"),
    ({}, {"max_form_bytes": "1k"}, {}, "web.max_form_bytes 必须是正整数"),
])
def test_settings_that_break_the_site_are_refused(make_web, forms, web, auth, message):
    site = make_web(forms=forms, web=web, auth=auth)
    with pytest.raises(ValueError, match=message):
        site.create_flask_app()


def test_oversized_form_bodies(make_web):
    class Engine:
        def mount_web_routes(self, app, web):
            app.add_url_rule("/upload", "upload", lambda: str(len(flask.request.form["blob"])), methods=["POST"])

    app = make_web(web={"max_form_bytes": 4096}).create_flask_app(Engine())
    client = app.test_client()
    big = {"username": "admin", "password": "x" * 10000}
    assert client.post("/login", data=big).status_code == 413
    assert client.post("/register", data=big).status_code == 413
    assert client.post("/upload", data={"blob": "y" * 10000}).text == "10000"  # the framework's default
    def chunked(size):
        return client.post("/login", input_stream=io.BytesIO(b"username=" + b"a" * size),
                           content_type="application/x-www-form-urlencoded", headers={"Transfer-Encoding": "chunked"},
                           environ_overrides={"wsgi.input_terminated": True}).status_code

    assert chunked(9000) == 413 and chunked(4000) == 200
    app.config["MAX_CONTENT_LENGTH"] = 1000  # the application's own smaller limit stays in force
    assert chunked(4000) == 413 and chunked(500) == 200
    app.config["MAX_CONTENT_LENGTH"] = None
    assert login(client).status_code == 302
    default = make_web().create_flask_app().test_client()
    assert default.post("/login", data={"username": "a", "password": "x" * (2 << 20)}).status_code == 413


@pytest.mark.parametrize("data", [{}, {"username": "admin"}, {"password": "x"}, {"other": "1"}])
def test_posts_without_the_fields_answer_the_page(make_web, data):
    client = make_web().create_flask_app().test_client()
    response = client.post("/login", data=data)
    assert response.status_code == 200 and flashes(client) == [["error", "用户名和密码不能为空"]]


@pytest.mark.parametrize("name, password", [
    ("admin' --", "x"), ("' OR '1'='1", "' OR '1'='1"), ("x'); DROP TABLE users; --", "p"),
])
def test_sql_looking_input_changes_only_its_own_row(make_web, name, password):
    web = make_web()
    client = web.create_flask_app().test_client()
    assert login(client, name, password).status_code == 200  # no such account
    client.post("/register", data={"username": name, "password": password})
    assert login(client, name, password).status_code == 302
    with web.connect() as conn:
        assert sorted(r[0] for r in conn.execute("SELECT username FROM users")) == sorted(["admin", name])
    assert login(web.create_flask_app().test_client()).status_code == 302  # the admin is untouched


def test_markup_in_labels_titles_and_links_is_escaped(make_web):
    forms = {"login": {"title": "<script>alert(1)</script>", "fields": [{"label": "<img src=x onerror=y>"}],
                       "footer_links": [{"text": "<b>", "href": "javascript:\"x'", "link_text": "</a><script>"}]}}
    page = make_web(forms=forms, web={"title": "<i>站</i>"}).create_flask_app().test_client().get("/login").text
    for raw in ("<script>", "<img", "<b>", "<i>"):
        assert raw not in page
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in page and 'href="javascript:&quot;x&#x27;"' in page


def test_tampered_session_cookies_are_rejected(make_web):
    app = make_web(web={"secret_key": "k" * 40}).create_flask_app()
    client = app.test_client()
    login(client)
    cookie = client.get_cookie("session").value
    for bad in (cookie[:-2] + ("AA" if not cookie.endswith("AA") else "BB"), "garbage", cookie + "x", ""):
        fresh = app.test_client()
        fresh.set_cookie("session", bad)
        assert fresh.get("/").headers["Location"] == "/login"
