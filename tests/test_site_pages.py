"""The layout's pages on the web, driven by a page engine per visitor."""

import base64
import json
import re
import subprocess
import sys
import time
import zlib
from html.parser import HTMLParser

import pytest
from web_support import FormClient, Visitor

flask = pytest.importorskip("flask")

from vantrel_app_plugin.brisen import TkJsonEngine  # noqa: E402
from vantrel_soft.demo import DemoEngine  # noqa: E402
from vantrel_soft.website import create_site  # noqa: E402
from vantrel_soft.website.pages import SESSION_ID  # noqa: E402


class Page(HTMLParser):
    """What a page shows: its page id, the controls in order (tag, id, name,
    type, value, text), the status line and the user line."""

    def __init__(self, html):
        super().__init__()
        self.page_id = self.status = self.user = None
        self.controls, self._open, self._field = [], None, None
        self.feed(html)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if "data-page" in a:
            self.page_id = a["data-page"]
        if a.get("id") in ("status", "user"):
            self._field = a["id"]
        if tag in ("input", "textarea", "button", "progress", "p", "select") and "id" in a and a["id"] != "message":
            self.controls.append({"tag": tag, "id": a["id"], "name": a.get("name"), "type": a.get("type"),
                                  "value": a.get("value"), "checked": "checked" in a, "text": ""})
            self._open = self.controls[-1] if tag in ("textarea", "button", "p", "progress") else None

    def handle_endtag(self, tag):
        self._open = None if tag in ("textarea", "button", "p", "progress") else self._open
        self._field = None if tag == "span" else self._field

    def handle_data(self, data):
        if self._open is not None:
            self._open["text"] += data
        if self._field == "status":
            self.status = (self.status or "") + data
        elif self._field == "user":
            self.user = (self.user or "") + data

    def control(self, ident):
        return next(c for c in self.controls if c["id"] == ident)


class Browser:
    """A visitor of a site in the Flask test client: shows pages, presses buttons."""

    def __init__(self, app, home="/dashboard"):
        self.client, self.home, self.bodies = FormClient(app), home, []

    def get(self, path=None):
        answer = self.client.get(path or self.home)
        self.bodies.append(answer.get_data(as_text=True))
        return answer

    def page(self, path=None):
        answer = self.get(path)
        assert answer.status_code == 200, (path, answer.status_code, answer.headers.get("Location"))
        return Page(answer.text)

    def press(self, key, path=None, **values):
        shown = self.page(path)
        answer = self.client.post(path or self.home, page=shown.page_id, key=key, **values)
        self.bodies.append(answer.get_data(as_text=True))
        return answer

    def login(self, name="admin", password="admin123"):
        answer = self.client.post("/login", username=name, password=password)
        self.bodies.append(answer.get_data(as_text=True))
        return answer


@pytest.fixture
def example(project):
    app = create_site(project, engine_class=DemoEngine)
    return app


def rows(app, sql):
    with app.extensions["vantrel_site"].connect() as conn:
        return [tuple(r) for r in conn.execute(sql)]


def test_the_example_in_the_browser(project, store_url, monkeypatch):
    """The example's flow, on either store (PostgreSQL by one variable)."""
    if store_url:
        monkeypatch.setenv("VANTREL_DATABASE_URL", store_url)
    example = create_site(project, engine_class=DemoEngine)
    visitor = Browser(example)
    assert visitor.get("/dashboard").headers["Location"] == "/login"  # logged out: to the login page
    register = visitor.client.post("/register", username="网页用户", password="pw-12345", confirm_password="pw-12345")
    assert register.headers["Location"] == "/login"
    assert visitor.login("网页用户", "pw-12345").headers["Location"] == "/dashboard"
    home = visitor.page()
    assert (home.page_id, home.status, home.user) == ("dashboard", "欢迎，网页用户", "当前用户: 网页用户")
    assert home.control("summary")["text"] == "网页用户 共有 0 名学生"  # the page hook ran, as in the window
    for name, age in (("张三", "12"), ("李四", "")):
        answer = visitor.press("添加学生", student_name=name, student_age=age)
        assert (answer.status_code, answer.headers["Location"]) == (303, "/dashboard")
        shown = visitor.page()
        assert (shown.page_id, shown.status) == ("students", f"已添加学生: {name}")
        if name == "张三":
            visitor.press("首页")
    assert visitor.page().control("student_list")["text"] == "张三（12 岁）\n李四"
    assert rows(example, "SELECT name, age FROM students ORDER BY id") == [("张三", 12), ("李四", None)]
    visitor.press("首页")
    assert visitor.page().control("summary")["text"] == "网页用户 共有 2 名学生"
    answer = visitor.press("注销")  # the engine's logout key logs out of the site
    assert answer.headers["Location"] == "/login"
    assert visitor.get("/dashboard").headers["Location"] == "/login"


