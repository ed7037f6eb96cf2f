"""Framework utilities the services rely on."""

from __future__ import annotations

import re

__all__ = ["ExceptionAuthFailed", "Tool"]

_UUID_TEXT = re.compile(
    r"[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}"
)


class ExceptionAuthFailed(Exception):
    """Authentication failed: a forged, malformed or expired token or signature.

    The services raise it with no arguments; applications catch it to tell an
    authentication failure from other errors.
    """


class Tool:
    """Helpers called on the class itself."""

    @staticmethod
    def url_join(parts: list[str]) -> str:
        """Join a base URL and a path with exactly one "/" between them.

        >>> Tool.url_join(["http://api.local:8080/", "/v1/users"])
        'http://api.local:8080/v1/users'
        """
        if not isinstance(parts, (list, tuple)) or len(parts) != 2:
            raise TypeError("url_join expects a list of two strings: [base_url, path]")
        base, path = parts
        if not isinstance(base, str) or not isinstance(path, str):
            raise TypeError("url_join expects a list of two strings: [base_url, path]")
        return base.rstrip("/") + "/" + path.lstrip("/")

    @staticmethod
    def is_uuid(text: str) -> bool:
        """True for a UUID in its usual text form (8-4-4-4-12 hex digits, any case)."""
        return isinstance(text, str) and _UUID_TEXT.fullmatch(text) is not None
