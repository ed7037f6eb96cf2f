"""JSON logging, side by side in one run.

    .venv-3.11/bin/python bench/bench_scribeline.py            # installed package
    PYTHONPATH=build/dev/site-3.11 .venv-3.11/bin/python bench/bench_scribeline.py
    ... bench_scribeline.py --soak        # also: 4 processes past two 100 MiB rotations

1. `format()` of the native formatter against a plain-Python formatter building the same
   document and python-json-logger's JsonFormatter, on the same records.
2. `logger.info` end to end through the logger service_init_logger builds (a log directory,
   standard output to /dev/null), plain, dict and `extra=` records, against the same steps in
   plain Python (that formatter, concurrent-log-handler and a StreamHandler), stdlib
   RotatingFileHandler + python-json-logger, loguru with serialize=True and structlog's JSON
   renderer. Each round runs every contender once, alternately; the best round counts.
3. A record with a traceback, through two handlers.
4. Four forked processes writing one rotating file: aggregate records/s against the library's
   own per-record open/lock/close path (the handler configured as before), and a check that no
   line is lost, duplicated or torn.
5. 300 forks while two threads log and the parent logs between forks: hung children.
6. RSS over 10^6 `format()` calls.
"""

from __future__ import annotations

import argparse
import contextlib
import contextvars
import copy
import datetime
import json
import logging
import logging.handlers
import multiprocessing
import os
import shutil
import sys
import tempfile
import threading
import time
import timeit
from collections import Counter

from concurrent_log_handler import ConcurrentRotatingFileHandler
from loguru import logger as loguru_logger

from kestrum.service.scribeline import service_init_logger

try:
    from pythonjsonlogger.json import JsonFormatter
except ImportError:  # python-json-logger < 3
    from pythonjsonlogger.jsonlogger import JsonFormatter

try:
    import structlog
except ImportError:  # optional contender
    structlog = None

COLUMNS = ["myapp", "myip", "username", "path", "traceid"]
REMOVED = [
    "levelno",
    "threadName",
    "processName",
    "exc_text",
    "stack_info",
    "created",
    "msecs",
    "relativeCreated",
    "args",
    "pathname",
    "exc_info",
]
MAX_BYTES = 104857600
CONTEXT = {
    "vek_myapp": "shop",
    "vek_myip": "10.0.0.7",
    "vek_username": "ann",
    "vek_path": "/orders",
    "vek_traceid": "5f1c2a",
}
PJL_FIELDS = (
    "%(name)s %(levelname)s %(filename)s %(module)s %(lineno)s %(funcName)s %(thread)s %(process)s"
)


class PlainFormatter(logging.Formatter):
    """The same document, written the straightforward way."""

    remove_attr = REMOVED

    def __init__(self, contextvar_g, columns, msg_columns):
        super().__init__()
        self.contextvar_g, self.columns, self.msg_columns = contextvar_g, columns, msg_columns

    def format(self, record):
        extra = {k: str(v) for k, v in record.__dict__.items() if k not in self.remove_attr}
        now = datetime.datetime.now()
        extra["time"] = now.strftime("%Y-%m-%dT%H:%M:%S" + ".%06d" % now.microsecond)  # noqa: UP031
        for name in self.columns:
            extra[name] = ""
            data = self.contextvar_g.get()
            if data and "vek_" + name in data and data["vek_" + name]:
                extra[name] = data["vek_" + name]
        if record.exc_info:
            extra["exc_info"] = self.formatException(record.exc_info)
        msg = copy.deepcopy(record.msg)
        if isinstance(msg, dict):
            for k in msg:
                if k in self.msg_columns:
                    extra[k] = msg[k]
            for k in self.msg_columns:
                if k in msg:
                    del msg[k]
        extra["msg"] = msg
        return json.dumps(extra, ensure_ascii=False)


def quiet_logger(name, handlers):
    logger = logging.getLogger(name)
    logger.handlers = list(handlers)
    logger.setLevel(logging.INFO)
    logger.propagate = False
    return logger


def kestrum_logger(name, directory, var, devnull):
    with contextlib.redirect_stdout(devnull):
        logger = next(service_init_logger(name, directory, logging.INFO, var, None, "user"))
    logger.propagate = False
    return logger


def plain_logger(name, directory, var, devnull, keep_file_open):
    """What service_init_logger sets up, in plain Python."""
    fmt = PlainFormatter(var, COLUMNS, ["user"])
    path = os.path.join(directory, name + ".log")
    fh = ConcurrentRotatingFileHandler(
        path, "a", MAX_BYTES, 20, encoding="utf-8", keep_file_open=keep_file_open
    )
    sh = logging.StreamHandler(stream=devnull)
    for h in (fh, sh):
        h.setFormatter(fmt)
    return quiet_logger(name, [fh, sh])


