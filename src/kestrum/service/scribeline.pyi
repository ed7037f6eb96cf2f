import logging
from collections.abc import Generator
from contextvars import ContextVar
from typing import Any

loguru_logger: Any

def service_init_logger(
    project_name: str | None = None,
    path_log: str | None = None,
    level: int | str = 10,
    contextvar_g: ContextVar[Any] | None = None,
    log_column_contextvar: str | None = None,
    log_column_msg: str | None = None,
) -> Generator[logging.Logger]: ...
def _json_dumps(obj: object) -> str: ...
