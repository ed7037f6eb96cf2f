from collections.abc import Callable
from contextlib import AbstractContextManager
from typing import Any

import redis

contextmanager: Callable[..., Any]

class ServiceRedis:
    pool: redis.ConnectionPool
    def __init__(self, connect_info: dict[str, Any]) -> None: ...
    def with_conn(self) -> AbstractContextManager[redis.Redis]: ...
