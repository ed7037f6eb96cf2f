"""ServiceJwt against the real PyJWT: claims, lifetimes, failure mapping, argument checks."""

from __future__ import annotations

import base64
import datetime
import hashlib
import hmac
import json
import random
import time
import warnings

import jwt
import pytest

from kestrum.service.tokensmith import ServiceJwt
from kestrum.util import ExceptionAuthFailed

SECRET = "tokensmith-test-secret-0123456789abcdef"
OTHER = "tokensmith-other-secret-0123456789abcdef"


def segment(token: str, index: int) -> bytes:
    part = token.split(".")[index]
    return base64.urlsafe_b64decode(part + "=" * (-len(part) % 4))


def signed(claims: dict, secret: str = SECRET, algorithm: str = "HS256") -> str:
    return jwt.encode(claims, secret, algorithm=algorithm)


def b64(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def forged(claims: dict) -> str:
    """An HS256 token over any JSON claims, signed by hand (PyJWT refuses some claims)."""
    head = b64(b'{"alg":"HS256","typ":"JWT"}') + "." + b64(json.dumps(claims).encode())
    mac = hmac.new(SECRET.encode(), head.encode(), hashlib.sha256).digest()
    return head + "." + b64(mac)


@pytest.fixture
def svc() -> ServiceJwt:
    return ServiceJwt({"secret_key": SECRET})


class TestConstruction:
    def test_defaults_and_attributes(self, svc):
        assert svc._secret_key == SECRET
        assert svc._timeout == 3600

    @pytest.mark.parametrize("given, lifetime", [("7200", 7200), (90, 90), (12.9, 12)])
    def test_timeout_is_converted_with_int(self, given, lifetime):
        assert ServiceJwt({"secret_key": SECRET, "timeout": given})._timeout == lifetime

    def test_bad_timeout_fails_at_construction(self):
        with pytest.raises(ValueError):
            ServiceJwt({"secret_key": SECRET, "timeout": "soon"})
        with pytest.raises(TypeError):
            ServiceJwt({"secret_key": SECRET, "timeout": None})

    def test_missing_secret(self):
        with pytest.raises(Exception) as info:
            ServiceJwt({"timeout": 5})
        assert type(info.value) is Exception
        assert info.value.args == ("jwt_secret_key not in info, please check",)

    @pytest.mark.parametrize(
        "info", [None, [("secret_key", SECRET)], type("D", (dict,), {})(secret_key=SECRET)]
    )
    def test_info_must_be_exactly_dict(self, info):
        with pytest.raises(TypeError) as e:
            ServiceJwt(info)
        expected = f"Argument 'info' has incorrect type (expected dict, got {type(info).__name__})"
        assert str(e.value) == expected

    def test_call_errors_read_like_python(self, svc):
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'info'"):
            ServiceJwt()
        with pytest.raises(TypeError, match=r"unexpected keyword argument 'secret'"):
            svc.create_access_token("a", secret=1)
        with pytest.raises(TypeError, match=r"multiple values for argument 'user_name'"):
            svc.create_access_token("a", user_name="b")
        assert (
            svc.verify_access_token(token=svc.create_access_token(user_name="kw", timeout=5))
            == "kw"
        )


class TestCreate:
    def test_header_and_claims_in_order(self, svc):
        before = time.time()
        token = svc.create_access_token("alice")
        after = time.time()
        assert json.loads(segment(token, 0)) == {"alg": "HS256", "typ": "JWT"}
        claims = json.loads(segment(token, 1))
        assert list(claims) == ["user_name", "exp"]
        assert claims["user_name"] == "alice"
        assert isinstance(claims["exp"], float)
        assert before + 3600 <= claims["exp"] <= after + 3600
        assert jwt.decode(token, SECRET, algorithms=["HS256"])["user_name"] == "alice"

    def test_fraction_of_creation_second_kept(self, svc):
        fractions = set()
        for _ in range(5):
            exp = json.loads(segment(svc.create_access_token("f", 60), 1))["exp"]
            fractions.add(round(exp % 1, 6))
            time.sleep(0.003)
        assert len(fractions) > 1  # not rounded to whole seconds

    @pytest.mark.parametrize("timeout, lifetime", [(None, 3600), (0, 3600), (60, 60), (-5, -5)])
    def test_lifetime(self, svc, timeout, lifetime):
        before = time.time()
        exp = json.loads(segment(svc.create_access_token("bob", timeout), 1))["exp"]
        assert before + lifetime <= exp <= time.time() + lifetime

    @pytest.mark.parametrize(
        "args, name, got",
        [
            (("bob", True), "timeout", "bool"),
            (("bob", 2.5), "timeout", "float"),
            (("bob", "60"), "timeout", "str"),
            ((b"bob",), "user_name", "bytes"),
            ((None,), "user_name", "NoneType"),
        ],
    )
    def test_argument_types(self, svc, args, name, got):
        expected = "int" if name == "timeout" else "str"
        with pytest.raises(TypeError) as e:
            svc.create_access_token(*args)
        assert (
            str(e.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
        )


class TestVerify:
    def test_round_trip_and_foreign_issuer(self, svc):
        assert svc.verify_access_token(svc.create_access_token("dave")) == "dave"
        other_issuer = signed({"user_name": "erin", "exp": time.time() + 30})
        assert svc.verify_access_token(other_issuer) == "erin"
        assert svc.verify_access_token(forged({"user_name": "m", "exp": time.time() + 9})) == "m"
        assert svc.verify_access_token(signed({"user_name": "k", "exp": 4102444800})) == "k"
        assert (
            ServiceJwt({"secret_key": SECRET}).verify_access_token(svc.create_access_token("x"))
            == "x"
        )

    def test_wrong_secret(self, svc):
        token = ServiceJwt({"secret_key": OTHER}).create_access_token("mallory")
        with pytest.raises(ExceptionAuthFailed) as e:
            svc.verify_access_token(token)
        assert e.value.args == ()
        assert isinstance(e.value.__context__, jwt.PyJWTError)
        assert e.value.__cause__ is None

    def test_every_part_altered(self, svc):
        token = svc.create_access_token("frank")
        for i, part in enumerate(token.split(".")):
            flipped = part[:-2] + ("A" if part[-2] != "A" else "B") + part[-1]
            parts = token.split(".")
            parts[i] = flipped
            with pytest.raises(ExceptionAuthFailed):
                svc.verify_access_token(".".join(parts))

    def test_other_algorithms_refused(self, svc):
        claims = {"user_name": "g", "exp": time.time() + 60}
        with pytest.raises(ExceptionAuthFailed):
            svc.verify_access_token(signed(claims, SECRET * 2, "HS512"))
        with pytest.raises(ExceptionAuthFailed):
            svc.verify_access_token(jwt.encode(claims, None, algorithm="none"))

    def test_expired(self, svc):
        with pytest.raises(ExceptionAuthFailed):
            svc.verify_access_token(svc.create_access_token("h", -5))
        with pytest.raises(ExceptionAuthFailed):
            svc.verify_access_token(signed({"user_name": "h", "exp": time.time() - 0.5}))

    def test_missing_claims(self, svc):
        with pytest.raises(ExceptionAuthFailed):
            svc.verify_access_token(signed({"user_name": "i"}))
        with pytest.raises(KeyError):
            svc.verify_access_token(signed({"exp": time.time() + 60}))

    @pytest.mark.parametrize("name", [7, None, True, 1.5, ["a"], {"a": 1}])
    def test_user_name_not_text_names_no_user(self, svc, name):
        # Correctly signed, yet it cannot name a user: an authentication failure.
        with pytest.raises(ExceptionAuthFailed) as e:
            svc.verify_access_token(signed({"user_name": name, "exp": time.time() + 60}))
        assert e.value.args == ()

    @pytest.mark.parametrize("token", [b"abc", None, 5])
    def test_token_must_be_text(self, svc, token):
        with pytest.raises(TypeError, match="Argument 'token' has incorrect type"):
            svc.verify_access_token(token)

    @pytest.mark.parametrize(
        "exp",
        [
            None,
            [1],
            {"a": 1},
            float("inf"),
            float("-inf"),
            float("nan"),
            "99999999999",
            "abc",
            1e20,
            10**30,
            True,
        ],
    )
    def test_odd_exp_values_are_auth_failures(self, svc, exp):
        with pytest.raises(ExceptionAuthFailed):
            svc.verify_access_token(signed({"user_name": "j", "exp": exp}))

    def test_surrogate_text_is_not_a_token(self, svc):
        with pytest.raises(ExceptionAuthFailed):
            svc.verify_access_token("\ud800" + svc.create_access_token("l"))


def decodes_alike(a: str, b: str) -> bool:
    """True when `a` differs from `b` only in base64 padding bits: the same token."""
    try:
        return a.count(".") == 2 and all(segment(a, i) == segment(b, i) for i in range(3))
    except ValueError:
        return False


def test_fuzz_verify_only_specified_outcomes(svc):
    """Malformed tokens of every kind: only a user name, ExceptionAuthFailed, or (for a
    correctly signed token without a user_name claim) KeyError come out."""
    rng = random.Random(20240611)
    good = svc.create_access_token("fuzz")
    odd_values = [None, True, False, 0, -1, 1.5, 1e308, "", "x", "1e9", [], {}, [None], {"exp": 1}]
    cases: list[tuple[str, bool]] = []  # (token, correctly signed)
    for _ in range(800):
        raw = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 80)))
        cases.append((raw.decode("latin-1"), False))
        cases.append(
            ("".join(chr(rng.randrange(0x20, 0x3000)) for _ in range(rng.randrange(0, 40))), False)
        )
        cut = rng.randrange(len(good))
        cases.append((good[:cut], False))
        pos = rng.randrange(len(good))
        altered = good[:pos] + rng.choice("AZaz09-_.=+/") + good[pos + 1 :]
        cases.append((altered, decodes_alike(altered, good)))
        claims = {}
        if rng.random() < 0.8:
            claims["user_name"] = rng.choice(["u", 5, None, [1], "ü"])
        if rng.random() < 0.9:
            claims["exp"] = rng.choice(odd_values + [time.time() + 60, time.time() - 60])
        if rng.random() < 0.2:
            claims[rng.choice(["nbf", "iat", "aud", "iss", "sub", "jti"])] = rng.choice(odd_values)
        cases.append((forged(claims), True))
    outcomes = set()
    for token, is_signed in cases:
        try:
            result = svc.verify_access_token(token)
        except ExceptionAuthFailed as e:
            assert e.args == ()
            outcomes.add("auth")
            continue
        except KeyError:
            assert is_signed, token
            outcomes.add("claim")
            continue
        assert is_signed and isinstance(result, str), token
        outcomes.add("ok")
    assert len(cases) >= 4000
    assert outcomes == {"auth", "claim", "ok"}


