from collections.abc import Callable
from typing import Any

from kestrum.util import ExceptionAuthFailed as ExceptionAuthFailed

class ServiceParamsign:
    """Signs parameter dictionaries with "__exp" and "__sign" and verifies them."""

    _secret_key: str
    _timeout: int
    _user_token_func: Callable[[Any], str]
    def __init__(
        self, info: dict[str, Any], user_token_func: Callable[[Any], str] | None = None
    ) -> None: ...
    def generate_sign(
        self, param: dict[str, Any], timeout: int | None = None
    ) -> dict[str, Any]: ...
    def confirm_sign(self, param: dict[str, Any]) -> dict[str, Any]: ...
    def _cal_sign(self, param: dict[str, Any]) -> str: ...
