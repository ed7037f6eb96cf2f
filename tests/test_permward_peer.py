"""A second process holding its own ServiceCasbin, driven line by line over stdin.

Not a test module: the multi-process tests and bench/bench_permward.py start it as
`python tests/test_permward_peer.py '<json config>'` and talk to it through `Peer`.
Each request is a JSON list [command, *args]; each answer a JSON object with "ok"
or "error".
"""

from __future__ import annotations

import json
import logging
import os
import select
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve()


def child_env() -> dict[str, str]:
    """Our environment (a sanitizer's preload included) with our import path."""
    return {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


class Peer:
    """Client side: starts the peer process and calls it."""

    def __init__(self, config: dict[str, Any], timeout: float = 60.0) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, str(HERE), json.dumps(config)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=child_env(),
        )
        self.pid = self.call("pid", timeout=timeout)

    def request(self, *cmd: Any, timeout: float = 60.0) -> dict[str, Any]:
        assert self.proc.stdin and self.proc.stdout
        self.proc.stdin.write(json.dumps(cmd) + "\n")
        self.proc.stdin.flush()
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        if not ready:
            raise TimeoutError(f"peer did not answer {cmd!r} within {timeout} s")
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"peer exited with {self.proc.wait()} on {cmd!r}")
        return json.loads(line)

    def call(self, *cmd: Any, timeout: float = 60.0) -> Any:
        answer = self.request(*cmd, timeout=timeout)
        if "error" in answer:
            raise RuntimeError(f"peer failed {cmd!r}: {answer['error']}")
        return answer["ok"]

    def close(self, timeout: float = 15.0) -> float:
        """Asks the peer to exit; returns how long the exit took."""
        start = time.monotonic()
        try:
            if self.proc.poll() is not None:
                return 0.0
            assert self.proc.stdin
            self.proc.stdin.write(json.dumps(["exit"]) + "\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout)
            return time.monotonic() - start
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            for pipe in (self.proc.stdin, self.proc.stdout):
                if pipe:
                    try:
                        pipe.close()
                    except BrokenPipeError:
                        pass


class _Capture(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.lines: list[list[str]] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.lines.append([record.levelname, record.getMessage()])


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, list) and isinstance(b, list):
        return sorted(map(json.dumps, a)) == sorted(map(json.dumps, b))
    return a == b


def main() -> None:
    from kestrum.service.cachewell import ServiceRedis
    from kestrum.service.permward import ServiceCasbin

    config = json.loads(sys.argv[1])
    capture = _Capture()
    logger = logging.getLogger(f"permward-peer-{os.getpid()}")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(capture)
    svc = ServiceCasbin(config["mysql"], logger)
    if config.get("watch", True):
        svc.set_auto_reload(ServiceRedis(config["redis"]))
    else:  # publishes its changes, but follows nobody's
        svc._cachewell = ServiceRedis(config["redis"])

    def wait_for(method: str, args: list[Any], expected: Any, timeout: float) -> float:
        start = time.monotonic()
        while not _same(getattr(svc, method)(*args), expected):
            if time.monotonic() - start > timeout:
                raise TimeoutError(f"{method}{tuple(args)} never became {expected!r}")
            time.sleep(0.005)
        return time.monotonic() - start

    def churn(n: int, pause: float) -> int:
        # Even steps allow G-flip on /flip, odd steps take it back.
        for i in range(n):
            if i % 2 == 0:
                svc.add_policy("G-flip", "/flip", "read")
            else:
                svc.remove_policy("G-flip", "/flip", "read")
            time.sleep(pause)
        return n

    def state(requests: list[list[str]]) -> dict[str, Any]:
        e = svc._enforce
        return {
            "p": sorted(e.get_policy()),
            "g": sorted(e.get_grouping_policy()),
            "decisions": [svc.enforce(*r) for r in requests],
        }

    commands = {
        "pid": os.getpid,
        "state": state,
        "logs": lambda: capture.lines,
        "wait_for": wait_for,
        "churn": churn,
        "load_policy": lambda: svc._enforce.load_policy(),
    }
    for line in sys.stdin:
        name, *args = json.loads(line)
        if name == "exit":
            break
        try:
            fn = commands.get(name) or getattr(svc, name)
            answer: dict[str, Any] = {"ok": fn(*args)}
        except Exception as e:  # noqa: BLE001 - sent back to the caller
            answer = {"error": f"{type(e).__name__}: {e}"}
        print(json.dumps(answer), flush=True)


if __name__ == "__main__":
    main()
