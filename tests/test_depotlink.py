"""ServiceCdn against the real oss2 SDK talking HTTP to a loopback object-storage server."""

from __future__ import annotations

import base64
import hashlib
import hmac
import logging
import mimetypes
import threading
import time
import uuid
from pathlib import Path
from urllib.parse import parse_qsl, unquote, urlsplit

import oss2
import pytest
import requests
from peers.oss_server import OssServer

import kestrum
from kestrum.service import depotlink
from kestrum.service.depotlink import ServiceCdn

AK, SECRET = "depotlink-ak", "depotlink-secret"
BUCKET = "depotlink-test"
PROXY_VARS = ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy")


@pytest.fixture(scope="module", autouse=True)
def _direct_loopback():
    # The SDK goes through requests, which honours proxy variables: talk to loopback directly.
    with pytest.MonkeyPatch.context() as mp:
        for var in PROXY_VARS:
            mp.delenv(var, raising=False)
        mp.setenv("NO_PROXY", "127.0.0.1,localhost")
        mp.setenv("no_proxy", "127.0.0.1,localhost")
        yield


@pytest.fixture
def server():
    with OssServer({AK: SECRET}, public_read=True) as srv:
        yield srv


@pytest.fixture
def logger() -> logging.Logger:
    return logging.getLogger("kestrum.tests.depotlink")


def make_info(server: OssServer, **extra) -> dict:
    info = {
        "access_key_id": AK,
        "access_key_secret": SECRET,
        "bucket_name": BUCKET,
        "endpoint": server.endpoint,
        "need_auth": True,
    }
    info.update(extra)
    return info


@pytest.fixture
def cdn(server, logger) -> ServiceCdn:
    return ServiceCdn(make_info(server, url_prefix=f"{server.url}/{BUCKET}"), logger)


@pytest.fixture
def files(tmp_path: Path):
    def write(name: str, body: bytes | None = None) -> str:
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(body if body is not None else name.encode() * 3)
        return str(path)

    return write


def assert_uuid1_name(name: str) -> None:
    assert len(name) == 36 and "." not in name
    parsed = uuid.UUID(name)
    assert str(parsed) == name and parsed.version == 1


def v1_signature(method: str, expires: str, resource: str) -> str:
    text = f"{method}\n\n\n{expires}\n{resource}".encode()
    return base64.b64encode(hmac.new(SECRET.encode(), text, hashlib.sha1).digest()).decode()


class TestConstruction:
    def test_attributes(self, server, logger):
        svc = ServiceCdn(info=make_info(server, url_prefix="https://cdn.test/files"), logger=logger)
        assert (svc._access_key_id, svc._access_key_secret) == (AK, SECRET)
        assert (svc._bucket_name, svc._endpoint, svc._need_auth) == (BUCKET, server.endpoint, True)
        assert svc._url_prefix == "https://cdn.test/files/"
        assert isinstance(svc.auth, oss2.Auth) and isinstance(svc.bucket, oss2.Bucket)
        assert svc.bucket.bucket_name == BUCKET
        assert svc.logger is logger
        assert isinstance(svc._lock, type(threading.Lock()))
        assert ServiceCdn(make_info(server)).logger is None

    @pytest.mark.parametrize(
        ("given", "kept"),
        [("https://c.test/a/", "https://c.test/a/"), ("", ""), (None, None), ("x", "x/")],
    )
    def test_url_prefix_gets_one_trailing_slash(self, server, given, kept):
        assert ServiceCdn(make_info(server, url_prefix=given))._url_prefix == kept
        assert ServiceCdn(make_info(server))._url_prefix is None

    @pytest.mark.parametrize(
        "key", ["access_key_id", "access_key_secret", "bucket_name", "endpoint", "need_auth"]
    )
    def test_missing_required_key(self, server, key):
        info = make_info(server)
        del info[key]
        with pytest.raises(KeyError) as caught:
            ServiceCdn(info)
        assert caught.value.args == (key,)

    def test_argument_errors(self, server):
        class Info(dict):
            pass

        for bad, tp in [(Info(make_info(server)), "Info"), (None, "NoneType"), ([], "list")]:
            with pytest.raises(TypeError) as caught:
                ServiceCdn(bad)
            assert str(caught.value) == (
                f"Argument 'info' has incorrect type (expected dict, got {tp})"
            )
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'info'"):
            ServiceCdn()
        with pytest.raises(TypeError, match="unexpected keyword argument 'config'"):
            ServiceCdn(make_info(server), config=1)

    def test_thread_safe_singleton_with_keywords(self, server, logger):
        from dependency_injector import providers

        provider = providers.ThreadSafeSingleton(ServiceCdn, info=make_info(server), logger=logger)
        assert provider() is provider() and provider().logger is logger

    def test_module_surface(self):
        assert depotlink.Tool is kestrum.Tool
        bucket, _, region = depotlink.BUCKET_HOST.partition(".")
        assert bucket and region.startswith("oss-") and depotlink.CDN_HOST


