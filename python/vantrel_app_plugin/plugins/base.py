"""The type of the plugin objects that the registry and the built-in features hand out."""

from __future__ import annotations

from typing import Any, Protocol, runtime_checkable


@runtime_checkable
class AppPlugin(Protocol):
    """A plugin object built on the layout document.

    Every plugin exposes the layout it works on as ``data``. Plugins that take
    part in key-driven actions also meet ``vantrel_app_plugin.ostrel.UnifiedPlugin``;
    the authentication plugin (a ``JsonAppPlugin``) offers ``init_database``,
    ``login_user`` and ``register_user``.
    """

    @property
    def data(self) -> dict[str, Any]: ...


__all__ = ["AppPlugin"]
