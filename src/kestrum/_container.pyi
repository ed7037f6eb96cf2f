from typing import Any

from dependency_injector import containers

from kestrum._config import KestrumModelProject

def create_container(project_config: KestrumModelProject) -> containers.DynamicContainer:
    """Build the container of services described by the project configuration.

    Members: ``config``, ``contextvar_g`` (resource: the request-context variable),
    ``logger`` (resource: the shared JSON logger) and one provider per services entry,
    named after the entry (singletons for mysql, redis, cdn and casbin; factories for
    http_client and jwt).
    """

def __getattr__(name: str) -> Any: ...
