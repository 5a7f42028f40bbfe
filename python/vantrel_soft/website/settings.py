"""The settings of the layout's ``web`` section that the site adds to the web
face's, with their defaults and the values each may take (no Flask needed:
the layout checker reads them too)."""

from __future__ import annotations

from typing import Any

#: Setting -> (what it holds, default): "switch" a boolean, "count" an
#: integer of 0 or more, "seconds" a number above 0.
SITE_SETTINGS: dict[str, tuple[str, Any]] = {
    "csrf": ("switch", True),
    "cookie_secure": ("switch", False),
    "max_failed_logins": ("count", 5),
    "lockout_seconds": ("seconds", 900),
    "proxy_hops": ("count", 0),
    "session_idle_seconds": ("seconds", 1800),
}

#: What the site does unless the layout's ``web`` section says otherwise.
SITE_DEFAULTS = {name: default for name, (_, default) in SITE_SETTINGS.items()}

_WHAT = {"switch": "true 或 false", "count": "非负整数", "seconds": "正数（秒）"}


def web_setting(web: dict[str, Any], name: str) -> Any:
    """The setting ``name`` of a ``web`` section (with the site's defaults
    filled in); a value it cannot take raises ValueError naming it."""
    kind, _ = SITE_SETTINGS[name]
    value = web.get(name)
    if kind == "switch":
        ok = isinstance(value, bool)
    elif isinstance(value, bool) or not isinstance(value, (int, float) if kind == "seconds" else int):
        ok = False
    else:
        ok = value >= 0 if kind == "count" else 0 < value < 1e12
    if not ok:
        raise ValueError(f"web.{name} 必须是{_WHAT[kind]}: {value!r}")
    return value
