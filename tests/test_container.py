"""create_container: the container built from a project configuration."""

from __future__ import annotations

import contextlib
import io
import json
import logging
import threading
import uuid
from contextvars import ContextVar
from types import SimpleNamespace

import pytest
from dependency_injector import providers

from kestrum._config import KestrumModelProject
from kestrum._container import create_container
from kestrum.service.cachewell import ServiceRedis
from kestrum.service.depotlink import ServiceCdn
from kestrum.service.permward import ServiceCasbin
from kestrum.service.tablery import ServiceMysql
from kestrum.service.tokensmith import ServiceJwt
from kestrum.service.wirecall import ServiceHpptClient

SECRET = "container-test-secret-0123456789abcdef"


class Entry:
    """A services entry as the container reads it: anything with dict()."""

    def __init__(self, **fields):
        self.fields = fields

    def dict(self):
        return dict(self.fields)


def project(services=None, other=None, name=None):
    """A duck-typed project configuration, so that entries the configuration model
    would refuse can still reach the container."""
    other = {"path_log": None} if other is None else other
    name = name or "c-" + uuid.uuid4().hex[:10]
    entries = None if services is None else [Entry(**s) for s in services]
    full = {"project_name": name, "other": other, "services": [e.dict() for e in entries or []]}
    return SimpleNamespace(config=SimpleNamespace(other=other, services=entries, dict=lambda: full))


@pytest.fixture
def quiet_stdout():
    with contextlib.redirect_stdout(io.StringIO()) as out:
        yield out


@pytest.fixture
def every_service(redis_info, mysql_info, tmp_path):
    return [
        {"type": "mysql", "name": "db", "info": dict(mysql_info, pool_conn_num=2)},
        {"type": "redis", "name": "cache", "info": dict(redis_info)},
        {
            "type": "cdn",
            "name": "cdn",
            "info": {
                "access_key_id": "ak",
                "access_key_secret": "sk",
                "bucket_name": "bucket-1",
                "endpoint": "127.0.0.1:9",
                "need_auth": False,
                "url_prefix": "http://cdn.local",
            },
        },
        {"type": "http_client", "name": "peer", "info": {"address": "127.0.0.1:9"}},
        {"type": "jwt", "name": "jwt", "info": {"secret_key": SECRET}},
        {"type": "casbin", "name": "rbac", "info": dict(mysql_info, tb="container_policy")},
    ]


