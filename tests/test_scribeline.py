"""JSON logging: service_init_logger and the formatter class it builds."""

from __future__ import annotations

import contextlib
import contextvars
import copy
import datetime
import gc
import inspect
import io
import json
import logging
import multiprocessing
import os
import re
import sys
import threading
import time
import uuid
import weakref

import pytest
from dependency_injector import containers, providers
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from loguru import logger as loguru_logger

from kestrum.service import scribeline
from kestrum.service.scribeline import service_init_logger

MODULE = "kestrum.service.scribeline"
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
DEFAULT_COLUMNS = ["myapp", "myip", "username", "path", "traceid"]
TIME_RE = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}")
TIME_FORMAT = "%Y-%m-%dT%H:%M:%S.%f"


# -- a plain-Python rendition of the documented line, to compare against --------------------------


def reference_line(record, contextvar, ctx_cols, msg_cols, time_text):
    extra = {k: str(v) for k, v in record.__dict__.items() if k not in REMOVED}
    extra["time"] = time_text
    if contextvar is not None and ctx_cols:
        for name in ctx_cols:
            extra[name] = ""
            data = contextvar.get()
            key = "vek_" + name
            if data and key in data and data[key]:
                extra[name] = data[key]
    if record.exc_info:
        extra["exc_info"] = logging.Formatter().formatException(record.exc_info)
    msg = copy.deepcopy(record.msg)
    if isinstance(msg, dict):
        for k in msg:
            if k in msg_cols:
                extra[k] = msg[k]
        for k in msg_cols:
            if k in msg:
                del msg[k]
    extra["msg"] = msg
    return json.dumps(extra, ensure_ascii=False)


