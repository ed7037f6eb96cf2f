"""Shared fixtures: the real Redis and MariaDB servers started by scripts/services."""

from __future__ import annotations

import os
import socket
import subprocess
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


def restart_service(which: str) -> None:
    """Restarts one of the project's servers ("redis" or "mysql")."""
    subprocess.run([str(SERVICES), "restart", which], check=True)


@pytest.fixture(scope="session")
def redis_info(services: dict[str, str]) -> dict[str, object]:
    """Connection settings for the test Redis, in the shape ServiceRedis accepts."""
    return {"host": services["KESTRUM_REDIS_HOST"], "port": int(services["KESTRUM_REDIS_PORT"]), "db": 0}


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
