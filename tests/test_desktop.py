"""The desktop window on a virtual X display (Xvfb; skipped without it), with a
screenshot of every step in build/test-artifacts/desktop/."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from web_support import FormClient, Page

tk = pytest.importorskip("tkinter", reason="Tk for Python (tkinter) is not available")

from vantrel_soft import gui_config, harness  # noqa: E402
from vantrel_soft.demo import DemoEngine  # noqa: E402
from vantrel_soft.desktop import DesktopWindow  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
ARTIFACTS = REPO / "build" / "test-artifacts" / "desktop"


@pytest.fixture(scope="module")
def display():
    """A virtual X display of our own, on a display number Xvfb picks itself."""
    xvfb = shutil.which("Xvfb")
    if xvfb is None:
        pytest.skip("Xvfb is not installed (Debian: apt-get install xvfb fonts-noto-cjk)")
    if "CJK" not in subprocess.run(["fc-list"], capture_output=True, text=True).stdout:
        print("no CJK font installed (Debian: fonts-noto-cjk): Chinese labels render as boxes")
    read, write = os.pipe()
    server = subprocess.Popen([xvfb, "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                              pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as pipe:
        number = pipe.readline().strip()
    if not number:
        server.kill()
        pytest.skip("Xvfb did not start")
    yield f":{number}"
    server.terminate()
    server.wait(10)


@pytest.fixture
def open_window(display):
    """Opens a DesktopWindow on the virtual display; closes it afterwards."""
    opened = []

    def open_(layout_path, engine_factory=DemoEngine):
        root = tk.Tk(screenName=display)
        window = DesktopWindow(root, layout_path, engine_factory)
        opened.append((root, window))
        root.update()
        return window

    yield open_
    for root, window in opened:
        window.close()
        root.destroy()
    gui_config.use_layout(None)


def screenshot(window, name):
    """Draw, then keep the window's pixels as a PNG artefact; returns the image."""
    root = window.master
    root.update_idletasks()
    root.update()
    ImageGrab = pytest.importorskip("PIL.ImageGrab")
    x, y = root.winfo_rootx(), root.winfo_rooty()
    image = ImageGrab.grab(bbox=(x, y, x + root.winfo_width(), y + root.winfo_height()),
                           xdisplay=root.winfo_screen())
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    image.save(ARTIFACTS / f"{name}.png")
    return image


def type_into(window, widget_id, text):
    """Replace the text of an entry or spin box, as typing does (through the widget)."""
    widget = window.widgets[widget_id]
    widget.delete(0, "end")
    widget.insert(0, text)


def label_text(label):
    variable = str(label.cget("textvariable"))
    return label.getvar(variable) if variable else label.cget("text")


def shown(window):
    return window.current_page, window.status.get(), window.user.get()


def test_example_session_through_the_widgets(open_window, project, store_url, monkeypatch):
    if store_url:  # the example on PostgreSQL: one variable
        monkeypatch.setenv("VANTREL_DATABASE_URL", store_url)
    window = open_window(project)
    assert window.master.title() == "学生管理演示"
    assert shown(window) == ("login", "请登录", "未登录")
    image = screenshot(window, "01-login")
    assert len(image.getcolors(1 << 16)) > 8  # something is drawn, not a blank window

    window.button("去注册").invoke()
    type_into(window, "reg_username", "小明")
    type_into(window, "reg_password", "password1")
    type_into(window, "reg_confirm", "password1")
    screenshot(window, "02-register")
    window.button("注册").invoke()
    assert shown(window) == ("login", "注册成功", "未登录")
    assert window.widgets["login_username"].get() == ""  # the form was cleared on arrival

    type_into(window, "login_username", "小明")
    type_into(window, "login_password", "wrong")
    window.button("登录").invoke()
    assert shown(window) == ("login", "用户名或密码错误", "未登录")

    # Return in the password entry presses the page's first button (登录).
    type_into(window, "login_password", "password1")
    entry = window.widgets["login_password"]
    entry.focus_force()
    window.master.update()
    entry.event_generate("<Return>")
    assert shown(window) == ("dashboard", "欢迎，小明", "当前用户: 小明")
    assert label_text(window.widgets["summary"]) == "小明 共有 0 名学生"
    screenshot(window, "03-dashboard")

    type_into(window, "student_name", "张三")
    window.widgets["student_age"].event_generate("<<Increment>>")  # the spin box's arrow
    type_into(window, "student_age", "12")
    window.button("添加学生").invoke()
    assert shown(window) == ("students", "已添加学生: 张三", "当前用户: 小明")
    assert window.widgets["student_list"].get("1.0", "end-1c") == "张三（12 岁）"
    screenshot(window, "04-students")

    window.button("首页").invoke()
    assert label_text(window.widgets["summary"]) == "小明 共有 1 名学生"
    window.button("注销").invoke()
    assert shown(window) == ("login", "已注销", "未登录")
    assert window.widgets["login_username"].get() == window.widgets["login_password"].get() == ""
    screenshot(window, "05-logged-out")


