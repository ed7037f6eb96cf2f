"""Container costs, side by side in one run.

    .venv-3.11/bin/python bench/bench_container.py            # installed package
    PYTHONPATH=build/dev/site-3.11 .venv-3.11/bin/python bench/bench_container.py

1. Cold import of `kestrum._container` (which loads all nine modules) against
   importing the third-party libraries they use, alone, each in fresh processes.
2. Resolving a factory member (`container.jwt()`) against constructing the service
   directly.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import timeit
from types import SimpleNamespace

LIBRARIES = [
    "logging",
    "contextvars",
    "dependency_injector.containers",
    "dependency_injector.providers",
    "loguru",
    "concurrent_log_handler",
    "sqlalchemy",
    "sqlalchemy.ext.automap",
    "sqlalchemy.orm",
    "pymysql",
    "dbutils.pooled_db",
    "pandas",
    "tenacity",
    "casbin",
    "casbin_sqlalchemy_adapter",
    "redis",
    "jwt",
    "requests",
    "oss2",
    "pydantic",
    "yaml",
]


def cold_import_seconds(statement: str, runs: int) -> list[float]:
    code = f"import time; t = time.perf_counter(); {statement}; print(time.perf_counter() - t)"
    times = []
    for _ in range(runs):
        out = subprocess.run(
            [sys.executable, "-c", code],
            check=True,
            capture_output=True,
            text=True,
            env=dict(os.environ),
        )
        times.append(float(out.stdout.strip().splitlines()[-1]))
    return times


def main() -> None:
    runs = 7
    libs, ours = [], []
    for _ in range(runs):  # interleaved, so both see the same machine
        libs += cold_import_seconds("; ".join(f"import {m}" for m in LIBRARIES), 1)
        ours += cold_import_seconds("import kestrum._container", 1)
    lib_ms, our_ms = statistics.median(libs) * 1e3, statistics.median(ours) * 1e3
    print(f"python {sys.version.split()[0]}")
    print(f"cold import, third-party libraries alone: {lib_ms:7.1f} ms (median of {runs})")
    print(
        f"cold import, kestrum._container         : {our_ms:7.1f} ms  ratio {our_ms / lib_ms:4.2f}x"
    )

    from kestrum._container import create_container
    from kestrum.service.tokensmith import ServiceJwt

    info = {"secret_key": "bench-secret-0123456789abcdefghijkl"}
    full = {
        "project_name": "bench",
        "other": {"path_log": None},
        "services": [{"type": "jwt", "name": "jwt", "info": info}],
    }
    entry = SimpleNamespace(dict=lambda: full["services"][0])
    project = SimpleNamespace(
        config=SimpleNamespace(other=full["other"], services=[entry], dict=lambda: full)
    )
    container = create_container(project)
    number = 20000
    direct = (
        min(timeit.repeat(lambda: ServiceJwt(info=info), number=number, repeat=5)) / number * 1e6
    )
    member = min(timeit.repeat(container.jwt, number=number, repeat=5)) / number * 1e6
    print(f"ServiceJwt(info=...) directly           : {direct:7.2f} us")
    print(
        f"container.jwt() (factory member)        : {member:7.2f} us  ratio {member / direct:4.2f}x"
    )


if __name__ == "__main__":
    main()