class TestUpload:
    def test_png_gets_uuid_name_and_inline_headers(self, cdn, server, files):
        src = files("plot.png", b"\x89PNG\r\n\x1a\n chart")
        name = cdn.upload(src)
        assert_uuid1_name(name)
        stored = server.object(BUCKET, name)
        assert stored.body == b"\x89PNG\r\n\x1a\n chart"
        assert stored.headers["content-type"] == "image/png"
        assert stored.headers["content-disposition"] == "inline"

    def test_png_with_uuid_stem_keeps_its_name(self, cdn, server, files):
        for base in [f"{uuid.uuid4()}.png", f"{uuid.uuid1()}.chart.png"]:
            name = cdn.upload(files(f"out/{base}"), path=None)
            assert name == base
            assert server.object(BUCKET, base).headers["content-disposition"] == "inline"

    def test_png_suffix_test_is_case_sensitive_and_needs_no_dot(self, cdn, server, files):
        upper = cdn.upload(files("x.PNG"))
        assert_uuid1_name(upper)
        assert "content-disposition" not in server.object(BUCKET, upper).headers
        bare = cdn.upload(files("chart_png"))
        assert_uuid1_name(bare)
        assert server.object(BUCKET, bare).headers == {
            "content-type": "image/png",
            "content-disposition": "inline",
        }

    def test_other_files_get_fresh_uuid_and_no_headers_of_ours(self, cdn, server, files):
        src = files("data.csv", b"a,b\n1,2\n")
        first, second = cdn.upload(src), cdn.upload(src)
        assert first != second
        for name in (first, second):
            assert_uuid1_name(name)
            stored = server.object(BUCKET, name)
            assert stored.body == b"a,b\n1,2\n"
            assert "content-disposition" not in stored.headers
            # the SDK itself still guesses a type from the local file name
            assert stored.headers.get("content-type") == mimetypes.guess_type(src)[0]

    def test_empty_file(self, cdn, server, files):
        # the SDK sends an empty body chunked, without Content-Length
        name = cdn.upload(files("empty.png", b""))
        assert server.object(BUCKET, name).body == b""
        assert server.object(BUCKET, name).headers["content-disposition"] == "inline"

    def test_caller_name_is_used_unchanged_without_headers(self, cdn, server, files):
        src = files("plot.png")
        assert cdn.upload(src, "c.png") == "c.png"
        assert "content-disposition" not in server.object(BUCKET, "c.png").headers
        assert cdn.upload(filename=src, name="with space+plus.bin") == "with space+plus.bin"
        assert server.object(BUCKET, "with space+plus.bin").body == Path(src).read_bytes()
        assert_uuid1_name(cdn.upload(src, ""))

    def test_path_prefix(self, cdn, server, files):
        src = files("data.csv")
        name = cdn.upload(src, path="images")
        assert name.startswith("images/")
        assert_uuid1_name(name[len("images/") :])
        assert server.object(BUCKET, name) is not None
        assert cdn.upload(src, "r.csv", "a/b") == "a/b/r.csv"
        assert cdn.upload(src, "r.csv", "a/") == "a//r.csv"
        assert cdn.upload(src, "r.csv", "") == "r.csv"
        assert {"a/b/r.csv", "a//r.csv", "r.csv"} <= set(server.objects(BUCKET))

    def test_argument_errors(self, cdn, files):
        src = files("a.png")
        cases = [
            ((b"a.png",), {}, "filename", "bytes"),
            ((src, 5), {}, "name", "int"),
            ((src,), {"path": ["x"]}, "path", "list"),
        ]
        for args, kwargs, arg, tp in cases:
            with pytest.raises(TypeError) as caught:
                cdn.upload(*args, **kwargs)
            assert str(caught.value) == (
                f"Argument '{arg}' has incorrect type (expected str, got {tp})"
            )
        with pytest.raises(TypeError, match=r"takes from 2 to 4 positional arguments but 5"):
            cdn.upload(src, None, None, None)
        with pytest.raises(TypeError, match="got multiple values for argument 'filename'"):
            cdn.upload(src, filename=src)


