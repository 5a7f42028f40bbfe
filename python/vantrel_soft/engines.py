"""Which page engine a face of the host runs: the example's, or one named
``module:Class`` (``--engine`` of the command line, ``VANTREL_ENGINE`` of
the WSGI factory)."""

from __future__ import annotations

import importlib
from typing import Any

#: The engine every face runs unless told otherwise: the example's, which adds
#: the business function and the page hooks its layout names.
DEFAULT_ENGINE = "vantrel_soft.demo:DemoEngine"


def load_engine_class(name: str) -> Any:
    """The object named by ``module:attribute`` (dots in the attribute reach nested names).

    Raises ValueError for a malformed name and ImportError when it cannot be found."""
    module_name, sep, attr = name.partition(":")
    if not sep or not module_name or not attr:
        raise ValueError(f"an engine is named MODULE:CLASS, not {name!r}")
    try:
        obj: Any = importlib.import_module(module_name)
        for part in attr.split("."):
            obj = getattr(obj, part)
    except (ImportError, AttributeError) as exc:
        raise ImportError(f"cannot load the engine {name!r}: {exc}") from exc
    return obj
