"""Loads demo.yaml: ${NAME} and ${NAME:-default} are filled from the environment first."""

from __future__ import annotations

import os
import re
from pathlib import Path
from typing import Any

import yaml

from kestrum._config import KestrumModelProject

HERE = Path(__file__).resolve().parent
DEFAULT_PATH = HERE / "demo.yaml"

_PLACEHOLDER = re.compile(r"\$\{([A-Za-z_][A-Za-z0-9_]*)(?::-([^}]*))?\}")

# What to do when a placeholder without a default is unset.
_HINTS = {
    "KESTRUM_DEMO_OSS_ENDPOINT": "start the local peers first: "
    "python examples/demo/local_peers.py --env-file FILE, then source FILE",
}


class ConfigError(Exception):
    """The configuration file cannot be used as it stands."""


def config_path() -> Path:
    return Path(os.environ.get("KESTRUM_DEMO_CONFIG") or DEFAULT_PATH)


def expand(text: str, environ: dict[str, str] | None = None, strict: bool = True) -> str:
    """Fills the placeholders; an unset one without default is an error, or "" if not strict."""
    env = os.environ if environ is None else environ

    def fill(match: re.Match[str]) -> str:
        name, default = match.group(1), match.group(2)
        value = env.get(name)
        if value:
            return value
        if default is not None:
            return default
        if not strict:
            return ""
        hint = _HINTS.get(name, f"set {name} in the environment")
        raise ConfigError(f"the demo configuration needs {name}: {hint}")

    return _PLACEHOLDER.sub(fill, text)


def load_mapping(path: str | os.PathLike[str] | None = None) -> dict[str, Any]:
    path = Path(path) if path is not None else config_path()
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as exc:
        raise ConfigError(f"cannot read the demo configuration {path}: {exc}") from None
    data = yaml.safe_load(expand(text))
    if not isinstance(data, dict):
        raise ConfigError(f"{path} must hold a mapping at the top level")
    return data


def sign_info(path: str | os.PathLike[str] | None = None) -> dict[str, Any]:
    """The "sign" settings of "other" (the client signs with them; no server needed)."""
    path = Path(path) if path is not None else config_path()
    data = yaml.safe_load(expand(path.read_text(encoding="utf-8"), strict=False))
    return dict(data["other"]["sign"])


def load(path: str | os.PathLike[str] | None = None) -> KestrumModelProject:
    """The project configuration for create_container."""
    return KestrumModelProject.from_mapping(load_mapping(path))


def service_info(project: KestrumModelProject, name: str) -> dict[str, Any]:
    """The info of the services entry called ``name`` (for messages and checks)."""
    for entry in project.config.services or ():
        if entry.name == name:
            return entry.info
    raise ConfigError(f"the demo configuration has no service named {name!r}")
