"""ServiceMysql's query helpers against the same work done directly, on the same server.

    PYTHONPATH=build/dev/site-3.11 .venv-3.11/bin/python bench/bench_tablery.py

(or against an installed kestrum without PYTHONPATH). Needs the project's MariaDB
(scripts/services start); the connection settings come from `scripts/services env`.

Pairs, each measured in alternating rounds so that load on the machine hits both sides alike:
- safe_execute_sql_with_conn vs PooledDB(...).connection() + cursor + execute + DataFrame +
  commit + close with PyMySQL/DBUtils directly (same pool settings);
- read_sql_with_session vs pandas.read_sql_query on an engine with the same options, and vs
  the same steps written in Python (a session begun, read_sql_query on its bind, commit and
  close, under tenacity's retry with 3 attempts).
Printed per call: the median of the rounds' means for each side, and the median of the
rounds' ratios service/direct.
"""

from __future__ import annotations

import logging
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import pandas as pd
import pymysql
from dbutils.pooled_db import PooledDB
from sqlalchemy import create_engine
from sqlalchemy.orm import sessionmaker
from tenacity import retry, stop_after_attempt

from kestrum.service.tablery import ServiceMysql

ROOT = Path(__file__).resolve().parents[1]
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "30"))
CALLS = int(os.environ.get("BENCH_CALLS", "50"))


def service_env() -> dict[str, str]:
    out = subprocess.run(
        [str(ROOT / "scripts" / "services"), "env"], check=True, capture_output=True, text=True
    ).stdout
    env = {}
    for line in out.splitlines():
        for assignment in line.removeprefix("export ").split():
            key, _, value = assignment.partition("=")
            env[key] = os.environ.get(key, value)
    return env


def admin_connection(env: dict[str, str]) -> pymysql.connections.Connection:
    return pymysql.connect(
        host=env["KESTRUM_MYSQL_HOST"],
        port=int(env["KESTRUM_MYSQL_PORT"]),
        user=env["KESTRUM_MYSQL_ADMIN_USER"],
        password=env["KESTRUM_MYSQL_ADMIN_PASSWORD"],
        autocommit=True,
    )


def setup_database(env: dict[str, str], name: str, rows: int) -> dict[str, object]:
    admin = admin_connection(env)
    with admin.cursor() as cur:
        cur.execute(f"DROP DATABASE IF EXISTS `{name}`")
        cur.execute(f"CREATE DATABASE `{name}`")
        cur.execute(f"GRANT ALL PRIVILEGES ON `{name}`.* TO %s@'%%'", (env["KESTRUM_MYSQL_USER"],))
        cur.execute(
            f"CREATE TABLE `{name}`.bench_rows (id INT PRIMARY KEY, name VARCHAR(40), qty INT)"
        )
        cur.executemany(
            f"INSERT INTO `{name}`.bench_rows VALUES (%s, %s, %s)",
            [(i, f"row-{i}", i % 7) for i in range(rows)],
        )
    admin.close()
    return {
        "host": env["KESTRUM_MYSQL_HOST"],
        "port": int(env["KESTRUM_MYSQL_PORT"]),
        "user": env["KESTRUM_MYSQL_USER"],
        "password": env["KESTRUM_MYSQL_PASSWORD"],
        "db": name,
    }


def drop_database(env: dict[str, str], name: str) -> None:
    admin = admin_connection(env)
    with admin.cursor() as cur:
        cur.execute(f"DROP DATABASE IF EXISTS `{name}`")
    admin.close()


def compare(label: str, service_call, direct_call) -> float:
    for f in (service_call, direct_call):  # warm up both
        for _ in range(20):
            f()
    means = {"service": [], "direct": []}
    ratios = []
    for n in range(ROUNDS):
        # Alternate which side goes first; each round's ratio compares like with like.
        order = (("service", service_call), ("direct", direct_call))
        for side, f in order if n % 2 == 0 else order[::-1]:
            t0 = time.perf_counter()
            for _ in range(CALLS):
                f()
            means[side].append((time.perf_counter() - t0) / CALLS)
        ratios.append(means["service"][-1] / means["direct"][-1])
    svc, direct = statistics.median(means["service"]), statistics.median(means["direct"])
    ratio = statistics.median(ratios)
    print(f"{label:<40} {svc * 1e6:9.1f} µs {direct * 1e6:9.1f} µs {ratio:7.3f}")
    return ratio


def main() -> int:
    env = service_env()
    name = f"kestrum_tablery_bench_{os.getpid()}"
    info = setup_database(env, name, rows=50)
    try:
        logger = logging.Logger("bench")
        svc = ServiceMysql(dict(info), logger)

        direct_pool = PooledDB(
            creator=pymysql, maxconnections=4, mincached=1, maxcached=4, maxshared=3,
            blocking=True, maxusage=None, setsession=[], ping=1, host=info["host"],
            port=info["port"], user=info["user"], password=info["password"], db=info["db"],
            charset="utf8",
        )  # fmt: skip
        url = (
            f"mysql+pymysql://{info['user']}:{info['password']}@{info['host']}:{info['port']}"
            f"/{info['db']}?charset=utf8"
        )
        engine = create_engine(
            url, pool_size=4, max_overflow=10, pool_pre_ping=True, pool_recycle=3600
        )

        def direct_execute(sql, param):
            conn = direct_pool.connection()
            try:
                cur = conn.cursor()
                cur.execute(sql, param)
                frame = pd.DataFrame(cur.fetchall(), columns=[d[0] for d in cur.description])
                conn.commit()
                return frame
            finally:
                conn.close()

        session_factory = sessionmaker(bind=engine)

        @retry(stop=stop_after_attempt(3))
        def python_session_read(sql):
            session = session_factory()
            try:
                session.begin()
                frame = pd.read_sql_query(sql, session.get_bind())
                session.commit()
                return frame
            finally:
                session.close()

        one = "SELECT id, name, qty FROM bench_rows WHERE id = %(id)s"
        many = "SELECT id, name, qty FROM bench_rows WHERE qty >= %(q)s"
        whole = "SELECT id, name, qty FROM bench_rows"
        point = "SELECT id, name, qty FROM bench_rows WHERE id = 7"

        print(f"rounds {ROUNDS} x {CALLS} calls; per call: service, direct, ratio")
        ratios = [
            compare(
                "safe_execute_sql_with_conn, 1 row",
                lambda: svc.safe_execute_sql_with_conn(one, {"id": 7}),
                lambda: direct_execute(one, {"id": 7}),
            ),
            compare(
                "safe_execute_sql_with_conn, ~43 rows",
                lambda: svc.safe_execute_sql_with_conn(many, {"q": 1}),
                lambda: direct_execute(many, {"q": 1}),
            ),
            compare(
                "read_sql_with_session, 1 row",
                lambda: svc.read_sql_with_session(point),
                lambda: pd.read_sql_query(point, engine),
            ),
            compare(
                "read_sql_with_session, 50 rows",
                lambda: svc.read_sql_with_session(whole),
                lambda: pd.read_sql_query(whole, engine),
            ),
        ]
        print("the same session steps written in Python, as the direct side:")
        ratios += [
            compare(
                "read_sql_with_session, 1 row",
                lambda: svc.read_sql_with_session(point),
                lambda: python_session_read(point),
            ),
            compare(
                "read_sql_with_session, 50 rows",
                lambda: svc.read_sql_with_session(whole),
                lambda: python_session_read(whole),
            ),
        ]
        print(f"largest overhead: {(max(ratios) - 1) * 100:+.1f}%")
    finally:
        drop_database(env, name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