class Captured(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def loguru_messages():
    messages: list[str] = []
    sink = loguru_logger.add(lambda m: messages.append(m.record["message"]), format="{message}")
    yield messages
    loguru_logger.remove(sink)


def fresh_name():
    return "t-" + uuid.uuid4().hex[:12]


def make_logger(name=None, **kwargs):
    """A logger with the JSON handlers, plus a handler that keeps the records."""
    stream = io.StringIO()
    with contextlib.redirect_stdout(stream):  # the stream handler takes sys.stdout at set-up
        logger = next(service_init_logger(name or fresh_name(), **kwargs))
    captured = Captured()
    logger.addHandler(captured)
    logger.propagate = False
    return logger, stream, captured


def lines(stream):
    return [json.loads(line) for line in stream.getvalue().splitlines()]


def formatter_of(logger):
    return logger.handlers[0].formatter


# -- the generator-function contract ---------------------------------------------------------------


class TestGeneratorContract:
    def test_is_a_generator_function_with_the_documented_signature(self):
        assert inspect.isgeneratorfunction(service_init_logger)
        params = inspect.signature(service_init_logger).parameters
        assert list(params) == [
            "project_name",
            "path_log",
            "level",
            "contextvar_g",
            "log_column_contextvar",
            "log_column_msg",
        ]
        assert params["level"].default == logging.DEBUG

    def test_call_does_nothing_until_first_resumption(self, loguru_messages):
        name = fresh_name()
        gen = service_init_logger(name)
        assert inspect.isgenerator(gen)
        assert loguru_messages == [] and logging.getLogger(name).handlers == []
        logger = next(gen)
        assert isinstance(logger, logging.Logger) and logger.name == name
        with pytest.raises(StopIteration):
            next(gen)
        assert len(logger.handlers) == 1  # still attached after the generator ended

    @pytest.mark.parametrize(
        "param", ["project_name", "path_log", "log_column_contextvar", "log_column_msg"]
    )
    @pytest.mark.parametrize("value", [["a"], b"a", 3, type("S", (str,), {})("a")])
    def test_text_parameters_take_exactly_str_or_none(self, param, value):
        with pytest.raises(TypeError) as err:
            service_init_logger(**{param: value})
        assert str(err.value) == (
            f"Argument '{param}' has incorrect type (expected str, got {type(value).__name__})"
        )

    def test_level_and_contextvar_are_taken_as_they_come(self):
        gen = service_init_logger(None, None, "not-a-level", object())
        assert inspect.isgenerator(gen)

    def test_argument_errors_match_a_def_of_the_same_signature(self):
        def service_init_logger_ref(  # the same parameters, as a def
            project_name=None,
            path_log=None,
            level=10,
            contextvar_g=None,
            log_column_contextvar=None,
            log_column_msg=None,
        ):
            yield None

        calls = [
            ((1, 2, 3, 4, 5, 6, 7), {"project_name": 1}),
            ((1, 2, 3, 4, 5, 6, 7), {"zz": 1}),
            ((1,) * 7, {}),
            (("a",), {"project_name": "b", "bogus": 1}),
        ]
        for args, kwargs in calls:
            with pytest.raises(TypeError) as ours:
                service_init_logger(*args, **kwargs)
            with pytest.raises(TypeError) as theirs:
                service_init_logger_ref(*args, **kwargs)
            reference = str(theirs.value).split("service_init_logger_ref", 1)[1]
            assert str(ours.value) == "service_init_logger" + reference

    def test_argument_errors_read_like_a_python_function(self):
        with pytest.raises(
            TypeError,
            match=r"^service_init_logger\(\) takes from 0 to 6 positional "
            r"arguments but 7 were given$",
        ):
            service_init_logger(1, 2, 3, 4, 5, 6, 7)
        with pytest.raises(TypeError, match="got multiple values for argument 'project_name'"):
            service_init_logger("a", project_name="b")
        with pytest.raises(TypeError, match="got an unexpected keyword argument 'bogus'"):
            service_init_logger(bogus=1)


# -- set-up: messages, handlers, names ---------------------------------------------------------


class TestSetup:
    def test_messages_and_handlers_with_a_file(self, tmp_path, loguru_messages):
        name = fresh_name()
        logger, _, _ = make_logger(name, path_log=str(tmp_path), level=logging.INFO)
        path = os.path.join(str(tmp_path), name + ".log")
        assert loguru_messages == [
            f"create my logger {name} at {tmp_path}",
            "log column contextvar: ['myapp', 'myip', 'username', 'path', 'traceid']",
            "log_column msg       : []",
            f"log filename {path}",
        ]
        file_handler, stream_handler = logger.handlers[:2]
        assert type(file_handler).__name__ == "ConcurrentRotatingFileHandler"
        assert file_handler.maxBytes == 104857600 and file_handler.backupCount == 20
        assert isinstance(stream_handler, logging.StreamHandler)
        assert file_handler.formatter is stream_handler.formatter
        assert file_handler.level == stream_handler.level == logging.NOTSET
        assert logger.level == logging.INFO
        logger.info("to the file")
        with open(path, encoding="utf-8") as fh:
            assert json.loads(fh.read())["msg"] == "to the file"

    @pytest.mark.parametrize("path_log", [None, ""])
    def test_without_a_directory_only_stdout(self, path_log, loguru_messages):
        logger, stream, _ = make_logger(path_log=path_log)
        assert [type(h) for h in logger.handlers[:-1]] == [logging.StreamHandler]
        assert not any(m.startswith("log filename") for m in loguru_messages)
        logger.debug("hi")
        assert lines(stream)[0]["msg"] == "hi"

    def test_undecodable_characters_in_names_and_paths(self, tmp_path, loguru_messages):
        directory = tmp_path / "logs\udcff"
        directory.mkdir()
        name = fresh_name() + "\udcfe"
        logger, _, _ = make_logger(name, path_log=str(directory))
        assert loguru_messages[0] == f"create my logger {name} at {directory}"
        assert loguru_messages[-1] == f"log filename {directory / (name + '.log')}"
        logger.info("stored")
        assert (directory / (name + ".log")).read_text(encoding="utf-8").count("stored") == 1

    def test_no_project_name_names_the_module_logger_and_none_log(self, tmp_path):
        logger = next(service_init_logger(None, str(tmp_path)))
        try:
            assert logger.name == MODULE
            assert (tmp_path / "None.log").exists()
        finally:
            for h in list(logger.handlers):
                logger.removeHandler(h)
                h.close()

    def test_missing_directory_fails_at_first_resumption(self, tmp_path, loguru_messages):
        name = fresh_name()
        missing = tmp_path / "no" / "such"
        gen = service_init_logger(name, str(missing), level=logging.ERROR)
        with pytest.raises(FileNotFoundError):
            next(gen)
        assert loguru_messages[-1] == f"log filename {missing / (name + '.log')}"
        logger = logging.getLogger(name)
        assert logger.handlers == [] and logger.level == logging.NOTSET

    def test_a_file_in_place_of_the_directory_fails(self, tmp_path):
        (tmp_path / "plain").write_text("x")
        with pytest.raises(OSError):
            next(service_init_logger(fresh_name(), str(tmp_path / "plain")))

    @pytest.mark.skipif(os.geteuid() == 0, reason="root writes anywhere")
    def test_unwritable_directory_fails(self, tmp_path):
        tmp_path.chmod(0o500)
        try:
            with pytest.raises(PermissionError):
                next(service_init_logger(fresh_name(), str(tmp_path)))
        finally:
            tmp_path.chmod(0o700)

    def test_invalid_level_fails_after_handlers_are_added(self):
        name = fresh_name()
        with pytest.raises((ValueError, TypeError)):
            next(service_init_logger(name, None, "NOPE"))
        assert len(logging.getLogger(name).handlers) == 1

    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            (" traceid ,  username ", ["traceid", "username"]),
            ("", [""]),
            ("a,,b", ["a", "", "b"]),
            (None, DEFAULT_COLUMNS),
        ],
    )
    def test_context_columns_are_split_and_stripped(self, text, expected, loguru_messages):
        var = contextvars.ContextVar("g", default=None)
        logger, stream, _ = make_logger(contextvar_g=var, log_column_contextvar=text)
        assert loguru_messages[1] == f"log column contextvar: {expected}"
        logger.info("x")
        keys = list(lines(stream)[0])
        assert keys[keys.index("time") + 1 :] == list(dict.fromkeys(expected))

    def test_two_initialisations_write_twice(self):
        name = fresh_name()
        logger, stream, _ = make_logger(name)
        make_logger(name)
        logger.info("twice")
        assert len(logging.getLogger(name).handlers) == 4


