"""Local stand-ins for the demo's remote peers: a stock service and an OSS endpoint.

Both are the loopback servers of the test suite (tests/peers), reused here:

    python examples/demo/local_peers.py --env-file /tmp/peers.env   # runs until stopped
    source /tmp/peers.env   # KESTRUM_DEMO_PEER, KESTRUM_DEMO_OSS_ENDPOINT

The stock service answers every call in the {"code", "msg", "data"} envelope with a
stock level per requested item, and echoes the trace id and whether a bearer token
arrived, so the caller can see what ServiceHpptClient forwarded.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import signal
import sys
import threading
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
if str(ROOT / "tests") not in sys.path:
    sys.path.insert(0, str(ROOT / "tests"))

from peers.http_peer import HttpPeer, RecordedRequest, Reply  # noqa: E402
from peers.oss_server import OssServer  # noqa: E402

# The credentials demo.yaml gives its "cdn" entry.
OSS_CREDENTIALS = {"demo-ak": "demo-oss-secret"}


def stock_level(item: str) -> int:
    """A stable, made-up stock level per item name."""
    return int(hashlib.md5(item.encode("utf-8")).hexdigest()[:4], 16) % 50


class StockPeer(HttpPeer):
    """The stock service: answers each request from what it carries."""

    def __init__(self, host: str = "127.0.0.1", port: int = 0, quiet: bool = True) -> None:
        super().__init__(host, port)
        self.quiet = quiet

    def _record_and_pick(self, request: RecordedRequest) -> Reply:
        super()._record_and_pick(request)
        try:
            items = (request.json() or {}).get("items", []) if request.body else []
        except (ValueError, AttributeError):
            return Reply(json={"code": 400, "msg": "body is not a JSON object", "data": None})
        auth = request.header("Authorization") or ""
        data = {
            "stock": {str(item): stock_level(str(item)) for item in items},
            "traceid": request.header("vek-traceid"),
            "bearer": auth.startswith("Bearer ") and len(auth) > len("Bearer "),
        }
        if not self.quiet:
            print(
                f"stock peer: {request.method} {request.path} vek-traceid={data['traceid']} "
                f"bearer={'yes' if data['bearer'] else 'no'}",
                flush=True,
            )
        return Reply(json={"code": 0, "msg": "ok", "data": data})


class LocalPeers:
    """The stock peer and the OSS endpoint, started and stopped together."""

    def __init__(self, peer_port: int = 0, quiet: bool = True) -> None:
        self.stock = StockPeer(port=peer_port, quiet=quiet)
        self.oss = OssServer(OSS_CREDENTIALS)

    def start(self) -> LocalPeers:
        self.stock.start()
        try:
            self.oss.start()
        except BaseException:
            self.stock.stop()
            raise
        return self

    def stop(self) -> None:
        self.oss.stop()
        self.stock.stop()

    def __enter__(self) -> LocalPeers:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def environ(self) -> dict[str, str]:
        """What demo.yaml reads to reach these peers."""
        return {
            "KESTRUM_DEMO_PEER": self.stock.address,
            "KESTRUM_DEMO_OSS_ENDPOINT": self.oss.endpoint,
        }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--peer-port", type=int, default=0, help="stock service port (0: free)")
    parser.add_argument("--env-file", help="write the export lines for demo.yaml here")
    parser.add_argument("--quiet", action="store_true", help="do not print each stock call")
    args = parser.parse_args(argv)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    try:
        peers = LocalPeers(args.peer_port, quiet=args.quiet).start()
    except OSError as exc:
        print(f"local peers: cannot listen: {exc}", file=sys.stderr)
        return 1
    with peers:
        env = peers.environ()
        lines = "".join(f"export {k}={v}\n" for k, v in env.items())
        if args.env_file:
            tmp = args.env_file + ".tmp"
            with open(tmp, "w", encoding="utf-8") as fh:
                fh.write(lines)
            os.replace(tmp, args.env_file)  # readers never see half a file
        print("local peers: " + json.dumps(env), flush=True)
        stop.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
