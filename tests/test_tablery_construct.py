"""ServiceMysql construction against the real MariaDB: configuration, engine and pool
settings, schema reflection, failures, and credentials that need escaping."""

from __future__ import annotations

import collections
import logging
import uuid

import pymysql
import pytest
import sqlalchemy.exc
from sqlalchemy import text
from sqlalchemy.orm import Session
from tablery_support import *  # noqa: F403  (fixtures)
from tablery_support import item_names, make_logger

from kestrum.service import tablery
from kestrum.service.tablery import ServiceMysql


@pytest.fixture
def loguru_messages():
    messages: list[str] = []
    sink = tablery.loggeruru.add(lambda m: messages.append(m.record["message"]), level="INFO")
    yield messages
    tablery.loggeruru.remove(sink)


def test_defaults_build_both_routes(clean_items, loguru_messages):
    info = dict(clean_items)
    logger, _ = make_logger()
    svc = ServiceMysql(info, logger)

    assert loguru_messages == ["create mysql server"]
    assert list(vars(svc)) == [
        "_sqlalchemy_conn_num",
        "_pool_conn_num",
        "_connect_info",
        "_logger",
        "engine",
        "base",
        "get_session",
        "pool",
    ]
    assert (svc._sqlalchemy_conn_num, svc._pool_conn_num) == (4, 4)
    assert svc._connect_info is info and svc._logger is logger
    assert ServiceMysql.__mro__ == (ServiceMysql, object)

    engine_pool = svc.engine.pool
    assert engine_pool.size() == 4 and engine_pool._max_overflow == 10
    assert engine_pool._pre_ping is True and engine_pool._recycle == 3600
    url = svc.engine.url
    assert (url.drivername, url.host, url.port, url.database) == (
        "mysql+pymysql",
        info["host"],
        info["port"],
        info["db"],
    )
    assert url.query == {"charset": "utf8"}

    pool = svc.pool
    assert (pool._maxconnections, pool._maxcached) == (4, 4)
    assert pool._blocking and pool._maxusage is None and pool._setsession == []
    assert len(pool._idle_cache) == 1  # mincached opened one at construction
    assert pool._kwargs == {
        "host": info["host"],
        "port": info["port"],
        "user": info["user"],
        "password": info["password"],
        "db": info["db"],
        "charset": "utf8",
    }

    session = svc.get_session()
    assert isinstance(session, Session) and session.get_bind() is svc.engine
    session.close()


def test_explicit_sizes_and_port_as_text(clean_items):
    info = {
        **clean_items,
        "port": str(clean_items["port"]),
        "sqlalchemy_conn_num": 2,
        "pool_conn_num": 5,
        "unrelated": "kept",
    }
    svc = ServiceMysql(info, make_logger()[0])
    assert svc.engine.pool.size() == 2
    assert f":{clean_items['port']}/" in svc.engine.url.render_as_string(hide_password=True)
    assert svc.pool._maxconnections == 5 and svc.pool._maxcached == 5
    assert svc.pool._kwargs["port"] == clean_items["port"]  # converted to a number
    assert svc._connect_info["unrelated"] == "kept"
    with svc.with_conn() as conn:
        cur = conn.cursor()
        cur.execute("SELECT DATABASE()")
        assert cur.fetchone() == (clean_items["db"],)


def test_reflection_maps_tables_with_primary_keys(clean_items, admin):
    svc = ServiceMysql(dict(clean_items), make_logger()[0])
    assert "tablery_items" in svc.base.classes
    assert "tablery_log" not in svc.base.classes  # no primary key: table only
    assert "tablery_log" in svc.base.metadata.tables
    Item = svc.base.classes.tablery_items
    with svc.with_session() as session:
        session.add(Item(name="reflected", qty=3))
    assert item_names(admin, clean_items["db"]) == ["reflected"]
    with svc.with_session() as session:
        assert [(i.name, i.qty) for i in session.query(Item).all()] == [("reflected", 3)]


@pytest.mark.parametrize("pool_conn_num", [0, -1])
def test_no_driver_pool(clean_items, pool_conn_num):
    logger, records = make_logger()
    svc = ServiceMysql({**clean_items, "pool_conn_num": pool_conn_num}, logger)
    assert not hasattr(svc, "pool")
    for _ in range(2):
        with pytest.raises(Exception) as err:
            with svc.with_conn():
                pytest.fail("the body must not run")
        assert type(err.value) is Exception
        assert str(err.value) == "'ServiceMysql' object has no attribute 'pool'"
        assert isinstance(err.value.__context__, AttributeError)
    assert (
        records.warnings
        == ["error happen in conn msg='ServiceMysql' object has no attribute 'pool'"] * 2
    )
    with pytest.raises(Exception, match="no attribute 'pool'"):
        svc.safe_execute_sql_with_conn("SELECT 1", {})
    with svc.with_session() as session:  # the other route is unaffected
        assert session.execute(text("SELECT 1")).scalar() == 1


