"""The JSON-configured application class, for modules that build on it."""

from vantrel_app_plugin.login.keldra import JsonAppPlugin

__all__ = ["JsonAppPlugin"]
