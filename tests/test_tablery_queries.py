"""The query helpers on the real MariaDB: result frames, parameters, commits, type
checks, and tenacity's retries with their warning counts."""

from __future__ import annotations

import collections
import threading

import pandas as pd
import pytest
import tenacity
from tablery_support import *  # noqa: F403  (fixtures)
from tablery_support import item_names, make_logger

from kestrum.service.tablery import ServiceMysql

INSERT = "INSERT INTO tablery_items (name, qty) VALUES (%(name)s, %(qty)s)"


class TestSafeExecuteSqlWithConn:
    def test_write_then_read(self, service, admin, clean_items):
        assert service.safe_execute_sql_with_conn(INSERT, {"name": "a", "qty": 1}, False) == 1
        assert service.safe_execute_sql_with_conn(INSERT, {"name": "b", "qty": 2}, is_read=0) == 1
        assert item_names(admin, clean_items["db"]) == ["a", "b"]  # committed
        frame = service.safe_execute_sql_with_conn(
            "SELECT name AS label, qty FROM tablery_items WHERE qty >= %(min)s ORDER BY id",
            {"min": 1},
        )
        assert isinstance(frame, pd.DataFrame)
        assert list(frame.columns) == ["label", "qty"]
        assert frame.values.tolist() == [["a", 1], ["b", 2]]
        assert list(frame.index) == [0, 1]
        affected = service.safe_execute_sql_with_conn(
            "UPDATE tablery_items SET qty = qty + 1", {}, is_read=False
        )
        assert affected == 2

    def test_empty_result_keeps_its_columns(self, service):
        frame = service.safe_execute_sql_with_conn(
            "SELECT id, name AS n FROM tablery_items WHERE id < 0", {}
        )
        assert list(frame.columns) == ["id", "n"] and len(frame) == 0

    def test_values_are_escaped_by_the_driver(self, service, admin, clean_items):
        tricky = "x'); DROP TABLE tablery_items; -- %s %(qty)s \\ \""
        service.safe_execute_sql_with_conn(INSERT, {"name": tricky, "qty": 0}, False)
        assert item_names(admin, clean_items["db"]) == [tricky]
        frame = service.safe_execute_sql_with_conn(
            "SELECT name FROM tablery_items WHERE name LIKE 'x%%'", {}
        )
        assert frame["name"].tolist() == [tricky]

    def test_write_with_is_read_left_true_is_not_committed(
        self, service, logged, admin, clean_items
    ):
        with pytest.raises(Exception) as err:
            service.safe_execute_sql_with_conn(INSERT, {"name": "ghost", "qty": 1})
        assert type(err.value) is Exception
        assert isinstance(err.value.__context__, TypeError)  # no description to label
        assert logged[1].warnings == [f"error happen in conn msg={err.value}"]
        assert item_names(admin, clean_items["db"]) == []
        assert service.pool._connections == 0

    def test_sql_error_is_not_retried(self, service, logged):
        with pytest.raises(Exception) as err:
            service.safe_execute_sql_with_conn("SELECT nope FROM tablery_items", {})
        assert type(err.value) is Exception and "Unknown column" in str(err.value)
        assert len(logged[1].warnings) == 1
        with pytest.raises(Exception, match="unsupported format character"):
            service.safe_execute_sql_with_conn("SELECT 'a%b'", {})  # % must be written %%

    @pytest.mark.parametrize(
        "args, message",
        [
            ((1, {}), "Argument 'sql_template' has incorrect type (expected str, got int)"),
            (
                ("SELECT 1", None),
                "Argument 'param' has incorrect type (expected dict, got NoneType)",
            ),
            (
                ("SELECT 1", collections.OrderedDict()),
                "Argument 'param' has incorrect type (expected dict, got collections.OrderedDict)",
            ),
        ],
    )
    def test_argument_types_fail_at_once(self, service, logged, args, message):
        idle = len(service.pool._idle_cache)
        with pytest.raises(TypeError) as err:
            service.safe_execute_sql_with_conn(*args)
        assert str(err.value) == message
        assert logged[1].records == [] and len(service.pool._idle_cache) == idle

    def test_many_threads_share_the_service(self, clean_items, admin):
        svc = ServiceMysql({**clean_items, "pool_conn_num": 3}, make_logger()[0])
        errors = []

        def work(n):
            try:
                for i in range(10):
                    svc.safe_execute_sql_with_conn(INSERT, {"name": f"t{n}-{i}", "qty": n}, False)
                    svc.read_sql_with_session("SELECT COUNT(*) AS c FROM tablery_items")
            except Exception as e:  # reported below
                errors.append(e)

        threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert errors == []
        assert sorted(item_names(admin, clean_items["db"])) == sorted(
            f"t{n}-{i}" for n in range(6) for i in range(10)
        )


