"""Helpers shared by the web tests: forms posted the way a browser posts them,
and the account table of their layouts.

A page of the site carries the CSRF token of the visitor's session in a
hidden field; a visitor posts a form with the token of the page it came from.
"""

import http.cookiejar
import re
import urllib.error
import urllib.parse
import urllib.request

#: The account table the web tests' layouts declare.
USERS = {"name": "users", "columns": [
    {"name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True},
    {"name": "username", "type": "TEXT", "not_null": True, "unique": True},
    {"name": "password", "type": "TEXT", "not_null": True}]}

TOKEN = re.compile(r"name=['\"]csrf_token['\"] value=['\"]([^'\"]+)['\"]")


def csrf_token(page: str) -> str | None:
    """The CSRF token a page carries, or None."""
    found = TOKEN.search(page)
    return found.group(1) if found else None


class FormClient:
    """A Flask test client that posts each form with the token of its page."""

    def __init__(self, app):
        self.client = app.test_client()

    def get(self, path, **kwargs):
        return self.client.get(path, **kwargs)

    def post(self, path, token=True, **form):
        """POST ``form`` to ``path``; with ``token`` True, the token of the page at
        ``path`` (fetched first) goes along; a string is sent as the token itself."""
        if token is True:
            token = csrf_token(self.client.get(path).text)
        if token:
            form["csrf_token"] = token
        return self.client.post(path, data=form)

    def session(self):
        return self.client.session_transaction()


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


class Visitor:
    """A visitor of a running site (urllib, its own cookies): ``fetch`` answers
    (status, body or redirect target, headers)."""

    def __init__(self, base: str):
        self.base = base
        self.jar = http.cookiejar.CookieJar()
        self.opener = urllib.request.build_opener(NoRedirect, urllib.request.HTTPCookieProcessor(self.jar))

    def fetch(self, path, form=None, headers=None):
        data = urllib.parse.urlencode(form).encode() if form is not None else None
        request = urllib.request.Request(self.base + path, data=data, headers=headers or {})
        try:
            with self.opener.open(request) as r:
                return r.status, r.read().decode(), r.headers
        except urllib.error.HTTPError as e:
            body = e.read().decode()
            return e.code, e.headers.get("Location") or body, e.headers

    def post(self, path, headers=None, **form):
        """POST ``form`` with the token of the page at ``path``."""
        status, page, _ = self.fetch(path, headers=headers)
        token = csrf_token(page) if status == 200 else None
        if token:
            form["csrf_token"] = token
        return self.fetch(path, form, headers=headers)