# -- the document ------------------------------------------------------------------------------


class TestDocument:
    def test_key_order_and_text_values(self):
        var = contextvars.ContextVar("g", default=None)
        logger, stream, _ = make_logger(contextvar_g=var)
        var.set({"vek_traceid": "tr-1"})
        logger.info("hello %s", "world")
        doc = lines(stream)[0]
        expected = ["name", "msg", "levelname", "filename", "module", "lineno", "funcName"]
        expected += ["thread", "process"] + (["taskName"] if sys.version_info >= (3, 12) else [])
        assert list(doc)[: len(expected) + 1] == expected + ["time"]
        assert doc["msg"] == "hello %s"  # arguments are never merged
        assert doc["levelname"] == "INFO" and doc["filename"] == "test_scribeline.py"
        assert doc["lineno"].isdigit() and doc["thread"] == str(threading.get_ident())
        assert doc["process"] == str(os.getpid())
        assert TIME_RE.fullmatch(doc["time"])
        stamped = datetime.datetime.strptime(doc["time"], "%Y-%m-%dT%H:%M:%S.%f")
        assert abs((datetime.datetime.now() - stamped).total_seconds()) < 5
        assert [doc[c] for c in DEFAULT_COLUMNS] == ["", "", "", "", "tr-1"]
        assert not {"args", "created", "exc_text", "stack_info", "pathname"} & set(doc)

    def test_dictionary_message_lifts_listed_keys_and_leaves_the_caller_alone(self):
        logger, stream, _ = make_logger(
            contextvar_g=contextvars.ContextVar("g", default=None), log_column_msg="user"
        )
        message = {"order": 5, "user": "ann"}
        logger.info(message)
        doc = lines(stream)[0]
        assert doc["msg"] == {"order": 5} and doc["user"] == "ann"
        assert list(doc)[-1] == "user" and list(doc).index("traceid") < list(doc).index("user")
        assert message == {"order": 5, "user": "ann"}

    def test_lifting_an_existing_key_replaces_it_in_place(self):
        logger, stream, _ = make_logger(log_column_msg="name,msg")
        logger.info({"name": "over", "msg": "lost", "x": 1})
        doc = lines(stream)[0]
        assert list(doc)[:2] == ["name", "msg"]
        assert doc["name"] == "over" and doc["msg"] == {"x": 1}

    def test_context_edge_values(self):
        var = contextvars.ContextVar("g", default=None)
        logger, stream, _ = make_logger(contextvar_g=var)
        logger.info("no context")
        var.set(
            {
                "vek_myapp": 0,
                "vek_myip": "",
                "vek_username": [1, 2],
                "vek_path": 3.5,
                "vek_traceid": "中文",
            }
        )
        logger.info("context")
        without, with_ctx = lines(stream)
        assert [without[c] for c in DEFAULT_COLUMNS] == [""] * 5
        assert [with_ctx[c] for c in DEFAULT_COLUMNS] == ["", "", [1, 2], 3.5, "中文"]
        assert "中文" in stream.getvalue()  # written as is, not as \u escapes

    def test_no_context_variable_means_no_columns(self):
        logger, stream, _ = make_logger()
        logger.info("x")
        assert not set(DEFAULT_COLUMNS) & set(lines(stream)[0])

    @pytest.mark.parametrize("value", ["text", [1, 2], 42, object()])
    def test_a_context_that_is_not_a_mapping_counts_as_empty(self, value):
        var = contextvars.ContextVar("g", default=None)
        logger, stream, _ = make_logger(contextvar_g=var)
        var.set(value)
        logger.info("x")
        assert [lines(stream)[0][c] for c in DEFAULT_COLUMNS] == [""] * 5

    def test_a_variable_without_value_or_default_counts_as_empty(self):
        logger, stream, _ = make_logger(contextvar_g=contextvars.ContextVar("nodefault"))
        logger.info("x")
        assert [lines(stream)[0][c] for c in DEFAULT_COLUMNS] == [""] * 5

    def test_exception_text_and_extra_attributes(self):
        logger, stream, _ = make_logger()
        try:
            raise ValueError("bad\nthing")
        except ValueError:
            logger.exception("failed", extra={"order_id": 7, "who": "ann"})
        line = stream.getvalue().splitlines()
        assert len(line) == 1
        doc = json.loads(line[0])
        keys = list(doc)
        assert keys[keys.index("process") + 1 : keys.index("time")][-2:] == ["order_id", "who"]
        assert doc["order_id"] == "7"
        assert doc["exc_info"].startswith("Traceback (most recent call last):")
        assert "ValueError: bad\nthing" in doc["exc_info"]
        assert "exc_text" not in doc and "stack_info" not in doc

    def test_unencodable_values_are_written_as_text(self):
        var = contextvars.ContextVar("g", default=None)
        logger, stream, _ = make_logger(contextvar_g=var)
        var.set({"vek_traceid": {1, 2}})
        marker = type("Marker", (), {"__str__": lambda self: "marker!"})()
        logger.info(marker)
        doc = lines(stream)[0]
        assert doc["msg"] == "marker!" and doc["traceid"] == str({1, 2})

    def test_message_that_cannot_be_deep_copied(self):
        lock = threading.Lock()
        logger, stream, _ = make_logger(log_column_msg="user")
        message = {"user": "ann", "lock": lock}
        logger.info(message)
        doc = lines(stream)[0]
        assert doc["user"] == "ann" and "lock" in doc["msg"]
        assert message == {"user": "ann", "lock": lock}

    def test_a_lifted_key_that_is_not_text_is_written_as_text(self):
        class Key(list):  # equal to the column name "user", yet not text
            def __hash__(self):
                return hash("user")

            def __eq__(self, other):
                return other == "user" or list.__eq__(self, other)

        logger, stream, _ = make_logger(log_column_msg="user")
        logger.info({Key([1, 2]): "ann", "x": 1})
        doc = lines(stream)[0]
        assert doc["[1, 2]"] == "ann" and doc["msg"] == {"x": 1}

    def test_self_referencing_message_is_not_lost(self):
        logger, stream, _ = make_logger()
        loop = [1]
        loop.append(loop)
        logger.info(loop)
        assert lines(stream)[0]["msg"] == "[1, [...]]"

    def test_dict_subclass_whose_own_methods_fail_still_gets_its_line(self):
        class Hostile(dict):
            def __iter__(self):
                raise RuntimeError("no iteration")

            def __contains__(self, key):
                raise RuntimeError("no membership")

        logger, stream, _ = make_logger(log_column_msg="user")
        logger.info(Hostile(user="ann", order=5))
        doc = lines(stream)[0]
        assert doc["user"] == "ann" and doc["msg"] == {"order": 5}