VOCABULARY = {
    "title": "Widgets",
    "pages": [{"id": "login", "title": "All widgets", "sections": [{"title": "Section", "widgets": [
        {"id": "name", "type": "entry", "label": "Name", "component_key": "entry"},
        {"id": "count", "type": "spin", "label": "Count", "from": 1, "to": 3, "component_key": "spin"},
        {"id": "agree", "type": "checkbox", "text": "I agree", "component_key": "agree"},
        {"id": "level", "type": "progress", "maximum": 50, "component_key": "progress"},
        {"id": "notes", "type": "text", "height": 3, "component_key": "notes"},
        {"id": "fixed", "type": "label", "text": "static text"},
        {"id": "echo", "type": "label", "component_key": "entry"},
        {"id": "odd", "type": "slider"},
        {"id": "row", "type": "button_row", "children": [{"id": "save", "type": "button", "text": "保存", "key": "save"},
                                                         {"type": "button", "text": "secret"},
                                                         {"type": "button", "text": "away"}]}]}]},
              {"id": "private", "sections": []}],
    "tk": {"public_pages": ["login", "nowhere"], "clear_components_on_goto": [], "actions": {
        "save": {"type": "goto", "page": "login", "set": {"progress": 20}},
        "secret": {"type": "goto", "page": "private", "require_login": True},
        "away": {"type": "goto", "page": "nowhere"}}},
}


def test_widget_vocabulary(open_window, tmp_path):
    path = tmp_path / "gui_layout.json"
    path.write_text(json.dumps(VOCABULARY), encoding="utf-8")
    window = open_window(path, None)
    engine, widgets = window.engine, window.widgets
    assert {"agree", "notes"} <= harness.COMPONENT_KEYS  # the host knows the layout's components

    type_into(window, "name", "Ann")  # every edit reaches the engine ...
    assert engine.snapshot()["components"]["entry"] == "Ann"
    assert label_text(widgets["echo"]) == "Ann"  # ... and every widget of that component shows it
    widgets["count"].event_generate("<<Increment>>")
    assert engine.snapshot()["components"]["spin"] == "1"  # from 1
    widgets["agree"].invoke()
    assert engine.snapshot()["components"]["agree"] is True
    widgets["notes"].insert("1.0", "line one\nline two")
    window.master.update()
    assert engine.snapshot()["components"]["notes"] == "line one\nline two"
    assert widgets["fixed"].cget("text") == "static text"
    assert "slider" in widgets["odd"].cget("text")  # visible placeholder for an unknown type

    window.button("save").invoke()  # shows 保存, presses its key
    assert widgets["save"].cget("text") == "保存"
    assert float(widgets["level"].cget("value")) == 20 and float(widgets["level"].cget("maximum")) == 50
    screenshot(window, "10-vocabulary")

    window.button("secret").invoke()  # refused by the engine: message on the status line
    assert shown(window)[:2] == ("login", "请先登录")
    window.button("away").invoke()  # a page the layout lacks
    assert window.current_page == "nowhere"
    assert window.page_frame().winfo_children()[0].cget("text") == "布局中没有页面: nowhere"
    screenshot(window, "11-missing-page")
    revision = engine.snapshot()["revision"]
    window.redraw()  # drawing does not feed values back into the engine
    assert engine.snapshot()["revision"] == revision


