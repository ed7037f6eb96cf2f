"""The project configuration model read by ``create_container``.

A configuration file (YAML or JSON) holds one mapping::

    project_name: shop
    other:
      path_log: /var/log/shop        # null: standard output only
      log_column_contextvar: myapp,myip,username,path,traceid
      log_column_msg: user
    services:
      - {type: redis, name: cache, info: {host: 127.0.0.1, port: 6379}}
"""

import json
import os
from typing import Any

from pydantic import BaseModel, ConfigDict, field_validator

__all__ = ["KestrumModelProject", "ProjectConfig", "ServiceEntry"]

SERVICE_TYPES = ("mysql", "redis", "cdn", "http_client", "jwt", "casbin")


class ServiceEntry(BaseModel):
    """One service: its registration type, its member name and its settings."""

    model_config = ConfigDict(extra="forbid")

    type: str
    name: str
    info: Any = None

    @field_validator("name")
    @classmethod
    def _name_is_identifier(cls, value: str) -> str:
        if not value.isidentifier():
            raise ValueError(f"service name {value!r} is not a valid Python identifier")
        return value

    def dict(self) -> dict[str, Any]:  # type: ignore[override]
        """The entry as a plain dictionary with the keys "type", "name" and "info"."""
        return self.model_dump()


class ProjectConfig(BaseModel):
    """The configuration proper: project name, miscellaneous settings, services."""

    model_config = ConfigDict(extra="forbid")

    project_name: str
    other: dict[str, Any] = {"path_log": None}
    services: list[ServiceEntry] | None = None

    @field_validator("other")
    @classmethod
    def _check_other(cls, value: dict[str, Any]) -> dict[str, Any]:
        if "path_log" not in value:
            raise ValueError('"path_log" is required in "other" (null for standard output only)')
        if value["path_log"] is not None and not isinstance(value["path_log"], str):
            raise ValueError('"path_log" must be text or null')
        for key in ("log_column_contextvar", "log_column_msg"):
            if key in value and not isinstance(value[key], str):
                raise ValueError(f'"{key}" must be text: column names separated by commas')
        return value

    @field_validator("services")
    @classmethod
    def _unique_names(cls, value: list[ServiceEntry] | None) -> list[ServiceEntry] | None:
        seen: set[str] = set()
        for entry in value or ():
            if entry.name in seen:
                raise ValueError(f"service name {entry.name!r} is used twice")
            seen.add(entry.name)
        return value

    def dict(self) -> dict[str, Any]:  # type: ignore[override]
        """The whole configuration as a plain nested dictionary."""
        return self.model_dump()


class KestrumModelProject(BaseModel):
    """A project's configuration, as handed to ``create_container``."""

    model_config = ConfigDict(extra="forbid")

    config: ProjectConfig

    @classmethod
    def from_mapping(cls, data: dict[str, Any]) -> "KestrumModelProject":
        """Build from the configuration mapping (the content of a configuration file)."""
        return cls.model_validate({"config": data})

    @classmethod
    def from_file(cls, path: "str | os.PathLike[str]") -> "KestrumModelProject":
        """Load a ``.yaml``/``.yml`` or ``.json`` configuration file."""
        path = os.fspath(path)
        with open(path, encoding="utf-8") as fh:
            if path.endswith((".yaml", ".yml")):
                import yaml

                data = yaml.safe_load(fh)
            elif path.endswith(".json"):
                data = json.load(fh)
            else:
                raise ValueError(
                    f"unsupported configuration file {path!r}: use .yaml, .yml or .json"
                )
        if not isinstance(data, dict):
            raise ValueError(f"configuration file {path!r} must hold a mapping at the top level")
        return cls.from_mapping(data)