class TestReadSqlWithSession:
    def test_matches_pandas_on_the_engine(self, service):
        service.safe_execute_sql_with_conn(INSERT, {"name": "r", "qty": 5}, False)
        sql = "SELECT id, name, qty * 2 AS twice FROM tablery_items"
        frame = service.read_sql_with_session(sql)
        pd.testing.assert_frame_equal(frame, pd.read_sql_query(sql, service.engine))
        assert frame["twice"].tolist() == [10]
        assert service.engine.pool.checkedout() == 0

    def test_persistent_failure_makes_three_attempts(self, service, logged):
        with pytest.raises(tenacity.RetryError) as err:
            service.read_sql_with_session("SELECT * FROM tablery_absent")
        assert err.value.last_attempt.attempt_number == 3
        cause = err.value.__cause__
        assert type(cause) is Exception and "tablery_absent" in str(cause)
        assert logged[1].warnings == [f"error happen in session msg={cause}"] * 3
        assert service.engine.pool.checkedout() == 0

    def test_failure_then_success_returns_the_second_frame(
        self, service, logged, admin, clean_items
    ):
        table = f"`{clean_items['db']}`.tablery_late"
        admin.run(f"DROP TABLE IF EXISTS {table}")

        def create_table(_record):  # the first failure makes the table appear
            admin.run(f"CREATE TABLE IF NOT EXISTS {table} (v INT)")
            admin.run(f"INSERT INTO {table} VALUES (42)")

        logged[1].on_warning = create_table
        try:
            frame = service.read_sql_with_session("SELECT v FROM tablery_late")
            assert frame["v"].tolist() == [42]
            assert len(logged[1].warnings) == 1
        finally:
            admin.run(f"DROP TABLE IF EXISTS {table}")

    @pytest.mark.parametrize("call", [lambda s: s(1), lambda s: s(), lambda s: s(sql=b"x")])
    def test_argument_errors_count_as_failed_attempts(self, service, logged, call):
        with pytest.raises(tenacity.RetryError) as err:
            call(service.read_sql_with_session)
        assert err.value.last_attempt.attempt_number == 3
        assert type(err.value.__cause__) is TypeError
        assert logged[1].records == []  # never reached the session

    def test_keeps_tenacity_surface(self):
        method = ServiceMysql.read_sql_with_session
        assert method.__name__ == "read_sql_with_session"
        assert method.retry.stop.max_attempt_number == 3
        assert ServiceMysql.safe_read_sql.retry.stop.max_attempt_number == 2


class TestSafeReadSql:
    def test_reads_inside_the_callers_transaction(self, service, logged, admin, clean_items):
        conn = service.pool.connection()
        try:
            conn.cursor().execute(INSERT, {"name": "pending", "qty": 9})
            frame = service.safe_read_sql(
                "SELECT name, qty AS q FROM tablery_items WHERE qty = %(q)s", {"q": 9}, conn
            )
            assert list(frame.columns) == ["name", "q"]
            assert frame.values.tolist() == [["pending", 9]]
            empty = service.safe_read_sql("SELECT id FROM tablery_items WHERE id < 0", {}, conn)
            assert list(empty.columns) == ["id"] and empty.empty
            assert item_names(admin, clean_items["db"]) == []  # nothing committed
            conn.rollback()
            assert service.safe_read_sql("SELECT name FROM tablery_items", {}, conn).empty
        finally:
            conn.close()
        assert logged[1].records == []

    def test_failure_makes_two_attempts_and_leaves_conn_usable(self, service, logged):
        with service.with_conn() as conn:
            with pytest.raises(tenacity.RetryError) as err:
                service.safe_read_sql("SELECT nope FROM tablery_items", {}, conn)
            assert err.value.last_attempt.attempt_number == 2
            assert "Unknown column" in str(err.value.__cause__)
            assert service.safe_read_sql("SELECT 1 AS one", {}, conn)["one"].tolist() == [1]
        assert logged[1].records == []

    @pytest.mark.parametrize(
        "args", [("SELECT 1", collections.OrderedDict()), (b"SELECT 1", {}), ("SELECT 1",)]
    )
    def test_argument_errors_are_retried_without_touching_conn(self, service, args):
        # A closed connection fails on any use, so a TypeError as the final cause shows
        # that the check ran before the connection was touched.
        conn = service.pool.connection()
        conn.close()
        with pytest.raises(tenacity.RetryError) as err:
            service.safe_read_sql(*args, *([conn] if len(args) == 2 else []))
        assert err.value.last_attempt.attempt_number == 2
        assert type(err.value.__cause__) is TypeError

    def test_closed_connection_fails_after_two_attempts(self, service):
        conn = service.pool.connection()
        conn.close()
        with pytest.raises(tenacity.RetryError) as err:
            service.safe_read_sql("SELECT 1", {}, conn)
        assert err.value.last_attempt.attempt_number == 2
