"""The shared log file: the library's handler kept open, its locking protocol, fork() and exit."""

from __future__ import annotations

import contextlib
import io
import json
import logging
import multiprocessing
import os
import subprocess
import sys
import textwrap
import threading
import time
import uuid

import pytest
from concurrent_log_handler import ConcurrentRotatingFileHandler

from kestrum.service.scribeline import service_init_logger


def file_logger(directory, stdout=None):
    """A logger with the file handler and a standard-output handler on `stdout`."""
    name = "f-" + uuid.uuid4().hex[:12]
    with contextlib.redirect_stdout(stdout or io.StringIO()):
        logger = next(service_init_logger(name, str(directory), logging.INFO))
    logger.propagate = False
    return logger


def read_lines(directory, name):
    out = []
    for fname in sorted(os.listdir(directory)):
        if fname.startswith(name + ".log"):
            with open(os.path.join(directory, fname), encoding="utf-8") as fh:
                out += [json.loads(line) for line in fh]  # a torn line would not parse
    return out


def test_the_library_handler_keeps_its_files_open(tmp_path):
    logger = file_logger(tmp_path)
    handler = logger.handlers[0]
    assert type(handler) is ConcurrentRotatingFileHandler
    assert handler.stream is not None and not handler.stream.closed
    assert handler.stream_lock is not None and not handler.stream_lock.closed
    logger.info("one")
    logger.info("two")
    assert handler.stream is not None and not handler.is_locked
    assert [d["msg"] for d in read_lines(tmp_path, logger.name)] == ["one", "two"]


def test_rotation_gives_back_every_descriptor(tmp_path):
    logger = file_logger(tmp_path)
    logger.handlers[0].maxBytes = 300
    logger.info("warm up")
    before = len(os.listdir("/proc/self/fd"))
    for i in range(150):
        logger.info({"n": i})
    assert len(os.listdir("/proc/self/fd")) <= before


def test_filters_and_replaced_methods_are_honoured(tmp_path, monkeypatch):
    logger = file_logger(tmp_path)
    logger.handlers[0].addFilter(lambda record: record.msg != "dropped")
    logger.info("dropped")
    logger.info("kept")
    seen = []
    monkeypatch.setattr(ConcurrentRotatingFileHandler, "emit", lambda h, r: seen.append(r.msg))
    logger.info("to the replacement")
    assert seen == ["to the replacement"]
    assert [d["msg"] for d in read_lines(tmp_path, logger.name)] == ["kept"]


def _library_writer(path, count, start):
    handler = ConcurrentRotatingFileHandler(path, "a", 30_000, 20, encoding="utf-8")
    handler.setFormatter(logging.Formatter('{"msg": {"lib": %(message)s}}'))
    logger = logging.getLogger("library-writer")
    logger.handlers = [handler]
    logger.propagate = False
    start.wait()
    for i in range(count):
        logger.warning(str(i))
    handler.close()


def test_excludes_writers_running_the_library_python_path(tmp_path):
    logger = file_logger(tmp_path)
    logger.handlers = logger.handlers[:1]
    logger.handlers[0].maxBytes = 30_000
    ctx = multiprocessing.get_context("spawn")
    start = ctx.Event()
    count = 600
    other = ctx.Process(
        target=_library_writer, args=(logger.handlers[0].baseFilename, count, start)
    )
    other.start()
    start.set()
    for i in range(count):
        logger.info({"ours": i, "pad": "y" * 100})
    other.join(60)
    assert other.exitcode == 0
    docs = read_lines(tmp_path, logger.name)
    assert sorted(d["msg"]["ours"] for d in docs if "ours" in d["msg"]) == list(range(count))
    assert sorted(d["msg"]["lib"] for d in docs if "lib" in d["msg"]) == list(range(count))
    assert len([f for f in os.listdir(tmp_path) if f.startswith(logger.name + ".log.")]) > 2


