"""A loopback object-storage server speaking enough of the OSS protocol for the oss2 SDK.

    server = OssServer({"test-ak": "test-secret"}).start()
    bucket = oss2.Bucket(oss2.Auth("test-ak", "test-secret"), server.endpoint, "my-bucket")
    bucket.put_object_from_file("a.png", "/tmp/a.png")
    server.object("my-bucket", "a.png").headers["content-type"]
    server.fail_next_uploads(2)        # the next two PUTs answer 500
    server.stop()

Addressing: with an IP endpoint the SDK sends path-style requests (``/<bucket>/<key>``,
key percent-encoded). Used as an HTTP proxy (``proxies={"http": server.url}``) the server
also takes virtual-hosted requests (``http://<bucket>.<region host>/<key>``), so a client
configured with a real region endpoint can be served without touching the network.

Requests are checked against the OSS V1 signature (the ``Authorization: OSS ak:sig`` header,
or the ``OSSAccessKeyId``/``Expires``/``Signature`` query of a signed URL); a wrong one is
answered with 403. ``HEAD`` (the SDK's existence check, ``?objectMeta``) answers 200 or a
bare 404. Buckets spring into existence on first upload.
"""

from __future__ import annotations

import base64
import hashlib
import hmac
import ipaddress
import socket
import threading
import time
import uuid
from collections.abc import Mapping
from dataclasses import dataclass, field
from email.utils import formatdate
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, unquote, urlsplit

__all__ = ["OssServer", "StoredObject", "string_to_sign", "sign"]

# Query parameters that are part of the signed resource (the SDK signs only these).
SUBRESOURCES = frozenset(
    "acl uploads location cors logging website referer lifecycle delete append tagging "
    "objectMeta uploadId partNumber security-token position img style styleName replication "
    "replicationProgress replicationLocation cname bucketInfo comp qos live status vod "
    "startTime endTime symlink "
    "x-oss-process response-content-type response-content-language response-expires "
    "response-cache-control response-content-disposition response-content-encoding restore "
    "callback callback-var policy stat encryption versions versioning versionId objectInfo".split()
)

# Request headers not worth keeping with a stored object.
_TRANSPORT_HEADERS = frozenset(
    "host authorization date user-agent accept accept-encoding connection content-length "
    "transfer-encoding expect proxy-connection".split()
)


@dataclass(frozen=True)
class StoredObject:
    body: bytes
    headers: dict[str, str]  # the upload's content headers, names lower-cased
    last_modified: float = field(default_factory=time.time)

    @property
    def etag(self) -> str:
        return '"' + hashlib.md5(self.body).hexdigest().upper() + '"'


def string_to_sign(
    method: str,
    bucket: str,
    key: str,
    date: str,
    headers: Mapping[str, str] | None = None,
    params: Mapping[str, str] | None = None,
) -> str:
    """The V1 string to sign; ``key`` unquoted, ``date`` the Date header or a URL's Expires."""
    headers = {k.lower(): v for k, v in (headers or {}).items()}
    oss_headers = "".join(f"{k}:{headers[k]}\n" for k in sorted(headers) if k.startswith("x-oss-"))
    resource = f"/{bucket}/{key}" if bucket else "/"
    sub = sorted((k, v) for k, v in (params or {}).items() if k in SUBRESOURCES)
    if sub:
        resource += "?" + "&".join(f"{k}={v}" if v else k for k, v in sub)
    return "\n".join(
        [
            method,
            headers.get("content-md5", ""),
            headers.get("content-type", ""),
            headers.get("x-oss-date", "") or date,
            oss_headers + resource,
        ]
    )


def sign(secret: str, text: str) -> str:
    """base64(HMAC-SHA1(secret, text)), the V1 signature."""
    digest = hmac.new(secret.encode(), text.encode(), hashlib.sha1).digest()
    return base64.b64encode(digest).decode()


def _is_ip_or_localhost(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        ipaddress.ip_address(host.strip("[]"))
        return True
    except ValueError:
        return False


def _error_xml(code: str, message: str, request_id: str) -> bytes:
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        f"<Error><Code>{code}</Code><Message>{message}</Message>"
        f"<RequestId>{request_id}</RequestId><HostId>127.0.0.1</HostId></Error>"
    ).encode()


class _Refused(Exception):
    def __init__(self, status: int, code: str, message: str) -> None:
        super().__init__(message)
        self.status, self.code, self.message = status, code, message