class TestMembers:
    def test_only_the_three_members_without_services(self):
        for services in (None, []):
            container = create_container(project(services))
            assert set(container.providers) == {"config", "contextvar_g", "logger"}

    def test_every_type_builds_its_service(self, every_service, quiet_stdout):
        config = KestrumModelProject.from_mapping(
            {"project_name": "every", "other": {"path_log": None}, "services": every_service}
        )
        container = create_container(config)
        assert list(container.providers)[:6] == ["db", "cache", "cdn", "peer", "jwt", "rbac"]
        assert isinstance(container.config, providers.Configuration)
        assert container.config.project_name() == "every"
        kinds = {
            "db": (ServiceMysql, providers.ThreadSafeSingleton),
            "cache": (ServiceRedis, providers.ThreadSafeSingleton),
            "cdn": (ServiceCdn, providers.ThreadSafeSingleton),
            "peer": (ServiceHpptClient, providers.Factory),
            "jwt": (ServiceJwt, providers.Factory),
            "rbac": (ServiceCasbin, providers.ThreadSafeSingleton),
        }
        logger = container.logger()
        for name, (cls, provider_type) in kinds.items():
            provider = container.providers[name]
            assert type(provider) is provider_type, name
            service = provider()
            assert isinstance(service, cls), name
        # the shared logger and context variable reach the services that take them
        assert container.db()._logger is logger and container.cdn().logger is logger
        assert container.peer()._contextvar_g is container.contextvar_g()
        assert container.rbac().enforce("nobody", "/x", "read") is False
        with container.cache().with_conn() as conn:
            assert conn.ping()
        token = container.jwt().create_access_token("ann")
        assert container.jwt().verify_access_token(token) == "ann"
        container.shutdown_resources()

    def test_context_variable_and_logger_resources(self, capsys):
        container = create_container(
            project(other={"path_log": None, "log_column_contextvar": "traceid"}, name="ctx-res")
        )
        container.init_resources()
        var = container.contextvar_g()
        assert isinstance(var, ContextVar) and var.name == "contextvar_g" and var.get() is None
        logger = container.logger()
        assert isinstance(logger, logging.Logger) and logger.name == "ctx-res"
        assert logger.level == logging.DEBUG
        var.set({"vek_traceid": "t-1"})
        logger.info("hello")
        container.shutdown_resources()
        logger.info("after")
        lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
        assert [(d["msg"], d["traceid"]) for d in lines] == [("hello", "t-1"), ("after", "t-1")]
        for h in list(logger.handlers):
            logger.removeHandler(h)

    def test_absent_column_settings_give_one_empty_column(self, capsys):
        container = create_container(project(name="cols"))
        container.contextvar_g().set({"vek_": "empty-name column"})
        container.logger().info("x")
        doc = json.loads(capsys.readouterr().out.splitlines()[-1])
        assert doc[""] == "empty-name column"

    def test_log_file_in_the_configured_directory(self, tmp_path, quiet_stdout):
        container = create_container(project(other={"path_log": str(tmp_path)}, name="filed"))
        container.logger().info("into the file")
        assert json.loads((tmp_path / "filed.log").read_text())["msg"] == "into the file"

    def test_singletons_are_shared_and_factories_are_new(self, redis_info):
        container = create_container(
            project(
                [
                    {"type": "redis", "name": "a", "info": dict(redis_info)},
                    {"type": "redis", "name": "b", "info": dict(redis_info)},
                    {"type": "jwt", "name": "j1", "info": {"secret_key": SECRET}},
                    {"type": "jwt", "name": "j2", "info": {"secret_key": SECRET}},
                ]
            )
        )
        assert container.a() is container.a() and container.a() is not container.b()
        assert container.j1() is not container.j1() and type(container.j2()) is ServiceJwt

    def test_concurrent_first_requests_build_one_singleton(self, mysql_info, quiet_stdout):
        container = create_container(
            project([{"type": "mysql", "name": "db", "info": dict(mysql_info)}])
        )
        barrier = threading.Barrier(16)
        got = []

        def first_request():
            barrier.wait()
            got.append(container.db())

        threads = [threading.Thread(target=first_request) for _ in range(16)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(got) == 16 and len({id(s) for s in got}) == 1

    def test_each_call_builds_new_classes(self):
        a = create_container(project())
        b = create_container(project())
        assert a.declarative_parent is not b.declarative_parent
        assert a.declarative_parent.__qualname__ == "create_container.<locals>.Container"
        assert a.declarative_parent.__module__ == "kestrum._container"
        base = a.declarative_parent.__mro__[1]
        assert base.__name__ == "_MyDeclarativeContainer"

    def test_unknown_types_are_skipped_but_their_names_checked(self):
        container = create_container(
            project(
                [
                    {"type": "Redis", "name": "x", "info": {}},
                    {"type": None, "name": "y", "info": {}},
                ]
            )
        )
        assert "x" not in container.providers and "y" not in container.providers
        with pytest.raises(Exception, match="^_MyDeclarativeContainer already has attr providers$"):
            create_container(project([{"type": "nope", "name": "providers", "info": {}}]))

    def test_own_member_names_pass_and_the_own_member_wins(self):
        container = create_container(
            project(
                [
                    {"type": "jwt", "name": "config", "info": {"secret_key": SECRET}},
                    {"type": "jwt", "name": "logger", "info": {"secret_key": SECRET}},
                ]
            )
        )
        assert isinstance(container.config, providers.Configuration)
        assert isinstance(container.providers["logger"], providers.Resource)


class TestFailures:
    def test_repeated_name(self, redis_info):
        with pytest.raises(Exception) as err:
            create_container(
                project(
                    [
                        {"type": "redis", "name": "same", "info": dict(redis_info)},
                        {"type": "jwt", "name": "same", "info": {"secret_key": SECRET}},
                    ]
                )
            )
        assert type(err.value) is Exception
        assert str(err.value) == "_MyDeclarativeContainer already has attr same"

    @pytest.mark.parametrize(
        "name",
        [
            "providers",
            "override",
            "wiring_config",
            "dependencies",
            "mro",
            "init_resources",
            "shutdown_resources",
            "override_providers",
            "wire",
        ],
    )
    def test_reserved_names(self, name):
        with pytest.raises(Exception, match=f"^_MyDeclarativeContainer already has attr {name}$"):
            create_container(
                project([{"type": "jwt", "name": name, "info": {"secret_key": SECRET}}])
            )

    def test_name_that_is_not_text(self):
        with pytest.raises(TypeError, match="attribute name must be string"):
            create_container(project([{"type": "jwt", "name": 5, "info": {}}]))

    @pytest.mark.parametrize("missing", ["name", "type", "info"])
    def test_entry_missing_a_key(self, missing):
        entry = {"type": "jwt", "name": "j", "info": {"secret_key": SECRET}}
        del entry[missing]
        with pytest.raises(KeyError) as err:
            create_container(project([entry]))
        assert err.value.args == (missing,)

    def test_unknown_type_needs_no_info(self):
        assert create_container(project([{"type": "other", "name": "o"}]))

    def test_unknown_type_is_named_in_the_setup_log(self):
        from loguru import logger

        records = []
        sink = logger.add(lambda m: records.append(m.record), level="DEBUG", format="{message}")
        try:
            create_container(
                project(
                    [
                        {"type": "jwt", "name": "j", "info": {"secret_key": SECRET}},
                        {"type": "Redis", "name": "cache{0}", "info": {}},
                    ]
                )
            )
        finally:
            logger.remove(sink)
        assert [(r["level"].name, r["message"]) for r in records] == [
            ("WARNING", "unknown service type 'Redis' of entry 'cache{0}', skipped")
        ]

    def test_other_without_path_log(self):
        with pytest.raises(KeyError) as err:
            create_container(project(other={}))
        assert err.value.args == ("path_log",)

    def test_service_errors_surface_at_first_request(self):
        container = create_container(project([{"type": "jwt", "name": "j", "info": {}}]))
        with pytest.raises(Exception, match="secret_key not in info, please check"):
            container.j()

    def test_errors_of_the_services_sequence_propagate(self):
        class Unanswerable:
            def __bool__(self):
                raise RuntimeError("no truth value")

        config = project()
        config.config.services = Unanswerable()
        with pytest.raises(RuntimeError, match="no truth value"):
            create_container(config)

    def test_service_classes_are_looked_up_at_call_time(self, monkeypatch):
        import kestrum._container as module

        class Recorded(ServiceJwt):
            pass

        monkeypatch.setattr(module, "ServiceJwt", Recorded)
        container = create_container(
            project([{"type": "jwt", "name": "j", "info": {"secret_key": SECRET}}])
        )
        assert type(container.j()) is Recorded

    def test_arguments(self):
        with pytest.raises(
            TypeError, match=r"^create_container\(\) missing 1 required positional argument"
        ):
            create_container()
        with pytest.raises(TypeError, match="unexpected keyword argument 'cfg'"):
            create_container(cfg=None)
        assert create_container(project_config=project())


class TestConfigurationModel:
    def test_loads_yaml_and_json(self, tmp_path):
        data = {
            "project_name": "p",
            "other": {"path_log": None, "log_column_msg": "user"},
            "services": [{"type": "jwt", "name": "jwt", "info": {"secret_key": SECRET}}],
        }
        (tmp_path / "p.json").write_text(json.dumps(data))
        (tmp_path / "p.yaml").write_text(
            "project_name: p\nother:\n  path_log: null\n  log_column_msg: user\nservices:\n"
            f"  - type: jwt\n    name: jwt\n    info: {{secret_key: {SECRET}}}\n"
        )
        for path in (tmp_path / "p.json", tmp_path / "p.yaml"):
            model = KestrumModelProject.from_file(path)
            assert model.config.dict() == data
            assert model.config.other["path_log"] is None
            assert model.config.other.get("log_column_contextvar", "") == ""
            assert [e.dict() for e in model.config.services] == data["services"]

    @pytest.mark.parametrize(
        ("mapping", "message"),
        [
            ({"other": {"path_log": None}}, "project_name"),
            ({"project_name": "p", "other": {}}, "path_log"),
            ({"project_name": "p", "other": {"path_log": 3}}, "path_log"),
            (
                {"project_name": "p", "other": {"path_log": None, "log_column_msg": ["a"]}},
                "log_column_msg",
            ),
            (
                {"project_name": "p", "services": [{"type": "jwt", "name": "a b", "info": {}}]},
                "identifier",
            ),
            (
                {"project_name": "p", "services": [{"type": "jwt", "name": "a", "info": {}}] * 2},
                "used twice",
            ),
        ],
    )
    def test_bad_configurations_are_refused_clearly(self, mapping, message):
        with pytest.raises(ValueError, match=message):
            KestrumModelProject.from_mapping(mapping)

    def test_unsupported_file_type(self, tmp_path):
        (tmp_path / "p.ini").write_text("x")
        with pytest.raises(ValueError, match="unsupported configuration file"):
            KestrumModelProject.from_file(tmp_path / "p.ini")