def test_a_press_is_one_post_and_a_reload_never_presses_again(example):
    visitor = Browser(example)
    visitor.login()
    visitor.press("添加学生", student_name="一次", student_age="3")

    def revision():
        (state,), = rows(example, "SELECT state FROM vantrel_sessions")
        return json.loads(state)["revision"]

    pressed = revision()
    for _ in range(3):
        assert visitor.page().page_id == "students"  # the redirect's GET, reloaded
    assert rows(example, "SELECT name FROM students") == [("一次",)] and revision() == pressed
    stale = visitor.client.post("/dashboard", page="dashboard", key="添加学生", student_name="又一次")
    assert stale.status_code == 303 and rows(example, "SELECT name FROM students") == [("一次",)]
    visitor.page()
    assert "页面已更新，请重新操作" in visitor.bodies[-1] and revision() == pressed
    for bad in ({"page": "dashboard", "key": "没有的键"}, {"page": "nowhere", "key": "首页"}, {"key": "首页"}):
        assert visitor.client.post("/dashboard", **bad).status_code == 400


def test_the_page_contract(example):
    visitor = Browser(example)
    visitor.login()
    page = visitor.page()
    layout = example.extensions["vantrel_site"].data
    dashboard = next(p for p in layout["pages"] if p["id"] == "dashboard")
    widgets = [w for w in dashboard["sections"][0]["widgets"]]
    flat = [c for w in widgets for c in ([w] + w.get("children", [])) if w["type"] != "button_row" or c is not w]
    assert [c["id"] for c in page.controls] == [w["id"] for w in flat]
    for widget in flat:
        control = page.control(widget["id"])
        if widget["type"] in ("entry", "spin"):
            assert control["tag"] == "input" and control["name"] == widget["component_key"]
        if widget["type"] == "button":
            assert control["tag"] == "button" and control["text"] == widget["text"] and control["value"] == widget["text"]
    assert page.control("student_age")["type"] == "number"
    assert page.status == "欢迎，admin" and page.user == "当前用户: admin"


def test_typed_passwords_never_come_back(project, write_json):
    layout = json.loads(project.read_text(encoding="utf-8"))
    del layout["auth_forms"]  # the layout's own login and registration pages
    app = create_site(write_json(project, layout), engine_class=DemoEngine)
    visitor = Browser(app, home="/dashboard")
    secret = "秘密-Password-9"
    visitor.press("去注册", path="/login")
    visitor.press("注册", path="/login", entry="新人", label_frame_entry=secret, ttk_entry=secret)
    assert visitor.page("/login").status == "注册成功"
    visitor.press("登录", path="/login", entry="新人", label_frame_entry="wrong-one")
    failed = visitor.page("/login")
    assert failed.status == "用户名或密码错误" and failed.control("login_password")["value"] == ""
    assert failed.control("login_username")["value"] == "新人"  # the name stays, as in the window
    answer = visitor.press("登录", path="/login", entry="新人", label_frame_entry=secret)
    assert answer.headers["Location"] == "/dashboard"
    assert visitor.page().user == "当前用户: 新人"
    bodies = "".join(visitor.bodies)
    assert secret not in bodies and "wrong-one" not in bodies
    stored = rows(app, "SELECT state FROM vantrel_sessions")
    assert stored and all(secret not in s and "wrong-one" not in s for (s,) in stored)


def cookie_contents(client):
    """The session cookie, decoded (signed, not encrypted: anyone can read it)."""
    raw = client.client.get_cookie("session").value
    data = raw[1:] if raw.startswith(".") else raw
    payload = data.split(".")[0]
    payload += "=" * (-len(payload) % 4)
    decoded = base64.urlsafe_b64decode(payload)
    return json.loads(zlib.decompress(decoded) if raw.startswith(".") else decoded)


def test_state_lives_server_side_and_visitors_are_apart(example):
    one, two = Browser(example), Browser(example)
    one.login()
    one.press("添加学生", student_name="甲同学", student_age="9")
    two.login()
    two.page()
    for visitor, page in ((one, "students"), (two, "dashboard")):
        assert visitor.page().page_id == page
    assert set(cookie_contents(one.client)) <= {"user", SESSION_ID, "csrf_token", "_flashes"}
    assert "甲同学" not in json.dumps(cookie_contents(one.client), ensure_ascii=False)
    two.press("注销")
    assert one.page().user == "当前用户: admin" and two.get("/dashboard").status_code == 302


def test_a_replayed_cookie_after_logout_is_logged_out(example):
    visitor = Browser(example)
    visitor.login()
    cookie = visitor.client.client.get_cookie("session").value
    visitor.press("注销")
    replay = example.test_client()
    replay.set_cookie("session", cookie)
    assert replay.get("/dashboard").headers["Location"] == "/login"
    assert replay.get("/").headers["Location"] == "/login"


