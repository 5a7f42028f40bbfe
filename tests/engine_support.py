"""Stand-ins shared by the page-engine tests: a primary plugin and the host's page list."""

import json

import pytest

from vantrel_app_plugin import brisen
from vantrel_app_plugin.brisen import TkJsonEngine
from vantrel_soft import gui_config

DEFAULT_CLEAR = ("entry", "label_frame_entry", "ttk_entry", "progress", "spin")


class FakePlugin:
    """Primary plugin stand-in: records calls, answers logins from a table."""

    def __init__(self, layout, accounts=None):
        self.data = layout
        self.accounts = accounts if accounts is not None else {"alice": ("pw", 7)}
        self.calls = []

    def init_database(self):
        self.calls.append("init_database")

    def login_user(self, fields):
        self.calls.append(("login_user", fields))
        entry = self.accounts.get(fields["username"])
        if entry and entry[0] == fields["password"]:
            return True, {"id": entry[1], "username": fields["username"]}
        return False, "用户名或密码错误"

    def register_user(self, fields):
        self.calls.append(("register_user", fields))
        if fields.get("username") in self.accounts:
            return False, "用户名已存在"
        return True, "注册成功"


@pytest.fixture
def host_pages(tmp_path):
    """The host's page list: login, register, dashboard, report (in that order)."""
    path = tmp_path / "host" / "gui_layout.json"
    path.parent.mkdir()
    pages = [{"id": p, "sections": []} for p in ("login", "register", "dashboard", "report")]
    path.write_text(json.dumps({"pages": pages}), encoding="utf-8")
    gui_config.use_layout(path)
    yield
    gui_config.use_layout(None)


@pytest.fixture
def make_engine(monkeypatch, host_pages, tmp_path):
    """Build an engine of ``cls`` on ``layout`` with a FakePlugin as its only plugin."""
    known = set(DEFAULT_CLEAR) | {"ui_page", "ui_page_index", "title", "note"}
    monkeypatch.setattr(brisen, "COMPONENT_KEYS", known)

    def make(layout=None, cls=TkJsonEngine, plugins=None, **plugin_kw):
        layout = {} if layout is None else layout
        plugin = FakePlugin(layout, **plugin_kw)
        mapping = plugins if plugins is not None else {"fake": plugin}
        monkeypatch.setattr(brisen, "load_unified_plugins", lambda path: mapping)
        monkeypatch.setattr(brisen, "primary_plugin", lambda ps: plugin)
        return cls(str(tmp_path / "layout.json"))

    make.known = known
    return make
