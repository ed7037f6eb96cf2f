"""Every service class behaves as a Python class would: signatures for inspect and help(),
AttributeError before __init__, a second __init__ that takes effect, copies."""

from __future__ import annotations

import contextvars
import copy
import inspect
import logging

import pytest

from kestrum._container import create_container
from kestrum.service._sealcheck import ServiceParamsign
from kestrum.service.cachewell import ServiceRedis
from kestrum.service.depotlink import ServiceCdn
from kestrum.service.tablery import ServiceMysql
from kestrum.service.tokensmith import ServiceJwt
from kestrum.service.wirecall import ServiceHpptClient

SECRET = "classes-test-secret-0123456789abcdef"
CDN_INFO = {
    "access_key_id": "ak",
    "access_key_secret": "sk",
    "bucket_name": "bucket-1",
    "endpoint": "127.0.0.1:9",
    "need_auth": False,
}

SIGNATURES = {
    ServiceJwt: "(info)",
    ServiceJwt.create_access_token: "(self, /, user_name, timeout=None)",
    ServiceJwt.verify_access_token: "(self, /, token)",
    ServiceParamsign: "(info, user_token_func=None)",
    ServiceParamsign.generate_sign: "(self, /, param, timeout=None)",
    ServiceParamsign.confirm_sign: "(self, /, param)",
    ServiceHpptClient: "(connect_info, contextvar_g, logger)",
    ServiceHpptClient.call: "(self, /, name, data=None, metadata=None, timeout=10)",
    ServiceCdn: "(info, logger=None)",
    ServiceCdn.upload: "(self, /, filename, name=None, path=None)",
    ServiceCdn.get_oss_url: "(self, /, name, timeout=3600)",
    ServiceRedis: "(connect_info)",
    ServiceRedis.with_conn: "(self)",
    ServiceMysql: "(connect_info, logger)",
    ServiceMysql.with_session: "(self, /)",
    ServiceMysql.with_conn: "(self, /)",
    ServiceMysql.read_sql_with_session: "(self, sql)",
    ServiceMysql.safe_execute_sql_with_conn: "(self, /, sql_template, param, is_read=True)",
    ServiceMysql.safe_read_sql: "(self, sql_template, param, conn)",
    create_container: "(project_config)",
}


@pytest.mark.parametrize("target", list(SIGNATURES), ids=lambda t: t.__qualname__)
def test_runtime_signatures(target):
    assert str(inspect.signature(target)) == SIGNATURES[target]
    assert target.__doc__


@pytest.mark.parametrize(
    "cls", [ServiceJwt, ServiceParamsign, ServiceHpptClient, ServiceCdn, ServiceRedis, ServiceMysql]
)
def test_plain_classes_without_init(cls):
    assert cls.__mro__ == (cls, object)
    bare = cls.__new__(cls)
    assert bare.__dict__ == {}
    signed = ServiceParamsign({"secret_key": SECRET}).generate_sign({})
    calls = {
        ServiceJwt: [lambda: bare.create_access_token("u"), lambda: bare.verify_access_token("t")],
        ServiceParamsign: [lambda: bare.generate_sign({}), lambda: bare.confirm_sign(signed)],
        ServiceHpptClient: [lambda: bare.url, lambda: bare.call("/x")],
        ServiceCdn: [lambda: bare.upload("f.png"), lambda: bare.get_oss_url("x")],
        ServiceRedis: [lambda: bare.pool, lambda: bare.with_conn().__enter__()],
        ServiceMysql: [
            lambda: bare.engine,
            lambda: bare.safe_execute_sql_with_conn("SELECT 1", {}),
        ],
    }[cls]
    for attempt in calls:
        with pytest.raises((AttributeError, Exception)) as err:
            attempt()
        # ServiceMysql's scoped access reports the missing pool as its plain Exception.
        assert isinstance(err.value, AttributeError) or isinstance(
            err.value.__context__, AttributeError
        )


def test_subclass_reads_before_super_init():
    class Early(ServiceHpptClient):
        def __init__(self, *args):
            with pytest.raises(AttributeError):
                _ = self.url
            super().__init__(*args)

    assert Early({"address": "a:1"}, None, None).url == "http://a:1"


def test_second_init_applies_the_new_configuration(redis_info):
    client = ServiceHpptClient({"address": "a:1"}, None, None)
    client.__init__({"address": "b:2"}, contextvars.ContextVar("g"), logging.getLogger("x"))
    assert client.url == "http://b:2" and client._connect_info == {"address": "b:2"}

    redis = ServiceRedis(redis_info)
    first = redis.pool
    redis.__init__(dict(redis_info, db=3))
    assert redis.pool is not first and redis.pool.connection_kwargs["db"] == 3

    cdn = ServiceCdn(CDN_INFO)
    cdn.__init__(dict(CDN_INFO, bucket_name="bucket-2", url_prefix="http://p"))
    assert cdn.bucket.bucket_name == "bucket-2" and cdn._url_prefix == "http://p/"


def test_copies_share_configuration_not_identity():
    jwt = ServiceJwt({"secret_key": SECRET})
    twin = copy.copy(jwt)
    assert twin is not jwt and twin.__dict__ == jwt.__dict__
    assert twin.verify_access_token(jwt.create_access_token("c")) == "c"
    deep = copy.deepcopy(ServiceParamsign({"secret_key": SECRET}))
    assert deep.confirm_sign(deep.generate_sign({"a": 1})) == {"a": 1}
