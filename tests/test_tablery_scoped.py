"""with_session() and with_conn() on the real MariaDB: commit, failure handling,
release, pool limits and blocking, and recovery after a server restart."""

from __future__ import annotations

import contextlib
import threading

import pytest
from sqlalchemy import text
from tablery_support import *  # noqa: F403  (fixtures)
from tablery_support import item_names, make_logger

from kestrum.service.tablery import ServiceMysql

INSERT = "INSERT INTO tablery_items (name) VALUES (%(name)s)"


def insert(conn, name: str) -> None:
    conn.cursor().execute(INSERT, {"name": name})


def connection_id(conn) -> int:
    cur = conn.cursor()
    cur.execute("SELECT CONNECTION_ID()")
    return cur.fetchone()[0]


def pool_idle(svc) -> int:
    return len(svc.pool._idle_cache)


class TestWithSession:
    def test_success_commits_and_closes(self, service, admin, clean_items):
        with service.with_session() as session:
            assert session.in_transaction()
            session.execute(text("INSERT INTO tablery_items (name) VALUES ('s1')"))
        assert item_names(admin, clean_items["db"]) == ["s1"]
        assert service.engine.pool.checkedout() == 0
        assert not session.in_transaction()

    @pytest.mark.parametrize("error", [ValueError("bad thing"), KeyError("k"), RuntimeError("")])
    def test_ordinary_error_becomes_plain_exception(
        self, service, logged, admin, clean_items, error
    ):
        with pytest.raises(Exception) as err:
            with service.with_session() as session:
                session.execute(text("INSERT INTO tablery_items (name) VALUES ('lost')"))
                raise error
        assert type(err.value) is Exception
        assert err.value.args == (str(error),)
        assert err.value.__context__ is error
        assert logged[1].warnings == [f"error happen in session msg={error}"]
        assert item_names(admin, clean_items["db"]) == []
        assert service.engine.pool.checkedout() == 0

    def test_keyboard_interrupt_passes_unchanged(self, service, logged, admin, clean_items):
        interrupt = KeyboardInterrupt()
        with pytest.raises(KeyboardInterrupt) as err:
            with service.with_session() as session:
                session.execute(text("INSERT INTO tablery_items (name) VALUES ('lost')"))
                raise interrupt
        assert err.value is interrupt
        assert logged[1].records == []
        assert item_names(admin, clean_items["db"]) == []
        assert service.engine.pool.checkedout() == 0

    def test_failing_commit_is_handled_like_a_failing_body(
        self, service, logged, admin, clean_items
    ):
        Item = service.base.classes.tablery_items
        admin.run(f"INSERT INTO `{clean_items['db']}`.tablery_items (id, name) VALUES (7, 'first')")
        with pytest.raises(Exception) as err:
            with service.with_session() as session:
                session.add(Item(id=7, name="duplicate"))  # flushed, and refused, by the commit
        assert type(err.value) is Exception and "Duplicate entry" in str(err.value)
        assert logged[1].warnings == [f"error happen in session msg={err.value}"]
        assert item_names(admin, clean_items["db"]) == ["first"]
        assert service.engine.pool.checkedout() == 0

    def test_each_call_is_a_new_single_use_manager(self, service):
        first, second = service.with_session(), service.with_session()
        assert first is not second
        with first as s1, second as s2:
            assert s1 is not s2
        with pytest.raises(RuntimeError):
            first.__enter__()


