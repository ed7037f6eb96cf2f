"""Scripted client of the demo application: drives the whole flow and prints each step.

    python examples/demo/client.py --url http://127.0.0.1:18080 \\
        --log-file /tmp/kestrum-demo/logs/kestrum-demo.log

Steps: the app and its services are up; login; requests without a token and without a
role are refused; an admin grants the role; the same request is allowed (on every
worker, once the reload signal has reached it); the uploaded chart is fetched back; a
signed call is accepted and a tampered one refused; the JSON log lines of this run.
Exits non-zero with a message naming what failed.
"""

from __future__ import annotations

import argparse
import copy
import json
import os
import sys
import time
import uuid
from collections.abc import Callable
from pathlib import Path
from typing import Any

import demo_config
import requests

from kestrum.service._sealcheck import ServiceParamsign

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
USERS = {"alice": "alice-pw", "bob": "bob-pw"}  # seeded by prepare.py
GRANTED_ROLE = "G-viewer"


class DemoFailure(Exception):
    """A step of the flow did not give what it should; the message says what and why."""


class Client:
    def __init__(self, base_url: str, out: Callable[[str], None] = print) -> None:
        self.base_url = base_url.rstrip("/")
        self.out = out
        self.run_id = "demo-" + uuid.uuid4().hex[:8]
        self.count = 0

    def call(
        self,
        method: str,
        path: str,
        *,
        token: str | None = None,
        body: dict[str, Any] | None = None,
        label: str = "step",
        timeout: float = 15,
    ) -> tuple[int, dict[str, Any]]:
        """One request on a fresh connection (so any worker may answer it)."""
        self.count += 1
        headers = {"vek-traceid": f"{self.run_id}-{self.count:02d}-{label}"}
        if token:
            headers["Authorization"] = f"Bearer {token}"
        try:
            resp = requests.request(
                method, self.base_url + path, headers=headers, json=body, timeout=timeout
            )
        except requests.RequestException as exc:
            raise DemoFailure(
                f"the demo app at {self.base_url} did not answer {method} {path}: {exc} "
                "(is gunicorn running? see its output)"
            ) from None
        try:
            data = resp.json()
        except ValueError:
            raise DemoFailure(
                f"{method} {path} answered {resp.status_code} without JSON: {resp.text[:200]!r}"
            ) from None
        return resp.status_code, data


def _expect(status: int, data: dict[str, Any], wanted: int, what: str) -> None:
    if status != wanted:
        detail = data.get("error") or json.dumps(data)[:300]
        raise DemoFailure(f"{what}: expected HTTP {wanted}, got {status}: {detail}")


