"""Interpreter exit while daemon threads are busy in every service.

    PYTHONPATH=build/dev/site-3.11 .venv-3.11/bin/python tests/exit_stress.py --runs 1000

Each run is a child process (forked from this one once every module is imported) that
builds the services, starts one daemon thread per service looping on its calls, sleeps a
random moment and then ends its main thread, by returning or by sys.exit(3). CPython ends
daemon threads that then want the GIL with pthread_exit(); the run passes when the child
exits with the expected status, no signal, and no fatal error on its standard error.
Redis and MariaDB come from the same variables as the test suite (scripts/services env).
"""

from __future__ import annotations

import argparse
import contextvars
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import kestrum.service.cachewell as cachewell
import kestrum.service.permward as permward
import kestrum.service.scribeline as scribeline
import kestrum.service.tablery as tablery
import kestrum.service.tokensmith as tokensmith
import kestrum.service.wirecall  # noqa: F401  (imported as an application would)
from kestrum.service import _sealcheck as sealcheck

SECRET = "exit-stress-secret-0123456789abcdef"
SERVICES = ("logger", "casbin", "policy", "jwt", "sign", "mysql", "redis")
FATAL = ("Fatal Python error", "Segmentation fault", "terminate called", "Aborted", "dec_ref()")


def settings_from_env() -> dict:
    root = Path(__file__).resolve().parents[1]
    out = subprocess.run(
        [str(root / "scripts" / "services"), "env"], check=True, capture_output=True, text=True
    ).stdout
    env = {}
    for line in out.splitlines():
        for assignment in line.removeprefix("export ").split():
            key, _, value = assignment.partition("=")
            env[key] = os.environ.get(key, value)
    mysql = {
        "host": env["KESTRUM_MYSQL_HOST"],
        "port": int(env["KESTRUM_MYSQL_PORT"]),
        "user": env["KESTRUM_MYSQL_USER"],
        "password": env["KESTRUM_MYSQL_PASSWORD"],
        "db": env["KESTRUM_MYSQL_DB"],
    }
    redis = {"host": env["KESTRUM_REDIS_HOST"], "port": int(env["KESTRUM_REDIS_PORT"]), "db": 0}
    return {"mysql": mysql, "redis": redis}


def workload(settings: dict, seed: int, workdir: str) -> dict:
    """Builds every service and returns one looping call per service."""
    gen = scribeline.service_init_logger(
        project_name=f"exit{seed}",
        path_log=workdir,
        contextvar_g=contextvars.ContextVar("g", default=None),
    )
    logger = next(gen)
    for handler in logger.handlers:  # the file is the point; keep the terminal quiet
        if type(handler).__name__ == "StreamHandler":
            handler.setStream(open(os.devnull, "w"))  # noqa: SIM115
    redis = cachewell.ServiceRedis(dict(settings["redis"]))
    mysql = tablery.ServiceMysql(
        dict(settings["mysql"], pool_conn_num=2, sqlalchemy_conn_num=2), logger
    )
    casbin = permward.ServiceCasbin(dict(settings["mysql"], tb="exit_stress_policy"), logger)
    casbin.set_auto_reload(redis)
    jwt = tokensmith.ServiceJwt({"secret_key": SECRET})
    sign = sealcheck.ServiceParamsign({"secret_key": SECRET})

    def redis_get() -> None:
        with redis.with_conn() as conn:
            conn.get("exit-stress")

    def policy() -> None:
        casbin.add_policy("G-exit", f"/exit/{seed}", "read")
        casbin.remove_policy("G-exit", f"/exit/{seed}", "read")

    return {
        "logger": lambda: logger.info({"run": seed, "msg": "exit stress"}),
        "casbin": lambda: casbin.enforce("alice", "/data", "read"),
        "policy": policy,
        "jwt": lambda: jwt.verify_access_token(jwt.create_access_token("u")),
        "sign": lambda: sign.confirm_sign(sign.generate_sign({"a": 1, "b": "two"})),
        "mysql": lambda: mysql.safe_execute_sql_with_conn("SELECT %(v)s AS one", {"v": 1}),
        "redis": redis_get,
    }


def child(settings: dict, seed: int, workdir: str, services: list[str]) -> None:
    """The body of one run; the caller then lets the interpreter end."""
    rng = random.Random(seed)
    calls = workload(settings, seed, workdir)

    def loop(fn) -> None:
        while True:
            try:
                fn()
            except Exception:  # a server hiccup is not what this is about
                time.sleep(0.01)

    for name in services:
        threading.Thread(target=loop, args=(calls[name],), daemon=True).start()
    time.sleep(rng.uniform(0.05, 0.4))
    if seed % 2:
        sys.exit(3)


def run(settings: dict, runs: int, jobs: int, services: list[str], timeout: float, workdir: str):
    """Forks the runs, `jobs` at a time; returns the counts and the first failures. In a
    child it returns {"child": True} (no context manager of the parent may be unwound in
    a child: it would clean up the parent's files)."""
    results = {"runs": 0, "ok": 0, "crashed": 0, "hung": 0, "failed": 0, "details": []}
    running: dict[int, tuple[int, float, str]] = {}
    seeds = iter(range(runs))
    first = True
    while True:
        while len(running) < (1 if first else jobs):
            seed = next(seeds, None)
            if seed is None:
                break
            err = os.path.join(workdir, f"stderr-{seed}")
            pid = os.fork()
            if pid == 0:
                fd = os.open(err, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
                os.dup2(fd, 2)
                child(settings, seed, workdir, services)
                return {"child": True}
            running[pid] = (seed, time.monotonic(), err)
        if not running:
            break
        time.sleep(0.02)
        for pid, (seed, started, err) in list(running.items()):
            done, status = os.waitpid(pid, os.WNOHANG)
            if not done:
                if time.monotonic() - started > timeout:
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
                    del running[pid]
                    results["hung"] += 1
                    first = False
                    results["details"].append((seed, "hung"))
                continue
            del running[pid]
            first = False
            results["runs"] += 1
            text = Path(err).read_text(errors="replace")
            expected = 3 if seed % 2 else 0
            if os.WIFSIGNALED(status) or any(marker in text for marker in FATAL):
                results["crashed"] += 1
                results["details"].append((seed, text[-2000:] or f"signal {status}"))
            elif os.waitstatus_to_exitcode(status) != expected:
                results["failed"] += 1
                results["details"].append((seed, text[:1500] + " ... " + text[-1500:]))
            else:
                results["ok"] += 1
    results["details"] = results["details"][:5]
    return results


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=50)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--services", default=",".join(SERVICES))
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds before a run is hung")
    args = parser.parse_args()
    started = time.monotonic()
    workdir = tempfile.mkdtemp(prefix="exit-stress-")
    services = args.services.split(",")
    results = run(settings_from_env(), args.runs, args.jobs, services, args.timeout, workdir)
    if results.get("child"):
        return 0
    shutil.rmtree(workdir, ignore_errors=True)
    results["seconds"] = round(time.monotonic() - started, 1)
    results["python"] = sys.version.split()[0]
    print(json.dumps(results))
    return 0 if results["ok"] == args.runs else 1


if __name__ == "__main__":
    code = main()
    if code:
        sys.exit(code)
