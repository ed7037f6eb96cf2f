"""What the demo's start-up step and its workers share: the container, names, failures."""

from __future__ import annotations

import hashlib
import os
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import demo_config

from kestrum._container import create_container

ORDERS_TABLE = "kestrum_demo_orders"
USERS_TABLE = "kestrum_demo_users"

# Demo accounts: alice administers, bob starts without any role.
DEMO_USERS = {"alice": "alice-pw", "bob": "bob-pw"}
ADMIN_ROLE, VIEWER_ROLE = "G-admin", "G-viewer"
POLICIES = [
    (VIEWER_ROLE, "/orders", "GET"),
    (ADMIN_ROLE, "/orders", "GET"),
    (ADMIN_ROLE, "/admin/*", "POST"),
]

# What each container member stands for, and how to bring it up when it is missing.
_WHAT = {
    "db": ("MySQL", "scripts/services start"),
    "rbac": ("MySQL (policy table)", "scripts/services start"),
    "cache": ("Redis", "scripts/services start"),
    "stock": ("the stock service", "python examples/demo/local_peers.py"),
    "cdn": ("object storage", "python examples/demo/local_peers.py"),
    "jwt": ("the JWT service", None),
}


class ApiError(Exception):
    """A request the application refuses: an HTTP status and a message for the caller."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


class ServiceFailure(Exception):
    """A service the demo needs failed; the message says which one and where."""

    def __init__(self, member: str, where: str, detail: str) -> None:
        what, fix = _WHAT.get(member, (member, None))
        hint = f" [is it running? {fix}]" if fix else ""
        super().__init__(f"{what} ({member} at {where}) failed{hint}: {detail}")
        self.member = member


def _first_line(exc: BaseException) -> str:
    # Library messages may run over several lines (SQL, links); one is enough here.
    text = str(exc).strip()
    return text.splitlines()[0] if text else ""


def password_hash(name: str, password: str) -> str:
    return hashlib.pbkdf2_hmac(
        "sha256", password.encode(), f"kestrum-demo:{name}".encode(), 20_000
    ).hex()


class Services:
    """The container built from demo.yaml, with a guard that names failing services."""

    def __init__(self, path: str | os.PathLike[str] | None = None) -> None:
        self.project = demo_config.load(path)
        other = self.project.config.other
        if other.get("path_log"):
            os.makedirs(other["path_log"], exist_ok=True)
        self.container = create_container(self.project)

    def where(self, member: str) -> str:
        info: Any = demo_config.service_info(self.project, member)
        if not isinstance(info, dict):
            return "?"
        if "address" in info:
            return str(info["address"])
        if "endpoint" in info:
            return f"{info['endpoint']}/{info.get('bucket_name', '')}"
        if "host" in info:
            return f"{info['host']}:{info.get('port', '')}"
        return "local"

    @contextmanager
    def using(self, member: str) -> Iterator[None]:
        """Turns any error of the block into a ServiceFailure naming ``member``."""
        try:
            yield
        except (ServiceFailure, ApiError):
            raise
        except Exception as exc:  # every service error, whatever its library
            detail = f"{type(exc).__name__}: {_first_line(exc)}"
            cause = exc.__cause__ or exc.__context__
            if cause is not None and _first_line(cause) and _first_line(cause) not in detail:
                detail += f" ({type(cause).__name__}: {_first_line(cause)})"
            raise ServiceFailure(member, self.where(member), detail[:400]) from exc

    def get(self, member: str) -> Any:
        """The container member, built under the guard (singletons connect when first built)."""
        with self.using(member):
            return getattr(self.container, member)()

    def sign_info(self) -> dict[str, Any]:
        return dict(self.project.config.other["sign"])
