"""kestrum: the service layer of a small framework for back-end applications.

The services live in native extension modules under ``kestrum.service`` and the
container in ``kestrum._container``; this package root re-exports the framework's
utilities.
"""

from . import util
from .util import ExceptionAuthFailed, Tool

__all__ = ["ExceptionAuthFailed", "Tool", "util"]
__version__ = "0.1.0"
