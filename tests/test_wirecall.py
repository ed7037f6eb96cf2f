"""ServiceHpptClient: real `requests` calls against a recording loopback server."""

from __future__ import annotations

import contextvars
import json
import logging
import os
import threading

import pytest
import requests
from peers.http_peer import HttpPeer, Reply

from kestrum.service.wirecall import ServiceHpptClient


class Capture(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.messages: list[str] = []
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(record.getMessage())
        self.records.append(record)


@pytest.fixture(scope="module")
def peer():
    with HttpPeer() as server:
        yield server


@pytest.fixture
def ctx():
    return contextvars.ContextVar("wirecall_test_g", default=None)


@pytest.fixture
def capture():
    logger = logging.getLogger("kestrum.test.wirecall")
    logger.setLevel(logging.DEBUG)
    handler = Capture()
    logger.addHandler(handler)
    yield logger, handler
    logger.removeHandler(handler)


@pytest.fixture
def client(peer, ctx, capture):
    peer.reset()
    return ServiceHpptClient({"address": peer.address}, ctx, capture[0])


def ok(data) -> Reply:
    return Reply(json={"code": 0, "msg": "", "data": data})


class TestConstruction:
    def test_attributes(self, peer, ctx, capture):
        info = {"address": peer.address, "other": 1}
        c = ServiceHpptClient(info, ctx, capture[0])
        assert c.url == "http://" + peer.address
        assert c._connect_info is info and c._contextvar_g is ctx and c._logger is capture[0]
        kw = ServiceHpptClient(connect_info={"address": 8080}, contextvar_g=None, logger=None)
        assert kw.url == "http://8080"

    def test_missing_address_fails_at_construction(self, ctx, capture):
        with pytest.raises(KeyError):
            ServiceHpptClient({"host": "x"}, ctx, capture[0])

    @pytest.mark.parametrize("info", [None, [("address", "x")]])
    def test_connect_info_must_be_a_dict(self, info, ctx, capture):
        with pytest.raises(TypeError) as e:
            ServiceHpptClient(info, ctx, capture[0])
        assert str(e.value) == (
            f"Argument 'connect_info' has incorrect type (expected dict, got {type(info).__name__})"
        )


class TestRequests:
    def test_get_for_no_or_empty_data(self, client, peer):
        peer.script(ok(1), ok(2))
        assert client.call("/v1/a") == 1
        assert client.call("v1/b", {}) == 2
        assert [(r.method, r.path, r.body) for r in peer.requests] == [
            ("GET", "/v1/a", b""),
            ("GET", "/v1/b", b""),
        ]

    def test_json_post(self, client, peer):
        peer.script(ok({"id": 9}))
        body = {"name": "zoë", "n": [1, 2.5, None]}
        assert client.call("/items", body) == {"id": 9}
        req = peer.requests[0]
        assert req.method == "POST" and req.path == "/items"
        assert req.json() == body
        assert req.header("Content-Type") == "application/json"

    def test_context_headers(self, client, peer, ctx):
        ctx.set({"vek_accesstoken": "tok-1", "vek_traceid": "trace-1", "vek_other": "x"})
        client.call("/h")
        req = peer.requests[0]
        assert req.header("Authorization") == "Bearer tok-1"
        assert req.header("vek-traceid") == "trace-1"

    def test_context_without_keys_sends_no_headers(self, client, peer, ctx):
        ctx.set({"vek_username": "u"})
        client.call("/h")
        assert not peer.requests[0].has_header("Authorization")
        assert not peer.requests[0].has_header("vek-traceid")

    @pytest.mark.parametrize("value", [None, ["vek_accesstoken"], "vek_accesstoken", 5])
    def test_no_request_context_is_an_empty_context(self, client, peer, ctx, value):
        ctx.set(value)
        assert client.call("/bg") is None
        assert len(peer.requests) == 1
        assert not peer.requests[0].has_header("Authorization")

    def test_unset_or_missing_variable(self, peer, capture):
        for variable in (contextvars.ContextVar("wirecall_no_default"), None):
            c = ServiceHpptClient({"address": peer.address}, variable, capture[0])
            peer.reset()
            assert c.call("/bg") is None
            assert not peer.requests[0].has_header("vek-traceid")

    def test_metadata_headers_in_order(self, client, peer, ctx):
        ctx.set({"vek_accesstoken": "tok", "vek_traceid": "t"})
        client.call("/m", None, [("Authorization", "x"), ("X-A", "1"), ("X-A", "2"), ["X-B", "b"]])
        req = peer.requests[0]
        assert req.header("Authorization") == "x"
        assert req.header("X-A") == "2"
        assert req.header("X-B") == "b"
        assert req.header("vek-traceid") == "t"

    def test_debug_line_per_attempt(self, client, peer, capture):
        peer.script(Reply(json={"code": 1, "msg": "no"}), ok("fine"))
        assert client.call("/dbg") == "fine"
        url = f"http://{peer.address}/dbg"
        assert capture[1].messages == ["http call " + url] * 2
        # the line points at the caller, not at the retry machinery
        assert {(r.filename, r.funcName) for r in capture[1].records} == {
            ("test_wirecall.py", "test_debug_line_per_attempt")
        }

    def test_duck_typed_logger_gets_the_line_alone(self, peer, ctx):
        class DuckLogger:
            def __init__(self) -> None:
                self.lines: list[str] = []

            def debug(self, msg):  # no keyword arguments at all
                self.lines.append(msg)

        peer.reset()
        duck = DuckLogger()
        peer.script(Reply(json={"code": 1, "msg": "no"}), ok("fine"))
        assert ServiceHpptClient({"address": peer.address}, ctx, duck).call("/duck") == "fine"
        assert duck.lines == [f"http call http://{peer.address}/duck"] * 2

    def test_loguru_logger_gets_the_line_alone(self, peer, ctx):
        # loguru would take a keyword as format input, and braces in the URL would then break it.
        from loguru import logger

        records = []
        sink = logger.add(lambda m: records.append(m.record), level="DEBUG", format="{message}")
        try:
            peer.reset()
            peer.script(ok([1]))
            assert ServiceHpptClient({"address": peer.address}, ctx, logger).call("/a{b}") == [1]
        finally:
            logger.remove(sink)
        assert [r["message"] for r in records] == [f"http call http://{peer.address}/a{{b}}"]
        assert "stacklevel" not in records[0]["extra"]

    def test_thread_contexts_are_separate(self, client, peer, ctx):
        def work(n: int) -> None:
            ctx.set({"vek_traceid": f"trace-{n}"})
            client.call(f"/t/{n}")

        threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        seen = {r.path: r.header("vek-traceid") for r in peer.requests}
        assert seen == {f"/t/{n}": f"trace-{n}" for n in range(6)}


class TestEnvelope:
    def test_text_zero_with_list(self, client, peer):
        peer.script(Reply(json={"code": "0", "data": [1, "a"]}))
        assert client.call("/e") == [1, "a"]

    def test_number_zero_with_null(self, client, peer):
        peer.script(Reply(json={"code": 0, "data": None}))
        assert client.call("/e") is None

    def test_status_is_not_examined(self, client, peer):
        peer.script(Reply(status=500, json={"code": 0, "data": "served"}))
        assert client.call("/e") == "served"

    def test_failure_retried_once_then_raised(self, client, peer, capsys):
        envelope = {"code": 1, "msg": "denied", "data": None}
        peer.script(Reply(json=envelope), Reply(json=envelope), ok("never"))
        with pytest.raises(Exception) as e:
            client.call("/e")
        assert type(e.value) is Exception and e.value.args == ("denied",)
        assert len(peer.requests) == 2
        out = capsys.readouterr().out.splitlines()
        assert out == ["error happen in http call with rst=" + str(envelope)] * 2

    def test_missing_code_is_a_failure(self, client, peer, capsys):
        peer.script(Reply(json={"msg": {"why": 1}}), Reply(json={"msg": {"why": 2}}))
        with pytest.raises(Exception) as e:
            client.call("/e")
        assert e.value.args == ({"why": 2},)  # the last attempt's message
        assert len(capsys.readouterr().out.splitlines()) == 2

    def test_other_codes_are_failures(self, client, peer, capsys):
        for code in ("00", "ok", None, 1.5):
            peer.reset()
            peer.script(*[Reply(json={"code": code, "msg": str(code)})] * 2)
            with pytest.raises(Exception) as e:
                client.call("/e")
            assert e.value.args == (str(code),)
        capsys.readouterr()

    def test_missing_msg_or_data(self, client, peer, capsys):
        peer.script(*[Reply(json={"code": 2})] * 2)
        with pytest.raises(KeyError):
            client.call("/e")
        peer.script(*[Reply(json={"code": 0})] * 2)
        with pytest.raises(KeyError):
            client.call("/e")
        assert len(peer.requests) == 4
        capsys.readouterr()

    def test_body_not_json(self, client, peer):
        peer.script(Reply(body="<html>oops</html>"), Reply(body=""))
        with pytest.raises(json.JSONDecodeError):
            client.call("/e")
        assert len(peer.requests) == 2

    def test_second_attempt_can_succeed(self, client, peer):
        peer.script(Reply(body="not json"), ok({"second": True}))
        assert client.call("/e") == {"second": True}
        assert len(peer.requests) == 2

    def test_network_failures(self, client, peer):
        peer.script(Reply(drop=True), Reply(drop=True))
        with pytest.raises(requests.ConnectionError):
            client.call("/drop")
        assert len(peer.requests) == 2

    def test_timeout_is_passed(self, client, peer):
        peer.script(Reply(delay=1.3), Reply(delay=1.3))
        with pytest.raises(requests.Timeout):
            client.call("/slow", timeout=1)
        assert len(peer.requests) == 2

    def test_unreachable_service(self, ctx, capture):
        with HttpPeer() as gone:
            address = gone.address
        c = ServiceHpptClient({"address": address}, ctx, capture[0])
        with pytest.raises(requests.ConnectionError):
            c.call("/x", timeout=2)
        assert len(capture[1].messages) == 2


class TestArguments:
    @pytest.mark.parametrize(
        "kwargs, name, expected, got",
        [
            ({"timeout": 2.5}, "timeout", "int", "float"),
            ({"timeout": None}, "timeout", "int", "NoneType"),
            ({"timeout": True}, "timeout", "int", "bool"),
            ({"data": [1]}, "data", "dict", "list"),
            ({"metadata": (("a", "b"),)}, "metadata", "list", "tuple"),
        ],
    )
    def test_types_checked_before_sending(self, client, peer, kwargs, name, expected, got):
        with pytest.raises(TypeError) as e:
            client.call("/x", **kwargs)
        assert str(e.value) == (
            f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
        )
        with pytest.raises(TypeError, match="Argument 'name' has incorrect type"):
            client.call(b"/x")
        assert peer.requests == []

    def test_call_errors_read_like_python(self, client):
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'name'"):
            client.call()
        with pytest.raises(TypeError, match=r"unexpected keyword argument 'json'"):
            client.call("/x", json={})

    def test_bad_context_or_metadata_sends_nothing(self, client, peer, ctx):
        ctx.set({"vek_accesstoken": None})
        with pytest.raises(TypeError):
            client.call("/x")
        ctx.set({})
        with pytest.raises(IndexError):
            client.call("/x", metadata=[("only-name",)])
        with pytest.raises(TypeError):
            client.call("/x", metadata=[5])
        assert peer.requests == []


@pytest.fixture(scope="module")
def peer11():
    with HttpPeer(keep_alive=True) as server:
        yield server


class TestConnections:
    """Calls of one thread share a session: connections to a peer are reused, across
    clients; threads and forked children never share one."""

    def test_reused_across_calls_and_clients(self, peer11, ctx, capture):
        peer11.reset()
        first = ServiceHpptClient({"address": peer11.address}, ctx, capture[0])
        second = ServiceHpptClient({"address": peer11.address}, ctx, capture[0])
        for _ in range(3):
            first.call("/a")
            second.call("/b", {"x": 1})
        assert len(peer11.requests) == 6
        assert len({r.client for r in peer11.requests}) == 1

    def test_threads_use_their_own_connections(self, peer11, ctx, capture):
        peer11.reset()
        client = ServiceHpptClient({"address": peer11.address}, ctx, capture[0])
        peer11.default = Reply(json={"code": 0, "data": None}, delay=0.2)
        try:
            threads = [threading.Thread(target=client.call, args=(f"/t{n}",)) for n in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            peer11.default = Reply(json={"code": 0, "msg": "ok", "data": None})
        assert len({r.client for r in peer11.requests}) == 4

    def test_no_cookie_is_kept(self, peer11, client, ctx, capture):
        peer11.reset()
        c = ServiceHpptClient({"address": peer11.address}, ctx, capture[0])
        peer11.script(Reply(json={"code": 0, "data": 1}, headers={"Set-Cookie": "sid=abc; Path=/"}))
        c.call("/login")
        c.call("/next")
        assert not peer11.requests[1].has_header("Cookie")

    def test_forked_child_opens_its_own(self, peer11, ctx, capture):
        peer11.reset()
        client = ServiceHpptClient({"address": peer11.address}, ctx, capture[0])
        client.call("/parent")
        pid = os.fork()
        if pid == 0:  # pragma: no cover - the child reports through its exit status
            try:
                client.call("/child")
                os._exit(0)
            except BaseException:
                os._exit(1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        client.call("/parent-again")
        by_path = {r.path: r.client for r in peer11.requests}
        assert by_path["/child"] != by_path["/parent"]
        assert by_path["/parent-again"] == by_path["/parent"]

    def test_patched_requests_functions_are_called(self, peer11, client, monkeypatch):
        calls = []
        real_get, real_post = requests.get, requests.post

        def get(url, **kwargs):
            calls.append(("get", url, sorted(kwargs)))
            return real_get(url, **kwargs)

        def post(url, **kwargs):
            calls.append(("post", url, sorted(kwargs)))
            return real_post(url, **kwargs)

        monkeypatch.setattr(requests, "get", get)
        monkeypatch.setattr(requests, "post", post)
        client.call("/g")
        client.call("/p", {"a": 1})
        base = client.url
        assert calls == [
            ("get", base + "/g", ["headers", "timeout"]),
            ("post", base + "/p", ["headers", "json", "timeout"]),
        ]