class OssServer:
    """A threaded loopback OSS endpoint; see the module docstring."""

    def __init__(
        self,
        credentials: Mapping[str, str] | None = None,
        *,
        verify_signatures: bool = True,
        public_read: bool = False,
        host: str = "127.0.0.1",
    ) -> None:
        self.credentials = dict(credentials or {"test-ak": "test-secret"})
        self.verify_signatures = verify_signatures
        self.public_read = public_read  # anonymous GET/HEAD allowed
        self._host = host
        self._lock = threading.Lock()
        self._objects: dict[tuple[str, str], StoredObject] = {}
        self._fail_left = 0
        self._fail_status = 500
        self._fail_once_per_key = False
        self._failed_keys: set[tuple[str, str]] = set()
        self._httpd: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None
        self._connections: set[socket.socket] = set()
        self.upload_attempts = 0  # every PUT received, refused ones included
        self.failed_uploads = 0  # PUTs failed on request
        self.rejected = 0  # requests refused for their credentials or signature

    # life cycle -------------------------------------------------------------------------

    def start(self) -> OssServer:
        if self._httpd is not None:
            return self
        self._httpd = ThreadingHTTPServer((self._host, 0), _make_handler(self))
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, name="oss-server", kwargs={"poll_interval": 0.05}
        )
        self._thread.daemon = True
        self._thread.start()
        return self

    def stop(self) -> None:
        """Stops serving and closes the clients' kept-alive connections."""
        httpd, self._httpd = self._httpd, None
        if httpd is None:
            return
        httpd.shutdown()
        httpd.server_close()
        with self._lock:
            connections, self._connections = list(self._connections), set()
        for conn in connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        if self._thread is not None:
            self._thread.join()

    def __enter__(self) -> OssServer:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def port(self) -> int:
        if self._httpd is None:
            raise RuntimeError("server not started")
        return self._httpd.server_address[1]

    @property
    def endpoint(self) -> str:
        """``host:port``, as an oss2 endpoint (path-style addressing)."""
        return f"{self._host}:{self.port}"

    @property
    def url(self) -> str:
        return f"http://{self.endpoint}"

    # objects ----------------------------------------------------------------------------

    def object(self, bucket: str, key: str) -> StoredObject | None:
        with self._lock:
            return self._objects.get((bucket, key))

    def objects(self, bucket: str) -> dict[str, StoredObject]:
        with self._lock:
            return {k: v for (b, k), v in self._objects.items() if b == bucket}

    def put(
        self, bucket: str, key: str, body: bytes, headers: Mapping[str, str] | None = None
    ) -> None:
        """Stores an object directly, as if it had been uploaded."""
        obj = StoredObject(body, {k.lower(): v for k, v in (headers or {}).items()})
        with self._lock:
            self._objects[(bucket, key)] = obj

    def delete(self, bucket: str, key: str) -> None:
        with self._lock:
            self._objects.pop((bucket, key), None)

    # fault injection --------------------------------------------------------------------

    def fail_next_uploads(self, n: int, status: int = 500, *, once_per_key: bool = False) -> None:
        """The next ``n`` uploads are answered with ``status`` and not stored.

        ``once_per_key``: a key that has ever failed this way is not failed again; its
        upload goes through and leaves the failure for another key, like a transient fault
        that a retry gets past.
        """
        with self._lock:
            self._fail_left = n
            self._fail_status = status
            self._fail_once_per_key = once_per_key

    @property
    def pending_failures(self) -> int:
        with self._lock:
            return self._fail_left

    def _take_failure(self, bucket: str, key: str) -> int | None:
        with self._lock:
            self.upload_attempts += 1
            if self._fail_left <= 0:
                return None
            if self._fail_once_per_key:
                if (bucket, key) in self._failed_keys:
                    return None
                self._failed_keys.add((bucket, key))
            self._fail_left -= 1
            self.failed_uploads += 1
            return self._fail_status

    # request checks ---------------------------------------------------------------------

    def _authorize(self, method: str, bucket: str, key: str, headers, params: dict[str, str]):
        auth = headers.get("authorization")
        if auth is None and "Signature" not in params:
            if self.public_read and method in ("GET", "HEAD"):
                return
            raise _Refused(403, "AccessDenied", "You have no right to access this object.")
        if auth is not None:
            scheme, _, credential = auth.partition(" ")
            access_key, _, signature = credential.partition(":")
            if scheme != "OSS" or not signature:
                raise _Refused(400, "InvalidArgument", "Authorization header is invalid.")
            date = headers.get("date", "")
        else:
            access_key, signature = params.get("OSSAccessKeyId", ""), params.get("Signature", "")
            date = params.get("Expires", "")
            if not date.isdigit() or int(date) < time.time():
                raise _Refused(403, "AccessDenied", "Request has expired.")
        secret = self.credentials.get(access_key)
        if secret is None:
            raise _Refused(403, "InvalidAccessKeyId", "The OSS Access Key Id does not exist.")
        if not self.verify_signatures:
            return
        expected = sign(secret, string_to_sign(method, bucket, key, date, dict(headers), params))
        if not hmac.compare_digest(expected, signature):
            raise _Refused(
                403, "SignatureDoesNotMatch", "The request signature we calculated does not match."
            )


