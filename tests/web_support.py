"""The web tests' forms, posted with the CSRF token of their page; a visitor of a running site; what a page
shows; an account table."""

import re
import urllib.error
import urllib.parse
import urllib.request
from html.parser import HTMLParser

USERS = {"name": "users", "columns": [
    {"name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True},
    {"name": "username", "type": "TEXT", "not_null": True, "unique": True},
    {"name": "password", "type": "TEXT", "not_null": True}]}

TOKEN = re.compile(r"name=['\"]csrf_token['\"] value=['\"]([^'\"]+)['\"]")


def csrf_token(page: str) -> str | None:
    found = TOKEN.search(page)
    return found.group(1) if found else None


class FormClient:
    """A Flask test client that posts each form with the token of its page."""

    def __init__(self, app):
        self.client = app.test_client()

    def get(self, path, **kwargs):
        return self.client.get(path, **kwargs)

    def post(self, path, token=True, **form):
        """``token``: True for the token of the page at ``path`` (fetched first), else the token to send."""
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
    """A visitor of a running site, with its own cookies: ``fetch`` answers (status, body or redirect, headers)."""

    def __init__(self, base: str):
        self.base = base
        self.opener = urllib.request.build_opener(NoRedirect, urllib.request.HTTPCookieProcessor())

    def fetch(self, path, form=None, headers=None):
        data = urllib.parse.urlencode(form).encode() if form is not None else None
        try:
            with self.opener.open(urllib.request.Request(self.base + path, data=data, headers=headers or {})) as r:
                return r.status, r.read().decode(), r.headers
        except urllib.error.HTTPError as e:
            return e.code, e.headers.get("Location") or e.read().decode(), e.headers

    def post(self, path, headers=None, **form):
        """POST ``form`` with the token of the page at ``path``."""
        status, page, _ = self.fetch(path, headers=headers)
        if status == 200 and (token := csrf_token(page)):
            form["csrf_token"] = token
        return self.fetch(path, form, headers=headers)


class Page(HTMLParser):
    """What a page of the site shows: its page id, and in order each element with an id and each caption
    of a field (tag "caption")."""

    CONTROLS = ("input", "select", "textarea", "button", "p", "progress")
    TEXTS = ("textarea", "button", "p", "progress", "label", "span")  # elements whose text is kept

    def __init__(self, html):
        super().__init__()
        self.page_id = self._open = None
        self.items = []
        self.feed(html)

    status = property(lambda self: self.text("status"))
    user = property(lambda self: self.text("user"))

    @property
    def controls(self):
        return [c for c in self.items if c["tag"] in self.CONTROLS and c["id"] != "message"]

    def control(self, ident):
        return next(c for c in self.controls if c["id"] == ident)

    def text(self, ident):
        return next((c["text"] for c in self.items if c["id"] == ident), None)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.page_id = a.get("data-page", self.page_id)
        caption = tag == "label" and "col-form-label" in (a.get("class") or "")
        if "id" in a or caption:
            self.items.append({"tag": "caption" if caption else tag, "id": a.get("id"), "name": a.get("name"),
                               "type": a.get("type"), "value": a.get("value"), "checked": "checked" in a,
                               "class": a.get("class") or "", "text": ""})
            self._open = self.items[-1] if tag in self.TEXTS else None

    def handle_endtag(self, tag):
        self._open = None if tag in self.TEXTS else self._open

    def handle_data(self, data):
        if self._open is not None:
            self._open["text"] += data