def test_sessions_survive_a_restart_and_expire_when_idle(project):
    first = create_site(project, engine_class=DemoEngine)
    visitor = Browser(first)
    visitor.login()
    visitor.press("学生列表")
    cookie = visitor.client.client.get_cookie("session").value
    restarted = create_site(project, engine_class=DemoEngine)  # same data root: same key, same store
    again = Browser(restarted)
    again.client.client.set_cookie("session", cookie)
    assert again.page().page_id == "students"
    store = restarted.extensions["vantrel_site"].pages.sessions
    now = time.time()
    store.clock = lambda: now + 1801
    assert again.get("/dashboard").headers["Location"] == "/login"


def test_one_engine_is_built_per_site_however_many_requests(project):
    class Counted(DemoEngine):
        built = 0

        def __init__(self, path):
            type(self).built += 1
            super().__init__(path)

    app = create_site(project, engine_class=Counted)
    visitor = Browser(app)
    visitor.login()
    for _ in range(5):
        visitor.press("学生列表")
        visitor.press("首页")
    assert Counted.built == 1


@pytest.mark.parametrize("with_pages", [True, False])
def test_no_template_is_compiled_per_request(project, monkeypatch, with_pages):
    """After a first visit of every page, later visits compile nothing (a
    template compiled per request costs about a millisecond)."""
    import jinja2

    if not with_pages:  # the site's own home page, for a layout without pages
        layout = json.loads(project.read_text(encoding="utf-8"))
        del layout["pages"]
        project.write_text(json.dumps(layout, ensure_ascii=False), encoding="utf-8")
    app = create_site(project, engine_class=DemoEngine)
    compiled = []
    original = jinja2.Environment._compile
    monkeypatch.setattr(jinja2.Environment, "_compile", lambda env, *a: compiled.append(a) or original(env, *a))

    def visit():
        visitor = Browser(app)
        for path in ("/login", "/register", "/logout"):
            visitor.get(path)
        visitor.client.post("/login", username="nobody", password="wrong-pass")  # a flashed message
        visitor.get("/login")
        visitor.login()
        visitor.get("/dashboard")
        if with_pages:
            visitor.press("学生列表")
            visitor.get("/dashboard")
        visitor.get("/logout")

    visit()
    first = len(compiled)
    visit()
    visit()
    assert first and len(compiled) == first


TODO = {
    "title": "待办",
    "database": {"name": "todo", "tables": [{"name": "accounts", "columns": [
        {"name": "uid", "type": "INTEGER", "primary_key": True, "autoincrement": True},
        {"name": "login", "type": "TEXT", "unique": True}, {"name": "secret", "type": "TEXT"}]}]},
    "auth": {"user_table": "accounts", "username_column": "login", "password_column": "secret",
             "id_column": "uid", "seed_users": [{"username": "ann", "password": "ann-pass"}]},
    "pages": [
        {"id": "signin", "title": "请登录", "sections": [{"title": "账号", "widgets": [
            {"id": "who", "type": "entry", "label": "名字", "component_key": "name_box"},
            {"id": "pass", "type": "entry", "label": "口令", "show": "*", "component_key": "pass_box"},
            {"id": "go", "type": "button", "text": "进入", "key": "enter"}]}]},
        {"id": "board", "title": "看板", "sections": [
            {"title": "进度", "widgets": [
                {"id": "done", "type": "checkbox", "text": "完成", "component_key": "done"},
                {"id": "level", "type": "progress", "maximum": 10, "component_key": "level"},
                {"id": "count", "type": "spin", "from": 1, "to": 5, "increment": 2, "component_key": "count"},
                {"id": "log", "type": "text", "readonly": True, "height": 3, "component_key": "log"},
                {"id": "odd", "type": "slider"},
                {"id": "row", "type": "button_row", "children": [
                    {"id": "save", "type": "button", "text": "保存", "key": "save"},
                    {"id": "out", "type": "button", "text": "离开", "key": "leave"}]}]}]},
    ],
    "tk": {"start_page": "signin", "home_after_login": "board", "public_pages": ["signin"],
           "auth_field_map": {"username": "name_box", "password": "pass_box"},
           "clear_components_on_goto": ["pass_box"],
           "actions": {"enter": {"type": "login", "success_message": "你好 {username}"},
                       "save": {"type": "business", "handler": "save", "fields": {"done": "done", "count": "count"}},
                       "leave": "logout"}},
    "web": {"home_after_login": "/board"},
}


class TodoEngine(TkJsonEngine):
    @property
    def business_handlers(self):
        return {"save": self.save}

    def save(self, done="", count="", user_id=None):
        level = (5 if done == "True" else 0) + int(count or 0)
        self._components["level"] = level
        self._components["log"] = f"done={done}\ncount={count}"
        return True, f"已保存 {level}"


