"""The layout's pages on the web, driven by a page engine per visitor.

Every page of the layout's ``pages`` is drawn from the same widget table as
the desktop window (``vantrel_soft.widgets``) at one address, the home path
(``web.home_after_login``), which shows the page the visitor's engine is on;
while nobody is logged in, the login route shows the engine's public pages
instead when the layout configures no ``auth_forms`` login page. A button
press is one POST of the page's form: the server merges the values of the
page's own widgets into the engine (``merge_components``), presses the
button's key and answers with a redirect (303) to the page, so a reload or
the back button never presses twice. Nothing needs JavaScript.

The engine is the layout's engine class (the host's subclass), constructed
once per process; a visitor's engine is a copy of it holding the visitor's
state, which lives server-side (``SessionStore``) under a random id that the
signed session cookie holds.

What hosts and tests can rely on: the page sits in an element carrying
``data-page="<page id>"``; each widget's ``id`` is the ``id`` of its control;
an input's ``name`` is its component key; a button is a ``<button>`` whose
text is the widget's text (it posts ``key``); the status line is ``#status``
and the user line ``#user``.
"""

from __future__ import annotations

import copy
import os
import sys
import time
from typing import Any

from vantrel_app_plugin.brisen import ACTION_KINDS, action_kind
from vantrel_app_plugin.calvet import ROUTES, WEB_DEFAULTS
from vantrel_soft import gui_config
from vantrel_soft.website import ALERTS
from vantrel_soft.website.sessions import SessionStore, new_session_id
from vantrel_soft.website.settings import web_setting
from vantrel_soft.widgets import (INPUT_TYPES, button_key, button_text, children, component_key, option,
                                  page_title, page_widgets, text_form, widget_type)

#: Where the visitor's session id sits in the signed session cookie.
SESSION_ID = "_vantrel_sid"

#: Kinds of the engine's log-in actions.
LOGIN_KINDS = frozenset(ACTION_KINDS["login"])

#: Where a drawn page takes the CSRF token: a page is drawn once per state and
#: kept in two halves around this slot, with a token for the halves.
TOKEN_SLOT = "\x00csrf-token\x00"

#: How long the token kept with a drawn page is shown again before a new one is
#: put in (tokens are accepted for an hour).
TOKEN_REUSE_SECONDS = 600


def _control(item: dict) -> dict:
    """What a page template needs of one widget: its type, id, caption,
    component key and its options with their defaults."""
    kind = widget_type(item)
    c: dict[str, Any] = {"kind": kind, "id": text_form(item.get("id")) if item.get("id") else None,
                         "caption": text_form(item.get("label")), "name": component_key(item)}
    if kind == "entry":
        c["password"] = bool(option(item, "show"))
    elif kind == "spin":
        c.update(min=_number_text(option(item, "from")), max=_number_text(option(item, "to")),
                 step=_number_text(option(item, "increment")))
    elif kind == "text":
        c.update(rows=min(max(int(option(item, "height")), 1), 100), readonly=bool(option(item, "readonly")))
    elif kind in ("label", "checkbox"):
        c["text"] = text_form(option(item, "text"))
    elif kind == "progress":
        c["max"] = _number_text(option(item, "maximum") or 100)
    elif kind == "button":
        c.update(key=button_key(item), text=button_text(item))
    elif kind == "button_row":
        c["children"] = [_control(child) for child in children(item)]
    return c


def _number_text(value: float) -> str:
    return str(int(value)) if float(value).is_integer() else repr(float(value))


def _walk(controls: list[dict]):
    for c in controls:
        yield c
        yield from _walk(c.get("children", ()))


