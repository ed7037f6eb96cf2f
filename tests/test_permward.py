"""ServiceCasbin in one process: construction, the policy table, role and policy
operations, and the reload watcher, against the project's MariaDB and Redis."""

from __future__ import annotations

import inspect
import logging
import os
import sys
import threading
import time
import urllib.parse
import uuid
import warnings
from collections import OrderedDict

import pymysql
import pytest
import redis
from test_permward_peer import Peer

from kestrum.service import permward
from kestrum.service.cachewell import ServiceRedis
from kestrum.service.permward import ServiceCasbin

CHANNEL = "__KESTRUM_CASBIN_RELOAD_SIGNAL"
PY = "py{}{}".format(*sys.version_info[:2])  # the two interpreters' runs may overlap


class Capture(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)

    def lines(self, level: str | None = None) -> list[str]:
        return [r.getMessage() for r in list(self.records) if level in (None, r.levelname)]


def wait_until(predicate, timeout: float = 5.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def table_info(mysql_info, name: str) -> dict:
    return {**mysql_info, "tb": f"permward_{name}_{PY}"}


def sql(info, statement: str, args=()):
    conn = pymysql.connect(
        host=info["host"], port=int(info["port"]), user=info["user"], password=info["password"],
        database=info["db"], autocommit=True,
    )  # fmt: skip
    try:
        with conn.cursor() as cur:
            cur.execute(statement, args)
            return cur.fetchall()
    finally:
        conn.close()


def insert_rule(info, *values: str) -> None:
    """Writes a row behind the service's back."""
    sql(info, f"INSERT INTO `{info['tb']}` (ptype, v0, v1, v2) VALUES (%s, %s, %s, %s)", values)


def fresh_table(info) -> None:
    try:
        sql(info, f"DELETE FROM `{info['tb']}`")
    except pymysql.err.ProgrammingError:
        pass  # created by the first service


@pytest.fixture
def capture():
    handler = Capture()
    logger = logging.getLogger(f"permward-test-{uuid.uuid4().hex}")
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    logger.addHandler(handler)
    handler.logger = logger
    return handler


@pytest.fixture
def peers():
    """Starts peer processes (test_permward_peer.Peer) and closes them afterwards."""
    started: list[Peer] = []
    yield lambda config: started.append(Peer(config)) or started[-1]
    for p in started:
        p.close()


@pytest.fixture
def service(mysql_info, capture):
    info = table_info(mysql_info, "ops")
    fresh_table(info)
    return ServiceCasbin(info, capture.logger)


@pytest.fixture
def cachewell(redis_info):
    return ServiceRedis(dict(redis_info))


def watch(service, cachewell, times: int = 1) -> None:
    """set_auto_reload, then wait until the new watchers are subscribed: a signal
    sent before that is not seen by them."""
    rc = redis.Redis(connection_pool=cachewell.pool)

    def subscribers() -> int:
        return rc.pubsub_numsub(CHANNEL)[0][1]

    before = subscribers()
    for _ in range(times):
        service.set_auto_reload(cachewell)
    wait_until(lambda: subscribers() >= before + times, 5)  # best effort: others come and go


class Listener:
    """A subscriber of its own on the reload channel."""

    def __init__(self, redis_info) -> None:
        self.ps = redis.Redis(**redis_info).pubsub()
        self.ps.subscribe(CHANNEL)
        assert self.ps.get_message(timeout=2)["type"] == "subscribe"

    def reloads(self, settle: float = 0.3) -> int:
        n = 0
        while (m := self.ps.get_message(timeout=settle)) is not None:
            n += m["type"] == "message" and m["data"] == b"reload"
        return n


class TestConstruction:
    def test_attributes_and_policy_table(self, service, mysql_info):
        info = service._info
        assert list(vars(service)) == [
            "_group_pat", "_adapter", "_enforce", "_logger", "_info", "_reload_channal_name",
        ]  # fmt: skip
        assert service._reload_channal_name == CHANNEL
        assert service._group_pat.pattern == "^G-.*"
        rows = sql(
            info,
            "SELECT column_name, column_type, column_key FROM information_schema.columns "
            "WHERE table_schema = %s AND table_name = %s ORDER BY ordinal_position",
            (info["db"], info["tb"]),
        )
        assert [r[0] for r in rows] == ["id", "ptype", "v0", "v1", "v2", "v3", "v4", "v5"]
        assert rows[0][2] == "PRI"
        assert all(r[1] == "varchar(50)" for r in rows[1:])

    def test_info_is_kept_as_given_and_extra_keys_are_ignored(self, mysql_info, capture):
        info = {**table_info(mysql_info, "ops"), "type": "casbin", "name": "auth"}
        svc = ServiceCasbin(info=info, logger=capture.logger)
        assert svc._info is info and svc._logger is capture.logger

    def test_port_as_text_connects_too(self, mysql_info, capture):
        info = {**table_info(mysql_info, "ops"), "port": str(mysql_info["port"])}
        svc = ServiceCasbin(info, capture.logger)
        assert svc._adapter._engine.url.port == int(mysql_info["port"])

    @pytest.mark.parametrize("bad", [None, OrderedDict(), type("D", (dict,), {})(), "x"])
    def test_info_must_be_exactly_a_dict(self, bad, capture):
        with pytest.raises(TypeError, match=r"^Argument 'info' has incorrect type \(expected dict"):
            ServiceCasbin(bad, capture.logger)

    def test_missing_keys_in_reading_order(self, mysql_info, capture):
        full = table_info(mysql_info, "ops")
        for key in ["user", "password", "host", "port", "db", "tb"]:
            with pytest.raises(KeyError) as err:
                ServiceCasbin({k: v for k, v in full.items() if k != key}, capture.logger)
            assert err.value.args == (key,)
        # user is read first: with everything missing it is the one reported.
        with pytest.raises(KeyError, match="user"):
            ServiceCasbin({}, capture.logger)

    def test_argument_errors(self, mysql_info, capture):
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'logger'"):
            ServiceCasbin(table_info(mysql_info, "ops"))
        with pytest.raises(TypeError, match=r"got multiple values for argument 'info'"):
            ServiceCasbin({}, info={}, logger=None)

    def test_wrong_credentials_fail_the_constructor(self, mysql_info, capture):
        info = {**table_info(mysql_info, "ops"), "password": "wrong"}
        with pytest.raises(Exception, match="Access denied"):
            ServiceCasbin(info, capture.logger)

    def test_engine_survives_dropped_connections(self, service):
        engine = service._adapter._engine
        assert engine.pool._pre_ping is True
        assert engine.pool._recycle == 3600

    def test_password_with_url_characters_logs_in(self, mysql_info, mysql_admin, capture):
        user, password = f"permward_pw_{PY}", "p@ss:w/rd?#%25 x+y"
        admin = {**mysql_admin, "db": mysql_info["db"]}
        sql(admin, f"DROP USER IF EXISTS '{user}'@'%%'")
        sql(admin, f"CREATE USER '{user}'@'%%' IDENTIFIED BY %s", (password,))
        sql(admin, f"GRANT ALL ON `{mysql_info['db']}`.* TO '{user}'@'%%'")
        try:
            info = {**table_info(mysql_info, "ops"), "user": user, "password": password}
            svc = ServiceCasbin(info, capture.logger)
            assert svc._adapter._engine.url.password == password
            assert svc.get_roles_for_user("nobody") == []
        finally:
            sql(admin, f"DROP USER IF EXISTS '{user}'@'%%'")

    def test_user_names_with_url_characters_log_in_as_themselves(
        self, mysql_info, mysql_admin, capture
    ):
        admin = {**mysql_admin, "db": mysql_info["db"]}
        # the second is the account an undecoded "%41" would log in as instead
        users = [f"pw:u@s%41r_{PY}", f"pw:u@sAr_{PY}"]
        for user in users:
            sql(admin, "DROP USER IF EXISTS %s@'%%'", (user,))
            sql(admin, "CREATE USER %s@'%%' IDENTIFIED BY 'same pw'", (user,))
            sql(admin, f"GRANT ALL ON `{mysql_info['db']}`.* TO %s@'%%'", (user,))
        try:
            for user in users:
                info = {**table_info(mysql_info, "ops"), "user": user, "password": "same pw"}
                svc = ServiceCasbin(info, capture.logger)
                with svc._adapter._engine.connect() as conn:
                    who = conn.exec_driver_sql("SELECT CURRENT_USER()").scalar()
                assert who == f"{user}@%"
        finally:
            for user in users:
                sql(admin, "DROP USER IF EXISTS %s@'%%'", (user,))

    def test_model_file_beside_the_package(self, service):
        assert permward.__file__
        model = service._enforce.get_model()
        assert model.model["r"]["r"].tokens == ["r_sub", "r_obj", "r_act"]
        assert model.model["p"]["p"].tokens == ["p_sub", "p_obj", "p_act"]


class TestRowClass:
    def test_text_forms(self, service):
        row_class = service._adapter._db_class
        assert row_class.__name__ == "MyCasbinPolicy" and row_class.__module__ == permward.__name__
        row = row_class(id=7, ptype="p", v0="G-ops", v1="/orders", v2="GET")
        assert str(row) == "p, G-ops, /orders, GET"
        assert repr(row) == '<CasbinRule 7: "p, G-ops, /orders, GET">'
        gap = row_class(id=8, ptype="p", v0="G-ops", v1=None, v2="GET")
        assert str(gap) == "p, G-ops"
        assert str(row_class(ptype="g")) == "g"

    def test_a_second_service_over_the_same_table(self, service, capture):
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # no redeclaration, so no SQLAlchemy warning
            other = ServiceCasbin(dict(service._info), capture.logger)
        assert other._adapter._db_class is service._adapter._db_class
        other._enforce.add_policy("G-two", "/x", "GET")
        service._enforce.load_policy()
        assert service.enforce("G-two", "/x", "GET") is True

    def test_services_over_two_tables_keep_their_rules_apart(self, service, mysql_info, capture):
        info = table_info(mysql_info, "other")
        fresh_table(info)
        other = ServiceCasbin(info, capture.logger)
        assert other._adapter._db_class.__tablename__ == info["tb"]
        other._enforce.add_policy("G-only-other", "/x", "GET")
        service._enforce.load_policy()
        assert service.get_policies_for_role("G-only-other") == []
        assert other.get_policies_for_role("G-only-other") == [["G-only-other", "/x", "GET"]]


class TestEnforce:
    def test_decisions_equal_the_enforcers(self, service, cachewell):
        watch(service, cachewell)
        service.add_policy("G-ops", "/orders", "GET")
        service.add_policy("G-ops", "/reports/*", "GET")
        service.add_role_for_user("alice", "G-ops")
        cases = [
            ("alice", "/orders", "GET"),
            ("alice", "/orders", "POST"),
            ("alice", "/reports/2024", "GET"),
            ("bob", "/orders", "GET"),
            ("G-ops", "/orders", "GET"),
        ]
        got = [service.enforce(*c) for c in cases]
        assert got == [True, False, True, False, True]
        assert got == [service._enforce.enforce(*c) for c in cases]
        assert service.enforce(sub="alice", obj="/orders", act="GET") is True

    def test_argument_errors(self, service):
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'act'"):
            service.enforce("alice", "/orders")
        with pytest.raises(TypeError, match="takes 4 positional arguments but 5 were given"):
            service.enforce("alice", "/orders", "GET", "x")


class TestRoleRule:
    @pytest.mark.parametrize("role", ["admin", "g-ops", " G-ops", "xG-ops", ""])
    def test_refused_roles_change_nothing(self, service, cachewell, role):
        watch(service, cachewell)
        message = "role must start with G- not " + role
        for call in (
            lambda: service.add_role_for_user("alice", role),
            lambda: service.add_policy(role, "/orders", "GET"),
            lambda: service.get_policies_for_role(role),
            lambda: service._is_role(role),
        ):
            with pytest.raises(Exception) as err:
                call()
            assert type(err.value) is Exception and str(err.value) == message
        assert sql(service._info, f"SELECT COUNT(*) FROM `{service._info['tb']}`")[0][0] == 0

    @pytest.mark.parametrize("role", [None, 3, b"G-ops"])
    def test_non_text_roles_are_type_errors(self, service, role):
        for call in (service._is_role, lambda r: service.add_policy(r, "/o", "GET")):
            with pytest.raises(TypeError):
                call(role)

    def test_accepted_roles(self, service):
        assert service._is_role("G-") is True
        assert service._is_role("G-ops-東京") is True


class TestChanges:
    def test_queries_and_changes(self, service, cachewell, redis_info):
        watch(service, cachewell)
        listener = Listener(redis_info)
        assert service.add_policy("G-ops", "/orders", "GET") is True
        assert service.add_policy("G-ops", "/orders", "GET") is False  # already there
        assert service.add_role_for_user("alice", "G-ops") is True
        assert service.add_role_for_user("bob", "G-ops") is True
        assert listener.reloads() >= 4  # every change publishes, also the no-op
        assert sorted(service.get_users_for_role("G-ops")) == ["alice", "bob"]
        assert service.get_roles_for_user("alice") == ["G-ops"]
        assert service.get_policies_for_role("G-ops") == [["G-ops", "/orders", "GET"]]
        assert service.get_users_for_role("ops") == []
        assert sorted(
            sql(service._info, f"SELECT ptype, v0, v1, v2 FROM `{service._info['tb']}`")
        ) == [
            ("g", "alice", "G-ops", None),
            ("g", "bob", "G-ops", None),
            ("p", "G-ops", "/orders", "GET"),
        ]
        assert service.delete_role_for_user("bob", "G-ops") is True
        assert service.remove_policy("G-ops", "/orders", "GET") is True
        assert service.remove_policy("G-ops", "/orders", "GET") is False
        assert listener.reloads() >= 3
        assert service.get_policies_for_role("G-ops") == []
        assert service.get_roles_for_user("bob") == []

    def test_rules_without_the_prefix_can_still_be_removed(self, service, cachewell):
        watch(service, cachewell)
        service._enforce.add_policy("legacy", "/old", "GET")
        service._enforce.add_role_for_user("carol", "legacy")
        assert service.remove_policy("legacy", "/old", "GET") is True
        assert service.delete_role_for_user("carol", "legacy") is True
        assert sql(service._info, f"SELECT COUNT(*) FROM `{service._info['tb']}`")[0][0] == 0

    def test_a_removal_the_table_no_longer_holds_leaves_memory_too(self, service, cachewell):
        service._cachewell = cachewell  # publishes, and no watcher here reloads
        service.add_role_for_user("frank", "G-ops")
        service.add_policy("G-ops", "/f", "GET")
        sql(service._info, f"DELETE FROM `{service._info['tb']}` WHERE v0 = 'frank'")
        assert service.enforce("frank", "/f", "GET") is True  # not reloaded yet
        assert service.delete_role_for_user("frank", "G-ops") is False  # no row was deleted
        assert service.get_roles_for_user("frank") == []
        assert service.enforce("frank", "/f", "GET") is False

    def test_change_before_set_auto_reload_is_stored_then_fails(self, service):
        with pytest.raises(AttributeError, match="_cachewell"):
            service.add_role_for_user("dave", "G-ops")
        assert sql(service._info, f"SELECT v0, v1 FROM `{service._info['tb']}`") == (
            ("dave", "G-ops"),
        )
        assert service.get_roles_for_user("dave") == ["G-ops"]

    def test_redis_down_fails_after_the_change(self, service):
        service.set_auto_reload(ServiceRedis({"host": "127.0.0.1", "port": 1, "db": 0}))
        with pytest.raises(redis.exceptions.ConnectionError):
            service.add_policy("G-x", "/x", "GET")
        assert service.get_policies_for_role("G-x") == [["G-x", "/x", "GET"]]


class TestWatcher:
    def test_start_and_own_signal(self, service, cachewell, capture, redis_info):
        listener = Listener(redis_info)  # to tell other processes' signals apart
        watch(service, cachewell)
        watchers = [t for t in threading.enumerate() if "_thread_reload_policy" in t.name]
        assert watchers and all(t.daemon for t in watchers)
        assert wait_until(lambda: "start casbin reload threading" in capture.lines("INFO"))
        time.sleep(1.2)  # the subscription confirmation is passed over silently
        assert capture.lines("WARNING") == []
        assert len(capture.lines("DEBUG")) <= listener.reloads(0)
        service.add_policy("G-self", "/x", "GET")
        assert wait_until(lambda: capture.lines("DEBUG"), 3.5)
        line = capture.lines("DEBUG")[0]
        pid, tid = line.removeprefix("casbin reload in pid=").split(" tid=")
        assert line.startswith("casbin reload in pid=") and int(pid) == os.getpid()
        assert int(tid) in {t.ident for t in watchers}

    def test_reload_replaces_the_policy_from_the_table(self, service, cachewell, capture):
        watch(service, cachewell)
        insert_rule(service._info, "p", "G-db", "/d", "GET")
        assert service.enforce("G-db", "/d", "GET") is False
        redis.Redis(connection_pool=cachewell.pool).publish(CHANNEL, "reload")
        assert wait_until(lambda: service.enforce("G-db", "/d", "GET"), 3.5)

    def test_other_texts_and_bad_data(self, service, cachewell, capture, redis_info):
        listener = Listener(redis_info)
        watch(service, cachewell)
        time.sleep(1.2)
        listener.reloads(0)
        base, seen = len(capture.lines("DEBUG")), 0
        rc = redis.Redis(**redis_info)
        for text in (b"Reload", b" reload", b"reload ", b"RELOAD", b"\xff\xfe", b"reload"):
            rc.publish(CHANNEL, text)

        # Items are taken one a second, in order: once the last "reload" is done, so
        # are the others. Only "reload" texts, ours and other processes', may reload.
        def drained() -> bool:
            nonlocal seen
            seen += listener.reloads(0)
            return seen >= 1 and len(capture.lines("DEBUG")) - base == seen

        assert wait_until(drained, 12)
        time.sleep(1.2)
        assert wait_until(drained, 3)  # a wrong reload would never be made up for
        warnings = capture.lines("WARNING")
        assert len(warnings) == 1 and warnings[0].startswith("casbin reload error with e=")
        assert "utf-8" in warnings[0]

    def test_failed_reload_is_logged_and_keeps_the_old_policy(self, service, cachewell, capture):
        watch(service, cachewell)
        service.add_policy("G-keep", "/k", "GET")
        assert wait_until(lambda: capture.lines("DEBUG"), 3.5)
        # An unmatched bracket makes the engine's line parser fail on reload.
        insert_rule(service._info, "p", "G-bad", "/a)", "GET")
        redis.Redis(connection_pool=cachewell.pool).publish(CHANNEL, "reload")
        assert wait_until(lambda: capture.lines("WARNING"), 3.5)
        assert capture.lines("WARNING")[0].startswith("casbin reload error with e=")
        assert service.enforce("G-keep", "/k", "GET") is True
        sql(service._info, f"DELETE FROM `{service._info['tb']}` WHERE v0 = 'G-bad'")
        service.add_policy("G-next", "/n", "GET")
        assert wait_until(lambda: service.enforce("G-next", "/n", "GET"), 3.5)

    def test_two_watchers_reload_twice_per_signal(self, service, cachewell, capture, redis_info):
        watch(service, cachewell, 2)
        assert len(capture.lines("INFO")) == 2
        service.add_policy("G-twice", "/t", "GET")

        def tids():
            return {line.split(" tid=")[1] for line in capture.lines("DEBUG")}

        assert wait_until(lambda: len(tids()) == 2, 3.5)

    def test_watcher_keeps_trying_while_redis_is_unreachable(self, service, capture):
        service.set_auto_reload(ServiceRedis({"host": "127.0.0.1", "port": 1, "db": 0}))
        assert wait_until(lambda: len(capture.lines("WARNING")) >= 2, 4.5)
        assert all(w.startswith("casbin reload error with e=") for w in capture.lines("WARNING"))
        assert any(
            t.daemon and t.is_alive() for t in threading.enumerate() if "_thread_reload" in t.name
        )


class TestPatchingAndOverrides:
    def test_module_names_are_read_at_call_time(self, mysql_info, capture, monkeypatch):
        import casbin

        made: list[str] = []

        class Enforcer(casbin.SyncedEnforcer):
            def __init__(self, *args, **kwargs):
                made.append("enforcer")
                super().__init__(*args, **kwargs)

        monkeypatch.setattr(casbin, "SyncedEnforcer", Enforcer)
        svc = ServiceCasbin(table_info(mysql_info, "ops"), capture.logger)
        assert type(svc._enforce) is Enforcer and made == ["enforcer"]
        assert permward.urlquote is urllib.parse.quote_plus

    def test_watcher_builds_its_client_from_the_patched_redis(
        self, service, cachewell, monkeypatch
    ):
        made = threading.Event()

        class Client(redis.Redis):
            def __init__(self, **kwargs):
                made.set()
                super().__init__(**kwargs)

        monkeypatch.setattr(redis, "Redis", Client)
        service.set_auto_reload(cachewell)
        assert made.wait(5)

    def test_an_overridden_role_test_is_used(self, service, mysql_info, capture):
        asked: list[str] = []

        class Lenient(ServiceCasbin):
            def _is_role(self, role):
                asked.append(role)
                return role != "refused"

        svc = Lenient(table_info(mysql_info, "ops"), capture.logger)
        svc._enforce.add_policy("ops", "/x", "GET")
        assert svc.get_policies_for_role("ops") == [["ops", "/x", "GET"]]
        assert svc.get_policies_for_role("refused") is None
        assert asked == ["ops", "refused"]
        with pytest.raises(Exception, match="role must start with G- not ops"):
            service.get_policies_for_role("ops")

    def test_signatures(self, service):
        assert list(inspect.signature(service.add_policy).parameters) == ["role", "obj", "act"]
        assert list(inspect.signature(ServiceCasbin.get_roles_for_user).parameters) == [
            "self", "user"
        ]  # fmt: skip
