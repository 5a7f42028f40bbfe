"""Plugin registry: builds the plugins that a layout enables and picks the
authentication plugin among them.

``plugins.enabled`` lists feature ids; aliases resolve to their canonical id
("grisel" is "login"). Without the key, "login" is enabled, so that a page
engine always has its authentication plugin. Every id names a built-in
feature, loaded through ``fennic.load_builtin_feature``; the order of the
returned mapping is the dispatch priority.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

from vantrel_app_plugin import fennic
from vantrel_app_plugin._nimbra import resolve_feature_id
from vantrel_app_plugin.login.keldra import LOGIN_SECTIONS, read_document
from vantrel_app_plugin.ostrel import build_effective_layout, plugin_config

#: Enabled when the layout's ``plugins`` block has no ``enabled`` list.
DEFAULT_ENABLED = ("login",)


def enabled_feature_ids(layout: dict[str, Any]) -> list[str]:
    """Canonical ids of the enabled plugins, in order, each once."""
    block = layout.get("plugins")
    raw = block.get("enabled") if isinstance(block, dict) else None
    if raw is None:
        raw = list(DEFAULT_ENABLED)
    elif not isinstance(raw, list):
        raise ValueError(f"plugins.enabled 必须是功能 id 数组: {raw!r}")
    ids: list[str] = []
    for item in raw:
        if not isinstance(item, str) or not item.strip():
            raise ValueError(f"plugins.enabled 中的功能 id 无效: {item!r}")
        fid = resolve_feature_id(item)
        if fid not in ids:
            ids.append(fid)
    return ids


def login_section_sources(layout: dict[str, Any]) -> dict[str, tuple[str, ...]]:
    """Where the login backend's sections are read: for each of
    ``LOGIN_SECTIONS``, the path of keys to it in the layout. The login
    plugin's own copies under ``plugins.config.login.sections`` replace the
    top-level ones."""
    sections = plugin_config(layout, "login").get("sections")
    own = sections if isinstance(sections, dict) else {}
    return {name: ("plugins", "config", "login", "sections", name) if name in own else (name,)
            for name in LOGIN_SECTIONS}


def _use_plugin_sections(fid: str, plugin: Any) -> None:
    """Let the login backend see the login plugin's own sections.

    It reads its sections from the top level of its document only, so when
    the layout carries copies of them under ``plugins.config.login.sections``
    it is handed the effective layout instead; the page engine adopts that
    same document as its own.
    """
    if fid != "login" or not hasattr(plugin, "_raw"):
        return
    layout = plugin.data
    if not isinstance(layout, dict):
        return
    if any(len(path) > 1 for path in login_section_sources(layout).values()):
        plugin._raw = build_effective_layout(layout, fid, LOGIN_SECTIONS)


def load_enabled_plugins(config_path: str | os.PathLike[str]) -> dict[str, Any]:
    """An instance of every enabled plugin, keyed by canonical feature id."""
    layout = read_document(config_path)
    plugins: dict[str, Any] = {}
    for fid in enabled_feature_ids(layout):
        plugin = fennic.load_builtin_feature(fid, config_path)
        _use_plugin_sections(fid, plugin)
        plugins[fid] = plugin
    return plugins


def primary_auth_plugin(plugins: Mapping[str, Any] | None) -> Any:
    """The "login" plugin, else the first plugin offering ``login_user``, else None."""
    if not plugins:
        return None
    login = plugins.get("login")
    if login is not None:
        return login
    for plugin in plugins.values():
        if callable(getattr(plugin, "login_user", None)):
            return plugin
    return None


__all__ = ["DEFAULT_ENABLED", "LOGIN_SECTIONS", "enabled_feature_ids", "load_enabled_plugins", "login_section_sources",
           "primary_auth_plugin"]