class TestTime:
    def test_a_replaced_datetime_class_is_asked(self, monkeypatch):
        frozen = datetime.datetime(2031, 2, 3, 4, 5, 6, 7)

        class Frozen(datetime.datetime):
            @classmethod
            def now(cls, tz=None):
                return frozen

        logger, stream, _ = make_logger()
        monkeypatch.setattr(datetime, "datetime", Frozen)
        logger.info("x")
        assert lines(stream)[0]["time"] == "2031-02-03T04:05:06.000007"
        assert formatter_of(logger).set_format_time({}) == "2031-02-03T04:05:06.000007"
        monkeypatch.undo()
        logger.info("y")
        assert lines(stream)[1]["time"].startswith(str(datetime.date.today().year))

    def test_a_time_zone_change_shows_on_the_very_next_line(self, monkeypatch):
        logger, stream, _ = make_logger()
        stamps = []
        try:
            for zone in ("AAA+5", "BBB-9"):  # UTC-5, then UTC+9
                monkeypatch.setenv("TZ", zone)
                time.tzset()
                logger.info("x")
                stamps.append(datetime.datetime.strptime(lines(stream)[-1]["time"], TIME_FORMAT))
                expected = datetime.datetime.now()
                assert abs((stamps[-1] - expected).total_seconds()) < 2
        finally:
            monkeypatch.undo()
            time.tzset()
        assert abs((stamps[1] - stamps[0]).total_seconds() - 14 * 3600) < 2