def test_desktop_command_opens_the_window(display, project):
    env = dict(os.environ, DISPLAY=display)
    proc = subprocess.Popen([sys.executable, "-m", "vantrel_app_plugin", "desktop", str(project)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert proc.stdout.readline() == "window open: 学生管理演示\n"
        assert proc.poll() is None
    finally:
        proc.terminate()
        _, err = proc.communicate(timeout=10)
    assert "Traceback" not in err


def test_every_widget_type_of_the_table_is_drawn_and_others_are_placeholders(open_window, tmp_path, write_json):
    from vantrel_soft.widgets import WIDGET_TYPES

    kinds = sorted(WIDGET_TYPES) + ["slider", "Entry "]
    widgets = [{"id": f"w{i}", "type": kind, "text": "t"} for i, kind in enumerate(kinds)]
    window = open_window(write_json(tmp_path / "gui_layout.json", {"pages": [{"id": "login", "sections": [
        {"widgets": widgets}]}]}), None)
    for i, kind in enumerate(kinds):
        widget = window.widgets[f"w{i}"]
        placeholder = isinstance(widget, tk.Label) and "未知控件类型" in str(widget.cget("text"))
        assert placeholder is (kind.strip().lower() not in WIDGET_TYPES), kind


WEB_KINDS = {("input", "text"): "entry", ("input", "password"): "entry", ("input", "number"): "spin",
             ("input", "checkbox"): "checkbox", ("textarea", None): "text", ("p", None): "label",
             ("progress", None): "progress", ("button", "submit"): "button", ("div", None): "button_row"}
DESKTOP_KINDS = {"TEntry": "entry", "TSpinbox": "spin", "Text": "text", "TLabel": "label", "TCheckbutton": "checkbox",
                 "TProgressbar": "progress", "TButton": "button", "TFrame": "button_row", "Label": "unknown"}


def web_controls(html):
    """The controls a web page shows, in order: ["caption", text] for a caption, [kind, id, text] for a control."""
    items = []
    for c in Page(html).items:
        if c["tag"] == "caption":
            items.append(["caption", c["text"]])
        elif c["id"] not in ("page-title", "status", "user"):
            unknown = c["tag"] == "div" and "alert" in c["class"]
            if kind := "unknown" if unknown else WEB_KINDS.get((c["tag"], c["type"])):
                items.append([kind, c["id"], c["text"] if kind == "button" else ""])
    return items


def desktop_controls(window, page_id):
    """The same description of the window's frame of a page, in the order the window shows it."""
    ids, items = {str(widget): wid for wid, widget in window.widgets.items()}, []

    def cell(child):  # by grid cell; packed children keep their order, the sort being stable
        info = child.grid_info() if child.winfo_manager() == "grid" else {}
        return int(info.get("row", 0)), int(info.get("column", 0))

    def walk(widget):
        for child in sorted(widget.winfo_children(), key=cell):
            if str(child) in ids:
                kind = DESKTOP_KINDS[child.winfo_class()]
                items.append([kind, ids[str(child)], child.cget("text") if kind == "button" else ""])
            elif child.winfo_class() == "TLabel":
                items.append(["caption", child.cget("text")])
            walk(child)

    walk(window._pages[page_id])
    return items


def test_the_web_pages_show_the_controls_the_window_builds(open_window, project):
    """For every page of the example: the same ids, kinds, captions and button texts, in the same order."""
    pytest.importorskip("flask")
    from vantrel_soft.website import create_site
    from vantrel_soft.website.pages import SESSION_ID

    window = open_window(project)
    app = create_site(project, engine_class=DemoEngine)
    pages, client = app.extensions["vantrel_site"].pages, FormClient(app)
    client.post("/login", username="admin", password="admin123")
    with client.session() as session:
        session_id = session[SESSION_ID]
    for page in json.loads(project.read_text(encoding="utf-8"))["pages"]:
        components = {**pages.initial["components"], "ui_page": page["id"]}  # the visitor on that page
        pages.sessions.save(session_id, {**pages.initial, "user": {"id": 1, "username": "admin"},
                                         "components": components})
        web = web_controls(client.get("/dashboard").text)
        assert web == desktop_controls(window, page["id"]) and len(web) >= 3, page["id"]
