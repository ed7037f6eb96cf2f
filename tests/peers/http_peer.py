"""A recording HTTP server on 127.0.0.1 for tests and the demo.

    with HttpPeer() as peer:                    # listens on a free port (HTTP/1.0)
        peer.script(Reply(json={"code": 0, "data": [1]}), Reply(status=500))
        ...  # send requests to peer.url + "/path"
        peer.requests[0].method, .path, .header("vek-traceid"), .json()

Replies given to ``script`` are served in order, one per request; when the script is
used up, ``default`` answers (a success envelope with "data" null unless changed).
Every request is recorded before it is answered, so a test can read it even when the
client gave up (a timeout, a dropped connection). ``HttpPeer(keep_alive=True)`` speaks
HTTP/1.1 and keeps connections open between requests, as production servers do;
``RecordedRequest.client`` tells the connections apart.
"""

from __future__ import annotations

import json as _json
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

__all__ = ["HttpPeer", "RecordedRequest", "Reply"]

_NO_JSON = object()


@dataclass
class Reply:
    """One scripted answer.

    ``json`` (any JSON value) or ``body`` (bytes or text) gives the body; ``delay``
    seconds pass before answering; ``drop`` closes the connection without answering.
    """

    status: int = 200
    json: Any = _NO_JSON
    body: bytes | str = b""
    headers: dict[str, str] = field(default_factory=dict)
    delay: float = 0.0
    drop: bool = False

    def payload(self) -> tuple[bytes, str]:
        if self.json is not _NO_JSON:
            return _json.dumps(self.json).encode("utf-8"), "application/json"
        body = self.body.encode("utf-8") if isinstance(self.body, str) else self.body
        return body, "text/plain; charset=utf-8"


@dataclass
class RecordedRequest:
    method: str
    path: str
    headers: list[tuple[str, str]]
    body: bytes
    client: tuple[str, int] = ("", 0)  # the client's address: one per connection

    def header(self, name: str) -> str | None:
        """The last value of header ``name`` (case-insensitive), or None."""
        found = None
        for key, value in self.headers:
            if key.lower() == name.lower():
                found = value
        return found

    def has_header(self, name: str) -> bool:
        return any(key.lower() == name.lower() for key, _ in self.headers)

    def json(self) -> Any:
        return _json.loads(self.body)


class HttpPeer:
    """A threaded loopback HTTP server that records requests and plays scripted replies."""

    def __init__(self, host: str = "127.0.0.1", port: int = 0, keep_alive: bool = False) -> None:
        self.keep_alive = keep_alive
        self.default = Reply(json={"code": 0, "msg": "ok", "data": None})
        self.requests: list[RecordedRequest] = []
        self._script: deque[Reply] = deque()
        self._lock = threading.Lock()
        self._server = ThreadingHTTPServer((host, port), self._handler_class())
        self._server.daemon_threads = True
        self._thread: threading.Thread | None = None

    # -- life cycle ---------------------------------------------------------------
    def start(self) -> HttpPeer:
        if self._thread is None:
            self._thread = threading.Thread(
                target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
            )
            self._thread.start()
        return self

    def stop(self) -> None:
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join()
            self._thread = None
        self._server.server_close()

    def __enter__(self) -> HttpPeer:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    # -- addresses ----------------------------------------------------------------
    @property
    def port(self) -> int:
        return self._server.server_address[1]

    @property
    def address(self) -> str:
        """host:port, without a scheme."""
        return f"{self._server.server_address[0]}:{self.port}"

    @property
    def url(self) -> str:
        return f"http://{self.address}"

    # -- script and record --------------------------------------------------------
    def script(self, *replies: Reply) -> None:
        """Queues replies, served one per request in order."""
        with self._lock:
            self._script.extend(replies)

    def reset(self) -> None:
        """Forgets recorded requests and unused scripted replies."""
        with self._lock:
            self.requests.clear()
            self._script.clear()

    def _record_and_pick(self, request: RecordedRequest) -> Reply:
        with self._lock:
            self.requests.append(request)
            return self._script.popleft() if self._script else self.default

    def _handler_class(self) -> type[BaseHTTPRequestHandler]:
        peer = self

        class Handler(BaseHTTPRequestHandler):
            if peer.keep_alive:
                protocol_version = "HTTP/1.1"
                timeout = 10  # an idle connection's thread ends after this
                # Headers and body go out in separate writes: without this, Nagle's
                # algorithm and the client's delayed ACK hold the body back ~40 ms.
                disable_nagle_algorithm = True

            def _serve(self) -> None:
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                headers = list(self.headers.items())
                reply = peer._record_and_pick(
                    RecordedRequest(self.command, self.path, headers, body, self.client_address)
                )
                if reply.delay:
                    time.sleep(reply.delay)
                if reply.drop:
                    self.close_connection = True
                    return
                payload, content_type = reply.payload()
                try:
                    self.send_response(reply.status)
                    self.send_header("Content-Type", content_type)
                    self.send_header("Content-Length", str(len(payload)))
                    for key, value in reply.headers.items():
                        self.send_header(key, value)
                    self.end_headers()
                    self.wfile.write(payload)
                except (BrokenPipeError, ConnectionResetError):
                    # The client gave up (a timeout); the request is recorded anyway.
                    self.close_connection = True

            do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = _serve

            def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
                pass

        return Handler
