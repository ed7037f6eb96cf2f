"""ServiceCasbin across OS processes: cross-process reload, server restarts,
concurrent enforcement during policy churn, and prompt exit with a watcher."""

from __future__ import annotations

import random
import subprocess
import sys
import threading
import time

import pytest
import test_permward
from test_permward import fresh_table, table_info, wait_until, watch
from test_permward_peer import child_env

from kestrum.service.cachewell import ServiceRedis
from kestrum.service.permward import ServiceCasbin

# The fixtures shared with test_permward.
capture = test_permward.capture
peers = test_permward.peers


def local(info, redis_info, capture) -> ServiceCasbin:
    svc = ServiceCasbin(info, capture.logger)
    watch(svc, ServiceRedis(dict(redis_info)))
    return svc


def test_change_in_one_process_reaches_the_other(mysql_info, redis_info, capture, peers):
    info = table_info(mysql_info, "procs")
    fresh_table(info)
    svc = local(info, redis_info, capture)
    peer = peers({"mysql": info, "redis": redis_info})
    time.sleep(1.2)  # both watchers subscribed

    svc.add_policy("G-ops", "/orders", "GET")
    assert peer.call(
        "wait_for", "get_policies_for_role", ["G-ops"], [["G-ops", "/orders", "GET"]], 3
    )

    start = time.monotonic()
    assert peer.call("add_role_for_user", "alice", "G-ops") is True
    assert wait_until(lambda: svc.get_roles_for_user("alice") == ["G-ops"], 3)
    assert svc.enforce("alice", "/orders", "GET") is True
    assert time.monotonic() - start < 2.5  # about a second, with slack for a loaded machine

    peer.call("delete_role_for_user", "alice", "G-ops")
    assert wait_until(lambda: not svc.enforce("alice", "/orders", "GET"), 3)
    assert peer.call("wait_for", "enforce", ["alice", "/orders", "GET"], False, 3) < 3


def test_reload_after_redis_and_mysql_restarts(private_services, capture, peers):
    info = {**private_services.mysql_info, "tb": "permward_restart"}
    redis_info = private_services.redis_info
    svc = local(info, redis_info, capture)
    peer = peers({"mysql": info, "redis": redis_info})
    time.sleep(1.2)
    peer.call("add_role_for_user", "u", "G-r1")
    assert wait_until(lambda: svc.get_roles_for_user("u") == ["G-r1"], 3)

    private_services.run("restart", "redis")
    # The peer's pool reconnects; whether or not its signal is lost, this process must
    # catch up once its watcher is subscribed again.
    peer.request("add_role_for_user", "u", "G-r2")
    assert wait_until(lambda: "G-r2" in svc.get_roles_for_user("u"), 20)
    assert any(w.startswith("casbin reload error with e=") for w in capture.lines("WARNING"))
    peer.call("add_role_for_user", "u", "G-r3")  # plain signal path after the outage
    assert wait_until(lambda: "G-r3" in svc.get_roles_for_user("u"), 3)

    # A restart drops every pooled database connection; the next reload must still work.
    private_services.run("restart", "mysql")
    warned = len(capture.lines("WARNING"))
    peer.call("add_role_for_user", "u", "G-r4")
    assert wait_until(lambda: "G-r4" in svc.get_roles_for_user("u"), 3)
    assert len(capture.lines("WARNING")) == warned
    assert sorted(peer.call("get_roles_for_user", "u")) == ["G-r1", "G-r2", "G-r3", "G-r4"]


def test_enforce_from_threads_during_churn_in_another_process(
    mysql_info, redis_info, capture, peers
):
    info = table_info(mysql_info, "churn")
    fresh_table(info)
    svc = local(info, redis_info, capture)
    svc.add_policy("G-base", "/stable", "read")
    svc.add_role_for_user("u1", "G-base")
    svc.add_role_for_user("u1", "G-flip")
    peer = peers({"mysql": info, "redis": redis_info})
    peer.call("wait_for", "get_roles_for_user", ["u1"], ["G-base", "G-flip"], 3)

    stop = threading.Event()
    errors: list[BaseException] = []
    seen_flip: set[bool] = set()
    calls = [0] * 8

    def work(i: int) -> None:
        try:
            while not stop.is_set():
                # Whatever the version, these never change; a half-loaded policy would.
                assert svc.enforce("u1", "/stable", "read") is True
                assert svc.enforce("u1", "/stable", "write") is False
                assert svc.enforce("u2", "/stable", "read") is False
                seen_flip.add(svc.enforce("u1", "/flip", "read"))
                calls[i] += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    try:
        reloads_before = len(capture.lines("DEBUG"))
        assert peer.call("churn", 50, 0.06, timeout=120) == 50
        # The churn ends on "removed"; some reload after the last change shows it.
        assert wait_until(lambda: svc.get_policies_for_role("G-flip") == [], 5)
        assert wait_until(lambda: len(capture.lines("DEBUG")) - reloads_before >= 4, 5)
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert errors == []
    assert seen_flip <= {True, False} and all(n > 0 for n in calls)
    assert svc.enforce("u1", "/flip", "read") is False
    assert capture.lines("WARNING") == []