def stdlib_pjl_logger(name, directory, devnull):
    fmt = JsonFormatter(PJL_FIELDS, json_ensure_ascii=False)
    path = os.path.join(directory, name + ".log")
    fh = logging.handlers.RotatingFileHandler(path, "a", MAX_BYTES, 20, encoding="utf-8")
    sh = logging.StreamHandler(stream=devnull)
    for h in (fh, sh):
        h.setFormatter(fmt)
    return quiet_logger(name, [fh, sh])


class LoguruAdapter:
    """loguru writing serialised records to a rotated file and to /dev/null."""

    def __init__(self, directory, devnull):
        loguru_logger.remove()
        path = os.path.join(directory, "loguru.log")
        loguru_logger.add(path, serialize=True, rotation="100 MB", retention=20, enqueue=False)
        loguru_logger.add(devnull, serialize=True)

    def info(self, msg, *args, extra=None):
        if extra:
            loguru_logger.bind(**extra).info(msg, *args)
        else:
            loguru_logger.info(msg, *args)


class StructlogAdapter:
    """structlog's JSON renderer writing to one file (no cross-process locking)."""

    def __init__(self, directory):
        self.file = open(os.path.join(directory, "structlog.log"), "a", encoding="utf-8")  # noqa: SIM115
        structlog.configure(
            processors=[
                structlog.contextvars.merge_contextvars,
                structlog.processors.add_log_level,
                structlog.processors.TimeStamper(fmt="iso", utc=False),
                structlog.processors.JSONRenderer(ensure_ascii=False),
            ],
            logger_factory=structlog.WriteLoggerFactory(file=self.file),
            cache_logger_on_first_use=True,
        )
        self.log = structlog.get_logger()

    def info(self, msg, *args, extra=None):
        if isinstance(msg, dict):
            self.log.info(None, **msg)
        else:
            self.log.info(msg % args if args else msg, **(extra or {}))


RECORDS = {
    "plain": (("order %s saved for customer", 1234), {}),
    "dict": (({"user": "ann", "order": 5, "items": ["a", "b"]},), {}),
    "extra": (("slow request",), {"extra": {"elapsed_ms": 812}}),
}


def best_rounds(contenders, call, number, rounds):
    """Per-call microseconds of every contender: the best of `rounds` alternating rounds."""
    best = dict.fromkeys(contenders, float("inf"))
    for _ in range(rounds):
        for name, target in contenders.items():
            elapsed = timeit.timeit(lambda target=target: call(target), number=number)
            best[name] = min(best[name], elapsed / number * 1e6)
    return best


def bench_format(var, devnull):
    with contextlib.redirect_stdout(devnull):
        logger = next(service_init_logger("bench-fmt", None, logging.INFO, var, None, "user"))
    logger.propagate = False
    native = logger.handlers[0].formatter
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record)

    logger.handlers = [Keep()]
    logger.info("order %s saved for customer", 1234)
    logger.info({"user": "ann", "order": 5, "items": ["a", "b"]})
    logger.warning("slow request", extra={"elapsed_ms": 812})
    logger.info("数据已保存")
    contenders = {
        "native": native,
        "plain": PlainFormatter(var, COLUMNS, ["user"]),
        "pjl": JsonFormatter(PJL_FIELDS, json_ensure_ascii=False),
    }
    per = dict.fromkeys(contenders, float("inf"))
    copies = 2500
    for _ in range(5):
        for name, fmt in contenders.items():
            # A fresh record for every call, as handlers see them.
            batch = [logging.makeLogRecord(r.__dict__) for r in records for _ in range(copies)]
            t0 = time.perf_counter()
            for r in batch:
                fmt.format(r)
            per[name] = min(per[name], (time.perf_counter() - t0) / len(batch) * 1e6)
    print("1. format(), mean of 4 typical records (a fresh record each call)")
    print(f"   native formatter        {per['native']:7.2f} us")
    print(
        f"   plain-Python formatter  {per['plain']:7.2f} us   {per['plain'] / per['native']:5.1f}x"
    )
    print(f"   python-json-logger      {per['pjl']:7.2f} us   {per['pjl'] / per['native']:5.1f}x")
    return native, records


