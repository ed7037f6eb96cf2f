"""Formatter throughput, side by side in one run.

    .venv-3.11/bin/python bench/bench_scribeline.py            # installed package
    PYTHONPATH=build/dev/site-3.11 .venv-3.11/bin/python bench/bench_scribeline.py

Compares `format()` of the native formatter with (a) a plain-Python formatter that
builds the same document with json.dumps and (b) python-json-logger's JsonFormatter,
on the same records; then `logger.info` end to end with standard output sent to
/dev/null; then checks that RSS stays flat over 10^6 `format()` calls.
"""

from __future__ import annotations

import contextlib
import contextvars
import copy
import datetime
import json
import logging
import os
import sys
import timeit

from kestrum.service.scribeline import service_init_logger

try:
    from pythonjsonlogger.json import JsonFormatter
except ImportError:  # python-json-logger < 3
    from pythonjsonlogger.jsonlogger import JsonFormatter

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


def make_records(logger):
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record)

    keep = Keep()
    logger.addHandler(keep)
    logger.info("order %s saved for customer", 1234)
    logger.info({"user": "ann", "order": 5, "items": ["a", "b"]})
    logger.warning("slow request", extra={"elapsed_ms": 812})
    logger.info("数据已保存")
    logger.removeHandler(keep)
    return records


def per_call_us(fn, records, number):
    def run():
        for r in records:
            fn(r)

    best = min(timeit.repeat(run, number=number, repeat=5))
    return best / (number * len(records)) * 1e6


def rss_mb():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def main():
    var = contextvars.ContextVar("contextvar_g", default=None)
    var.set(
        {
            "vek_myapp": "shop",
            "vek_myip": "10.0.0.7",
            "vek_username": "ann",
            "vek_path": "/orders",
            "vek_traceid": "5f1c2a",
        }
    )
    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        logger = next(service_init_logger("bench", None, logging.INFO, var, None, "user"))
        logger.propagate = False
        native = logger.handlers[0].formatter
        records = make_records(logger)
        plain = PlainFormatter(var, COLUMNS, ["user"])
        pjl = JsonFormatter(
            "%(name)s %(levelname)s %(filename)s %(module)s %(lineno)s %(funcName)s "
            "%(thread)s %(process)s",
            json_ensure_ascii=False,
        )

        number = 20000
        t_native = per_call_us(native.format, records, number)
        t_plain = per_call_us(plain.format, records, number)
        t_pjl = per_call_us(pjl.format, records, number)

        def log_line():
            logger.info("order %s saved for customer", 1234)

        t_info = min(timeit.repeat(log_line, number=number, repeat=5)) / number * 1e6

    print(f"python {sys.version.split()[0]}")
    print(f"format(), native formatter      : {t_native:6.2f} us/record")
    for label, t in (("plain-Python formatter", t_plain), ("python-json-logger    ", t_pjl)):
        print(f"format(), {label}: {t:6.2f} us/record   ratio {t / t_native:5.1f}x")
    print(f"logger.info end to end (stdout to /dev/null): {t_info:6.2f} us/record")

    record = records[1]
    fmt = native.format
    for _ in range(100_000):
        fmt(record)
    before = rss_mb()
    for _ in range(1_000_000):
        fmt(record)
    after = rss_mb()
    print(
        f"RSS over 10^6 format() calls: {before:.1f} -> {after:.1f} MiB ({after - before:+.1f} MiB)"
    )


if __name__ == "__main__":
    main()
