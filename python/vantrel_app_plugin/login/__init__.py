"""Login feature: the JSON-configured SQLite user store.

``create_plugin(config_path)`` builds the feature's plugin object, a
:class:`JsonAppPlugin` on the given layout document.
"""

from __future__ import annotations

import os

from vantrel_app_plugin.login.keldra import JsonAppPlugin

FEATURE_ID = "login"
FEATURE_NAME = "登录"
FEATURE_VERSION = "0.1.0"
FEATURE_DESCRIPTION = "SQLite 用户库：按布局文档建表、预置账号、注册与登录"

__all__ = [
    "FEATURE_DESCRIPTION",
    "FEATURE_ID",
    "FEATURE_NAME",
    "FEATURE_VERSION",
    "JsonAppPlugin",
    "create_plugin",
]


def create_plugin(config_path: str | os.PathLike[str]) -> JsonAppPlugin:
    """The login feature's plugin object for the layout document at ``config_path``."""
    return JsonAppPlugin(config_path)
