import os as os
import uuid as uuid
from logging import Logger as Logger
from threading import Lock as Lock
from typing import Any

import oss2 as oss2

from kestrum import Tool as Tool

# Deployment values: a signed URL whose host is BUCKET_HOST is returned with CDN_HOST in
# its place. Assign to change them; an empty BUCKET_HOST (or None) turns the rewriting off.
BUCKET_HOST: str | None
CDN_HOST: str | None

class ServiceCdn:
    _lock: Lock
    _access_key_id: Any
    _access_key_secret: Any
    _bucket_name: Any
    _endpoint: Any
    _need_auth: Any
    _url_prefix: Any
    auth: oss2.Auth
    bucket: oss2.Bucket
    logger: Logger | None
    def __init__(self, info: dict[str, Any], logger: Logger | None = None) -> None: ...
    def upload(self, filename: str, name: str | None = None, path: str | None = None) -> str: ...
    def get_oss_url(self, name: str, timeout: int = 3600) -> str | None: ...
