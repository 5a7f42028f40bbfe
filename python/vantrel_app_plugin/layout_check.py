"""Layout checker: what in a layout document the runtime would fail on later,
or silently ignore or replace by a default.

``check_layout(layout)`` reads the document the way the login backend, the
plugin registry, the page engine and the host window read it, and returns
``Finding`` objects, each with the JSON path of the value concerned (or of
the place where a missing value would go), a short code and a message.
Errors are what makes the application fail or lose what the author wrote;
warnings are what is probably a slip but harmless to the runtime.

Codes: ``section-type`` (a section or setting of the wrong JSON type),
``unknown-page``, ``missing-page``, ``unknown-form``, ``missing-handler``,
``unknown-action``, ``reserved-key``, ``unknown-component``, ``auth-fields``,
``unknown-table``, ``unknown-column``, ``no-tables``, ``autoincrement``,
``schema`` (table, column or foreign key that the schema builder skips or
fails on), ``account-row`` (a column of the account table that registration
cannot fill), ``seed`` (seeded accounts that are skipped), ``welcome`` (a
welcome text that login cannot fill), ``hash``, ``unknown-plugin``,
``plugin-config``, ``page-list``, ``web-login`` (a web login page without
a name or a password field), ``database-url`` (a store address the login
backend refuses), ``postgres`` (a column PostgreSQL cannot hold as declared,
when ``database.url`` names a PostgreSQL store),
``unknown-widget``, ``unbound-button``, ``ignored`` (a setting the runtime
never reads), ``default`` (a missing setting whose default is surprising).
"""

from __future__ import annotations

import json
import re
import string
from dataclasses import asdict, dataclass
from os import PathLike
from typing import Any, Iterable

from vantrel_app_plugin.brisen import ACTION_KINDS, RESERVED_KEYS, action_kind
from vantrel_app_plugin.lirren import DEFAULT_AUTH_FIELD_MAP, INPUT_FALLBACKS, NAVIGATION_DEFAULTS, TK_SETTINGS
from vantrel_app_plugin.login.keldra import (ACCOUNT_DEFAULTS, DEFAULT_PASSWORD_SCHEME, LOGIN_SECTIONS,
                                             OBJECT_SECTIONS, PASSWORD_SCHEMES, USER_RECORD_KEYS,
                                             postgres_column_ddl)
from vantrel_app_plugin.login.postgres import check_url
from vantrel_app_plugin.plugins.registry import login_section_sources
from vantrel_soft.website.settings import SITE_SETTINGS, web_setting
from vantrel_soft.widgets import WIDGET_TYPES, widget_type

# The rules below are the runtime's own tables, imported from the modules that
# act on them: the engine (action kinds, reset keys), the tk readers (the
# navigation defaults, the field map, the JSON type of each setting), the
# login backend (its sections, password schemes, account defaults) and the
# widget vocabulary of the window and the web pages.

_OPERATION = {kind: op for op, kinds in ACTION_KINDS.items() for kind in kinds}

#: Navigation targets and the page the engine goes to when one is not set.
NAV_TARGETS = {k: v for k, v in NAVIGATION_DEFAULTS.items() if k != "public_pages"}

#: Top-level sections that must be JSON objects: the login backend's
#: (refusing the first three otherwise), the tk block and its older home, the
#: plugins block, the window block (titles and the database name).
CHECKED_SECTIONS = (*LOGIN_SECTIONS, "tk", "plugins", "input", "window")

_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")


@dataclass(frozen=True)
class Finding:
    severity: str  # "error" or "warning"
    path: str
    code: str
    message: str

    def as_dict(self) -> dict[str, str]:
        return asdict(self)


JsonPath = tuple[Any, ...]


def json_path(parts: Iterable[Any]) -> str:
    """``$.tk.actions["登录"].page`` for ("tk", "actions", "登录", "page")."""
    out = "$"
    for part in parts:
        if isinstance(part, int):
            out += f"[{part}]"
        elif _IDENT.match(part):
            out += "." + part
        else:
            out += "[" + json.dumps(part, ensure_ascii=False) + "]"
    return out