class LayoutPage:
    """One page of the layout, read once: its sections of controls, the
    component keys its inputs edit (with their widget types) and the keys its
    buttons press."""

    def __init__(self, page: dict) -> None:
        self.id = text_form(page.get("id"))
        self.title = page_title(page)
        self.sections = [{"title": title, "controls": [_control(w) for w in widgets]}
                         for title, widgets in page_widgets(page)]
        flat = [c for section in self.sections for c in _walk(section["controls"])]
        self.inputs = {c["name"]: c["kind"] for c in flat
                       if c["name"] and c["kind"] in INPUT_TYPES and not c.get("readonly")}
        self.passwords = {c["name"] for c in flat if c["name"] and c.get("password")}
        self.buttons = {c["key"] for c in flat if c["kind"] == "button" and c["key"].strip()}


def _value(control: dict, components: dict) -> dict:
    """The control with the value its component holds now."""
    c = dict(control)
    value = components.get(c["name"]) if c["name"] else None
    if c["kind"] == "checkbox":
        c["checked"] = value is True or (isinstance(value, str) and value.strip().lower() == "true")
    elif c["kind"] == "progress":
        try:
            c["value"] = _number_text(max(0.0, float(value)))
        except (TypeError, ValueError, OverflowError):
            c["value"] = "0"
    elif c["kind"] == "label" and not c["name"]:
        c["value"] = c["text"]
    else:
        c["value"] = text_form(value)
    if "children" in c:
        c["children"] = [_value(child, components) for child in c["children"]]
    return c