def _make_handler(server: OssServer) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "LoopbackOSS"
        timeout = 30

        def setup(self) -> None:
            super().setup()
            with server._lock:
                server._connections.add(self.connection)

        def finish(self) -> None:
            with server._lock:
                server._connections.discard(self.connection)
            super().finish()

        def log_message(self, format: str, *args: object) -> None:  # quiet
            pass

        def do_PUT(self) -> None:
            self._serve("PUT")

        def do_GET(self) -> None:
            self._serve("GET")

        def do_HEAD(self) -> None:
            self._serve("HEAD")

        def do_DELETE(self) -> None:
            self._serve("DELETE")

        def _read_body(self) -> bytes:
            if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
                chunks = []
                while True:
                    size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                    if size == 0:
                        while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                            pass
                        return b"".join(chunks)
                    chunks.append(self.rfile.read(size))
                    self.rfile.readline()
            return self.rfile.read(int(self.headers.get("Content-Length") or 0))

        def _address(self) -> tuple[str, str, dict[str, str]]:
            target = urlsplit(self.path)  # absolute form when used as a proxy
            host = (target.hostname or self.headers.get("Host", "").rsplit(":", 1)[0]).lower()
            path = target.path or "/"
            if _is_ip_or_localhost(host.strip("[]")):
                bucket, _, raw_key = path.lstrip("/").partition("/")
            else:
                bucket, raw_key = host.split(".", 1)[0], path.lstrip("/")
            params = dict(parse_qsl(target.query, keep_blank_values=True))
            return bucket, unquote(raw_key), params

        def _serve(self, method: str) -> None:
            request_id = uuid.uuid4().hex.upper()
            body = self._read_body() if method == "PUT" else b""
            bucket, key, params = self._address()
            try:
                server._authorize(method, bucket, key, self.headers, params)
            except _Refused as refused:
                with server._lock:
                    server.rejected += 1
                    if method == "PUT":
                        server.upload_attempts += 1
                return self._error(
                    method, refused.status, refused.code, refused.message, request_id
                )
            if method == "PUT":
                status = server._take_failure(bucket, key)
                if status is not None:
                    return self._error(
                        method, status, "InternalError", "Injected failure.", request_id
                    )
                kept = {
                    k.lower(): v
                    for k, v in self.headers.items()
                    if k.lower() not in _TRANSPORT_HEADERS
                }
                obj = StoredObject(body, kept)
                with server._lock:
                    server._objects[(bucket, key)] = obj
                return self._reply(200, {"ETag": obj.etag}, b"", request_id)
            if method == "DELETE":
                server.delete(bucket, key)
                return self._reply(204, {}, b"", request_id)
            obj = server.object(bucket, key)
            if obj is None:
                return self._error(
                    method, 404, "NoSuchKey", "The specified key does not exist.", request_id
                )
            headers = {
                "ETag": obj.etag,
                "Last-Modified": formatdate(obj.last_modified, usegmt=True),
                **{k.title(): v for k, v in obj.headers.items()},
            }
            self._reply(200, headers, obj.body, request_id, head=method == "HEAD")

        def _error(
            self, method: str, status: int, code: str, message: str, request_id: str
        ) -> None:
            if method == "HEAD":  # no body: the SDK reads a bare status
                return self._reply(status, {}, b"", request_id)
            xml = _error_xml(code, message, request_id)
            self._reply(status, {"Content-Type": "application/xml"}, xml, request_id)

        def _reply(
            self,
            status: int,
            headers: dict[str, str],
            body: bytes,
            request_id: str,
            head: bool = False,
        ) -> None:
            self.send_response(status)
            self.send_header("x-oss-request-id", request_id)
            for name, value in headers.items():
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if not head and body:
                self.wfile.write(body)

    return Handler