def test_a_failed_write_is_reported_and_releases_the_locks(tmp_path, capsys):
    logger = file_logger(tmp_path)
    handler = logger.handlers[0]
    handler.stream.close()

    def refuse(mode=None):
        raise OSError("disk gone")

    handler.do_open = refuse
    logger.error("lost")
    assert "--- Logging error ---" in capsys.readouterr().err
    assert not handler.is_locked and handler.lock.acquire(blocking=False)
    handler.lock.release()
    thread_lock = getattr(handler, "_thread_lock", None)  # newer releases of the library
    if thread_lock is not None:
        assert thread_lock.acquire(blocking=False)
        thread_lock.release()
    del handler.do_open
    logger.error("kept")
    assert [d["msg"] for d in read_lines(tmp_path, logger.name)] == ["kept"]


def test_unencodable_text_is_written_as_the_library_writes_it(tmp_path):
    logger = file_logger(tmp_path)
    logger.handlers = logger.handlers[:1]
    handler = logger.handlers[0]
    record = logging.LogRecord(logger.name, logging.INFO, __file__, 1, "a\ud800b", None, None)
    line = handler.format(record)
    logger.handle(record)
    library = ConcurrentRotatingFileHandler(str(tmp_path / "lib.log"), "a", 0, 0, encoding="utf-8")
    library.setFormatter(handler.formatter)
    library.emit(record)
    library.close()
    ours = (tmp_path / (logger.name + ".log")).read_bytes()
    expected = (line.replace("\ud800", "") + "\n").encode()
    assert ours == (tmp_path / "lib.log").read_bytes() == expected


def test_standard_output_errors_go_to_handle_error(tmp_path, capsys):
    class Broken:
        def write(self, text):
            raise OSError("pipe closed")

        def flush(self):
            pass

    logger = file_logger(tmp_path, stdout=Broken())
    logger.info("still on file")
    assert "--- Logging error ---" in capsys.readouterr().err
    assert [d["msg"] for d in read_lines(tmp_path, logger.name)] == ["still on file"]


# Forking while threads run is the case under test (3.12+ warns about it).
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_forks_while_threads_log(tmp_path):
    # Standard output on a real file: its buffer lock is what a child could inherit held.
    with open(os.devnull, "w") as devnull:
        logger = file_logger(tmp_path, stdout=devnull)
        stop = threading.Event()

        def chatter(k):
            while not stop.is_set():
                logger.info({"thread": k})

        threads = [threading.Thread(target=chatter, args=(k,), daemon=True) for k in range(2)]
        for t in threads:
            t.start()
        forks, hung = 40, 0
        try:
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
                    time.sleep(0.002)
                logger.info({"parent": n})
        finally:
            stop.set()
            for t in threads:
                t.join()
    assert hung == 0
    msgs = [d["msg"] for d in read_lines(tmp_path, logger.name)]
    assert sorted(m["child"] for m in msgs if "child" in m) == list(range(forks))
    assert sorted(m["parent"] for m in msgs if "parent" in m) == list(range(forks))


EXIT_SCRIPT = textwrap.dedent(
    """
    import logging, sys, threading, time
    from kestrum.service.scribeline import service_init_logger
    logger = next(service_init_logger("exit", sys.argv[1], logging.INFO))
    logger.handlers = logger.handlers[:1]
    def chatter():
        while True:
            try:
                raise ValueError("boom")
            except ValueError:
                logger.exception({"at": "exit"})
    for _ in range(4):
        threading.Thread(target=chatter, daemon=True).start()
    time.sleep(0.05)
    if sys.argv[2] == "exit":
        sys.exit(0)
    """
)


def test_daemon_threads_logging_while_the_interpreter_exits(tmp_path):
    failures = []
    for run in range(8):
        directory = tmp_path / str(run)
        directory.mkdir()
        proc = subprocess.run(
            [sys.executable, "-c", EXIT_SCRIPT, str(directory), "exit" if run % 2 else "return"],
            capture_output=True,
            text=True,
            timeout=60,
            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
        )
        if proc.returncode != 0 or "Fatal Python error" in proc.stderr:
            failures.append((proc.returncode, proc.stderr[-500:]))
    assert failures == []


@pytest.mark.skipif(sys.version_info < (3, 12), reason="records carry taskName from 3.12")
def test_task_name_follows_process(tmp_path):
    logger = file_logger(tmp_path)
    logger.info("x")
    keys = list(read_lines(tmp_path, logger.name)[0])
    assert keys[keys.index("process") + 1] == "taskName"