def test_another_layout_with_other_pages_widgets_and_keys(tmp_path, write_json):
    doc = json.loads(json.dumps(TODO))
    doc["database"]["data_root"] = str(tmp_path)
    app = create_site(write_json(tmp_path / "todo" / "gui_layout.json", doc), engine_class=TodoEngine)
    visitor = Browser(app, home="/board")
    signin = visitor.page("/login")  # no login form: the layout's own start page
    assert signin.page_id == "signin" and [c["id"] for c in signin.controls] == ["who", "pass", "go"]
    assert signin.control("pass")["type"] == "password"
    answer = visitor.press("enter", path="/login", name_box="ann", pass_box="ann-pass", level="99")
    assert answer.headers["Location"] == "/board"
    board = visitor.page()
    assert (board.page_id, board.status, board.user) == ("board", "你好 ann", "当前用户: ann")
    assert [c["id"] for c in board.controls] == ["done", "level", "count", "log", "save", "out"]
    assert board.control("count")["type"] == "number" and board.control("log")["name"] is None
    assert "[未知控件类型: slider]" in visitor.bodies[-1]
    visitor.press("save", done="true", count="3", log="typed into a read-only box")
    saved = visitor.page()
    assert saved.status == "已保存 8" and saved.control("done")["checked"]
    assert saved.control("level")["value"] == "8" and saved.control("log")["text"] == "done=True\ncount=3"
    visitor.client.post("/board", page="board", key="save", done="false", count="1")  # an unchecked box posts false
    assert visitor.page().status == "已保存 1"
    assert visitor.press("leave").headers["Location"] == "/login"
    assert visitor.page("/login").page_id == "signin"


def test_engine_refusals_and_failures_show_on_the_status_line(example, monkeypatch):
    visitor = Browser(example)
    visitor.login()

    def broken(self, **kw):
        raise RuntimeError("数据库忙")

    monkeypatch.setattr(DemoEngine, "add_student", broken)
    visitor.press("添加学生", student_name="x")
    assert visitor.page().status == "RuntimeError: 数据库忙"
    monkeypatch.undo()
    assert visitor.press("学生列表").status_code == 303


def test_logins_on_the_layout_pages_are_throttled(tmp_path, write_json):
    doc = json.loads(json.dumps(TODO))
    doc["database"]["data_root"] = str(tmp_path)
    doc["web"]["csrf"] = False
    app = create_site(write_json(tmp_path / "todo" / "gui_layout.json", doc), engine_class=TodoEngine)
    client = app.test_client()
    for _ in range(5):
        client.post("/login", data={"page": "signin", "key": "enter", "name_box": "ann", "pass_box": "no"})
    refused = client.post("/login", data={"page": "signin", "key": "enter", "name_box": "ann", "pass_box": "ann-pass"})
    assert refused.status_code == 429 and "Retry-After" in refused.headers


def free_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve(project, port):
    proc = subprocess.Popen([sys.executable, "-m", "vantrel_app_plugin", "web", str(project), "--port", str(port),
                             "--no-reclaim"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert "serving" in proc.stdout.readline()
    visitor = Visitor(f"http://127.0.0.1:{port}")
    deadline = time.time() + 30
    while True:
        try:
            if visitor.fetch("/login")[0] == 200:
                return proc
        except OSError:
            pass
        assert time.time() < deadline
        time.sleep(0.1)


def test_two_server_processes_keep_one_session_and_a_restart_keeps_it(project):
    pytest.importorskip("waitress")
    ports = [free_port(), free_port()]
    procs = [serve(project, port) for port in ports]
    try:
        one, two = (Visitor(f"http://127.0.0.1:{port}") for port in ports)
        assert one.post("/login", username="admin", password="admin123")[:2] == (302, "/dashboard")
        two.jar = one.jar  # the same visitor, served by the other process
        two.opener = one.opener
        status, page, _ = Visitor.fetch(two, "/dashboard")
        token = re.search(r'name="csrf_token" value="([^"]+)"', page).group(1)
        forms = [{"page": "dashboard", "key": "学生列表"}, {"page": "students", "key": "首页"},
                 {"page": "dashboard", "key": "学生列表"}]
        for i, form in enumerate(forms):
            where = one if i % 2 else two
            where.base = f"http://127.0.0.1:{ports[i % 2]}"
            assert where.fetch("/dashboard", {**form, "csrf_token": token})[:2] == (303, "/dashboard")
        procs[0].terminate()
        procs[0].wait(timeout=10)
        procs[0] = serve(project, ports[0])  # a restart
        one.base = f"http://127.0.0.1:{ports[0]}"
        status, page, _ = one.fetch("/dashboard")
        assert status == 200 and 'data-page="students"' in page
    finally:
        for proc in procs:
            proc.terminate()
            proc.wait(timeout=10)