class Pages:
    """The layout's pages of a site: its engine class built once, the
    visitors' engines, the routes that show and press them."""

    def __init__(self, site: Any, layout_path: str | os.PathLike[str], engine_class: Any) -> None:
        self.site = site
        gui_config.use_layout(layout_path)  # the host's page list and component keys are the layout's
        #: The engine every visitor's engine is a copy of (never pressed itself).
        self.template = engine_class(str(layout_path))
        layout = self.template._layout
        raw_pages = layout.get("pages") if isinstance(layout, dict) else None
        self.pages: dict[str, LayoutPage] = {}
        for page in raw_pages if isinstance(raw_pages, list) else ():
            if isinstance(page, dict) and text_form(page.get("id")) not in self.pages:
                self.pages[text_form(page.get("id"))] = LayoutPage(page)
        field_map = self.template._field_map
        self.name_key = field_map.get("username")
        self.password_key = field_map.get("password")
        self.secret_keys = {k for k in (field_map.get("password"), field_map.get("confirm_password")) if k}
        for page in self.pages.values():
            self.secret_keys |= page.passwords
        #: A new visitor's state: the template's, right after construction.
        self.initial = self.state_of(self.template)
        self._initial_page: list[str] | None = None
        self.login_key = next((key for key, action in self.template._actions.items()
                               if action_kind(action) in LOGIN_KINDS), None)
        web = site.web_cfg
        self.home = text_form(web.get("home_after_login") or WEB_DEFAULTS["home_after_login"])
        self.login_route = text_form((site.pages_cfg.get("login") or {}).get("route") or ROUTES["login"])
        #: The login route shows the layout's own pages when no login form is configured.
        self.paged_login = not site.pages_cfg.get("login")
        self.sessions = SessionStore(site, web_setting(web, "session_idle_seconds"))

    # ------------------------------------------------------------------ engines and their state

    def state_of(self, engine: Any) -> dict:
        """What a visitor's engine keeps between requests (never a typed password)."""
        components = dict(engine._components)
        for key in self.secret_keys:
            if key in components:
                components[key] = ""
        return {"user": engine._user, "status": engine._status, "revision": engine._revision,
                "components": components}

    def engine_for(self, state: dict | None) -> Any:
        """A visitor's engine: a copy of the template holding ``state`` (or the
        template's own state for a new visitor)."""
        engine = copy.copy(self.template)
        state = state or self.initial
        engine._user = state["user"]
        engine._status = state["status"]
        engine._revision = state["revision"]
        components = dict(self.initial["components"])
        components.update(state["components"])
        engine._components = components
        return engine

    def visitor_state(self) -> dict | None:
        from flask import g

        return getattr(g, "vantrel_state", None)

    def keep(self, engine: Any, fresh: bool = False) -> None:
        """Keep the visitor's engine state; ``fresh``: under a new session id
        (a login: the earlier id, if any, ends)."""
        from flask import session

        session_id = session.get(SESSION_ID)
        if fresh or not session_id:
            if session_id:
                self.sessions.delete(session_id)
            session_id = new_session_id()
        state = self.state_of(engine)
        self.sessions.save(session_id, state, self.drawn_page(engine, isinstance(state["user"], dict)))
        if session.get(SESSION_ID) != session_id:
            session[SESSION_ID] = session_id

    def end(self) -> None:
        """End the visitor's engine session (a logout)."""
        from flask import session

        session_id = session.pop(SESSION_ID, None)
        if session_id:
            self.sessions.delete(session_id)

    # ------------------------------------------------------------------ requests

    def check_session(self) -> None:
        """Before every request: the visitor's state, and a logged-in visitor
        without one (expired, logged out, a cookie replayed after logout) is
        logged out of the site."""
        from flask import g, request, session

        if request.endpoint == "vantrel_stylesheet":
            return
        session_id = session.get(SESSION_ID)
        state = self.sessions.load(session_id) if session_id else None
        if session_id and state is None:
            session.pop(SESSION_ID, None)
        if self.site.session_user() is not None and (state is None or state.get("user") is None):
            session.clear()
        g.vantrel_state = state

    def login(self, fields: dict) -> tuple[bool, Any]:
        """Log the visitor's engine in with the fields of the web face's login
        form, as its own login key would: one check of the password, the
        welcome text, the home page with its hooks."""
        from flask import g

        engine = self.engine_for(self.visitor_state())
        before = engine._user
        engine._components[self.name_key] = text_form(fields.get("username") or "")
        engine._components[self.password_key] = text_form(fields.get("password") or "")
        if self.login_key is not None:
            engine.press(self.login_key)
        else:
            engine._action_login({})
        if engine._user is not before and isinstance(engine._user, dict):
            g.vantrel_logged_in = engine  # kept under a new id once the login has replaced the session
            return True, engine._user
        return False, engine._status

    def after_request(self, response: Any) -> Any:
        from flask import g

        engine = getattr(g, "vantrel_logged_in", None)
        if engine is not None:
            self.keep(engine, fresh=True)
        return response

    def url(self, logged_in: bool) -> str:
        return self.home if logged_in else self.login_route

    def draw(self, engine: Any, logged_in: bool, messages: list | None = None) -> list[str]:
        """The page ``engine`` is on, drawn as it is shown to a visitor
        (logged in or not), in two halves around the CSRF token's slot."""
        from flask import current_app, render_template

        snap = engine.snapshot()
        page_id = text_form(snap["components"].get("ui_page"))
        page = self.pages.get(page_id)
        shown = None if page is None else [
            {"title": s["title"], "controls": [_value(c, snap["components"]) for c in s["controls"]]}
            for s in page.sections]
        title = page.title if page else page_id
        token = TOKEN_SLOT if "csrf" in current_app.extensions else None
        html = render_template("site/page.html", page_id=page_id, page=shown, page_title=title, title=title,
                               app_title=self.site.app_title, status=text_form(snap["display"]),
                               user_line=text_form(snap["expression_line"]), action=self.url(logged_in),
                               stylesheet=ROUTES["stylesheet"], alerts=ALERTS, messages=messages or [], token=token)
        before, _, after = html.partition(TOKEN_SLOT)
        return [before, after]

    def drawn_page(self, engine: Any, logged_in: bool) -> dict:
        """What is kept with a state: its page drawn, and a token for it."""
        return {"halves": self.draw(engine, logged_in), "token": self.token(), "at": time.time()}

    def token(self) -> str | None:
        """A CSRF token of the visitor's session, when the site checks them."""
        from flask import current_app

        if "csrf" not in current_app.extensions:
            return None
        from flask_wtf.csrf import generate_csrf

        return generate_csrf()

    def view(self) -> Any:
        """The page the visitor's engine is on: GET shows it, POST presses a button of it."""
        from flask import get_flashed_messages, redirect, request

        logged_in = self.site.session_user() is not None
        if request.path == self.home and not logged_in:
            return redirect(self.login_route)
        if request.path == self.login_route and logged_in:
            return redirect(self.home)
        state = self.visitor_state()
        if request.method == "POST":
            return self.press(self.engine_for(state), request.form, logged_in) or redirect(self.url(logged_in), 303)
        messages = get_flashed_messages(with_categories=True)
        # The page is drawn once per state (the visitor's, kept with it, or a
        # new visitor's); a view puts a token of the visitor's session into it.
        kept = state.get("page") if state is not None else None
        if messages or (state is not None and not kept):
            halves = self.draw(self.engine_for(state), logged_in, messages)
        elif kept:
            halves = kept["halves"]
            if kept.get("token") and time.time() - kept.get("at", 0) < TOKEN_REUSE_SECONDS:
                return halves[0] + kept["token"] + halves[1]
        else:
            halves = self._initial_page
            if halves is None:
                halves = self._initial_page = self.draw(self.engine_for(None), False)
        return halves[0] + (self.token() or "") + halves[1]

    def press(self, engine: Any, form: Any, logged_in: bool) -> Any:
        """One press of a button of the page the form came from; None, or a
        response other than the redirect back to the page."""
        from flask import abort, flash, redirect, request

        page = self.pages.get(form.get("page", ""))
        key = form.get("key", "")
        if page is None or key not in page.buttons:
            abort(400)
        if page.id != text_form(engine._components.get("ui_page")):
            # A page the engine has left (another tab, the back button): nothing is pressed.
            flash("页面已更新，请重新操作", "info")
            return None
        values = {}
        for name, kind in page.inputs.items():
            if name in form:
                submitted = form.getlist(name)
                values[name] = (submitted[-1] == "true") if kind == "checkbox" else submitted[-1]
        logging_in = action_kind(engine._actions.get(key.strip())) in LOGIN_KINDS
        throttle = self.site.throttle
        name = text_form(values.get(self.name_key, engine._components.get(self.name_key, ""))).strip()
        if logging_in and throttle is not None:
            wait = throttle.retry_after(name, request.remote_addr)
            if wait is not None:
                return self.site.throttled(wait)
        before = engine._user
        try:
            engine.merge_components(**values)
            engine.press(key)
        except ValueError as exc:  # the engine's refusals: "请先登录", "空键名"
            engine._status = str(exc)
        except Exception as exc:  # a business function or a hook failed: the site goes on, as the window does
            print(f"vantrel web: {type(exc).__name__}: {exc}", file=sys.stderr)
            engine._status = f"{type(exc).__name__}: {exc}"
        after = engine._user
        if logging_in and throttle is not None and name and values.get(self.password_key):
            if after is not before and isinstance(after, dict):
                throttle.succeeded(name)
            else:
                throttle.failed(name, request.remote_addr)
        if before is None and isinstance(after, dict):
            # Logged in through the layout's own login page: the site's login too.
            self.site.start_session(after)
            self.keep(engine, fresh=True)
            return redirect(self.home, 303)
        if before is not None and after is None:
            # The engine's own logout key logs the visitor out of the site too.
            self.end()
            self.site.end_session()
            return redirect(self.login_route, 303)
        self.keep(engine)
        return None

    def mount_web_routes(self, app: Any, web: Any) -> None:
        """The engine hook of the web face: the page view at the home path, and
        at the login route when the layout's own pages log in."""
        app.add_url_rule(self.home, "pages", self.view, methods=["GET", "POST"])
        if self.paged_login:
            app.view_functions["plugin_login"] = self.view
        app.before_request(self.check_session)
        app.after_request(self.after_request)

