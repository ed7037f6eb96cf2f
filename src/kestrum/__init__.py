"""kestrum: the service layer of a small framework for back-end applications.

The services live in native extension modules under ``kestrum.service`` and the
container in ``kestrum._container``; this package root re-exports the framework's
utilities and, on first use, the two entry points::

    from kestrum import KestrumModelProject, create_container
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

from . import util
from .util import ExceptionAuthFailed, Tool

if TYPE_CHECKING:
    from ._config import KestrumModelProject
    from ._container import create_container

__all__ = ["ExceptionAuthFailed", "KestrumModelProject", "Tool", "create_container", "util"]
__version__ = "0.1.0"

# Importing the container loads every service module and the libraries behind them
# (SQLAlchemy, pandas, casbin, ...): only when an entry point is first asked for.
_LAZY = {
    "create_container": "kestrum._container",
    "KestrumModelProject": "kestrum._config",
}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