class TestOneLinePerRecord:
    def test_both_handlers_get_the_same_line_and_one_traceback(self, tmp_path, monkeypatch):
        logger, stream, captured = make_logger(path_log=str(tmp_path))
        cls = type(formatter_of(logger))
        calls = []

        def format_exception(self, exc_info):
            calls.append(exc_info)
            return logging.Formatter.formatException(self, exc_info)

        monkeypatch.setattr(cls, "formatException", format_exception, raising=False)
        try:
            raise KeyError("gone")
        except KeyError:
            logger.exception({"order": 1})
        file_line = (tmp_path / (logger.name + ".log")).read_text(encoding="utf-8")
        assert file_line == stream.getvalue()
        assert len(calls) == 1 and "KeyError: 'gone'" in json.loads(file_line)["exc_info"]
        assert captured.records[0].exc_text == json.loads(file_line)["exc_info"]

    @pytest.mark.parametrize(
        "change",
        [
            lambda record, var: setattr(record, "msg", "changed"),
            lambda record, var: record.msg.update(order=2),
            lambda record, var: record.msg.update(order=1.0),  # equal, yet written otherwise
            lambda record, var: var.set({"vek_traceid": "other"}),
            lambda record, var: setattr(record, "extra_key", 1),
        ],
    )
    def test_a_record_changed_between_handlers_is_formatted_again(self, tmp_path, change):
        var = contextvars.ContextVar("g", default=None)
        var.set({"vek_traceid": "t1"})
        logger, stream, captured = make_logger(path_log=str(tmp_path), contextvar_g=var)

        class Change(logging.Filter):
            def filter(self, record):
                change(record, var)
                return True

        logger.handlers[1].addFilter(Change())
        message = {"order": 1}
        logger.info(message)
        on_file = json.loads((tmp_path / (logger.name + ".log")).read_text(encoding="utf-8"))
        on_stdout = lines(stream)[0]
        assert on_file != on_stdout
        record = captured.records[0]
        expected = reference_line(record, var, DEFAULT_COLUMNS, [], on_stdout["time"])
        assert stream.getvalue().rstrip("\n") == expected


# -- the formatter class -------------------------------------------------------------------------


