import logging as logging
from contextvars import ContextVar as ContextVar
from typing import Any, type_check_only

from dependency_injector import containers as containers
from dependency_injector import providers as providers

from kestrum import util as util
from kestrum._config import KestrumModelProject as KestrumModelProject
from kestrum.service.cachewell import ServiceRedis as ServiceRedis
from kestrum.service.depotlink import ServiceCdn as ServiceCdn
from kestrum.service.permward import ServiceCasbin as ServiceCasbin
from kestrum.service.scribeline import service_init_logger as service_init_logger
from kestrum.service.tablery import ServiceMysql as ServiceMysql
from kestrum.service.tokensmith import ServiceJwt as ServiceJwt
from kestrum.service.wirecall import ServiceHpptClient as ServiceHpptClient

@type_check_only
class KestrumContainer(containers.DynamicContainer):
    """The container built by ``create_container`` (a ``DynamicContainer`` at run time;
    this class exists for type checkers only).

    Its fixed members are typed; the members named after the services entries are
    found through ``__getattr__`` as ``Provider[Any]``.
    """

    config: providers.Configuration
    contextvar_g: providers.Resource[ContextVar[dict[str, Any] | None]]
    logger: providers.Resource[logging.Logger]

def create_container(project_config: KestrumModelProject) -> KestrumContainer:
    """Build the container of services described by the project configuration.

    Members: ``config``, ``contextvar_g`` (resource: the request-context variable),
    ``logger`` (resource: the shared JSON logger) and one provider per services entry,
    named after the entry (singletons for mysql, redis, cdn and casbin; factories for
    http_client and jwt).
    """
