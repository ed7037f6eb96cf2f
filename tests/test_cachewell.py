"""ServiceRedis against the project's Redis server."""

from __future__ import annotations

import gc
import threading
import uuid
from collections import OrderedDict
from contextlib import ExitStack

import pytest
import redis

from kestrum.service.cachewell import ServiceRedis

DB = 7  # this module's own database on the shared server


@pytest.fixture
def info(redis_info):
    return {**redis_info, "db": DB}


@pytest.fixture
def key(info):
    k = f"cachewell:test:{uuid.uuid4().hex}"
    yield k
    redis.Redis(host=info["host"], port=info["port"], db=DB).delete(k)


def in_use(pool: redis.ConnectionPool) -> int:
    return len(pool._in_use_connections)


class TestConstruction:
    def test_only_the_four_keys_reach_the_pool_and_the_callers_dict_is_kept(self, info):
        given = {"type": "redis", "name": "cache", **info, "password": "pw with blank"}
        snapshot = dict(given)
        svc = ServiceRedis(given)
        assert given == snapshot and list(given) == list(snapshot)
        kwargs = svc.pool.connection_kwargs
        for k in ("host", "port", "db", "password"):
            assert kwargs[k] == given[k]
        assert "type" not in kwargs and "name" not in kwargs

    def test_without_password_the_pool_has_none(self, info):
        svc = ServiceRedis(info)
        assert svc.pool.connection_kwargs.get("password") is None
        with svc.with_conn() as conn:
            assert conn.ping() is True

    def test_keyword_and_class_shape(self, info):
        svc = ServiceRedis(connect_info=info)
        assert isinstance(svc.pool, redis.ConnectionPool)
        assert ServiceRedis.__mro__ == (ServiceRedis, object)

    @pytest.mark.parametrize(
        "bad", [None, OrderedDict(host="x"), type("D", (dict,), {})(), [("host", "x")]]
    )
    def test_connect_info_must_be_exactly_a_dict(self, bad):
        with pytest.raises(TypeError) as err:
            ServiceRedis(bad)
        msg = str(err.value)
        assert msg.startswith("Argument 'connect_info' has incorrect type (expected dict, got ")
        assert msg.endswith(f"{type(bad).__name__})")

    def test_argument_errors_read_like_python(self, info):
        with pytest.raises(
            TypeError, match=r"missing 1 required positional argument: 'connect_info'"
        ):
            ServiceRedis()
        with pytest.raises(TypeError, match=r"unexpected keyword argument 'info'"):
            ServiceRedis(info=info)
        with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
            ServiceRedis(info, info)
        with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
            ServiceRedis(info).with_conn(1)

    def test_unreachable_server_fails_at_the_first_command_only(self):
        svc = ServiceRedis({"host": "127.0.0.1", "port": 1, "db": 0})
        with pytest.raises(redis.exceptions.ConnectionError), svc.with_conn() as conn:
            conn.get("k")
        assert conn.connection is None
        assert in_use(svc.pool) == 0


class TestWithConn:
    def test_client_on_the_shared_pool_reads_bytes(self, info, key):
        svc = ServiceRedis(info)
        with svc.with_conn() as conn:
            assert isinstance(conn, redis.Redis)
            assert conn.connection_pool is svc.pool
            conn.set(key, "v")
            # The pool decodes nothing, whatever the client was asked for.
            assert conn.get(key) == b"v"
        assert in_use(svc.pool) == 0

    def test_error_in_the_block_reaches_the_caller_unchanged_and_the_client_is_closed(self, info):
        svc = ServiceRedis(info)
        boom = KeyError("boom")
        with pytest.raises(KeyError) as err, svc.with_conn() as conn:
            conn.ping()
            raise boom
        assert err.value is boom
        assert conn.connection is None
        assert in_use(svc.pool) == 0

    @pytest.mark.parametrize("exc", [StopIteration("s"), RuntimeError("r"), GeneratorExit()])
    def test_awkward_exceptions_pass_through(self, info, exc):
        svc = ServiceRedis(info)
        with pytest.raises(type(exc)) as err, svc.with_conn():
            raise exc
        assert err.value is exc

    def test_nested_blocks_get_different_clients_on_one_pool(self, info, key):
        svc = ServiceRedis(info)
        with svc.with_conn() as a, svc.with_conn() as b:
            assert a is not b
            assert a.connection_pool is b.connection_pool is svc.pool
            a.set(key, "1")
            assert b.incr(key) == 2
        assert in_use(svc.pool) == 0

    def test_each_call_is_a_fresh_context_manager(self, info):
        svc = ServiceRedis(info)
        cm = svc.with_conn()
        with cm as conn:
            assert conn.ping()
        with pytest.raises((RuntimeError, AttributeError)), cm:
            pass
        with ExitStack() as stack:
            clients = [stack.enter_context(svc.with_conn()) for _ in range(3)]
            assert len({id(c) for c in clients}) == 3

    def test_abandoned_lease_gives_its_connection_back(self, info):
        svc = ServiceRedis(info)
        cm = svc.with_conn()
        conn = cm.__enter__()
        conn.ping()
        assert in_use(svc.pool) == 0  # a non-pubsub client returns it after each command
        del cm
        gc.collect()
        assert conn.connection is None

    def test_threads_share_one_service(self, info, key):
        svc = ServiceRedis(info)
        errors: list[BaseException] = []

        def work():
            try:
                for _ in range(200):
                    with svc.with_conn() as conn:
                        conn.incr(key)
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)

        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        with svc.with_conn() as conn:
            assert int(conn.get(key)) == 1600
        assert in_use(svc.pool) == 0


class TestModuleNamesReadAtCallTime:
    """Patching `redis` (the library or the module's own name) reaches the service."""

    def test_patched_library_classes_are_used(self, info, monkeypatch):
        made: list[str] = []

        class Pool(redis.ConnectionPool):
            def __init__(self, **kwargs):
                made.append("pool")
                super().__init__(**kwargs)

        class Client(redis.Redis):
            def __init__(self, **kwargs):
                made.append("client")
                super().__init__(**kwargs)

        monkeypatch.setattr(redis, "ConnectionPool", Pool)
        monkeypatch.setattr(redis, "Redis", Client)
        svc = ServiceRedis(info)
        assert type(svc.pool) is Pool
        with svc.with_conn() as conn:
            assert type(conn) is Client and conn.ping() is True
        assert made == ["pool", "client"]

    def test_module_name_redis_is_read_at_call_time(self, info, monkeypatch):
        import types

        from kestrum.service import cachewell

        class Client(redis.Redis):
            pass

        svc = ServiceRedis(info)
        stand_in = types.SimpleNamespace(Redis=Client, ConnectionPool=redis.ConnectionPool)
        monkeypatch.setattr(cachewell, "redis", stand_in)
        with svc.with_conn() as conn:
            assert type(conn) is Client
        monkeypatch.undo()
        with svc.with_conn() as conn:
            assert type(conn) is redis.Redis