def text_form(value: Any) -> str:
    return value if isinstance(value, str) else str(value)


def _json_type(value: Any) -> str:
    if value is None:
        return "null"
    return {bool: "a boolean", int: "a number", float: "a number", str: "a string",
            list: "an array", dict: "an object"}.get(type(value), type(value).__name__)


def _at(document: dict, path: JsonPath) -> Any:
    """The value at ``path`` in the document (None where a level is missing)."""
    value: Any = document
    for key in path:
        value = value.get(key) if isinstance(value, dict) else None
    return value


def _first_truthy(*pairs: tuple[Any, JsonPath]) -> tuple[Any, JsonPath | None]:
    for value, path in pairs:
        if value:
            return value, path
    return None, None


class _Checker:
    def __init__(self, layout: dict) -> None:
        self.layout = layout
        self.findings: list[Finding] = []
        self._seen: set[tuple[str, str]] = set()

    def report(self, severity: str, path: JsonPath, code: str, message: str) -> None:
        where = json_path(path)
        if (where, code) not in self._seen:  # one finding per place and kind
            self._seen.add((where, code))
            self.findings.append(Finding(severity, where, code, message))

    def error(self, path: JsonPath, code: str, message: str) -> None:
        self.report("error", path, code, message)

    def warning(self, path: JsonPath, code: str, message: str) -> None:
        self.report("warning", path, code, message)

    def mapping(self, parent: dict, key: str, path: JsonPath, what: str = "an object") -> dict:
        """``parent[key]`` when it is a mapping; reported (and read as empty) otherwise."""
        value = parent.get(key)
        if isinstance(value, dict):
            return value
        if value is not None:
            self.error(path + (key,), "section-type", f"is {_json_type(value)}, not {what}: the runtime ignores it")
        return {}

    # ------------------------------------------------------------ sections, plugins

    def sections(self) -> None:
        for name in CHECKED_SECTIONS:
            self.section_type(self.layout, name, ())
        pages = self.layout.get("pages")
        if pages is not None and not isinstance(pages, (list, dict)):
            self.error(("pages",), "section-type", f"is {_json_type(pages)}, not an array of pages")

    def section_type(self, parent: dict, name: str, path: JsonPath) -> None:
        value = parent.get(name)
        if value is None or isinstance(value, dict):
            return
        if not value:
            self.warning(path + (name,), "section-type", f"is {_json_type(value)}, read as an empty object")
        elif name in OBJECT_SECTIONS:
            self.error(path + (name,), "section-type",
                       f"is {_json_type(value)}, not an object: the login backend refuses the document")
        else:
            self.error(path + (name,), "section-type", f"is {_json_type(value)}, not an object: the runtime ignores it")

    def plugins(self) -> None:
        """Enabled plugins, their configuration blocks; sets where the login sections come from."""
        from vantrel_app_plugin._nimbra import resolve_feature_id
        from vantrel_app_plugin.fennic import is_builtin_feature

        block = self.layout.get("plugins") if isinstance(self.layout.get("plugins"), dict) else {}
        enabled = block.get("enabled")
        ids: list[str] = ["login"] if enabled is None else []
        if enabled is not None and not isinstance(enabled, list):
            self.error(("plugins", "enabled"), "section-type",
                       f"is {_json_type(enabled)}, not an array of plugin ids: no plugin loads")
        for i, item in enumerate(enabled if isinstance(enabled, list) else ()):
            if not isinstance(item, str) or not item.strip():
                self.error(("plugins", "enabled", i), "unknown-plugin", f"{item!r} is not a plugin id")
                continue
            fid = resolve_feature_id(item)
            if not is_builtin_feature(fid):
                self.error(("plugins", "enabled", i), "unknown-plugin", f'"{item}" is not a built-in plugin')
            ids.append(fid)
        self.login_enabled = "login" in ids

        config = self.mapping(block, "config", ("plugins",))
        for key, value in config.items():
            path = ("plugins", "config", key)
            if resolve_feature_id(key) != key:
                self.warning(path, "plugin-config",
                             f'"{key}" is not a canonical plugin id; this block is never read '
                             f'(write it under "{resolve_feature_id(key)}")')
            elif not isinstance(value, dict):
                self.error(path, "section-type", f"is {_json_type(value)}, not an object: the runtime ignores it")
            else:
                own = self.mapping(value, "sections", path)
                for name in CHECKED_SECTIONS:
                    self.section_type(own, name, path + ("sections",))
        # Where the login backend reads each of its sections, and what it finds there.
        self.origin = login_section_sources(self.layout)
        self.effective = {name: _at(self.layout, path) for name, path in self.origin.items()}

    # ------------------------------------------------------------ database and accounts

    def database(self) -> None:
        db = self.effective["database"] if isinstance(self.effective["database"], dict) else {}
        base = self.origin["database"]
        self.tables: dict[str, set[str]] = {}
        self.table_columns: dict[str, list[tuple[dict, JsonPath]]] = {}
        postgres = self.store_url(db, base)
        raw = db.get("tables")
        if raw and not isinstance(raw, list):
            self.error(base + ("tables",), "section-type", f"is {_json_type(raw)}, not an array of tables")
            raw = []
        for t, table in enumerate(raw or ()):
            path = base + ("tables", t)
            if not isinstance(table, dict) or "name" not in table:
                self.warning(path, "schema", "not a table object with a name: skipped")
                continue
            columns: set[str] = set()
            specs: list[tuple[dict, JsonPath]] = []
            cols = table.get("columns") or []
            if not isinstance(cols, list):
                self.error(path + ("columns",), "section-type", f"is {_json_type(cols)}, not an array of columns")
                cols = ()
            for c, col in enumerate(cols):
                if not isinstance(col, dict) or "name" not in col:
                    self.warning(path + ("columns", c), "schema", "not a column object with a name: skipped")
                    continue
                self.column(col, path + ("columns", c))
                if postgres and all(isinstance(col.get(k, ""), str) for k in ("name", "type")):
                    try:
                        postgres_column_ddl(text_form(table["name"]), col)
                    except ValueError as refused:
                        self.error(path + ("columns", c), "postgres", f"{refused}: creating the tables fails")
                columns.add(text_form(col["name"]))
                specs.append((col, path + ("columns", c)))
            if not columns:
                self.warning(path, "schema", "has no usable column: the table is not created")
                continue
            fks = table.get("foreign_keys") or []
            if not isinstance(fks, list):
                self.error(path + ("foreign_keys",), "section-type", f"is {_json_type(fks)}, not an array of foreign keys")
                fks = ()
            for f, fk in enumerate(fks):
                missing = [k for k in ("column", "table", "references") if isinstance(fk, dict) and k not in fk]
                if missing:
                    self.error(path + ("foreign_keys", f), "schema",
                               f"lacks {', '.join(missing)}: creating the tables fails")
            if text_form(table["name"]) not in self.tables:  # CREATE TABLE IF NOT EXISTS: the first one counts
                self.tables[text_form(table["name"])] = columns
                self.table_columns[text_form(table["name"])] = specs

    def store_url(self, db: dict, base: JsonPath) -> bool:
        """Check ``database.url``; whether it names a PostgreSQL store."""
        url = "" if db.get("url") is None else text_form(db["url"]).strip()
        if not url:
            return False
        try:
            check_url(url)
        except ValueError as refused:
            self.error(base + ("url",), "database-url", f"{refused}: the store cannot be opened")
            return False
        return True

    def column(self, col: dict, path: JsonPath) -> None:
        for key in ("name", "type"):
            if key in col and not isinstance(col[key], str):
                self.error(path + (key,), "schema", f"is {_json_type(col[key])}, not a string: creating the tables fails")
        ctype = col.get("type", "TEXT")
        if col.get("autoincrement") and not (
                col.get("primary_key") and isinstance(ctype, str) and ctype.strip().upper() == "INTEGER"):
            self.error(path + ("autoincrement",), "autoincrement",
                       f"AUTOINCREMENT is only allowed on an INTEGER PRIMARY KEY, not on "
                       f"{text_form(ctype)}{' PRIMARY KEY' if col.get('primary_key') else ''}: SQLite refuses the table")

    def accounts(self) -> None:
        if not self.login_enabled:
            return
        auth = self.effective["auth"] if isinstance(self.effective["auth"], dict) else {}
        base = self.origin["auth"]
        algo = text_form(auth.get("hash") or DEFAULT_PASSWORD_SCHEME).lower()
        if algo not in PASSWORD_SCHEMES:
            self.error(base + ("hash",), "hash", f'"{algo}" is not a password scheme ({", ".join(PASSWORD_SCHEMES)})')
        elif algo == "none":
            self.warning(base + ("hash",), "weak-hash", 'passwords are stored as plain text; use "pbkdf2_sha256"')
        elif algo == "sha256":
            self.warning(base + ("hash",), "weak-hash", "passwords are stored as unsalted SHA-256 digests; "
                         '"pbkdf2_sha256" salts them (existing accounts are rewritten at their next login)')
        shortest = auth.get("min_password_length")
        if shortest is not None and not (type(shortest) is int and shortest >= 1):
            self.error(base + ("min_password_length",), "hash", f"{shortest!r} is not a positive integer: "
                                                                "every registration fails")
        rounds = auth.get("pbkdf2_iterations")
        if algo == "pbkdf2_sha256" and rounds is not None and not (type(rounds) is int and 1 <= rounds < 2**31):
            self.error(base + ("pbkdf2_iterations",), "hash", f"{rounds!r} is not a positive integer: "
                                                              "storing or checking a password fails")
        self.seeds(auth, base)
        if not self.tables:
            self.error(self.origin["database"] + ("tables",), "no-tables",
                       "no table is declared: the account table does not exist and login fails")
            return
        table = text_form(auth.get("user_table") or ACCOUNT_DEFAULTS["user_table"])
        table_path = base + ("user_table",)
        if table not in self.tables:
            self.error(table_path, "unknown-table",
                       f'{"" if auth.get("user_table") else "not set: the default "}account table "{table}" '
                       f"is not declared in database.tables")
            return
        names = {}
        for key in ("username_column", "password_column", "id_column"):
            name = names[key] = text_form(auth.get(key) or ACCOUNT_DEFAULTS[key])
            if name not in self.tables[table]:
                self.error(base + (key,), "unknown-column",
                           f'{"" if auth.get(key) else "not set: the default "}column "{name}" '
                           f'is not declared in table "{table}"')
        # Registration and seeding insert the user name and the password only.
        written = {names["username_column"], names["password_column"]}
        if not written <= self.tables[table]:
            return  # reported above
        for col, path in self.table_columns[table]:
            ctype = col.get("type", "TEXT")
            rowid = col.get("primary_key") and isinstance(ctype, str) and ctype.strip().upper() == "INTEGER"
            if col.get("not_null") and "default" not in col and not rowid and text_form(col["name"]) not in written:
                self.error(path + ("not_null",), "account-row",
                           f'column "{text_form(col["name"])}" of the account table is NOT NULL without a default, '
                           f"and registration writes only the user name and the password: every registration "
                           f"and every seeded account fails")

    def web_settings(self) -> None:
        """The site's own settings of the ``web`` section must have values it can take."""
        web = self.effective["web"] if isinstance(self.effective["web"], dict) else {}
        for name in SITE_SETTINGS:
            if web.get(name) is None:
                continue
            try:
                web_setting(web, name)
            except ValueError as exc:
                self.error(self.origin["web"] + (name,), "section-type", f"{exc}: the site does not start")

    def seeds(self, auth: dict, base: JsonPath) -> None:
        """Seeded accounts that ``seed_default_users`` would skip without a word."""
        seeds, path = auth.get("seed_users"), base + ("seed_users",)
        if seeds is None:
            seeds, path = auth.get("default_user"), base + ("default_user",)
            if seeds is None:
                return
            if not isinstance(seeds, dict):
                self.warning(path, "seed", f"is {_json_type(seeds)}, not an account object: nothing is seeded")
                return
            entries = [(seeds, path)]
        else:
            if "default_user" in auth:
                self.warning(base + ("default_user",), "ignored", f"ignored: {json_path(path)} gives the accounts")
            if not isinstance(seeds, list):
                self.warning(path, "seed", f"is {_json_type(seeds)}, not an array of accounts: nothing is seeded")
                return
            entries = [(item, path + (i,)) for i, item in enumerate(seeds)]
        for item, where in entries:
            if not isinstance(item, dict):
                self.warning(where, "seed", f"is {_json_type(item)}, not an account object: skipped")
                continue
            # The name is stripped, the password is not; a falsy value counts as empty.
            name, password = item.get("username"), item.get("password")
            for key, empty in (("username", not name or not text_form(name).strip()), ("password", not password)):
                if empty:
                    self.warning(where + (key,) if key in item else where, "seed",
                                 f"{'empty' if key in item else 'no'} {key}: this account is not seeded")
                    break

    # ------------------------------------------------------------ pages, navigation, actions

    def page_list(self) -> None:
        """Page ids of ``pages``, widget component keys, and the shape the engine relies on."""
        pages = self.layout.get("pages")
        self.page_ids: set[str] | None = None
        self.components: set[str] = set()
        self.buttons: list[tuple[JsonPath, str]] = []
        if not isinstance(pages, list):
            self.warning(("pages",), "page-list", "no array of pages: the window has no pages; page and "
                                                  "component references are not checked")
            return
        self.page_ids = set()
        for p, page in enumerate(pages):
            if not isinstance(page, dict):
                self.error(("pages", p), "section-type", f"is {_json_type(page)}, not a page object: the engine fails")
                continue
            pid = text_form(page.get("id"))
            if "id" not in page:
                self.warning(("pages", p), "page-list", "has no id: nothing can show this page")
            elif pid in self.page_ids:
                self.warning(("pages", p, "id"), "page-list", f'page "{pid}" is listed twice; the first one is used')
            self.page_ids.add(pid)
            for s, section in enumerate(self.items(page, "sections", ("pages", p), "section")):
                for w, widget in enumerate(self.items(section, "widgets", ("pages", p, "sections", s), "widget")):
                    self.widget(widget, ("pages", p, "sections", s, "widgets", w), 0)

    def items(self, parent: dict, key: str, path: JsonPath, what: str) -> list[dict]:
        """The mappings of the list ``parent[key]``; anything else is reported (the engine fails on it)."""
        raw = parent.get(key)
        if not raw:
            return []
        if not isinstance(raw, list):
            self.error(path + (key,), "section-type", f"is {_json_type(raw)}, not an array: the engine fails")
            return []
        good = []
        for i, item in enumerate(raw):
            if isinstance(item, dict):
                good.append(item)
            else:
                self.error(path + (key, i), "section-type", f"is {_json_type(item)}, not a {what} object: the engine fails")
        return good

    def widget(self, widget: dict, path: JsonPath, depth: int) -> None:
        kind = widget_type(widget)
        if widget.get("component_key"):
            if depth > 1:
                self.warning(path + ("component_key",), "ignored",
                             "nested deeper than one level of children: the engine does not keep this component")
            else:
                self.components.add(text_form(widget["component_key"]))
        if kind not in WIDGET_TYPES:
            self.warning(path + ("type",), "unknown-widget", f'"{kind}" is not a widget type the window draws '
                                                             f"({', '.join(sorted(WIDGET_TYPES))})")
        if kind == "button":
            self.buttons.append((path, text_form(widget.get("key") or widget.get("text"))))
        for c, child in enumerate(self.items(widget, "children", path, "widget")):
            self.widget(child, path + ("children", c), depth + 1)

    def page_ref(self, value: Any, path: JsonPath, default: str | None = None) -> None:
        """``value`` (or, when it is not set, ``default``) must be a page of the page list."""
        if self.page_ids is None:
            return
        page = text_form(value) if value else default
        if page is not None and page not in self.page_ids:
            what = f'"{page}" is not a page' if value else f'not set: the default page "{page}" does not exist'
            self.error(path, "unknown-page", what)

    def component_ref(self, key: Any, path: JsonPath, use: str) -> None:
        if self.page_ids is not None and text_form(key) not in self.components:
            self.error(path, "unknown-component", f'{use} component "{text_form(key)}", which no widget declares')

    def component_block(self, spec: dict, own: dict[str, JsonPath], name: str, otherwise: str) -> None:
        """``fields`` (argument to component key) or ``set`` (component key to value) of an action."""
        block = spec.get(name)
        if block and not isinstance(block, dict):
            self.error(own[name], "section-type", f"is {_json_type(block)}, not an object: {otherwise}")
        for key, value in block.items() if isinstance(block, dict) else ():
            if name == "fields":
                self.component_ref(value, own[name] + (key,), "reads")
            else:
                self.component_ref(key, own[name] + (key,), "sets")

    def tk_setting(self, name: str) -> tuple[Any, JsonPath]:
        """A setting of the tk block and where it is read: the older ``input``
        block gives the settings it may give when the tk block lacks them."""
        value = self.tk.get(name)
        if (name in INPUT_FALLBACKS and not isinstance(value, TK_SETTINGS[name])
                and isinstance(self.input.get(name), TK_SETTINGS[name])):
            return self.input[name], ("input", name)
        return value, ("tk", name)

    def navigation(self) -> None:
        tk = self.tk
        auth = self.effective["auth"] if isinstance(self.effective["auth"], dict) else {}
        nav, base = self.tk_setting("navigation")
        if isinstance(nav, dict):
            ignored = [k for k in (*NAV_TARGETS, "public_pages") if k in tk]
            for key in ignored:
                self.warning(("tk", key), "ignored", f"ignored: {json_path(base)} gives the navigation")
            targets = {k: (nav.get(k), base + (k,)) for k in NAV_TARGETS}
            public, public_path = nav.get("public_pages"), base + ("public_pages",)
            if "public_pages" not in nav:
                self.warning(public_path, "default", "not set: no page is public, so logged out only the "
                                                     "start page can be shown")
        else:
            base = ("tk",)
            targets = {k: (tk.get(k), base + (k,)) for k in NAV_TARGETS}
            if not tk.get("home_after_login"):
                value, path = _first_truthy((auth.get("home_after_login"), self.origin["auth"] + ("home_after_login",)),
                                            (auth.get("after_login_page"), self.origin["auth"] + ("after_login_page",)))
                if value:
                    targets["home_after_login"] = (value, path)
            public, public_path = tk.get("public_pages"), base + ("public_pages",)
        for key, (value, path) in targets.items():
            self.page_ref(value, path, NAV_TARGETS[key])
        if public and not isinstance(public, list):
            self.error(public_path, "section-type", f"is {_json_type(public)}, not an array of pages")
        elif public:
            for i, page in enumerate(public):
                self.page_ref(page, public_path + (i,))

    def actions(self) -> None:
        tk = self.tk
        raw, base = self.tk_setting("actions")
        forms = {k: v for k, v in self.mapping(tk, "forms", ("tk",)).items()}
        for form_id, form in forms.items():
            if not isinstance(form, dict):
                self.error(("tk", "forms", form_id), "section-type", f"is {_json_type(form)}, not a form object: ignored")
            elif "require_login" in form:
                self.warning(("tk", "forms", form_id, "require_login"), "ignored",
                             "has no effect in a form; put it on the action")
        self.bound_keys: set[str] = set()
        self.auth_ops: set[str] = set()
        for key, spec in (raw if isinstance(raw, dict) else {}).items():
            path = base + (key,)
            if isinstance(spec, str):
                spec = {"type": spec}
            elif not isinstance(spec, dict):
                self.error(path, "section-type", f"is {_json_type(spec)}, neither an action object nor a type: ignored")
                continue
            name = text_form(key).strip()
            self.bound_keys.add(name)
            if name in RESERVED_KEYS:
                self.warning(path, "reserved-key", f'"{name}" resets the engine; this action never runs')
            self.action(key, spec, path, forms)

    def action(self, key: str, spec: dict, path: JsonPath, forms: dict) -> None:
        kind = action_kind(spec)
        op = _OPERATION.get(kind)
        if op is None:
            self.warning(path, "unknown-action", f'"{kind}" is not an action type of the engine; unless a plugin '
                                                 f"handles it the status shows 未知动作类型")
            return
        own = {k: path + (k,) for k in list(spec)}  # where each key of the (merged) specification is written
        if op == "business":
            form_id = text_form(spec.get("form") or "")
            form = forms.get(form_id) if form_id else None
            if form_id and not isinstance(form, dict):
                self.error(path + ("form",), "unknown-form", f'form "{form_id}" is not in tk.forms')
            elif form:
                own = {**{k: ("tk", "forms", form_id, k) for k in form}, **own}
                spec = {**form, **spec}
            if not (spec.get("handler") or spec.get("business")):
                self.error(path, "missing-handler", "names no handler (handler or business): the status shows 未注册业务")
            self.component_block(spec, own, "fields", "no field is passed")
        elif op == "method" and not (spec.get("handler") or spec.get("method")):
            self.error(path, "missing-handler", "names no method (handler or method): the status shows 未找到方法")
        elif op == "navigate":
            if not (spec.get("page") or spec.get("goto")):
                self.error(path, "missing-page", "names no page (page or goto)")
            self.component_block(spec, own, "set", "nothing is set")
        elif op in ("login", "register"):
            self.auth_ops.add(op)
            if op == "login" and spec.get("success_message"):
                self.welcome(text_form(spec["success_message"]), own["success_message"])
        targets = {"navigate": ("page", "goto"), "logout": ("goto", "page"), "login": ("success_page", "goto"),
                   "register": ("success_page", "goto"), "business": ("success_page", "goto")}.get(op, ())
        for name in targets:  # the first truthy of the chain is the target
            if spec.get(name):
                self.page_ref(spec[name], own[name])
                break
        if op == "login" and spec.get("fail_page"):
            self.page_ref(spec["fail_page"], own["fail_page"])

    def welcome(self, message: str, path: JsonPath) -> None:
        """The welcome text is filled with ``str.format_map`` from the user record."""
        try:
            fields = _format_fields(message)
        except ValueError as exc:
            self.error(path, "welcome", f"is not a valid format string ({exc}): every successful login fails")
            return
        for field in fields:
            name = re.split(r"[.\[]", field, maxsplit=1)[0]
            if name == "" or name.isdigit():
                self.error(path, "welcome", "has a positional placeholder {" + field + "}; only named ones are "
                           "filled: every successful login fails")
            elif name not in USER_RECORD_KEYS:
                self.error(path, "welcome", "has the placeholder {" + field + "}, but the user record holds only "
                           + " and ".join(USER_RECORD_KEYS) + ": every successful login fails")

    def auth_fields(self) -> None:
        """The components that login and registration read must be on screen."""
        if not self.auth_ops:
            return
        raw, base = self.tk_setting("auth_field_map")
        field_map = {text_form(k): text_form(v) for k, v in raw.items()} if isinstance(raw, dict) else DEFAULT_AUTH_FIELD_MAP
        needed = ["username", "password"]
        auth = self.effective["auth"] if isinstance(self.effective["auth"], dict) else {}
        confirm = auth.get("confirm_password_field")
        if "register" in self.auth_ops and confirm:
            needed.append(text_form(confirm))
        for field in needed:
            if field not in field_map:
                self.error(base, "auth-fields", f'has no "{field}" field: '
                           + ("registration always fails (两次输入的密码不一致)"
                              if field == text_form(confirm) and field not in ("username", "password")
                              else "login and registration read it as empty"))
            else:
                path = base + (field,) if isinstance(raw, dict) else base
                self.component_ref(field_map[field], path, f'the "{field}" field reads')

    def web_login(self) -> None:
        """The web site's login page must have a name and a password field: the
        web face's login form when the layout configures one, else the
        layout's own start page."""
        from vantrel_app_plugin.lirren import auth_field_map, navigation_cfg
        from vantrel_soft.website.pages import LayoutPage

        if not self.login_enabled:
            return
        forms, base = self.effective["auth_forms"], self.origin["auth_forms"]
        if not isinstance(forms, dict) and isinstance(self.layout.get("pages"), dict):
            forms, base = self.layout["pages"], ("pages",)
        login = forms.get("login") if isinstance(forms, dict) else None
        if isinstance(login, dict) and login:
            fields = login.get("fields")
            names = {text_form(f.get("name")) for f in fields if isinstance(f, dict)} if isinstance(fields, list) else set()
            missing = [f for f in ("username", "password") if f not in names]
            if missing:
                self.error(base + ("login", "fields"), "web-login",
                           f"the web login form has no {' and no '.join(missing)} field: nobody can log in on the web")
            return
        pages = self.layout.get("pages")
        if not isinstance(pages, list):
            self.error(("auth_forms",), "web-login", "neither a login form (auth_forms.login) nor pages: the web "
                                                     "login page has no fields")
            return
        start = text_form(navigation_cfg(self.layout).get("start_page") or NAV_TARGETS["start_page"])
        field_map = auth_field_map(self.layout)
        where = next((i for i, page in enumerate(pages) if isinstance(page, dict) and text_form(page.get("id")) == start),
                     None)
        inputs = LayoutPage(pages[where]).inputs if where is not None else {}
        missing = [f for f in ("username", "password") if field_map.get(f) not in inputs]
        if missing:
            self.error(("pages", where) if where is not None else ("tk", "start_page"), "web-login",
                       f'without a login form (auth_forms.login) the web login page is the start page "{start}", '
                       f"which has no input for the {' and no input for the '.join(missing)} field "
                       f"({', '.join(field_map.get(f, '?') for f in missing)}): nobody can log in on the web")

    def hooks_and_buttons(self) -> None:
        for page, hook in self.mapping(self.tk, "page_hooks", ("tk",)).items():
            if not isinstance(hook, dict):
                self.error(("tk", "page_hooks", page), "section-type", f"is {_json_type(hook)}, not an object: ignored")
            self.page_ref(page, ("tk", "page_hooks", page))
        for path, key in self.buttons:
            name = key.strip()
            if name and name not in self.bound_keys and name not in RESERVED_KEYS:
                self.warning(path, "unbound-button", f'"{key}" has no action in tk.actions: '
                                                     f"pressing it shows 未配置的按键")

    def run(self) -> list[Finding]:
        self.sections()
        self.tk = self.layout.get("tk") if isinstance(self.layout.get("tk"), dict) else {}
        self.input = self.layout.get("input") if isinstance(self.layout.get("input"), dict) else {}
        for key, kind in TK_SETTINGS.items():
            value = self.tk.get(key)
            if value is not None and not isinstance(value, kind):
                what = "an array" if kind is list else "an object"
                self.error(("tk", key), "section-type", f"is {_json_type(value)}, not {what}: the default is used")
        self.plugins()
        self.database()
        self.accounts()
        self.web_settings()
        self.page_list()
        self.navigation()
        self.actions()
        self.auth_fields()
        self.web_login()
        self.hooks_and_buttons()
        return self.findings


def _format_fields(text: str) -> list[str]:
    """The field names of a format string, nested ones included (ValueError when it is malformed)."""
    names = []
    for _, field, spec, _ in string.Formatter().parse(text):
        if field is not None:
            names.append(field)
            names.extend(_format_fields(spec or ""))
    return names


def check_layout(layout: dict) -> list[Finding]:
    """The findings for a layout document (a mapping read from JSON), errors first."""
    if not isinstance(layout, dict):
        raise TypeError("layout must be a dict")
    findings = _Checker(layout).run()
    return sorted(findings, key=lambda f: f.severity != "error")


def format_report(layout_path: str | PathLike[str], findings: list[Finding]) -> str:
    """The findings one per line, then a count."""
    lines = [f"{f.severity:<8}{f.path}: {f.message} [{f.code}]" for f in findings]
    errors = sum(f.severity == "error" for f in findings)
    warnings = len(findings) - errors
    lines.append(f"{layout_path}: {errors} error{'s' * (errors != 1)}, {warnings} warning{'s' * (warnings != 1)}")
    return "\n".join(lines)