def claims_unchecked(token: str) -> dict:
    return jwt.decode(token, SECRET, algorithms=["HS256"], options={"verify_exp": False})


class TestPatchedClockAndLibrary:
    """Applications' tests freeze time and patch PyJWT: both are read at every call."""

    def test_exp_follows_patched_time(self, svc, monkeypatch):
        monkeypatch.setattr(time, "time", lambda: 1_000_000_000.25)
        assert claims_unchecked(svc.create_access_token("p"))["exp"] == 1_000_003_600.25
        assert claims_unchecked(svc.create_access_token("p", 30))["exp"] == 1_000_000_030.25
        monkeypatch.setattr(time, "time", lambda: 1_500_000_000.5)
        assert claims_unchecked(svc.create_access_token("p"))["exp"] == 1_500_003_600.5

    def test_patched_datetime_decides_expiry(self, svc, monkeypatch):
        token = svc.create_access_token("q")
        real = datetime.datetime

        class FarFuture(real):
            @classmethod
            def utcnow(cls):
                return real(2999, 1, 1)

        monkeypatch.setattr(datetime, "datetime", FarFuture)
        with pytest.raises(ExceptionAuthFailed) as e:
            svc.verify_access_token(token)
        assert e.value.args == ()
        monkeypatch.setattr(datetime, "datetime", real)
        assert svc.verify_access_token(token) == "q"

    def test_time_alone_does_not_move_the_expiry_test(self, svc, monkeypatch):
        # The expiry test compares datetime.datetime.utcnow(), whose clock time.time
        # patching does not reach; PyJWT's own check does not read time.time either.
        token = svc.create_access_token("r", 60)
        monkeypatch.setattr(time, "time", lambda: 4_000_000_000.0)
        assert svc.verify_access_token(token) == "r"

    def test_patched_jwt_functions_are_called(self, svc, monkeypatch):
        calls = []
        real_encode, real_decode = jwt.encode, jwt.decode

        def encode(*args, **kwargs):
            calls.append(("encode", kwargs))
            return real_encode(*args, **kwargs)

        def decode(*args, **kwargs):
            calls.append(("decode", kwargs))
            return real_decode(*args, **kwargs)

        monkeypatch.setattr(jwt, "encode", encode)
        monkeypatch.setattr(jwt, "decode", decode)
        assert svc.verify_access_token(svc.create_access_token("s")) == "s"
        assert calls == [("encode", {"algorithm": "HS256"}), ("decode", {"algorithms": ["HS256"]})]
        monkeypatch.setattr(jwt, "encode", lambda *a, **k: b"not text")
        with pytest.raises(TypeError):
            svc.create_access_token("s")


class TestWarningsNeverReject:
    """A host running with warnings as errors still gets the right answer."""

    def test_fresh_and_expired_tokens(self, svc, warning_clock):
        fresh, old = svc.create_access_token("w"), svc.create_access_token("w", -5)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert svc.verify_access_token(fresh) == "w"
            warning_clock()
            assert svc.verify_access_token(fresh) == "w"
            with pytest.raises(ExceptionAuthFailed):
                svc.verify_access_token(old)
