"""The layout's pages on the web, driven by a page engine per visitor."""

import json
import time

import pytest
from web_support import FormClient, Page

flask = pytest.importorskip("flask")

from vantrel_app_plugin.brisen import TkJsonEngine  # noqa: E402
from vantrel_soft.demo import DemoEngine  # noqa: E402
from vantrel_soft.website import create_site  # noqa: E402
from vantrel_soft.website.pages import SESSION_ID  # noqa: E402


class Browser:
    """A visitor of a site in the Flask test client: shows pages, presses buttons, keeps every body."""

    def __init__(self, app, home="/dashboard", cookie=None):
        self.client, self.home, self.bodies = FormClient(app), home, []
        if cookie:
            self.client.client.set_cookie("session", cookie)

    def kept(self, answer):
        self.bodies.append(answer.get_data(as_text=True))
        return answer

    def get(self, path=None):
        return self.kept(self.client.get(path or self.home))

    def page(self, path=None):
        answer = self.get(path)
        assert answer.status_code == 200, (path, answer.status_code, answer.headers.get("Location"))
        return Page(answer.text)

    def press(self, key, path=None, **values):
        page_id = self.page(path).page_id
        return self.kept(self.client.post(path or self.home, page=page_id, key=key, **values))

    def login(self, name="admin", password="admin123"):
        return self.kept(self.client.post("/login", username=name, password=password))


def rows(app, sql):
    with app.extensions["vantrel_site"].connect() as conn:
        return [tuple(r) for r in conn.execute(sql)]


def test_the_example_in_the_browser(project, store_url, monkeypatch):
    if store_url:
        monkeypatch.setenv("VANTREL_DATABASE_URL", store_url)
    example = create_site(project, engine_class=DemoEngine)
    visitor = Browser(example)
    assert visitor.get().headers["Location"] == "/login"  # logged out: to the login page
    register = visitor.client.post("/register", username="网页用户", password="pw-12345", confirm_password="pw-12345")
    assert register.headers["Location"] == "/login"
    assert visitor.login("网页用户", "pw-12345").headers["Location"] == "/dashboard"
    home = visitor.page()
    assert (home.page_id, home.status, home.user) == ("dashboard", "欢迎，网页用户", "当前用户: 网页用户")
    assert home.control("summary")["text"] == "网页用户 共有 0 名学生"  # the page hook ran, as in the window
    # Every control of the layout's page, in order; fields post under their component keys.
    dashboard = next(p for p in example.extensions["vantrel_site"].data["pages"] if p["id"] == "dashboard")
    flat = [c for w in dashboard["sections"][0]["widgets"] for c in w.get("children", [w])]
    assert [c["id"] for c in home.controls] == [w["id"] for w in flat]
    for widget in flat:
        control = home.control(widget["id"])
        if widget["type"] in ("entry", "spin"):
            assert control["tag"] == "input" and control["name"] == widget["component_key"]
        if widget["type"] == "button":
            assert control["tag"] == "button" and control["text"] == control["value"] == widget["text"]
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
    assert visitor.press("注销").headers["Location"] == "/login"  # the engine's logout key logs out of the site
    assert visitor.get().headers["Location"] == "/login"


def test_a_press_is_one_post_a_reload_never_presses_again_and_failures_show(project, monkeypatch):
    example = create_site(project, engine_class=DemoEngine)
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

    def broken(self, **kw):
        raise RuntimeError("数据库忙")

    monkeypatch.setattr(DemoEngine, "add_student", broken)
    visitor.press("首页")
    visitor.press("添加学生", student_name="x")
    assert visitor.page().status == "RuntimeError: 数据库忙"  # on the status line, and the site goes on
    monkeypatch.undo()
    assert visitor.press("学生列表").status_code == 303


def test_typed_passwords_never_come_back(project, write_json):
    layout = json.loads(project.read_text(encoding="utf-8"))
    del layout["auth_forms"]  # the layout's own login and registration pages
    app = create_site(write_json(project, layout), engine_class=DemoEngine)
    visitor, secret = Browser(app), "秘密-Password-9"
    visitor.press("去注册", path="/login")
    visitor.press("注册", path="/login", entry="新人", label_frame_entry=secret, ttk_entry=secret)
    assert visitor.page("/login").status == "注册成功"
    visitor.press("登录", path="/login", entry="新人", label_frame_entry="wrong-one")
    failed = visitor.page("/login")
    assert failed.status == "用户名或密码错误" and failed.control("login_password")["value"] == ""
    assert failed.control("login_username")["value"] == "新人"  # the name stays, as in the window
    answer = visitor.press("登录", path="/login", entry="新人", label_frame_entry=secret)
    assert answer.headers["Location"] == "/dashboard" and visitor.page().user == "当前用户: 新人"
    assert (stored := rows(app, "SELECT state FROM vantrel_sessions"))
    for typed in (secret, "wrong-one"):
        assert typed not in "".join(visitor.bodies) and all(typed not in s for (s,) in stored)


