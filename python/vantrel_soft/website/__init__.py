"""The host's web site: the web face of a layout, fit for the open internet.

``create_site(layout)`` builds the site that ``vantrel-app web`` serves and
the WSGI factory ``vantrel_app_plugin.calvet:create_app`` returns: the login
and registration pages of ``JsonAppPluginWeb`` with the flashed messages
(wrong password, name taken, registration done) shown above the card, a
protected home page, and these defaults, each changed by a setting of the
layout's ``web`` section:

- every form carries a CSRF token bound to the visitor's session; a POST
  without a valid one is refused with 400 (``csrf: false`` turns this off);
- the session cookie is ``HttpOnly`` and ``SameSite=Lax``, and ``Secure``
  with ``cookie_secure: true``;
- every response carries a Content-Security-Policy, ``X-Frame-Options:
  DENY``, ``X-Content-Type-Options: nosniff`` and ``Referrer-Policy:
  same-origin`` (and, with ``cookie_secure`` over HTTPS,
  ``Strict-Transport-Security``);
- failed logins are throttled per account name (``max_failed_logins``, 5;
  ``lockout_seconds``, 900; 0 turns it off) and per client address (more than
  100 an hour); behind reverse proxies, ``proxy_hops`` says how many to trust
  for the client address (``X-Forwarded-For``).
"""

from __future__ import annotations

import os
from typing import Any

from vantrel_app_plugin.calvet import WEB_DEFAULTS, JsonAppPluginWeb
from vantrel_soft.website.settings import SITE_DEFAULTS, web_setting
from vantrel_soft.website.throttle import LoginThrottle

#: Failed logins from one client address an hour before its logins wait.
ADDRESS_LIMIT = 100

#: What the pages may load and who may frame them: everything from the site
#: itself, nothing from elsewhere; inline style attributes only (the cards
#: set their width with one).
CONTENT_SECURITY_POLICY = {
    "default-src": "'self'",
    "frame-ancestors": "'none'",
    "form-action": "'self'",
    "object-src": "'none'",
    "base-uri": "'self'",
    "style-src": "'self'",
    "style-src-attr": "'unsafe-inline'",
}

#: Bootstrap alert classes of the message categories the site flashes.
ALERTS = {"error": "alert-danger", "success": "alert-success", "info": "alert-info"}

#: The answer to a login that must wait.
THROTTLED = "登录尝试过多，请稍后再试"


def _messages() -> str:
    """The flashed messages, as alerts as wide as the web face's cards."""
    from flask import get_flashed_messages, render_template

    return render_template("site/messages.html", messages=get_flashed_messages(with_categories=True), alerts=ALERTS,
                           message_width=420)


def _client_address() -> str | None:
    from flask import has_request_context, request

    return request.remote_addr if has_request_context() else None


class Site(JsonAppPluginWeb):
    """The web face with the site's defaults, its messages above the card,
    failed logins counted by ``throttle`` (None: not counted) and the layout's
    pages driven by ``pages`` (None: a plain protected home page)."""

    #: Counts failed logins (set by ``create_site``).
    throttle: LoginThrottle | None = None

    #: The layout's pages (set by ``create_site``).
    pages: Any = None

    @property
    def web_cfg(self) -> dict[str, Any]:
        """The ``web`` section with the site's defaults for settings it leaves out."""
        cfg = super().web_cfg
        for key, value in SITE_DEFAULTS.items():
            if cfg.get(key) is None:
                cfg[key] = value
        return cfg

    def render_auth_page(self, page_key: str) -> str:
        page = super().render_auth_page(page_key)
        marker = "<div class='container py-4'>"
        return page.replace(marker, marker + _messages(), 1)

    def login_user(self, fields: dict[str, Any]) -> tuple[bool, Any]:
        """A login through the login form: with the layout's pages, the
        visitor's engine logs in (one check of the password), so that it shows
        what the window shows after a login."""
        ok, payload = self.pages.login(fields) if self.pages is not None else super().login_user(fields)
        throttle = self.throttle
        name, password = _credentials(fields)
        if throttle is not None and name and password:
            if ok and isinstance(payload, dict):
                throttle.succeeded(name)
            else:
                throttle.failed(name, _client_address())
        return ok, payload


    def set_session_user(self, user: dict[str, Any] | None) -> None:
        """The web face's logout (a None user) ends the visitor's engine session too."""
        if user is None and self.pages is not None:
            self.pages.end()
        super().set_session_user(user)

    def start_session(self, user: dict[str, Any]) -> None:
        """Log the visitor in: the whole session replaced, then the user set."""
        from flask import session

        session.clear()
        super().set_session_user(user)

    def end_session(self) -> None:
        """Log the visitor out of the site."""
        super().set_session_user(None)

    def throttled(self, wait: int) -> tuple[str, int, dict[str, str]]:
        """The answer to a login that must wait ``wait`` seconds."""
        return self.render_message_page("登录", THROTTLED), 429, {"Retry-After": str(wait)}


def _credentials(fields: dict[str, Any]) -> tuple[str, Any]:
    """The user name as the user store compares it (stripped), and the password."""
    name = fields.get("username")
    return (name.strip() if isinstance(name, str) else ""), fields.get("password")