class TestFormatterClass:
    def test_shape(self):
        logger, _, captured = make_logger()
        fmt = formatter_of(logger)
        cls = type(fmt)
        assert cls.__name__ == "_JSONFormatter" and cls.__module__ == MODULE
        assert cls.__qualname__ == "service_init_logger.<locals>._JSONFormatter"
        assert cls.__mro__[1] is logging.Formatter
        assert cls.remove_attr == REMOVED
        fmt.set_contextvar_g("g")
        assert fmt.contextvar_g == "g"
        logger.info("x")
        record = captured.records[0]
        built = cls.build_record(record)
        assert built == {k: str(v) for k, v in record.__dict__.items() if k not in REMOVED}
        extra = {}
        assert fmt.set_format_time(extra) == extra["time"] and TIME_RE.fullmatch(extra["time"])

    def test_member_argument_errors_read_like_python(self):
        logger, _, captured = make_logger()
        fmt = formatter_of(logger)
        logger.info("x")
        record = captured.records[0]
        prefix = r"service_init_logger\.<locals>\._JSONFormatter\."
        with pytest.raises(
            TypeError, match=prefix + r"format\(\) missing 1 required positional argument: 'record'"
        ):
            fmt.format()
        with pytest.raises(TypeError, match="got an unexpected keyword argument 'rec'"):
            fmt.format(rec=record)
        assert json.loads(fmt.format(record=record))["msg"] == "x"
        with pytest.raises(TypeError, match=prefix + r"set_contextvar_g\(\) missing 1 required"):
            fmt.set_contextvar_g()
        with pytest.raises(
            TypeError, match=r"build_record\(\) takes 2 positional arguments but 3 were given"
        ):
            type(fmt).build_record(record, 2)
        assert type(fmt).build_record(record=record)["msg"] == "x"
        assert TIME_RE.fullmatch(fmt.set_format_time(extra={}))

    def test_module_names_are_looked_up_at_call_time(self, monkeypatch):
        seen = []

        class FakeLoguru:
            def info(self, text):
                seen.append(text)

        monkeypatch.setattr(scribeline, "loguru_logger", FakeLoguru())
        make_logger()
        assert len(seen) == 3 and seen[0].startswith("create my logger ")

    def test_each_call_defines_its_own_class(self):
        a, _, _ = make_logger()
        b, _, _ = make_logger()
        assert type(formatter_of(a)) is not type(formatter_of(b))

    def test_remove_attr_is_read_from_the_class(self):
        logger, stream, _ = make_logger()
        cls = type(formatter_of(logger))
        cls.remove_attr.append("funcName")
        logger.info("x")
        cls.remove_attr = ["args"]
        logger.info("y")
        first, second = lines(stream)
        assert "funcName" not in first and "pathname" in second and "levelno" in second

    def test_class_is_collected_once_its_logger_lets_go(self):
        logger, _, _ = make_logger()
        ref = weakref.ref(type(formatter_of(logger)))
        for h in list(logger.handlers):
            logger.removeHandler(h)
        del h
        gc.collect()
        assert ref() is None


# -- byte identity with the plain rendition --------------------------------------------------------

json_scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.text()
)
json_values = st.recursive(
    json_scalars,
    lambda inner: (
        st.lists(inner, max_size=4)
        | st.tuples(inner, inner)
        | st.dictionaries(st.text(max_size=6), inner, max_size=4)
    ),
    max_leaves=12,
)
column_names = st.sampled_from(["user", "order", "name", "msg", "k", ""])
safe_extra_keys = st.text(alphabet="abcdefghij_", min_size=1, max_size=6).filter(
    lambda k: (
        k not in logging.LogRecord("n", 0, "p", 0, "m", None, None).__dict__
        and k not in ("message", "asctime")
    )
)


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(
    msg=json_values | st.dictionaries(column_names, json_values, max_size=4),
    context=st.none()
    | st.dictionaries(
        st.sampled_from(["vek_" + c for c in DEFAULT_COLUMNS] + ["x"]), json_values, max_size=5
    ),
    extras=st.dictionaries(safe_extra_keys, json_values, max_size=3),
    msg_cols=st.lists(column_names, max_size=3),
)
def test_lines_match_the_plain_rendition(msg, context, extras, msg_cols):
    var = contextvars.ContextVar("g", default=None)
    logger, stream, captured = make_logger(contextvar_g=var, log_column_msg=",".join(msg_cols))
    var.set(context)
    logger.info(msg, extra=extras)
    line = stream.getvalue().rstrip("\n")
    time_text = json.loads(line)["time"]
    expected = reference_line(
        captured.records[0], var, DEFAULT_COLUMNS, msg_cols or [""], time_text
    )
    assert line == expected
    for h in list(logger.handlers):
        logger.removeHandler(h)


