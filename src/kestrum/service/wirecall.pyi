import contextvars
from logging import Logger
from typing import Any

from kestrum.util import Tool as Tool

class ServiceHpptClient:
    """Calls services that answer in the JSON envelope {"code", "msg", "data"}."""

    url: str
    _connect_info: dict[str, Any]
    _contextvar_g: contextvars.ContextVar[Any]
    _logger: Logger
    def __init__(
        self,
        connect_info: dict[str, Any],
        contextvar_g: contextvars.ContextVar[Any],
        logger: Logger,
    ) -> None: ...
    def call(
        self,
        name: str,
        data: dict[str, Any] | None = None,
        metadata: list[tuple[Any, Any]] | None = None,
        timeout: int = 10,
    ) -> Any: ...
