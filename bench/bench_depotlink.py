"""ServiceCdn against the same steps written in Python, both over the real oss2 SDK.

Runs a loopback object-storage server (tests/peers/oss_server.py) and times, per call:
upload of a small PNG, get_oss_url with a signed URL, and get_oss_url with a prefix URL.
Each figure includes the SDK's HTTP round trip to the loopback server (one PUT, or one
HEAD), which dominates; the ratio shows what the service layer adds on top.

    tools/dev-build -p .venv-3.11/bin/python depotlink
    PYTHONPATH=build/dev/site-3.11 .venv-3.11/bin/python bench/bench_depotlink.py
"""

from __future__ import annotations

import os
import sys
import tempfile
import time
import uuid
from pathlib import Path

os.environ.pop("HTTP_PROXY", None)
os.environ.pop("http_proxy", None)
os.environ["NO_PROXY"] = os.environ["no_proxy"] = "127.0.0.1,localhost"
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import oss2  # noqa: E402
from peers.oss_server import OssServer  # noqa: E402

from kestrum import Tool  # noqa: E402
from kestrum.service import depotlink  # noqa: E402
from kestrum.service.depotlink import ServiceCdn  # noqa: E402


class PyCdn:
    """The same upload and URL steps, in Python, for comparison."""

    def __init__(self, info: dict) -> None:
        self._ak, self._sk = info["access_key_id"], info["access_key_secret"]
        self._bucket_name, self._endpoint = info["bucket_name"], info["endpoint"]
        self._need_auth = info["need_auth"]
        self._url_prefix = info.get("url_prefix")
        if self._url_prefix and not self._url_prefix.endswith("/"):
            self._url_prefix += "/"
        self.auth = oss2.Auth(self._ak, self._sk)
        self.bucket = oss2.Bucket(self.auth, self._endpoint, self._bucket_name)

    def upload(self, filename: str, name: str | None = None, path: str | None = None) -> str:
        headers = {}
        if not name:
            if filename.endswith("png"):
                name = os.path.split(filename)[-1]
                if not Tool.is_uuid(name.split(".")[0]):
                    name = str(uuid.uuid1())
                headers = {"Content-Type": "image/png", "Content-Disposition": "inline"}
            else:
                name = str(uuid.uuid1())
        if path:
            name = path + "/" + name
        self.bucket.put_object_from_file(name, filename, headers=headers)
        return name

    def get_oss_url(self, name: str, timeout: int = 3600) -> str | None:
        if not self.bucket.object_exists(name):
            return None
        if not self._need_auth:
            return self._url_prefix + name
        url = self.bucket.sign_url("GET", name, timeout, headers={}, slash_safe=True)
        return url.replace(depotlink.BUCKET_HOST, depotlink.CDN_HOST)


def per_call(fns, n: int, rounds: int = 7) -> list[float]:
    """Best time per call of each function; rounds alternate between them to share the noise."""
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            t0 = time.perf_counter()
            for _ in range(n):
                fn()
            best[i] = min(best[i], (time.perf_counter() - t0) / n)
    return best


def main() -> None:
    with OssServer({"ak": "sk"}) as server, tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "plot.png")
        Path(src).write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(2048))
        base = {"access_key_id": "ak", "access_key_secret": "sk", "endpoint": server.endpoint}
        rows = []
        for label, need_auth, n in [
            ("upload", True, 200),
            ("signed url", True, 400),
            ("prefix url", False, 400),
        ]:
            info = dict(base, bucket_name="bench", need_auth=need_auth, url_prefix="https://c.test")
            native, python = ServiceCdn(info), PyCdn(info)
            if label == "upload":
                times = per_call([lambda s=s: s.upload(src, path="b") for s in (native, python)], n)
            else:
                name = native.upload(src)
                times = per_call(
                    [lambda s=s, k=name: s.get_oss_url(k) for s in (native, python)], n
                )
            rows.append((label, *times))
        print(f"{'operation':<12} {'ServiceCdn':>12} {'Python':>12} {'ratio':>7}")
        for label, t_native, t_python in rows:
            print(
                f"{label:<12} {t_native * 1e6:>10.1f}us {t_python * 1e6:>10.1f}us "
                f"{t_python / t_native:>6.2f}x"
            )


if __name__ == "__main__":
    main()
