"""Shared fixtures: the real Redis and MariaDB servers started by scripts/services."""

from __future__ import annotations

import datetime
import os
import socket
import subprocess
import warnings
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SERVICES = ROOT / "scripts" / "services"


def _service_env() -> dict[str, str]:
    out = subprocess.run([str(SERVICES), "env"], check=True, capture_output=True, text=True).stdout
    env: dict[str, str] = {}
    for line in out.splitlines():
        for assignment in line.removeprefix("export ").split():
            key, _, value = assignment.partition("=")
            env[key] = os.environ.get(key, value)
    return env


def _reachable(host: str, port: int) -> bool:
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


@pytest.fixture(scope="session")
def services() -> dict[str, str]:
    """Starts (idempotently) the project's Redis and MariaDB and returns their settings."""
    env = _service_env()
    if not (
        _reachable(env["KESTRUM_REDIS_HOST"], int(env["KESTRUM_REDIS_PORT"]))
        and _reachable(env["KESTRUM_MYSQL_HOST"], int(env["KESTRUM_MYSQL_PORT"]))
    ):
        subprocess.run([str(SERVICES), "start"], check=True)
    return env


@pytest.fixture(scope="session")
def redis_info(services: dict[str, str]) -> dict[str, object]:
    """Connection settings for the test Redis, in the shape ServiceRedis accepts."""
    return {
        "host": services["KESTRUM_REDIS_HOST"],
        "port": int(services["KESTRUM_REDIS_PORT"]),
        "db": 0,
    }


@pytest.fixture(scope="session")
def mysql_info(services: dict[str, str]) -> dict[str, object]:
    """Connection settings for the test database (a real user with a password)."""
    return {
        "host": services["KESTRUM_MYSQL_HOST"],
        "port": int(services["KESTRUM_MYSQL_PORT"]),
        "user": services["KESTRUM_MYSQL_USER"],
        "password": services["KESTRUM_MYSQL_PASSWORD"],
        "db": services["KESTRUM_MYSQL_DB"],
    }


@pytest.fixture(scope="session")
def mysql_admin(services: dict[str, str]) -> dict[str, object]:
    """Administrator settings, for tests that create users or databases."""
    return {
        "host": services["KESTRUM_MYSQL_HOST"],
        "port": int(services["KESTRUM_MYSQL_PORT"]),
        "user": services["KESTRUM_MYSQL_ADMIN_USER"],
        "password": services["KESTRUM_MYSQL_ADMIN_PASSWORD"],
    }


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PrivateServices:
    """A Redis and MariaDB pair of one test's own, for tests that stop or restart
    servers without disturbing the shared ones."""

    def __init__(self, base: Path) -> None:
        self.env = dict(os.environ)
        self.env.update(
            KESTRUM_SERVICES_DIR=str(base),
            KESTRUM_REDIS_PORT=str(_free_port()),
            KESTRUM_MYSQL_PORT=str(_free_port()),
        )
        self.settings = {k: self.env.get(k, v) for k, v in _service_env().items()}
        self.settings.update(
            KESTRUM_REDIS_PORT=self.env["KESTRUM_REDIS_PORT"],
            KESTRUM_MYSQL_PORT=self.env["KESTRUM_MYSQL_PORT"],
        )

    def run(self, *args: str) -> None:
        subprocess.run([str(SERVICES), *args], check=True, env=self.env)

    @property
    def redis_info(self) -> dict[str, object]:
        return {"host": "127.0.0.1", "port": int(self.settings["KESTRUM_REDIS_PORT"]), "db": 0}

    @property
    def mysql_info(self) -> dict[str, object]:
        s = self.settings
        return {
            "host": "127.0.0.1",
            "port": int(s["KESTRUM_MYSQL_PORT"]),
            "user": s["KESTRUM_MYSQL_USER"],
            "password": s["KESTRUM_MYSQL_PASSWORD"],
            "db": s["KESTRUM_MYSQL_DB"],
        }


@pytest.fixture
def private_services(tmp_path_factory, services):
    """Starts a private Redis and MariaDB (`.run("restart", "redis")` restarts one);
    stops them after the test."""
    # /tmp paths stay short enough for the MariaDB socket name.
    priv = PrivateServices(tmp_path_factory.mktemp("svc"))
    priv.run("start")
    yield priv
    priv.run("stop")


@pytest.fixture
def warning_clock(monkeypatch):
    """Call it to replace datetime.datetime with a clock whose utcnow() warns, as a
    deprecated call does: under warnings-as-errors each read of it raises."""
    real = datetime.datetime

    class WarningClock(real):
        @classmethod
        def utcnow(cls):
            warnings.warn("this clock is deprecated", DeprecationWarning, stacklevel=2)
            return real.now(datetime.timezone.utc).replace(tzinfo=None)

    return lambda: monkeypatch.setattr(datetime, "datetime", WarningClock)