def run(
    base_url: str,
    *,
    log_file: str | None = None,
    sign: dict[str, Any] | None = None,
    out: Callable[[str], None] = print,
    ready_timeout: float = 30.0,
    workers: int = 2,
    app_pid: int | None = None,
) -> dict[str, Any]:
    """Runs every step; returns what was observed. Raises DemoFailure at the first failure."""
    c = Client(base_url, out)
    seen: dict[str, Any] = {"run_id": c.run_id}
    number = 0

    def step(title: str) -> None:
        nonlocal number
        number += 1
        out(f"[{number:2d}] {title}")

    def done(detail: str) -> None:
        out(f"     ok: {detail}")

    step(f"the app answers with {workers} worker processes ready")
    deadline = time.monotonic() + ready_timeout
    while True:
        try:
            status, data = c.call("GET", "/health", label="health", timeout=2)
            if status == 200 and data.get("workers", 0) >= workers:
                break
            last = f"HTTP {status}: {data}"
        except DemoFailure as exc:
            last = str(exc)
        if app_pid is not None and not _alive(app_pid):
            raise DemoFailure(f"the app (pid {app_pid}) exited while starting: see its output")
        if time.monotonic() > deadline:
            raise DemoFailure(f"the app was not ready within {ready_timeout:.0f} s: {last}")
        time.sleep(0.3)
    done(f"{data['workers']} workers registered")

    step("every service the app uses answers (MySQL, Redis, policy, stock peer, storage)")
    status, data = c.call("GET", "/health?deep=1", label="deep-health")
    report = data.get("services", {})
    if status != 200:
        missing = "; ".join(f"{k}: {v}" for k, v in report.items() if v != "ok")
        raise DemoFailure(f"services missing: {missing or data.get('error')}")
    done(", ".join(f"{k} {v}" for k, v in report.items()))

    step("login: alice and bob get tokens, a wrong password is refused")
    tokens = {}
    for user, password in USERS.items():
        status, data = c.call(
            "POST", "/login", body={"username": user, "password": password}, label="login"
        )
        _expect(status, data, 200, f"login of {user}")
        tokens[user] = data["token"]
    status, data = c.call(
        "POST", "/login", body={"username": "bob", "password": "guess"}, label="bad-login"
    )
    _expect(status, data, 401, "login with a wrong password")
    done(f"tokens for {', '.join(tokens)}; wrong password -> 401 {data['error']!r}")

    step("GET /orders without a token is refused")
    status, data = c.call("GET", "/orders", label="no-token")
    _expect(status, data, 401, "GET /orders without a token")
    done(f"401 {data['error']!r}")

    step("GET /orders as bob is denied: bob has no role yet")
    status, data = c.call("GET", "/orders", token=tokens["bob"], label="denied")
    if status == 200:
        raise DemoFailure(
            "bob already holds a role from an earlier run: restart the app (its start-up "
            "resets the policy) or run examples/demo/prepare.py, then try again"
        )
    _expect(status, data, 403, "GET /orders as bob before the grant")
    done(f"403 {data['error']!r} (worker {data['pid']})")

    step("bob cannot grant himself a role")
    grant = {"user": "bob", "role": GRANTED_ROLE}
    status, data = c.call("POST", "/admin/grant", token=tokens["bob"], body=grant, label="self")
    _expect(status, data, 403, "POST /admin/grant as bob")
    done(f"403 {data['error']!r}")

    step(f"alice (G-admin) grants {GRANTED_ROLE} to bob")
    status, data = c.call("POST", "/admin/grant", token=tokens["alice"], body=grant, label="grant")
    _expect(status, data, 200, "POST /admin/grant as alice")
    if GRANTED_ROLE not in data.get("roles", []):
        raise DemoFailure(f"the grant did not give bob {GRANTED_ROLE}: {data}")
    granted_at = time.monotonic()
    done(f"bob's roles {data['roles']} (worker {data['pid']} published the reload signal)")

    step("GET /orders as bob is now allowed (retrying while the reload propagates)")
    attempts = 0
    while True:
        attempts += 1
        status, data = c.call("GET", "/orders", token=tokens["bob"], label="allowed")
        if status == 200:
            break
        if status != 403 or time.monotonic() - granted_at > 3.0:
            _expect(status, data, 200, "GET /orders as bob after the grant")
        time.sleep(0.2)
    orders = data
    seen["allowed_after_s"] = round(time.monotonic() - granted_at, 2)
    seen["orders"] = orders
    stock = orders.get("stock") or {}
    if stock.get("traceid") != orders["traceid"] or not stock.get("bearer"):
        raise DemoFailure(f"the stock peer did not receive the trace id and token: {stock}")
    done(
        f"{len(orders['orders'])} orders, totals {orders['totals']}, after {attempts} "
        f"attempt(s) / {seen['allowed_after_s']} s (worker {orders['pid']}); the stock "
        f"peer saw vek-traceid={stock['traceid']} and a bearer token"
    )

    step("the grant reached every worker process")
    allowed_pids: set[int] = set()
    tries = 0
    while len(allowed_pids) < workers and tries < 300:
        tries += 1
        status, data = c.call("GET", "/me", token=tokens["bob"], label="every-worker")
        _expect(status, data, 200, "GET /me as bob")
        if data["orders_allowed"]:
            allowed_pids.add(data["pid"])
        elif time.monotonic() - granted_at > 3.0:
            raise DemoFailure(f"worker {data['pid']} still denies bob 3 s after the grant")
        else:
            time.sleep(0.05)
    seen["allowed_pids"] = sorted(allowed_pids)
    if len(allowed_pids) < workers:
        raise DemoFailure(
            f"only workers {sorted(allowed_pids)} answered in {tries} requests; "
            f"expected {workers} distinct workers"
        )
    done(f"allowed by workers {sorted(allowed_pids)} ({tries} requests to GET /me)")

    step("the uploaded chart is fetched back from object storage")
    chart = orders["chart"]
    try:
        resp = requests.get(chart["url"], timeout=10)
    except requests.RequestException as exc:
        raise DemoFailure(f"object storage did not serve {chart['url']}: {exc}") from None
    if resp.status_code != 200 or not resp.content.startswith(PNG_SIGNATURE):
        raise DemoFailure(
            f"the chart URL gave HTTP {resp.status_code}, {resp.headers.get('Content-Type')}, "
            f"{resp.content[:40]!r}"
        )
    if len(resp.content) != chart["bytes"]:
        raise DemoFailure(f"the chart came back with {len(resp.content)} of {chart['bytes']} bytes")
    seen["chart_type"] = resp.headers.get("Content-Type")
    done(f"{chart['name']}: {len(resp.content)} bytes, {seen['chart_type']}")

    step("a signed call is accepted, a tampered one refused")
    signer = ServiceParamsign(sign if sign is not None else demo_config.sign_info())
    params = {"order_id": 8, "action": "refund", "amount_cents": 1450, "user_name": "bob"}
    signed = signer.generate_sign(params)
    status, data = c.call("POST", "/signed", body=signed, label="signed")
    _expect(status, data, 200, "POST /signed with a good signature")
    if data.get("verified") != params:
        raise DemoFailure(f"the app verified other parameters: {data.get('verified')}")
    tampered = copy.deepcopy(signed)
    tampered["amount_cents"] = 145000
    status, bad = c.call("POST", "/signed", body=tampered, label="tampered")
    _expect(status, bad, 401, "POST /signed with a tampered amount")
    done(f"good -> 200 {data['verified']}; tampered -> 401 {bad['error']!r}")

    if log_file:
        step(f"JSON log lines of this run in {log_file}")
        lines = _log_lines(log_file, c.run_id)
        seen["log_lines"] = lines
        if not lines:
            raise DemoFailure(f"no log line of this run ({c.run_id}) in {log_file}")
        reloads = _reload_lines(log_file, f"{c.run_id}-")
        seen["reload_lines"] = reloads
        pids = sorted({str(line.get("process")) for line in lines})
        done(f"{len(lines)} lines from processes {', '.join(map(str, pids))}; a few of them:")
        for line in _pick(lines) + reloads[:workers]:
            out("     " + json.dumps(line, ensure_ascii=False))
    out(f"demo: all {number} steps passed")
    return seen


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _log_lines(path: str, run_id: str) -> list[dict[str, Any]]:
    found = []
    try:
        text = Path(path).read_text(encoding="utf-8", errors="replace")
    except OSError as exc:
        raise DemoFailure(f"cannot read the log file {path}: {exc}") from None
    for raw in text.splitlines():
        try:
            line = json.loads(raw)
        except ValueError:
            continue
        if isinstance(line, dict) and str(line.get("traceid", "")).startswith(run_id):
            found.append(line)
    return found


