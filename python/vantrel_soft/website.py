"""The host's web site: the web face of a layout with what a visitor needs.

``Site`` renders the login and registration pages of ``JsonAppPluginWeb``
with the flashed messages (wrong password, name taken, registration done)
shown above the card, and ``HomePage`` mounts a protected home page (the
logged-in user, the messages, a logout link) at the layout's home path.
"""

from __future__ import annotations

from typing import Any

from vantrel_app_plugin.calvet import JsonAppPluginWeb

#: Bootstrap alert classes of the message categories the web face flashes.
ALERTS = {"error": "alert-danger", "success": "alert-success"}

MESSAGES = (
    "{% for category, message in messages %}"
    "<div class='alert {{ alerts.get(category, 'alert-info') }} mx-auto' style='max-width:420px'>"
    "{{ message }}</div>{% endfor %}"
)

HOME = (
    "<div class='card shadow mx-auto' style='max-width:420px'><div class='card-header text-white bg-success'>"
    "<h4 class='mb-0'>{{ app_title }}</h4></div><div class='card-body'>"
    "<p id='user'>当前用户: {{ user.get('username') }}</p>"
    "<a id='logout' class='btn btn-outline-secondary w-100' href='/logout'>退出登录</a></div></div>"
)


def _render(source: str, **context: Any) -> str:
    from flask import render_template_string

    return render_template_string(source, **context)


def _messages() -> str:
    from flask import get_flashed_messages

    return _render(MESSAGES, messages=get_flashed_messages(with_categories=True), alerts=ALERTS)


class Site(JsonAppPluginWeb):
    """The web face whose pages show the flashed messages above the card."""

    def render_auth_page(self, page_key: str) -> str:
        page = super().render_auth_page(page_key)
        marker = "<div class='container py-4'>"
        return page.replace(marker, marker + _messages(), 1)


class HomePage:
    """An engine hook that adds the protected home page at ``web.home_after_login``."""

    def mount_web_routes(self, app: Any, web: JsonAppPluginWeb) -> None:
        from flask import render_template_string

        from vantrel_app_plugin.calvet import _BASE_LAYOUT, WEB_DEFAULTS

        home = str(web.web_cfg.get("home_after_login") or WEB_DEFAULTS["home_after_login"])

        def home_page() -> str:
            content = _messages() + _render(HOME, app_title=web.app_title, user=web.session_user())
            return render_template_string(_BASE_LAYOUT, title="首页", app_title=web.app_title, content=content)

        home_page.__name__ = "home"
        app.add_url_rule(home, "home", web.require_login(home_page))
