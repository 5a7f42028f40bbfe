"""The widget vocabulary of the layout's pages, for every face that draws them.

A page (``pages[]``) holds sections, a section holds ``widgets``, and a
widget is a mapping with a ``type``, an optional ``id``, ``label`` (a caption
on its left) and ``component_key`` (the page engine's component it shows and
edits), and the options of its type below. The desktop window
(``vantrel_soft.desktop``) and the web pages read this module, so both faces
draw the same widgets with the same defaults; nothing here needs Tk.
"""

from __future__ import annotations

import math
from collections.abc import Iterator, Mapping
from types import MappingProxyType
from typing import Any

#: Options every widget may have, whatever its type.
COMMON_OPTIONS = ("type", "id", "label", "component_key")

#: Widget types and their own options with the value each takes when absent.
WIDGETS: Mapping[str, Mapping[str, Any]] = MappingProxyType({
    "entry": MappingProxyType({"show": ""}),              # one-line input; "show" masks it ("*": a password)
    "spin": MappingProxyType({"from": 0, "to": 150, "increment": 1}),  # number input
    "text": MappingProxyType({"height": 8, "readonly": False}),        # multi-line text
    "label": MappingProxyType({"text": ""}),              # the component's value, or "text" without one
    "checkbox": MappingProxyType({"text": ""}),           # its value is True or False
    "progress": MappingProxyType({"maximum": 100}),       # the component's number as a bar
    "button": MappingProxyType({"text": "", "key": ""}),  # presses "key", else its "text"
    "button_row": MappingProxyType({"children": ()}),     # its children side by side
})

#: The widget types the faces draw; any other type shows a placeholder naming it.
WIDGET_TYPES = frozenset(WIDGETS)

#: Widget types whose component a visitor edits (their values go back to the engine).
INPUT_TYPES = frozenset({"entry", "spin", "text", "checkbox"})


def text_form(value: Any) -> str:
    """What a widget shows for a value (nothing for None)."""
    if value is None:
        return ""
    return value if isinstance(value, str) else str(value)


def widget_type(widget: Mapping[str, Any]) -> str:
    """The widget's type as the faces compare it: trimmed, lower case."""
    return text_form(widget.get("type")).strip().lower()


def component_key(widget: Mapping[str, Any]) -> str | None:
    """The component the widget shows, or None when it has none."""
    key = widget.get("component_key")
    return text_form(key) if key else None


def number(value: Any, default: float) -> float:
    """``value`` as a finite number, else ``default``."""
    try:
        result = float(value)
    except (TypeError, ValueError, OverflowError):
        return default
    return result if math.isfinite(result) else default


def option(widget: Mapping[str, Any], name: str) -> Any:
    """The widget's option ``name``, or its default for the widget's type.

    Numeric options (``from``, ``to``, ``increment``, ``height``, ``maximum``)
    come back as finite numbers; a value that is not one gives the default."""
    defaults = WIDGETS.get(widget_type(widget), {})
    default = defaults.get(name)
    value = widget.get(name, default)
    if isinstance(default, (int, float)) and not isinstance(default, bool):
        return number(value, default)
    return value


def button_text(widget: Mapping[str, Any]) -> str:
    """What a button shows: its ``text``, else its ``key``."""
    return text_form(widget.get("text") or widget.get("key"))


def button_key(widget: Mapping[str, Any]) -> str:
    """What a button presses: its ``key``, else its ``text``."""
    return text_form(widget.get("key") or widget.get("text"))


def children(widget: Mapping[str, Any]) -> list[dict]:
    """The child widgets of a widget (a ``button_row``), mappings only."""
    return [c for c in widget.get("children") or () if isinstance(c, dict)]


def page_widgets(page: Mapping[str, Any]) -> Iterator[tuple[str, list[dict]]]:
    """(section title, widget mappings) for each section of a page."""
    for section in page.get("sections") or ():
        if isinstance(section, dict):
            yield text_form(section.get("title")), [w for w in section.get("widgets") or () if isinstance(w, dict)]


def page_title(page: Mapping[str, Any]) -> str:
    """The title a face shows for a page: its ``title``, else its id."""
    return text_form(page.get("title")) or text_form(page.get("id"))
