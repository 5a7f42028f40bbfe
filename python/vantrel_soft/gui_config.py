"""The host's layout document: the one the host was started with.

The layout is chosen by ``use_layout(path)`` or, when nothing was chosen, by
the environment variable ``VANTREL_LAYOUT`` (a layout file or a project
directory). It is read when the choice changes and then served from memory.

Every layout read adds its widgets' component keys to ``COMPONENT_KEYS``, the
set the host's window knows (``vantrel_soft.harness`` hands it to the page
engine under the same name).
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

#: Environment variable naming the host's layout when ``use_layout`` was not called.
LAYOUT_ENV = "VANTREL_LAYOUT"


#: Form components every host window has.
DEFAULT_COMPONENTS = ("entry", "label_frame_entry", "ttk_entry", "progress", "spin")

#: Component keys the host knows: the default form components, the two page
#: entries and every ``component_key`` of the layouts read so far.
COMPONENT_KEYS: set[str] = {*DEFAULT_COMPONENTS, "ui_page", "ui_page_index"}

#: What the host was started with, and the layout read for it.
_state: dict[str, Any] = {"chosen": None, "source": None, "layout": None}

#: The layout chosen with ``use_layout``, once read (the page engine asks for
#: it at every navigation, so this answer must be quick).
_chosen_layout: dict | None = None


def use_layout(path: str | os.PathLike[str] | None) -> dict:
    """Start the host with the layout at ``path`` (None: back to ``VANTREL_LAYOUT``)."""
    global _chosen_layout
    _chosen_layout = None
    _state["chosen"] = None if path is None else Path(path)
    _state["layout"] = None  # read again, even when the path is the same
    layout = get_gui_layout()
    if path is not None:
        _chosen_layout = layout
    return layout


def _source() -> Path | str | None:
    chosen = _state["chosen"]
    if chosen is not None:
        return chosen
    return os.environ.get(LAYOUT_ENV, "").strip() or None


def layout_path() -> Path | None:
    """Absolute path of the host's layout file, or None when the host has none."""
    source = _source()
    if source is None:
        return None
    from vantrel_app_plugin.sarnet import resolve_config_file

    return resolve_config_file(source)


def get_gui_layout() -> dict:
    """The host's layout mapping; its ``pages`` list gives the page order."""
    if _chosen_layout is not None:
        return _chosen_layout
    source = _source()
    if source != _state["source"] or _state["layout"] is None:
        layout: dict = {"pages": []}
        if source is not None:
            from vantrel_app_plugin.sarnet import read_layout_file

            layout = read_layout_file(layout_path())
        register_components(layout)
        _state["source"], _state["layout"] = source, layout
    return _state["layout"]


def iter_widgets(layout: dict):
    """Every widget mapping of the layout's pages, with one level of children."""
    pages = layout.get("pages")
    for page in pages if isinstance(pages, list) else ():
        sections = page.get("sections") if isinstance(page, dict) else None
        for section in sections or ():
            widgets = section.get("widgets") if isinstance(section, dict) else None
            for widget in widgets or ():
                if isinstance(widget, dict):
                    yield widget
                    yield from (c for c in widget.get("children") or () if isinstance(c, dict))


def register_components(layout: dict) -> None:
    """Add every ``component_key`` of ``layout``'s widgets to ``COMPONENT_KEYS``."""
    COMPONENT_KEYS.update(str(w["component_key"]) for w in iter_widgets(layout) if w.get("component_key"))


def known_element_ids() -> set[str]:
    """Component keys and widget ids of the host's layout."""
    ids: set[str] = set()
    for widget in iter_widgets(get_gui_layout()):
        for name in ("component_key", "id"):
            if widget.get(name):
                ids.add(str(widget[name]))
    return ids