def _reload_lines(path: str, run_prefix: str) -> list[dict[str, Any]]:
    """The watchers' "casbin reload in pid=" lines written since this run began."""
    found: list[dict[str, Any]] = []
    started = False
    for raw in Path(path).read_text(encoding="utf-8", errors="replace").splitlines():
        try:
            line = json.loads(raw)
        except ValueError:
            continue
        if not isinstance(line, dict):
            continue
        if str(line.get("traceid", "")).startswith(run_prefix):
            started = True
        elif started and str(line.get("msg", "")).startswith("casbin reload in pid="):
            found.append(line)
    return found


def _pick(lines: list[dict[str, Any]], limit: int = 6) -> list[dict[str, Any]]:
    """One line per kind of event (or message), at most ``limit``."""
    picked, kinds = [], set()
    for line in lines:
        kind = line.get("event") or str(line.get("msg"))[:20]
        if kind not in kinds:
            kinds.add(kind)
            picked.append(line)
    return picked[:limit]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Drives the kestrum demo application.")
    parser.add_argument("--url", default="http://127.0.0.1:18080")
    parser.add_argument("--log-file", help="the app's JSON log file, to show this run's lines")
    parser.add_argument("--ready-timeout", type=float, default=60.0)
    parser.add_argument("--app-pid", type=int, help="gunicorn's pid: stop waiting if it exits")
    args = parser.parse_args(argv)
    try:
        run(
            args.url,
            log_file=args.log_file,
            ready_timeout=args.ready_timeout,
            app_pid=args.app_pid,
        )
    except DemoFailure as exc:
        print(f"demo: FAILED: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