class TestRecovery:
    def test_one_failed_upload_rebuilds_client_and_retries(self, cdn, server, files):
        old_auth, old_bucket = cdn.auth, cdn.bucket
        server.fail_next_uploads(1)
        name = cdn.upload(files("plot.png"))
        assert server.upload_attempts == 2 and server.failed_uploads == 1
        assert server.object(BUCKET, name).headers["content-type"] == "image/png"
        assert cdn.auth is not old_auth and cdn.bucket is not old_bucket
        assert cdn.bucket.auth is cdn.auth

    def test_stale_client_is_replaced_from_configuration(self, cdn, server, files):
        cdn.bucket = oss2.Bucket(oss2.Auth(AK, "rotated-away"), server.endpoint, BUCKET)
        name = cdn.upload(files("data.csv"))
        assert server.rejected == 1 and server.object(BUCKET, name) is not None

    def test_second_failure_propagates(self, cdn, server, files):
        old_bucket = cdn.bucket
        server.fail_next_uploads(2, status=503)
        with pytest.raises(oss2.exceptions.ServerError) as caught:
            cdn.upload(files("plot.png"), "kept.png")
        assert caught.value.status == 503
        assert server.upload_attempts == 2 and server.object(BUCKET, "kept.png") is None
        assert cdn.bucket is not old_bucket  # the rebuilt client stays

    def test_patched_sdk_and_uuid_are_used(self, cdn, server, files, monkeypatch):
        # Applications' tests patch oss2 after a first service exists: later ones use the patch.
        built = []

        class RecordingBucket(oss2.Bucket):
            def __init__(self, *args, **kwargs):
                built.append(args)
                super().__init__(*args, **kwargs)

        monkeypatch.setattr(oss2, "Bucket", RecordingBucket)
        fixed = uuid.UUID("6f1c2d3e-0a1b-11ee-8c90-0242ac120002")
        monkeypatch.setattr(uuid, "uuid1", lambda: fixed)
        later = ServiceCdn(make_info(server))
        assert type(later.bucket) is RecordingBucket
        assert built == [(later.auth, server.endpoint, BUCKET)]
        assert later.upload(files("data.csv")) == str(fixed)
        assert server.object(BUCKET, str(fixed)) is not None
        # The first service's rebuild goes through the patched class as well.
        server.fail_next_uploads(1)
        cdn.upload(files("plot.png"), "rebuilt.png")
        assert type(cdn.bucket) is RecordingBucket and len(built) == 2

    def test_wrong_secret_is_refused_twice(self, server, files):
        svc = ServiceCdn(make_info(server, access_key_secret="not-the-secret"))
        with pytest.raises(oss2.exceptions.ServerError) as caught:
            svc.upload(files("data.csv"))
        assert (caught.value.status, caught.value.code) == (403, "SignatureDoesNotMatch")
        assert server.rejected == 2 and server.objects(BUCKET) == {}

    def test_missing_local_file(self, cdn, server, tmp_path):
        with pytest.raises(FileNotFoundError):
            cdn.upload(str(tmp_path / "absent.png"))
        assert server.upload_attempts == 0

    def test_rebuild_takes_the_lock_and_plain_uploads_do_not(self, cdn, server, files):
        src = files("data.csv")
        with cdn._lock:
            assert server.object(BUCKET, cdn.upload(src)) is not None
            server.fail_next_uploads(1)
            done: list[str] = []
            worker = threading.Thread(target=lambda: done.append(cdn.upload(src, "late.csv")))
            worker.start()
            deadline = time.monotonic() + 5
            while server.failed_uploads == 0 and time.monotonic() < deadline:
                time.sleep(0.01)
            worker.join(0.2)
            assert worker.is_alive() and not done
        worker.join(10)
        assert done == ["late.csv"] and server.object(BUCKET, "late.csv") is not None

    def test_concurrent_uploads_with_failures(self, cdn, server, files):
        threads, per_thread = 8, 12
        start = threading.Barrier(threads + 1)
        results: dict[int, list[tuple[str, bytes]]] = {i: [] for i in range(threads)}
        errors: list[BaseException] = []

        def work(i: int) -> None:
            try:
                start.wait()
                for j in range(per_thread):
                    body = f"{i}-{j}".encode()
                    ext = "png" if j % 2 else "csv"
                    results[i].append((cdn.upload(files(f"t{i}/f{j}.{ext}", body)), body))
            except BaseException as exc:  # noqa: B036 - reported below
                errors.append(exc)

        workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
        for w in workers:
            w.start()
        # every thread's first upload fails at once, then more failures now and then
        server.fail_next_uploads(threads, once_per_key=True)
        start.wait()
        for _ in range(6):
            while server.pending_failures and any(w.is_alive() for w in workers):
                time.sleep(0.005)
            server.fail_next_uploads(2, once_per_key=True)
            time.sleep(0.02)
        for w in workers:
            w.join(60)
        assert not errors
        uploaded = [item for items in results.values() for item in items]
        assert len({name for name, _ in uploaded}) == threads * per_thread
        for name, body in uploaded:
            assert server.object(BUCKET, name).body == body
        assert server.failed_uploads >= threads
        assert server.upload_attempts == threads * per_thread + server.failed_uploads