def bench_end_to_end(var, devnull, root, rounds):
    contenders = {
        "kestrum": kestrum_logger("e2e-kestrum", root, var, devnull),
        "plain, as configured before": plain_logger("e2e-plain", root, var, devnull, False),
        "plain, keep_file_open=True": plain_logger("e2e-plain-open", root, var, devnull, True),
        "stdlib Rotating + pjl": stdlib_pjl_logger("e2e-pjl", root, devnull),
        "loguru serialize=True": LoguruAdapter(root, devnull),
    }
    if structlog is not None:
        contenders["structlog JSON (file only)"] = StructlogAdapter(root)
    print("2. logger.info end to end: a log directory, stdout to /dev/null (us per record)")
    header = "".join(f"{k:>10}" for k in RECORDS)
    print(f"   {'':30}{header}")
    results = {}
    for kind, (args, kwargs) in RECORDS.items():
        results[kind] = best_rounds(
            contenders, lambda lg, a=args, k=kwargs: lg.info(*a, **k), 4000, rounds
        )
    for name in contenders:
        cells = "".join(f"{results[k][name]:10.2f}" for k in RECORDS)
        print(f"   {name:30}{cells}")
    for name in contenders:
        if name == "kestrum":
            continue
        ratios = "".join(f"{results[k][name] / results[k]['kestrum']:9.2f}x" for k in RECORDS)
        print(f"   ratio {name:24}{ratios}")
    loguru_logger.remove()
    # The same record's line is byte-identical to the plain-Python one (time aside).
    kept = []

    class Keep(logging.Handler):
        def emit(self, record):
            kept.append(record)

    ours_logger = contenders["kestrum"]
    keep = Keep()
    ours_logger.addHandler(keep)
    for args, kwargs in RECORDS.values():
        ours_logger.info(*args, **kwargs)
    ours_logger.removeHandler(keep)
    fmt = ours_logger.handlers[0].formatter
    plain = PlainFormatter(var, COLUMNS, ["user"])
    same = 0
    for record in kept:
        line = json.loads(fmt.format(record))
        expected = json.loads(plain.format(record))
        expected["time"] = line["time"]
        same += json.dumps(line, ensure_ascii=False) == json.dumps(expected, ensure_ascii=False)
    print(f"   lines identical to the plain-Python formatter's: {same}/{len(kept)}")
    return results


def bench_error_records(var, devnull, root):
    ours = kestrum_logger("err-kestrum", root, var, devnull)
    plain = plain_logger("err-plain", root, var, devnull, True)

    def log_error(lg):
        try:
            raise ValueError("bad order")
        except ValueError:
            lg.exception("failed")

    t = best_rounds({"kestrum": ours, "plain": plain}, log_error, 2000, 5)
    print("3. logger.exception through both handlers (us per record)")
    print(
        f"   kestrum {t['kestrum']:.2f}, plain Python (keep_file_open=True) {t['plain']:.2f}:"
        f" {t['plain'] / t['kestrum']:.2f}x"
    )


def _proc_writes(name, proc, count, start):
    logger = logging.getLogger(name)
    start.wait()
    pad = "x" * 200
    for i in range(count):
        logger.info({"proc": proc, "seq": i, "pad": pad})
    logging.shutdown()


def check_lines(directory, name, procs, count):
    """(lost, duplicated, torn) over every file of the rotation."""
    seen = Counter()
    torn = 0
    for fname in os.listdir(directory):
        if not fname.startswith(name + ".log"):
            continue
        with open(os.path.join(directory, fname), encoding="utf-8") as fh:
            for line in fh:
                try:
                    msg = json.loads(line)["msg"]
                except ValueError:
                    torn += 1
                    continue
                if isinstance(msg, dict) and "proc" in msg:
                    seen[(msg["proc"], msg["seq"])] += 1
    expected = {(p, i) for p in range(procs) for i in range(count)}
    lost = len(expected - set(seen))
    dups = sum(n - 1 for n in seen.values() if n > 1)
    return lost, dups, torn


def run_procs(directory, name, procs, count, max_bytes, adopted):
    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        logger = next(service_init_logger(name, directory, logging.INFO))
    logger.propagate = False
    logger.handlers = logger.handlers[:1]  # the file alone
    handler = logger.handlers[0]
    if not adopted:  # the library's own path, as the handler was configured before
        handler.close()
        handler = ConcurrentRotatingFileHandler(
            handler.baseFilename, "a", max_bytes, 20, encoding="utf-8", keep_file_open=False
        )
        handler.setFormatter(logger.handlers[0].formatter)
        logger.handlers = [handler]
    handler.maxBytes = max_bytes
    logger.info("before the fork")  # forked children of a process that has logged
    ctx = multiprocessing.get_context("fork")
    start = ctx.Event()
    workers = [ctx.Process(target=_proc_writes, args=(name, p, count, start)) for p in range(procs)]
    for w in workers:
        w.start()
    time.sleep(0.2)
    t0 = time.perf_counter()
    start.set()
    for w in workers:
        w.join()
    elapsed = time.perf_counter() - t0
    rotated = len([f for f in os.listdir(directory) if f.startswith(name + ".log.")])
    logger.handlers = []
    handler.close()
    return procs * count / elapsed, rotated, check_lines(directory, name, procs, count)


