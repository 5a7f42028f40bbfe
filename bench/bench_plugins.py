"""Tk configuration sections and the plugin layer: lirren, ostrel.

Each C++ function is timed beside a straightforward pure-Python version of
the same behaviour: the plain rules of fuzz/oracles.py. The accessors run
once per engine; the dispatch runs on every key press.
"""

from __future__ import annotations

from harness import Case
from oracles import actions_cfg as py_actions_cfg
from oracles import dispatch_plugin_action as py_dispatch_plugin_action
from oracles import merged_sections as py_merged_sections
from oracles import navigation_cfg as py_navigation_cfg

from vantrel_app_plugin import lirren, ostrel

# --- cases ---------------------------------------------------------------------------

class ReportPlugin(ostrel.UnifiedPluginBase):
    FEATURE_ID = "report"
    ACTION_TYPES = frozenset({"export", "print"})


class AuditPlugin(ostrel.UnifiedPluginBase):
    FEATURE_ID = "audit"
    ACTION_TYPES = frozenset({"audit"})


class LoginPlugin(ostrel.UnifiedPluginBase):
    FEATURE_ID = "login"
    JSON_SECTIONS = ("database", "auth")
    ACTION_TYPES = frozenset({"sso"})

    def run_action(self, action_type, key, spec, engine):
        return True


class PlainPlugin:
    """A plugin written as a plain Python class, as hosts write them: its own
    ``supports_action`` and ``run_action``, no SDK base class."""

    def __init__(self, types, takes):
        self.types, self.takes = frozenset(types), takes

    def supports_action(self, action_type):
        return action_type in self.types

    def run_action(self, action_type, key, spec, engine):
        return self.takes


def cases() -> list[Case]:
    layout = {
        "database": {"name": "demo", "tables": []},
        "auth": {"table": "users", "home_after_login": "home"},
        "plugins": {"enabled": ["login", "report", "audit"],
                    "config": {"login": {"sections": {"database": {"name": "own"}}}}},
        "tk": {
            "start_page": "login",
            "public_pages": ["login", "register", "about"],
            "after_logout_page": "login",
            "actions": {
                "登录": "login", "注册": "register", "退出": {"type": "logout"},
                "首页": {"type": "goto", "page": "home"}, "计算": {"type": "business", "name": "calc"},
                "导出": {"type": "export"}, "清空": "reset", "帮助": {"type": "goto", "page": "help"},
            },
        },
    }
    with_nav = {"tk": {"navigation": {"start_page": "home", "public_pages": ["home"]}}}
    plugins = {
        "login": LoginPlugin("gui_layout.json", layout),
        "report": ReportPlugin("gui_layout.json", layout),
        "audit": AuditPlugin("gui_layout.json", layout),
    }
    spec = {"type": "login"}
    # The second of three supports the kind and declines it.
    plain = {"audit": PlainPlugin({"audit"}, True), "report": PlainPlugin({"export"}, False),
             "sso": PlainPlugin({"sso"}, True)}
    return [
        Case("navigation_cfg (built from tk keys)", lirren.navigation_cfg, py_navigation_cfg, (layout,), 3.0),
        Case("navigation_cfg (tk.navigation block)", lirren.navigation_cfg, py_navigation_cfg, (with_nav,), 3.0),
        Case("actions_cfg (8 actions)", lirren.actions_cfg, py_actions_cfg, (layout,), 3.0),
        Case("merged_sections (2 sections, alias)", ostrel.merged_sections, py_merged_sections,
             (layout, "grisel", ("database", "auth")), 3.0),
        Case("dispatch_plugin_action (3 plugins, none takes)", ostrel.dispatch_plugin_action,
             py_dispatch_plugin_action, (plugins, "LOGIN", "登录", spec, None), 3.0),
        Case("dispatch_plugin_action (3rd plugin takes)", ostrel.dispatch_plugin_action,
             py_dispatch_plugin_action, (dict(reversed(plugins.items())), "SSO", "单点", {"type": "sso"}, None),
             3.0),
        Case("dispatch_plugin_action (3 plain plugins, 2nd declines)", ostrel.dispatch_plugin_action,
             py_dispatch_plugin_action, (plain, "Export", "导出", {"type": "export"}, None), 3.0),
    ]