class TestUrls:
    @pytest.mark.parametrize("need_auth", [False, 0, None, ""])
    def test_prefix_url_when_not_signing(self, server, files, need_auth):
        svc = ServiceCdn(
            make_info(server, need_auth=need_auth, url_prefix=f"{server.url}/{BUCKET}")
        )
        name = svc.upload(files("plot.png", b"png body"), path="charts")
        url = svc.get_oss_url(name)
        assert url == f"{server.url}/{BUCKET}/{name}"
        assert requests.get(url, timeout=10).content == b"png body"

    def test_missing_object_is_none_in_both_modes(self, server):
        for need_auth in (True, False):
            svc = ServiceCdn(make_info(server, need_auth=need_auth, url_prefix="https://c.test"))
            assert svc.get_oss_url("no/such.png") is None

    def test_prefix_mode_without_prefix_is_a_clear_error(self, server):
        server.put(BUCKET, "here.png", b"x")
        svc = ServiceCdn(make_info(server, need_auth=False))
        with pytest.raises(Exception) as caught:
            svc.get_oss_url("here.png")
        assert type(caught.value) is Exception
        assert str(caught.value) == "url_prefix not in info, please check"

    @pytest.mark.parametrize("need_auth", [True, 1, "false", "no"])
    def test_signed_url(self, server, files, need_auth):
        svc = ServiceCdn(make_info(server, need_auth=need_auth, url_prefix="https://unused.test"))
        name = svc.upload(files("plot.png", b"signed body"), "dir/a b+c.png")
        before = int(time.time())
        url = svc.get_oss_url(name)
        after = int(time.time())
        parts = urlsplit(url)
        assert f"{parts.scheme}://{parts.netloc}" == server.url
        assert parts.path == f"/{BUCKET}/dir/a%20b%2Bc.png"  # "/" kept, the rest quoted
        query = parse_qsl(parts.query)
        assert [k for k, _ in query] == ["OSSAccessKeyId", "Expires", "Signature"]
        params = dict(query)
        assert params["OSSAccessKeyId"] == AK
        assert before + 3600 <= int(params["Expires"]) <= after + 3600
        resource = f"/{BUCKET}/{unquote(parts.path[len(BUCKET) + 2 :])}"
        assert params["Signature"] == v1_signature("GET", params["Expires"], resource)
        fetched = requests.get(url, timeout=10)
        assert fetched.status_code == 200 and fetched.content == b"signed body"

        short = dict(parse_qsl(urlsplit(svc.get_oss_url(name, timeout=60)).query))
        assert int(short["Expires"]) <= int(time.time()) + 60
        expired = svc.get_oss_url(name=name, timeout=-5)
        assert requests.get(expired, timeout=10).status_code == 403

    def test_existence_check_errors_propagate_without_rebuild(self, server):
        svc = ServiceCdn(make_info(server, access_key_secret="wrong"))
        bucket = svc.bucket
        with pytest.raises(oss2.exceptions.ServerError) as caught:
            svc.get_oss_url("any.png")
        assert caught.value.status == 403 and svc.bucket is bucket

    def test_argument_errors(self, cdn):
        for args, kwargs, message in [
            ((7,), {}, "Argument 'name' has incorrect type (expected str, got int)"),
            (
                ("a",),
                {"timeout": None},
                "Argument 'timeout' has incorrect type (expected int, got NoneType)",
            ),
            (("a", True), {}, "Argument 'timeout' has incorrect type (expected int, got bool)"),
            (("a", 1.5), {}, "Argument 'timeout' has incorrect type (expected int, got float)"),
        ]:
            with pytest.raises(TypeError) as caught:
                cdn.get_oss_url(*args, **kwargs)
            assert str(caught.value) == message