EXIT_SCRIPT = """
import logging, time
from kestrum.service.cachewell import ServiceRedis
from kestrum.service.permward import ServiceCasbin
svc = ServiceCasbin({info!r}, logging.getLogger("exit"))
svc.set_auto_reload(ServiceRedis({redis!r}))
{before_exit}
print("ready", flush=True)
"""


@pytest.mark.parametrize(
    "redis_port, before_exit",
    [
        (None, "time.sleep(1.5)"),  # polling
        (None, "svc.add_policy('G-exit', '/e', 'GET'); time.sleep(0.9)"),  # around a reload
        (1, "time.sleep(2.5)"),  # backing off after failed subscriptions
    ],
)
def test_process_exits_promptly_with_a_watcher_running(
    mysql_info, redis_info, redis_port, before_exit
):
    info = table_info(mysql_info, "exit")
    rinfo = dict(redis_info, port=redis_port) if redis_port else redis_info
    code = EXIT_SCRIPT.format(info=info, redis=rinfo, before_exit=before_exit)
    with subprocess.Popen(
        [sys.executable, "-c", code],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=child_env(),
    ) as proc:
        try:
            assert proc.stdout.readline().strip() == "ready"
            start = time.monotonic()
            proc.wait(10)
            elapsed = time.monotonic() - start
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        stderr = proc.stderr.read()
    assert proc.returncode == 0, stderr
    assert "Fatal" not in stderr and "terminate" not in stderr and "Exception ignored" not in stderr
    assert elapsed < 2.5  # at most the watcher's one-second grace plus teardown


BUSY_EXIT_SCRIPT = """
import logging, random, sys, threading, time
from kestrum.service.cachewell import ServiceRedis
from kestrum.service.permward import ServiceCasbin
svc = ServiceCasbin({info!r}, logging.getLogger("exit"))
svc.set_auto_reload(ServiceRedis({redis!r}))
Name = type("Name", (str,), {{}})

def changes(k):  # the table-first path, each change signalled and reloaded
    i = 0
    while True:
        svc.add_policy(f"G-exit{{k}}", f"/e/{{i % 7}}", "GET")
        svc.remove_policy(f"G-exit{{k}}", f"/e/{{(i + 3) % 7}}", "GET")
        i += 1

def casbin_changes():  # casbin's own methods, tracked
    while True:
        svc._enforce.add_policy("G-raw", "/raw", "GET")
        svc._enforce.remove_policy("G-raw", "/raw", "GET")

def decisions():  # the index, the cache and casbin
    i = 0
    while True:
        svc.enforce("alice", f"/e/{{i}}", "GET")
        svc.enforce(Name("alice"), "/e/1", "GET")
        i += 1

for target, args in [(changes, (0,)), (changes, (1,)), (casbin_changes, ()), (decisions, ())]:
    threading.Thread(target=target, args=args, daemon=True).start()
time.sleep({delay})
print("ready", flush=True)
{ending}
"""


def test_exit_while_daemon_threads_change_and_decide(mysql_info, redis_info):
    """The interpreter ends daemon threads wherever they wait for the GIL: in the
    middle of a change, a decision or a reload. No crash, no report, no hang."""
    info = table_info(mysql_info, "busy_exit")
    fresh_table(info)
    rng = random.Random(11)
    for run in range(8):
        code = BUSY_EXIT_SCRIPT.format(
            info=info,
            redis=redis_info,
            delay=round(rng.uniform(0.3, 1.2), 2),
            ending="sys.exit(0)" if run % 2 else "",
        )
        proc = subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            timeout=60,
            env=child_env(),
        )
        assert proc.stdout.strip() == "ready", proc.stderr
        assert proc.returncode == 0, (run, proc.returncode, proc.stderr[-2000:])
        for sign in ("Fatal", "dec_ref", "terminate", "Exception ignored", "Traceback"):
            assert sign not in proc.stderr, (run, proc.stderr[-2000:])
