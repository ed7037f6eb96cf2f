import logging
from collections.abc import Callable
from contextlib import contextmanager as contextmanager
from types import TracebackType
from typing import Any, Generic, Literal, TypeVar, overload

import pandas as pd
import pymysql as pymysql
from dbutils.pooled_db import PooledDB as PooledDB
from loguru import Logger
from sqlalchemy import Column as Column
from sqlalchemy import Integer as Integer
from sqlalchemy import MetaData as MetaData
from sqlalchemy import String as String
from sqlalchemy import create_engine as create_engine
from sqlalchemy.engine import Engine
from sqlalchemy.ext.automap import automap_base as automap_base
from sqlalchemy.orm import Session, sessionmaker
from tenacity import RetryError as RetryError
from tenacity import Retrying as Retrying
from tenacity import retry as retry
from tenacity import stop_after_attempt as stop_after_attempt

_R = TypeVar("_R")

loggeruru: Logger
# urllib.parse.quote_plus (the connection string escapes with quote(safe=""): a space becomes %20).
urlquote: Callable[..., str]

class _Scope(Generic[_R]):
    """A single-use context manager lending one session or pooled connection."""

    def __enter__(self) -> _R: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool: ...

class ServiceMysql:
    _sqlalchemy_conn_num: Any
    _pool_conn_num: Any
    _connect_info: dict[str, Any]
    _logger: logging.Logger
    engine: Engine
    base: Any
    get_session: sessionmaker[Session]
    pool: PooledDB  # absent when pool_conn_num <= 0

    def __init__(self, connect_info: dict[str, Any], logger: logging.Logger) -> None: ...
    def _get_mysql_pool(
        self, host: str, port: int | str, user: str, password: str, db: str
    ) -> PooledDB: ...
    def with_session(self) -> _Scope[Session]: ...
    def with_conn(self) -> _Scope[Any]: ...
    # Retried by tenacity (3 and 2 attempts): failures, argument errors included,
    # end in tenacity.RetryError.
    def read_sql_with_session(self, sql: str) -> pd.DataFrame: ...
    # A read returns the rows as a frame; otherwise the driver's execute result
    # (PyMySQL: the number of affected rows).
    @overload
    def safe_execute_sql_with_conn(
        self, sql_template: str, param: dict[str, Any], is_read: Literal[True] = True
    ) -> pd.DataFrame: ...
    @overload
    def safe_execute_sql_with_conn(
        self, sql_template: str, param: dict[str, Any], is_read: Literal[False]
    ) -> int: ...
    @overload
    def safe_execute_sql_with_conn(
        self, sql_template: str, param: dict[str, Any], is_read: bool
    ) -> pd.DataFrame | int: ...
    def safe_read_sql(
        self, sql_template: str, param: dict[str, Any], conn: Any
    ) -> pd.DataFrame: ...