@settings(max_examples=300, deadline=None)
@given(
    value=json_values
    | st.dictionaries(st.integers() | st.booleans() | st.none() | st.floats(), json_scalars)
)
def test_encoder_matches_json_dumps(value):
    assert scribeline._json_dumps(value) == json.dumps(value, ensure_ascii=False)


def test_encoder_escapes_like_json_dumps():
    tricky = (
        "".join(chr(c) for c in range(0, 0x80)) + "\u2028\u2029\ud800\udfff\U0001f600中" + '"\\'
    )
    for value in (tricky, {tricky: [tricky]}, 10**40, -(2**63), 2**63, 1e308, 5e-324, -0.0, 1e16):
        assert scribeline._json_dumps(value) == json.dumps(value, ensure_ascii=False)


# -- container use and several processes ------------------------------------------------------


def test_driven_by_a_resource_provider(capsys):
    name = fresh_name()

    class Holder(containers.DeclarativeContainer):
        contextvar_g = providers.Resource(contextvars.ContextVar, "contextvar_g", default=None)
        logger = providers.Resource(
            service_init_logger,
            project_name=name,
            path_log=None,
            level=logging.INFO,
            contextvar_g=contextvar_g,
            log_column_contextvar="traceid",
            log_column_msg="",
        )

    container = Holder()
    container.init_resources()
    logger = container.logger()
    assert isinstance(logger, logging.Logger) and logger.name == name
    assert container.logger() is logger
    container.contextvar_g().set({"vek_traceid": "abc"})
    logger.info("through the container")
    logger.debug("below the level")
    container.shutdown_resources()
    logger.info("after shutdown")
    out = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert [(d["msg"], d["traceid"]) for d in out] == [
        ("through the container", "abc"),
        ("after shutdown", "abc"),
    ]


def test_rotation_keeps_twenty_backups(tmp_path):
    name = fresh_name()
    logger, _, _ = make_logger(name, path_log=str(tmp_path))
    logger.handlers[0].maxBytes = 400
    for i in range(200):
        logger.info(f"line {i}")
    names = sorted(os.listdir(tmp_path))
    backups = [n for n in names if n.startswith(name + ".log.")]
    assert sorted(backups, key=lambda n: int(n.rsplit(".", 1)[1])) == [
        f"{name}.log.{i}" for i in range(1, 21)
    ]


def _child_writes(logger_name, child, count):
    logger = logging.getLogger(logger_name)
    for i in range(count):
        logger.info({"child": child, "seq": i, "pad": "x" * 200})
    logging.shutdown()


def test_forked_processes_share_one_file_without_losing_lines(tmp_path):
    name = fresh_name()
    logger, _, _ = make_logger(name, path_log=str(tmp_path))
    logger.handlers = logger.handlers[:1]  # file only: keep the test's output quiet
    logger.handlers[0].maxBytes = 40_000
    logger.info("before the fork")  # the parent has used the handler before forking
    ctx = multiprocessing.get_context("fork")
    children, per_child = 4, 250
    procs = [ctx.Process(target=_child_writes, args=(name, c, per_child)) for c in range(children)]
    for p in procs:
        p.start()
    for p in procs:
        p.join(60)
        assert p.exitcode == 0
    seen = []
    for fname in os.listdir(tmp_path):
        if fname.startswith(name + ".log"):
            with open(tmp_path / fname, encoding="utf-8") as fh:
                seen += [json.loads(line) for line in fh]  # a torn line would not parse
    assert len([f for f in os.listdir(tmp_path) if f.startswith(name + ".log.")]) > 3
    got = sorted((d["msg"]["child"], d["msg"]["seq"]) for d in seen if isinstance(d["msg"], dict))
    assert got == [(c, i) for c in range(children) for i in range(per_child)]
    assert sum(d["msg"] == "before the fork" for d in seen) == 1
