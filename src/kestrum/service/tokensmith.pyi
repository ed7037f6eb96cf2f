from typing import Any

from kestrum.util import ExceptionAuthFailed as ExceptionAuthFailed

class ServiceJwt:
    """HS256 access tokens with the claims ``user_name`` and ``exp``."""

    _secret_key: Any
    _timeout: int
    def __init__(self, info: dict[str, Any]) -> None: ...
    def create_access_token(self, user_name: str, timeout: int | None = None) -> str: ...
    def verify_access_token(self, token: str) -> str: ...
