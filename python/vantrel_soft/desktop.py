"""The host's desktop window: draws a layout's pages in Tk and drives a page engine.

The window loads its layout through ``gui_config.use_layout`` (so the host's
``COMPONENT_KEYS`` and page list come from the same document), builds one
frame per entry of ``pages`` and shows the frame of the engine's current page.
Every edit of a widget that has a ``component_key`` is pushed to
``merge_components`` under that key; a button sends its ``key`` (or else its
``text``) to ``press``; after each call the window redraws from
``snapshot()``: the current page, the status line, the user line and the
value of every component. Widgets sharing a component key (the user name on
the login and registration pages) show one value.

The widgets, their options and defaults are those of ``vantrel_soft.widgets``
(the web pages draw the same ones); an unknown type shows a visible
placeholder naming it.

Return in a one-line input presses the page's first button. A press refused
by the engine ("请先登录") or failing in a business function shows its
message on the status line; the window stays usable.
"""

from __future__ import annotations

import os
import sys
import tkinter as tk
from tkinter import font as tkfont
from tkinter import ttk
from typing import Any, Callable

from vantrel_soft import gui_config
from vantrel_soft.harness import TestbenchHost
from vantrel_soft.widgets import (button_key, button_text, children, component_key, number, option, page_title,
                                  page_widgets, text_form, widget_type)


class WindowError(Exception):
    """The window cannot be opened (no display, say)."""


def window_title(layout: dict) -> str:
    window = layout.get("window")
    for value in (window.get("title") if isinstance(window, dict) else None, layout.get("title")):
        if value:
            return text_form(value)
    return "vantrel"