@pytest.mark.parametrize(
    "bad, type_name",
    [
        (collections.OrderedDict(), "collections.OrderedDict"),
        (None, "NoneType"),
        ([("user", "x")], "list"),
        ("dict", "str"),
    ],
)
def test_connect_info_must_be_exactly_a_dict(bad, type_name, loguru_messages):
    with pytest.raises(TypeError) as err:
        ServiceMysql(bad, make_logger()[0])
    assert str(err.value) == (
        f"Argument 'connect_info' has incorrect type (expected dict, got {type_name})"
    )
    assert loguru_messages == []


def test_arguments_bind_like_a_def(clean_items):
    logger = make_logger()[0]
    with pytest.raises(
        TypeError,
        match=r"^ServiceMysql.__init__\(\) missing 1 required positional "
        r"argument: 'logger'$",
    ):
        ServiceMysql(dict(clean_items))
    with pytest.raises(TypeError, match="unexpected keyword argument 'loger'"):
        ServiceMysql(dict(clean_items), loger=logger)
    with pytest.raises(TypeError, match="takes 3 positional arguments but 4 were given"):
        ServiceMysql(dict(clean_items), logger, 1)
    svc = ServiceMysql(logger=logger, connect_info=dict(clean_items))
    with pytest.raises(
        TypeError, match=r"with_session\(\) takes 1 positional argument but 2 were given"
    ):
        svc.with_session(1)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'db'"):
        svc._get_mysql_pool("h", 1, "u", "p")


@pytest.mark.parametrize("missing", ["user", "password", "host", "port", "db"])
def test_missing_key_raises_key_error_after_logging(clean_items, missing, loguru_messages):
    info = {k: v for k, v in clean_items.items() if k != missing}
    with pytest.raises(KeyError) as err:
        ServiceMysql(info, make_logger()[0])
    assert err.value.args == (missing,)
    assert loguru_messages == ["create mysql server"]


def test_connection_failures_reach_the_caller(clean_items):
    with pytest.raises(sqlalchemy.exc.OperationalError) as err:
        ServiceMysql({**clean_items, "password": "wrong"}, make_logger()[0])
    assert err.value.orig.args[0] == 1045
    with pytest.raises(sqlalchemy.exc.OperationalError) as err:
        ServiceMysql({**clean_items, "db": "kestrum_tablery_absent"}, make_logger()[0])
    assert err.value.orig.args[0] in (1044, 1049)


def test_log_message_never_carries_the_connection_details(clean_items, loguru_messages):
    ServiceMysql(dict(clean_items), make_logger()[0])
    assert loguru_messages == ["create mysql server"]
    assert clean_items["password"] not in loguru_messages[0]


def test_password_and_user_name_with_reserved_characters(admin, clean_items):
    user = f"tablery {uuid.uuid4().hex[:6]}:u@s/r%"
    password = "p w@:/?#%+x%20"
    admin.run("CREATE USER %s@'%%' IDENTIFIED BY %s", (user, password))
    try:
        admin.run(f"GRANT ALL PRIVILEGES ON `{clean_items['db']}`.* TO %s@'%%'", (user,))
        info = {**clean_items, "user": user, "password": password}
        svc = ServiceMysql(info, make_logger()[0])
        assert svc.engine.url.password == password and svc.engine.url.username == user
        assert svc.pool._kwargs["password"] == password  # the driver gets it as it is
        with svc.with_session() as session:
            assert session.execute(text("SELECT CURRENT_USER()")).scalar() == f"{user}@%"
        with svc.with_conn() as conn:
            cur = conn.cursor()
            cur.execute("SELECT CURRENT_USER()")
            assert cur.fetchone() == (f"{user}@%",)
        frame = svc.read_sql_with_session("SELECT CURRENT_USER() AS who")
        assert frame["who"].tolist() == [f"{user}@%"]
    finally:
        admin.run("DROP USER IF EXISTS %s@'%%'", (user,))


def test_module_surface():
    for name in (
        "logging",
        "pymysql",
        "pd",
        "loggeruru",
        "Retrying",
        "stop_after_attempt",
        "RetryError",
        "retry",
        "create_engine",
        "MetaData",
        "Column",
        "Integer",
        "String",
        "sessionmaker",
        "automap_base",
        "PooledDB",
        "contextmanager",
        "urlquote",
    ):
        assert hasattr(tablery, name), name
    assert tablery.logging is logging and tablery.pymysql is pymysql
    assert ServiceMysql.__module__ == "kestrum.service.tablery"
    assert ServiceMysql.read_sql_with_session.__name__ == "read_sql_with_session"
    assert ServiceMysql.safe_read_sql.__qualname__ == "ServiceMysql.safe_read_sql"
    assert ServiceMysql.read_sql_with_session.__doc__
