"""Checked by mypy (scripts/lint), never run: what the stubs promise to callers."""

from __future__ import annotations

import logging
from contextvars import ContextVar
from typing import TYPE_CHECKING, Any

import pandas as pd
from dependency_injector import providers
from typing_extensions import assert_type

import kestrum
from kestrum import KestrumModelProject, create_container
from kestrum.service.tablery import ServiceMysql

if TYPE_CHECKING:
    from kestrum._container import KestrumContainer


def container_members(project: KestrumModelProject) -> None:
    container = create_container(project)
    assert_type(container.config, providers.Configuration)
    assert_type(container.logger(), logging.Logger)
    assert_type(container.contextvar_g(), ContextVar[dict[str, Any] | None])
    # Members named after services entries are only known at run time.
    assert_type(container.db, providers.Provider[Any])
    assert_type(kestrum.create_container(project), KestrumContainer)


def statement_results(db: ServiceMysql, flag: bool) -> None:
    assert_type(db.safe_execute_sql_with_conn("SELECT 1", {}), pd.DataFrame)
    assert_type(db.safe_execute_sql_with_conn("SELECT 1", {}, True), pd.DataFrame)
    assert_type(db.safe_execute_sql_with_conn("DELETE FROM t", {}, is_read=False), int)
    assert_type(db.safe_execute_sql_with_conn("SELECT 1", {}, flag), pd.DataFrame | int)