class DesktopWindow:
    """The window on ``master`` (a Tk root or toplevel) for the layout at ``config_path``.

    ``engine_factory`` builds the engine from the layout path (default: the
    base ``TkJsonEngine``). ``widgets`` maps widget ids to Tk widgets;
    ``button(key)`` finds a button of the current page.
    """

    PAD = 8

    def __init__(self, master: tk.Misc, config_path: str | os.PathLike[str],
                 engine_factory: Callable[[str], Any] | None = None) -> None:
        self.master = master
        self.host = TestbenchHost(config_path, engine_factory)
        self.engine = self.host.engine
        self.layout = gui_config.get_gui_layout()
        self.title = window_title(self.layout)
        self.status = tk.StringVar(master)
        self.user = tk.StringVar(master)
        self.page_title = tk.StringVar(master)
        self.widgets: dict[str, tk.Widget] = {}
        self.current_page: str | None = None
        self._vars: dict[str, tk.StringVar] = {}  # shared by the entries, spins and labels of a key
        self._traces: list[tuple[tk.StringVar, str]] = []
        self._checks: list[tuple[str, tk.BooleanVar]] = []
        self._bars: list[tuple[str, tk.DoubleVar]] = []
        self._texts: list[tuple[str, tk.Text]] = []
        self._drawn: dict[str, Any] = {}  # component values as last drawn
        self._redrawing = False
        self._buttons: dict[str, dict[str, ttk.Button]] = {}  # page -> key -> button
        self._first_input: dict[str, tk.Widget] = {}
        self._pages: dict[str, ttk.Frame] = {}
        self._page_titles: dict[str, str] = {}

        master.title(self.title)
        master.minsize(440, 320)
        heading = tkfont.nametofont("TkDefaultFont").copy()
        heading.configure(size=heading.cget("size") + 4, weight="bold")
        self._heading_font = heading
        ttk.Label(master, textvariable=self.page_title, font=heading).pack(
            side="top", anchor="w", padx=self.PAD * 2, pady=(self.PAD * 2, 0))
        bar = ttk.Frame(master, padding=(self.PAD * 2, self.PAD))
        bar.pack(side="bottom", fill="x")
        ttk.Label(bar, textvariable=self.status, name="status").pack(side="left")
        ttk.Label(bar, textvariable=self.user, name="user").pack(side="right")
        ttk.Separator(master).pack(side="bottom", fill="x")
        self._body = ttk.Frame(master, padding=self.PAD * 2)
        self._body.pack(side="top", fill="both", expand=True)

        try:
            pages = self.layout.get("pages")
            for page in pages if isinstance(pages, list) else ():
                if isinstance(page, dict) and text_form(page.get("id")) not in self._pages:
                    self._build_page(page)
            self.redraw()
        except BaseException:
            self.close()
            raise

    # -------------------------------------------------------------- building

    def _build_page(self, page: dict) -> None:
        pid = text_form(page.get("id"))
        frame = ttk.Frame(self._body)
        self._pages[pid] = frame
        self._page_titles[pid] = page_title(page)
        self._buttons[pid] = {}
        for title, widgets in page_widgets(page):
            box = ttk.LabelFrame(frame, text=title, padding=self.PAD) if title else ttk.Frame(frame)
            box.pack(side="top", fill="x", pady=(0, self.PAD))
            box.columnconfigure(1, weight=1)
            for row, item in enumerate(widgets):
                caption = text_form(item.get("label"))
                widget = self._build_widget(box, item, pid)
                if caption:
                    ttk.Label(box, text=caption).grid(row=row, column=0, sticky="nw", padx=(0, self.PAD), pady=3)
                    widget.grid(row=row, column=1, sticky="ew", pady=3)
                else:
                    widget.grid(row=row, column=0, columnspan=2, sticky="ew", pady=3)

    def _var(self, key: str) -> tk.StringVar:
        var = self._vars.get(key)
        if var is None:
            var = self._vars[key] = tk.StringVar(self.master)
            self._traces.append((var, var.trace_add("write", lambda *_: self._edited(key, var.get()))))
        return var

    def _build_widget(self, parent: tk.Misc, item: dict, pid: str) -> tk.Widget:
        kind = widget_type(item)
        key = component_key(item)
        widget: tk.Widget
        if kind in ("entry", "spin"):
            var = self._var(key) if key else tk.StringVar(self.master)
            if kind == "entry":
                widget = ttk.Entry(parent, textvariable=var, show=text_form(option(item, "show")))
            else:
                widget = ttk.Spinbox(parent, textvariable=var, from_=option(item, "from"), to=option(item, "to"),
                                     increment=option(item, "increment"))
            widget.bind("<Return>", lambda _event: self._press_default(pid))
            self._first_input.setdefault(pid, widget)
        elif kind == "label":
            widget = ttk.Label(parent, textvariable=self._var(key), wraplength=480, justify="left") if key else \
                ttk.Label(parent, text=text_form(option(item, "text")), wraplength=480, justify="left")
        elif kind == "text":
            widget = tk.Text(parent, height=min(max(int(option(item, "height")), 1), 100), width=40, wrap="word",
                             relief="solid", borderwidth=1)
            if option(item, "readonly"):
                widget.configure(state="disabled")
            if key:
                self._texts.append((key, widget))
                widget.bind("<<Modified>>", lambda _event, w=widget, k=key: self._text_edited(k, w))
        elif kind == "checkbox":
            check = tk.BooleanVar(self.master)
            widget = ttk.Checkbutton(parent, text=text_form(option(item, "text")), variable=check,
                                     command=(lambda: self._edited(key, check.get())) if key else None)
            if key:
                self._checks.append((key, check))
        elif kind == "progress":
            level = tk.DoubleVar(self.master)
            widget = ttk.Progressbar(parent, variable=level, maximum=option(item, "maximum") or 100)
            if key:
                self._bars.append((key, level))
        elif kind == "button":
            press = button_key(item)
            widget = ttk.Button(parent, text=button_text(item), command=lambda: self.press(press))
            self._buttons[pid].setdefault(press, widget)
        elif kind == "button_row":
            widget = ttk.Frame(parent)
            for child in children(item):
                self._build_widget(widget, child, pid).pack(side="left", padx=(0, self.PAD))
        else:
            widget = tk.Label(parent, text=f"[未知控件类型: {kind or '(无)'}]", fg="#b00020",
                              relief="groove", borderwidth=1, padx=4)
        if item.get("id"):
            self.widgets.setdefault(text_form(item["id"]), widget)
        return widget

    # -------------------------------------------------------------- events

    def _edited(self, key: str, value: Any) -> None:
        """A widget of component ``key`` now shows ``value``: tell the engine unless it knows."""
        if self._redrawing or (key in self._drawn and self._drawn[key] == value):
            return
        self._call(self.engine.merge_components, **{key: value})

    def _text_edited(self, key: str, widget: tk.Text) -> None:
        if widget.edit_modified():
            widget.edit_modified(False)
            self._edited(key, widget.get("1.0", "end-1c"))

    def _press_default(self, pid: str) -> None:
        buttons = self._buttons.get(pid)
        if buttons:
            next(iter(buttons.values())).invoke()

    def press(self, key: str) -> None:
        """What a button does: press ``key`` on the engine and redraw."""
        self._call(self.engine.press, key)

    def _call(self, operation: Callable[..., Any], *args: Any, **kwargs: Any) -> None:
        error = None
        try:
            operation(*args, **kwargs)
        except ValueError as exc:  # the engine's refusals: "请先登录", "空键名"
            error = str(exc)
        except Exception as exc:  # a business function or hook failed; keep the window
            error = f"{type(exc).__name__}: {exc}"
            print(f"vantrel desktop: {error}", file=sys.stderr)
        self.redraw()
        if error:
            self.status.set(error)

    # -------------------------------------------------------------- drawing

    def redraw(self) -> None:
        """Draw the engine's snapshot: page, status line, user line, component values."""
        snap = self.engine.snapshot()
        comps = snap["components"]
        self._drawn = comps
        self._redrawing = True
        try:
            for key, var in self._vars.items():
                if key in comps and var.get() != text_form(comps[key]):
                    var.set(text_form(comps[key]))
            for key, check in self._checks:
                if key in comps:
                    check.set(bool(comps[key]))
            for key, level in self._bars:
                if key in comps:
                    level.set(number(comps[key], 0))
            for key, widget in self._texts:
                value = text_form(comps.get(key))
                if key in comps and widget.get("1.0", "end-1c") != value:
                    state = str(widget.cget("state"))
                    widget.configure(state="normal")
                    widget.delete("1.0", "end")
                    widget.insert("1.0", value)
                    widget.configure(state=state)
            self.status.set(text_form(snap["display"]))
            self.user.set(text_form(snap["expression_line"]))
            self._show_page(text_form(comps.get("ui_page")))
        finally:
            self._redrawing = False

    def _show_page(self, pid: str) -> None:
        if pid == self.current_page:
            return
        if self.current_page in self._pages:
            self._pages[self.current_page].pack_forget()
        if pid not in self._pages:  # a page the engine went to but the layout lacks
            frame = self._pages[pid] = ttk.Frame(self._body)
            tk.Label(frame, text=f"布局中没有页面: {pid}", fg="#b00020").pack(anchor="w")
            self._buttons[pid] = {}
        self._pages[pid].pack(fill="both", expand=True)
        self.page_title.set(self._page_titles.get(pid, pid))
        self.current_page = pid
        if pid in self._first_input:
            self._first_input[pid].focus_set()

    def close(self) -> None:
        """Let go of the engine: the variable traces that Tcl holds point back at this window."""
        for var, name in self._traces:
            var.trace_remove("write", name)
        self._traces.clear()
        self.engine = self.host = None

    # -------------------------------------------------------------- queries

    def page_frame(self) -> ttk.Frame:
        """The frame of the current page."""
        return self._pages[self.current_page]

    def button(self, key: str) -> ttk.Button:
        """The button of the current page that presses ``key``."""
        return self._buttons[self.current_page][key]


def run_window(config_path: str | os.PathLike[str], engine_factory: Callable[[str], Any] | None = None,
               on_open: Callable[[str], None] | None = None) -> None:
    """Open the window for the layout at ``config_path`` and run it until it is closed.

    ``on_open`` is called with the window title once the window is drawn.
    """
    try:
        root = tk.Tk()
    except tk.TclError as exc:
        raise WindowError(f"cannot open the window: {exc}") from None
    window = None
    try:
        window = DesktopWindow(root, config_path, engine_factory)
        root.report_callback_exception = lambda kind, exc, tb: print(
            f"vantrel desktop: {kind.__name__}: {exc}", file=sys.stderr)
        if on_open is not None:
            root.after_idle(on_open, window.title)
        root.mainloop()
    finally:
        if window is not None:
            window.close()
        try:
            root.destroy()
        except tk.TclError:
            pass  # already destroyed by closing the window
