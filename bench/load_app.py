"""The sites measured by ``bench/load.py``. Gunicorn imports this module; the
layout comes from the environment variable VANTREL_LAYOUT.

- ``cpp_app`` and ``py_app``: the web face of the library and its
  straightforward pure-Python twin (``bench_web.PyJsonAppPluginWeb``), each
  with a protected home page;
- ``site_app``: the site `vantrel-app web` serves, the layout's pages driven
  by the example's engine (the WSGI factory ``create_app``);
- ``floor_app``: a bare Flask application answering every GET with the bytes
  of the file VANTREL_FLOOR_PAGE (a page of the site, saved): the framework's
  own floor for serving those bytes.
"""

from __future__ import annotations

import functools
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import flask  # noqa: E402
from markupsafe import escape  # noqa: E402

from bench_web import PyJsonAppPluginWeb  # noqa: E402
from vantrel_app_plugin import calvet  # noqa: E402


class Home:
    """The engine hook of both sites: /dashboard shows the logged-in user."""

    def mount_web_routes(self, app, web):
        def dashboard():
            return f"<p>当前用户: {escape(web.session_user()['username'])}</p>"

        app.add_url_rule("/dashboard", "dashboard", web.require_login(dashboard))


class PySite(PyJsonAppPluginWeb):
    def require_login(self, view):
        @functools.wraps(view)
        def wrapper(*args, **kwargs):
            if self.session_user() is None:
                return flask.redirect("/login")
            return view(*args, **kwargs)

        return wrapper


def cpp_app():
    web = calvet.JsonAppPluginWeb(os.environ["VANTREL_LAYOUT"])
    web.init_database()
    return web.create_flask_app(Home())


def site_app():
    return calvet.create_app(os.environ["VANTREL_LAYOUT"])


def floor_app():
    page = Path(os.environ["VANTREL_FLOOR_PAGE"]).read_bytes()
    app = flask.Flask("floor")

    @app.route("/<path:anything>")
    def any_page(anything):
        return flask.Response(page, mimetype="text/html")

    return app


def py_app():
    site = PySite(os.environ["VANTREL_LAYOUT"])
    app = site.create_flask_app()
    Home().mount_web_routes(app, site)
    return app