class TestCdnHost:
    def test_configured_bucket_host_becomes_cdn_host(self, cdn, server, monkeypatch):
        server.put(BUCKET, "k/x.png", b"x")
        plain = cdn.get_oss_url("k/x.png")
        monkeypatch.setattr(depotlink, "BUCKET_HOST", server.endpoint)
        monkeypatch.setattr(depotlink, "CDN_HOST", "cdn.depotlink.test")
        rewritten = cdn.get_oss_url("k/x.png")
        assert urlsplit(rewritten).netloc == "cdn.depotlink.test"

        # Expires (and so the signature) may move on by a second between two calls
        def without_query(url):
            return urlsplit(url)._replace(query="")

        assert without_query(rewritten) == without_query(
            plain.replace(server.endpoint, "cdn.depotlink.test")
        )
        monkeypatch.setattr(depotlink, "BUCKET_HOST", "127.0.0.1")  # host without the port
        assert urlsplit(cdn.get_oss_url("k/x.png")).netloc == f"cdn.depotlink.test:{server.port}"
        monkeypatch.setattr(depotlink, "BUCKET_HOST", "")
        assert without_query(cdn.get_oss_url("k/x.png")) == without_query(plain)

    def test_default_hosts_over_a_real_region_endpoint(self, server, monkeypatch):
        # The loopback server stands in as the HTTP proxy for the region's host names.
        bucket_name, _, region = depotlink.BUCKET_HOST.partition(".")
        monkeypatch.setenv("HTTP_PROXY", server.url)
        monkeypatch.setenv("http_proxy", server.url)
        sneaky = f"copy/{depotlink.BUCKET_HOST}.png"
        for key in ("x.png", sneaky):
            server.put(bucket_name, key, b"x")
        svc = ServiceCdn(make_info(server, bucket_name=bucket_name, endpoint=region))
        url = svc.get_oss_url("x.png")
        assert url.startswith(f"http://{depotlink.CDN_HOST}/x.png?OSSAccessKeyId={AK}&Expires=")
        # only the host is rewritten: a key that spells the bucket host keeps its text
        url = svc.get_oss_url(sneaky)
        assert urlsplit(url).netloc == depotlink.CDN_HOST
        assert urlsplit(url).path == "/" + sneaky
        expires = dict(parse_qsl(urlsplit(url).query))["Expires"]
        expected = v1_signature("GET", expires, f"/{bucket_name}/{sneaky}")
        assert dict(parse_qsl(urlsplit(url).query))["Signature"] == expected

        other = "x" + bucket_name
        server.put(other, "x.png", b"x")
        svc = ServiceCdn(make_info(server, bucket_name=other, endpoint=region))
        assert urlsplit(svc.get_oss_url("x.png")).netloc == f"{other}.{region}"
