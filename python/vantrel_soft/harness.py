"""The host's desk test host: drives a page engine the way its window does.

``COMPONENT_KEYS`` is the set of component keys the host's window knows: the
five default form components, the two page entries and every
``component_key`` of the layouts the host has loaded. The page engine stores
a value only under a key of this set. The set is kept by ``gui_config``,
which adds to it whenever it reads a layout; it is the same object here.
"""

from __future__ import annotations

import os
from typing import Any, Callable

from vantrel_soft import gui_config
from vantrel_soft.gui_config import COMPONENT_KEYS, DEFAULT_COMPONENTS, register_components  # noqa: F401


class TestbenchHost:
    """Holds one page engine and drives it: every call returns the new snapshot.

    ``engine_factory`` builds the engine from the layout path (by default
    ``vantrel_app_plugin.brisen.TkJsonEngine``); the host loads that layout
    first, so its page list and component keys are the engine's.
    """

    __test__ = False  # not a pytest test class

    def __init__(self, config_path: str | os.PathLike[str],
                 engine_factory: Callable[[str], Any] | None = None) -> None:
        gui_config.use_layout(config_path)
        if engine_factory is None:
            from vantrel_app_plugin.brisen import TkJsonEngine as engine_factory
        self.engine = engine_factory(str(gui_config.layout_path()))

    def press(self, key: str) -> dict:
        """Forward one key press."""
        self.engine.press(key)
        return self.engine.snapshot()

    def merge(self, **values: Any) -> dict:
        """Push widget values (component key to value)."""
        self.engine.merge_components(**values)
        return self.engine.snapshot()

    def reset(self) -> dict:
        """The window's reset button."""
        self.engine.reset_all()
        return self.engine.snapshot()

    def snapshot(self) -> dict:
        """What the window would draw now."""
        return self.engine.snapshot()
