"""Web face: calvet (JsonAppPluginWeb) through Flask.

The Python twin is the straightforward version: the same class written in
Python on the login benchmarks' pure-Python user store, rendering both page
templates with ``render_template_string`` on every request.
"""

from __future__ import annotations

import html
import itertools
import tempfile
from pathlib import Path

from bench_login import PyJsonAppPlugin
from harness import Case
from load import write_layout

import flask
from vantrel_app_plugin.calvet import _AUTH_CARD, _BASE_LAYOUT, JsonAppPluginWeb


class PyJsonAppPluginWeb(PyJsonAppPlugin):
    @property
    def pages_cfg(self):
        for key in ("auth_forms", "pages"):
            if isinstance(self._raw.get(key), dict):
                return dict(self._raw[key])
        return {}

    def _key(self):
        return str(self.auth_cfg.get("session_key") or "user")

    def session_user(self):
        user = flask.session.get(self._key())
        return user if isinstance(user, dict) else None

    def set_session_user(self, user):
        if user is None:
            flask.session.pop(self._key(), None)
        else:
            flask.session[self._key()] = user

    def render_auth_page(self, page_key):
        cfg = dict(self.pages_cfg.get(page_key) or {})
        footer = ""
        for link in cfg.get("footer_links") or []:
            if isinstance(link, dict):
                footer += (f"{html.escape(str(link.get('text') or ''))} <a href=\"{html.escape(str(link.get('href') or '#'))}\">"
                           f"{html.escape(str(link.get('link_text') or ''))}</a> ")
        title = str(cfg.get("title") or page_key)
        card = flask.render_template_string(
            _AUTH_CARD, page_title=title, header_class=str(cfg.get("header_class") or "bg-primary"),
            btn_class=str(cfg.get("btn_class") or "btn-primary"), submit_text=str(cfg.get("submit_text") or "提交"),
            fields=list(cfg.get("fields") or []), footer_html=footer)
        return flask.render_template_string(_BASE_LAYOUT, title=title, app_title=self.app_title, content=card)

    def create_flask_app(self):
        app = flask.Flask("vantrel_app_plugin.calvet")
        app.secret_key = str(self.web_cfg.get("secret_key") or "swap-this")
        login = str((self.pages_cfg.get("login") or {}).get("route") or "/login")
        home = str(self.web_cfg.get("home_after_login") or "/dashboard")

        @app.route("/")
        def index():
            return flask.redirect(home if self.session_user() else login)

        @app.route(login, methods=["GET", "POST"])
        def plugin_login():
            if flask.request.method == "POST":
                ok, user = self.login_user(flask.request.form.to_dict())
                if ok and isinstance(user, dict):
                    self.set_session_user(user)
                    flask.flash("登录成功", "success")
                    return flask.redirect(home)
                flask.flash(str(user), "error")
            return self.render_auth_page("login")

        return app


def cases() -> list[Case]:
    root = Path(tempfile.mkdtemp(prefix="vantrel-bench-web-"))
    layout = write_layout(root)  # the site the load run serves
    cpp, py = JsonAppPluginWeb(layout), PyJsonAppPluginWeb(layout)
    cpp.init_database()
    cpp_app, py_app = cpp.create_flask_app(), py.create_flask_app()
    cpp_client, py_client = cpp_app.test_client(), py_app.test_client()
    form = {"username": "admin", "password": "admin123"}

    def rendered(web, app):
        ctx = app.test_request_context("/login")
        ctx.push()
        return lambda: web.render_auth_page("login")

    def post(app):
        def run():  # a fresh visitor each time: no session grows with unread messages
            return app.test_client().post("/login", data=form).status_code
        return run

    with cpp_app.test_request_context("/login"):
        cpp_page = cpp.render_auth_page("login")
    with py_app.test_request_context("/login"):
        assert py.render_auth_page("login") == cpp_page
    render_cpp, render_py = rendered(cpp, cpp_app), rendered(py, py_app)
    return [
        Case("render_auth_page('login')", render_cpp, render_py, (), 10.0),
        Case("GET /login (test client)", lambda: cpp_client.get("/login").status_code,
             lambda: py_client.get("/login").status_code, (), 10.0),
        Case("POST /login, success (test client)", post(cpp_app), post(py_app), (), 1.5),
    ]