def bench_processes(root, procs=4, count=20000, max_bytes=2 * 2**20):
    print(f"4. {procs} forked processes x {count} records, one file rotated at {max_bytes} bytes")
    results = {}
    for label, adopted in (("kestrum", True), ("library path, per-record open", False)):
        directory = tempfile.mkdtemp(dir=root)
        rate, rotated, (lost, dups, torn) = run_procs(
            directory, "procs", procs, count, max_bytes, adopted
        )
        results[label] = rate
        print(
            f"   {label:32} {rate:9.0f} records/s   rotations {rotated:2d}"
            f"   lost {lost}  duplicated {dups}  torn {torn}"
        )
        shutil.rmtree(directory)
    ratio = results["kestrum"] / results["library path, per-record open"]
    print(f"   aggregate ratio {ratio:.2f}x")


def soak(root, procs=4):
    """Past two rotations at the real size: about 260 MiB of lines."""
    count = 200_000
    directory = tempfile.mkdtemp(dir=root)
    rate, rotated, (lost, dups, torn) = run_procs(directory, "soak", procs, count, MAX_BYTES, True)
    print(
        f"   soak: {procs} x {count} records at 100 MiB: {rate:.0f} records/s, rotations {rotated},"
        f" lost {lost}, duplicated {dups}, torn {torn}"
    )
    shutil.rmtree(directory)


def bench_forks(root, forks=300):
    directory = tempfile.mkdtemp(dir=root)
    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        logger = next(service_init_logger("forks", directory, logging.INFO))
        logger.propagate = False
        stop = threading.Event()

        def chatter(k):
            i = 0
            while not stop.is_set():
                logger.info({"thread": k, "seq": i})
                i += 1

        threads = [threading.Thread(target=chatter, args=(k,), daemon=True) for k in range(2)]
        for t in threads:
            t.start()
        hung = 0
        t0 = time.perf_counter()
        for n in range(forks):
            pid = os.fork()
            if pid == 0:
                logger.info({"child": n})
                logging.shutdown()
                os._exit(0)
            deadline = time.monotonic() + 10
            while not os.waitpid(pid, os.WNOHANG)[0]:
                if time.monotonic() > deadline:
                    hung += 1
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
                    break
                time.sleep(0.001)
            logger.info({"parent": n})
        stop.set()
        for t in threads:
            t.join()
    children = parents = 0
    with open(os.path.join(directory, "forks.log"), encoding="utf-8") as fh:
        for line in fh:
            msg = json.loads(line)["msg"]
            children += "child" in msg
            parents += "parent" in msg
    print(
        f"5. {forks} forks while 2 threads log: hung children {hung}, child lines"
        f" {children}/{forks}, parent lines {parents}/{forks} ({time.perf_counter() - t0:.1f} s)"
    )
    shutil.rmtree(directory)


def rss_mb():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def bench_rss(native, records):
    record = records[1]
    fmt = native.format
    for _ in range(100_000):
        fmt(logging.makeLogRecord(record.__dict__))
    before = rss_mb()
    for _ in range(1_000_000):
        fmt(record)
    after = rss_mb()
    print(f"6. RSS over 10^6 format() calls: {before:.1f} -> {after:.1f} MiB")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--soak", action="store_true", help="also rotate twice at 100 MiB")
    parser.add_argument("--rounds", type=int, default=7)
    opts = parser.parse_args()
    var = contextvars.ContextVar("contextvar_g", default=None)
    var.set(dict(CONTEXT))
    root = tempfile.mkdtemp(prefix="bench-scribeline-")
    print(f"python {sys.version.split()[0]}")
    try:
        with open(os.devnull, "w") as devnull:
            native, records = bench_format(var, devnull)
            bench_end_to_end(var, devnull, root, opts.rounds)
            bench_error_records(var, devnull, root)
        bench_processes(root)
        if opts.soak:
            soak(root)
        bench_forks(root)
        bench_rss(native, records)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