def test_state_lives_server_side_and_visitors_are_apart(project):
    example = create_site(project, engine_class=DemoEngine)
    one, two = Browser(example), Browser(example)
    one.login()
    one.press("添加学生", student_name="甲同学", student_age="9")
    two.login()
    assert (one.page().page_id, two.page().page_id, one.page().page_id) == ("students", "dashboard", "students")
    with one.client.session() as cookie:  # signed, not encrypted: anyone can read it
        assert set(cookie) <= {"user", SESSION_ID, "csrf_token", "_flashes"}
        assert "甲同学" not in json.dumps(dict(cookie), ensure_ascii=False)
    two.press("注销")
    assert one.page().user == "当前用户: admin" and two.get().status_code == 302


def test_a_session_outlives_a_restart_but_not_a_logout_or_idling(project):
    first = create_site(project, engine_class=DemoEngine)
    visitor = Browser(first)
    visitor.login()
    visitor.press("学生列表")
    cookie = visitor.client.client.get_cookie("session").value
    restarted = create_site(project, engine_class=DemoEngine)  # same data root: same key, same store
    assert Browser(restarted, cookie=cookie).page().page_id == "students"
    visitor.press("注销")
    for app in (first, restarted):  # the cookie replayed after the logout
        for path in ("/dashboard", "/"):
            assert Browser(app, cookie=cookie).get(path).headers["Location"] == "/login"
    idle = Browser(restarted)
    idle.login()
    now = time.time()
    restarted.extensions["vantrel_site"].pages.sessions.clock = lambda: now + 1801
    assert idle.get().headers["Location"] == "/login"


@pytest.mark.parametrize("with_pages", [True, False])
def test_nothing_is_built_per_request(project, monkeypatch, with_pages):
    """Later visits build no engine and compile no template (a compiled template costs about a millisecond)."""
    import jinja2

    if not with_pages:  # the site's own home page, for a layout without pages
        layout = json.loads(project.read_text(encoding="utf-8"))
        del layout["pages"]
        project.write_text(json.dumps(layout, ensure_ascii=False), encoding="utf-8")
    built, compiled = [], []
    init, compile_ = DemoEngine.__init__, jinja2.Environment._compile
    monkeypatch.setattr(DemoEngine, "__init__", lambda self, *a: built.append(self) or init(self, *a))
    app = create_site(project, engine_class=DemoEngine)
    monkeypatch.setattr(jinja2.Environment, "_compile", lambda env, *a: compiled.append(a) or compile_(env, *a))

    def visit():
        visitor = Browser(app)
        visitor.login("nobody", "wrong-pass")  # a message, flashed on the next page
        for path in ("/login", "/register", "/logout"):
            visitor.get(path)
        visitor.login()
        visitor.get("/dashboard")
        for _ in range(3 if with_pages else 0):
            visitor.press("学生列表")
            visitor.press("首页")
        visitor.get("/logout")

    visit()
    first = len(compiled)
    visit()
    visit()
    assert first and len(compiled) == first and len(built) == with_pages


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
        {"id": "board", "title": "看板", "sections": [{"title": "进度", "widgets": [
            {"id": "done", "type": "checkbox", "text": "完成", "component_key": "done"},
            {"id": "level", "type": "progress", "maximum": 10, "component_key": "level"},
            {"id": "count", "type": "spin", "from": 1, "to": 5, "increment": 2, "component_key": "count"},
            {"id": "log", "type": "text", "readonly": True, "height": 3, "component_key": "log"},
            {"id": "odd", "type": "slider"},
            {"id": "row", "type": "button_row", "children": [
                {"id": "save", "type": "button", "text": "保存", "key": "save"},
                {"id": "out", "type": "button", "text": "离开", "key": "leave"}]}]}]}],
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
        self._components.update(level=level, log=f"done={done}\ncount={count}")
        return True, f"已保存 {level}"


def test_another_layout_with_other_pages_widgets_and_keys(tmp_path, write_json):
    doc = {**TODO, "database": {**TODO["database"], "data_root": str(tmp_path)}}
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
    for password in ["no"] * 5 + ["ann-pass"]:  # logins on the layout's own pages are throttled too
        refused = visitor.press("enter", path="/login", name_box="ann", pass_box=password)
    assert refused.status_code == 429 and "Retry-After" in refused.headers