class HomePage:
    """An engine hook that adds the protected home page at ``web.home_after_login``."""

    def mount_web_routes(self, app: Any, web: JsonAppPluginWeb) -> None:
        from vantrel_app_plugin.calvet import ROUTES

        home = str(web.web_cfg.get("home_after_login") or WEB_DEFAULTS["home_after_login"])

        def home_page() -> str:
            from flask import get_flashed_messages, render_template

            return render_template("site/home.html", title="首页", app_title=web.app_title, user=web.session_user(),
                                   logout=ROUTES["logout"], stylesheet=ROUTES["stylesheet"], alerts=ALERTS,
                                   messages=get_flashed_messages(with_categories=True), message_width=420)

        home_page.__name__ = "home"
        app.add_url_rule(home, "home", web.require_login(home_page))


#: The headers every response of the site carries.
SECURITY_HEADERS = {
    "Content-Security-Policy": "; ".join(f"{name} {value}" for name, value in CONTENT_SECURITY_POLICY.items()),
    "X-Frame-Options": "DENY",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "same-origin",
}

#: Over HTTPS, with ``cookie_secure``: browsers keep to HTTPS for a year.
STRICT_TRANSPORT_SECURITY = "max-age=31536000; includeSubDomains"


def secure(app: Any, web: dict[str, Any]) -> None:
    """The security headers of every response (one hook, the values fixed when
    the site is built), and the client address behind ``proxy_hops`` proxies."""
    from flask import request

    over_https = web_setting(web, "cookie_secure")
    headers = list(SECURITY_HEADERS.items())

    @app.after_request
    def security_headers(response: Any) -> Any:
        response.headers.update(headers)
        if over_https and request.is_secure:
            response.headers["Strict-Transport-Security"] = STRICT_TRANSPORT_SECURITY
        return response

    hops = web_setting(web, "proxy_hops")
    if hops:
        from werkzeug.middleware.proxy_fix import ProxyFix

        app.wsgi_app = ProxyFix(app.wsgi_app, x_for=hops, x_proto=hops)


def _templates(app: Any) -> None:
    """The site's templates (``templates/site/``), found by the application's
    Jinja loader, which compiles each once."""
    from flask import Blueprint

    app.register_blueprint(Blueprint("vantrel_site", __name__, template_folder="templates"))


def _signed_sessions(app: Any) -> None:
    """The signed cookie sessions of Flask, with the signing serializer made
    once per set of keys rather than on every request (it is the same
    serializer for the same keys)."""
    from flask.sessions import SecureCookieSessionInterface

    class SessionInterface(SecureCookieSessionInterface):
        _made: tuple[Any, Any] = (None, None)

        def get_signing_serializer(self, app: Any) -> Any:
            keys = (app.secret_key, tuple(app.config["SECRET_KEY_FALLBACKS"] or ()))
            made_for, serializer = self._made
            if made_for != keys:
                serializer = super().get_signing_serializer(app)
                self._made = (keys, serializer)
            return serializer

    app.session_interface = SessionInterface()


def _throttle_logins(app: Any, site: Site) -> None:
    """Answer a login that must wait with 429 before the password is looked at."""
    from flask import request

    login_endpoint = "plugin_login"

    @app.before_request
    def refuse_throttled_login():
        if request.endpoint != login_endpoint or request.method != "POST" or site.throttle is None:
            return None
        name, _ = _credentials(request.form.to_dict())
        wait = site.throttle.retry_after(name, request.remote_addr)
        return None if wait is None else site.throttled(wait)


def create_site(config_path: str | os.PathLike[str], engine: Any = None, engine_class: Any = None,
                site_class: type[Site] = Site) -> Any:
    """The site of the layout at ``config_path``, its tables and default accounts created first.

    A layout with ``pages`` gets them on the web, driven by ``engine_class``
    (a ``TkJsonEngine`` subclass; default: the example's engine), one engine
    per visitor; a layout without gets a plain protected home page. ``engine``
    (an object with ``mount_web_routes(app, web)``) adds routes of its own
    instead."""
    site = site_class(config_path)
    site.init_database()
    web = site.web_cfg
    for name in SITE_DEFAULTS:
        web_setting(web, name)
    max_failures = web_setting(web, "max_failed_logins")
    if max_failures:
        site.throttle = LoginThrottle(site, max_failures, web_setting(web, "lockout_seconds"), ADDRESS_LIMIT)
        site.throttle.create_table()
    hook = engine
    if hook is None:
        layout = site.data
        if isinstance(layout.get("pages"), list):
            from vantrel_soft.engines import DEFAULT_ENGINE, load_engine_class
            from vantrel_soft.website.pages import Pages

            site.pages = Pages(site, config_path, engine_class or load_engine_class(DEFAULT_ENGINE))
            site.pages.sessions.create_table()
            site.pages.sessions.purge()
            hook = site.pages
        else:
            hook = HomePage()
    app = site.create_flask_app(hook)
    app.extensions["vantrel_site"] = site
    _templates(app)
    _signed_sessions(app)
    secure(app, web)
    _throttle_logins(app, site)
    return app


__all__ = ["CONTENT_SECURITY_POLICY", "HomePage", "SITE_DEFAULTS", "Site", "THROTTLED", "create_site", "secure"]