class TestWithConn:
    def test_success_commits_and_returns_the_connection(self, service, admin, clean_items):
        idle = pool_idle(service)
        with service.with_conn() as conn:
            insert(conn, "c1")
            assert pool_idle(service) == idle - 1
        assert item_names(admin, clean_items["db"]) == ["c1"]
        assert pool_idle(service) == idle and service.pool._connections == 0

    def test_failed_body_never_reaches_the_next_borrower(self, clean_items, admin):
        logger, records = make_logger()
        svc = ServiceMysql({**clean_items, "pool_conn_num": 1}, logger)
        with pytest.raises(Exception) as err:
            with svc.with_conn() as conn:
                first_id = connection_id(conn)
                insert(conn, "uncommitted")
                raise ValueError("body failed")
        assert type(err.value) is Exception and str(err.value) == "body failed"
        assert isinstance(err.value.__context__, ValueError)
        assert records.warnings == ["error happen in conn msg=body failed"]
        # The same physical connection, lent again: the failed work is gone, and the
        # next borrower's commit does not carry it into the table.
        with svc.with_conn() as conn:
            assert connection_id(conn) == first_id
            cur = conn.cursor()
            cur.execute("SELECT COUNT(*) FROM tablery_items")
            assert cur.fetchone() == (0,)
            insert(conn, "second")
        assert item_names(admin, clean_items["db"]) == ["second"]

    def test_keyboard_interrupt_passes_unchanged(self, service, logged, admin, clean_items):
        with pytest.raises(KeyboardInterrupt):
            with service.with_conn() as conn:
                insert(conn, "lost")
                raise KeyboardInterrupt
        assert logged[1].records == []
        assert service.pool._connections == 0
        with service.with_conn() as conn:
            insert(conn, "kept")
        assert item_names(admin, clean_items["db"]) == ["kept"]

    def test_lost_connection_mid_body_is_reported_not_replayed(
        self, service, logged, admin, clean_items
    ):
        # The pool would silently run the second statement again on a fresh
        # connection; the first would be lost while the commit reported success.
        with pytest.raises(Exception) as err:
            with service.with_conn() as conn:
                insert(conn, "a")
                admin.run(f"KILL {connection_id(conn)}")
                insert(conn, "b")
        assert type(err.value) is Exception
        assert len(logged[1].warnings) == 1
        assert logged[1].warnings[0].startswith("error happen in conn msg=")
        assert item_names(admin, clean_items["db"]) == []
        with service.with_conn() as conn:  # the pool replaces the dead connection
            insert(conn, "after")
        assert item_names(admin, clean_items["db"]) == ["after"]

    def test_failing_commit_is_handled_like_a_failing_body(
        self, service, logged, admin, clean_items
    ):
        with pytest.raises(Exception) as err:
            with service.with_conn() as conn:
                insert(conn, "never")
                admin.run(f"KILL {connection_id(conn)}")
        assert type(err.value) is Exception
        assert logged[1].warnings == [f"error happen in conn msg={err.value}"]
        assert item_names(admin, clean_items["db"]) == []
        assert service.pool._connections == 0


@pytest.mark.parametrize("size", [2, 3])
def test_borrower_waits_while_the_pool_is_exhausted(clean_items, size):
    svc = ServiceMysql({**clean_items, "pool_conn_num": size}, make_logger()[0])
    got_one = threading.Event()

    def borrower():
        with svc.with_conn() as conn:
            connection_id(conn)
            got_one.set()

    with contextlib.ExitStack() as held:
        lent = [held.enter_context(svc.with_conn()) for _ in range(size)]
        assert len({connection_id(c) for c in lent}) == size
        waiter = threading.Thread(target=borrower, daemon=True)
        waiter.start()
        assert not got_one.wait(0.5)  # blocked: every connection is lent out
        held.pop_all().close()  # give them back: the waiting borrower proceeds
    assert got_one.wait(10)
    waiter.join(10)
    assert svc.pool._connections == 0


def test_next_use_after_a_server_restart_succeeds(private_services):
    logger, records = make_logger()
    svc = ServiceMysql(private_services.mysql_info, logger)
    sql = "CREATE TABLE IF NOT EXISTS tablery_restart (id INT PRIMARY KEY, v VARCHAR(10))"
    svc.safe_execute_sql_with_conn(sql, {}, False)
    with svc.with_session() as session:
        session.execute(text("SELECT 1"))

    private_services.run("restart", "mysql")

    with svc.with_session() as session:
        session.execute(text("REPLACE INTO tablery_restart VALUES (1, 'session')"))
    with svc.with_conn() as conn:
        conn.cursor().execute("REPLACE INTO tablery_restart VALUES (2, 'conn')")
    frame = svc.read_sql_with_session("SELECT id, v FROM tablery_restart ORDER BY id")
    assert frame.values.tolist() == [[1, "session"], [2, "conn"]]
    assert records.warnings == []
