"""ServiceMysql reads its module-level names at call time and calls its own
overridable methods through the instance, as a Python module and class would."""

from __future__ import annotations

import contextlib
import inspect
import urllib.parse

import pandas as pd
from tablery_support import *  # noqa: F403  (fixtures)
from tablery_support import item_names

from kestrum.service import tablery
from kestrum.service.tablery import ServiceMysql


class TestModuleNames:
    def test_construction_uses_the_patched_names(self, clean_items, logged, monkeypatch):
        calls: list[str] = []
        real_engine, real_pool = tablery.create_engine, tablery.PooledDB

        def create_engine(*args, **kwargs):
            calls.append("create_engine")
            return real_engine(*args, **kwargs)

        class PooledDB(real_pool):
            def __init__(self, *args, **kwargs):
                calls.append("PooledDB")
                super().__init__(*args, **kwargs)

        class Loguru:
            def info(self, *args):
                calls.append(f"loggeruru:{args[0]}")

        monkeypatch.setattr(tablery, "create_engine", create_engine)
        monkeypatch.setattr(tablery, "PooledDB", PooledDB)
        monkeypatch.setattr(tablery, "loggeruru", Loguru())
        svc = ServiceMysql(dict(clean_items), logged[0])
        try:
            assert calls == ["loggeruru:create mysql server", "create_engine", "PooledDB"]
            assert isinstance(svc.pool, PooledDB)
        finally:
            svc.engine.dispose()

    def test_frames_come_from_the_patched_pandas(self, service, monkeypatch):
        made = []

        class Frame(pd.DataFrame):
            def __init__(self, *args, **kwargs):
                made.append(1)
                super().__init__(*args, **kwargs)

        monkeypatch.setattr(pd, "DataFrame", Frame)
        df = service.safe_execute_sql_with_conn("SELECT 1 AS one", {})
        assert type(df) is Frame and made and list(df.columns) == ["one"]

    def test_urlquote_is_quote_plus_but_passwords_with_blanks_still_work(self):
        assert tablery.urlquote is urllib.parse.quote_plus


class TestOverrides:
    def test_overridden_scopes_are_used_by_the_helpers(self, clean_items, logged, admin):
        entered: list[str] = []

        class Traced(ServiceMysql):
            @contextlib.contextmanager
            def with_session(self):
                entered.append("session")
                with super().with_session() as session:
                    yield session

            @contextlib.contextmanager
            def with_conn(self):
                entered.append("conn")
                with super().with_conn() as conn:
                    yield conn

        svc = Traced(dict(clean_items), logged[0])
        try:
            svc.safe_execute_sql_with_conn(
                "INSERT INTO tablery_items (name) VALUES (%(n)s)", {"n": "via-override"}, False
            )
            df = svc.read_sql_with_session("SELECT name FROM tablery_items")
            assert entered == ["conn", "session"]
            assert list(df["name"]) == ["via-override"] == item_names(admin, clean_items["db"])
        finally:
            svc.engine.dispose()

    def test_an_override_that_suppresses_the_error_yields_none(self, service):
        class Quiet(ServiceMysql):
            @contextlib.contextmanager
            def with_conn(self):
                with contextlib.suppress(Exception):
                    yield object()  # no cursor(): the body fails

        quiet = object.__new__(Quiet)
        quiet.__dict__.update(service.__dict__)
        assert quiet.safe_execute_sql_with_conn("SELECT 1", {}) is None


def test_names_and_signatures(service):
    assert ServiceMysql.__init__.__name__ == "__init__"
    assert list(inspect.signature(ServiceMysql.__init__).parameters) == [
        "self", "connect_info", "logger"
    ]  # fmt: skip
    sig = inspect.signature(service.safe_execute_sql_with_conn)
    assert list(sig.parameters) == ["sql_template", "param", "is_read"]
    assert sig.parameters["is_read"].default is True
    assert list(inspect.signature(service.read_sql_with_session).parameters) == ["sql"]
    assert list(inspect.signature(ServiceMysql.safe_read_sql).parameters) == [
        "self", "sql_template", "param", "conn"
    ]  # fmt: skip
    assert list(inspect.signature(service.with_conn).parameters) == []
