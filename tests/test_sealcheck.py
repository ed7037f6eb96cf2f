"""ServiceParamsign: canonical text and MD5 against a plain reading of the rules, copies,
expiry, token functions, failure outcomes and a fuzz of malformed signed dictionaries."""

from __future__ import annotations

import copy
import datetime
import hashlib
import random
import struct
import threading
import time
import warnings

import pytest

from kestrum.service._sealcheck import ServiceParamsign
from kestrum.util import ExceptionAuthFailed

SECRET = "sealcheck-secret-0123456789abcdef"


def reference_sign(token: str, param: dict) -> str:
    """The canonical signature written straight from its definition."""
    body = "".join(str(k) + "=" + str(param[k]) for k in sorted(param))
    return hashlib.md5((token + body + token).encode("utf-8")).hexdigest()


@pytest.fixture
def svc() -> ServiceParamsign:
    return ServiceParamsign({"secret_key": SECRET})


def auth_fails(svc: ServiceParamsign, param: dict) -> None:
    with pytest.raises(ExceptionAuthFailed) as e:
        svc.confirm_sign(param)
    assert e.value.args == ()
    assert e.value.__cause__ is None


class TestConstruction:
    def test_attributes(self, svc):
        assert svc._secret_key == SECRET
        assert svc._timeout == 60
        assert svc._user_token_func("anyone") == SECRET
        assert ServiceParamsign({"secret_key": SECRET, "timeout": "90"})._timeout == 90

    def test_missing_secret(self):
        with pytest.raises(Exception) as e:
            ServiceParamsign({})
        assert type(e.value) is Exception
        assert e.value.args == ("secret_key not in info, please check",)

    def test_bad_timeout(self):
        with pytest.raises(ValueError):
            ServiceParamsign({"secret_key": SECRET, "timeout": "1 minute"})

    @pytest.mark.parametrize("info", [None, "secret", type("D", (dict,), {})(secret_key="x")])
    def test_info_must_be_exactly_dict(self, info):
        with pytest.raises(TypeError) as e:
            ServiceParamsign(info)
        assert str(e.value) == (
            f"Argument 'info' has incorrect type (expected dict, got {type(info).__name__})"
        )

    def test_token_function_must_be_a_plain_function(self):
        class Tokens:
            def token(self, user):
                return "t"

            def __call__(self, user):
                return "t"

        for bad in (len, Tokens().token, Tokens(), str.upper):
            with pytest.raises(Exception) as e:
                ServiceParamsign({"secret_key": SECRET}, bad)
            assert e.value.args == ("user_token_func is not func",)

        def named(user):
            return "t"

        assert ServiceParamsign({"secret_key": SECRET}, named)._user_token_func is named
        assert ServiceParamsign({"secret_key": SECRET}, user_token_func=lambda u: "t")
        # falsy: the default
        assert ServiceParamsign({"secret_key": SECRET}, 0)._user_token_func(1) == SECRET


class TestCanonicalSignature:
    def test_example_body(self, svc):
        param = {"b": 2, "a": "x", "__exp": 60.5}
        text = SECRET + "__exp=60.5a=xb=2" + SECRET
        assert svc._cal_sign(param) == hashlib.md5(text.encode()).hexdigest()

    def test_key_order_by_code_point(self, svc):
        param = {"a": 1, "__exp": 1.0, "A": 2}
        text = SECRET + "A=2__exp=1.0a=1" + SECRET
        assert svc._cal_sign(param) == hashlib.md5(text.encode()).hexdigest()

    @pytest.mark.parametrize(
        "param",
        [
            {"__exp": 1.0},
            {"f": 0.1, "g": 1e22, "h": -0.0, "i": float("inf"), "j": 1 / 3, "__exp": 2.5e-7},
            {"n": None, "t": True, "u": False, "big": 10**40, "neg": -7, "__exp": 3},
            {"l": [1, "a", None], "d": {"x": [1.5]}, "tu": (1, "b"), "__exp": 1.0},
            {"é": "中文", "emoji": "🙂", "space": " = ", "__exp": 1.0},
            {"": "", "__exp": 0.0},
        ],
    )
    def test_matches_reference(self, svc, param):
        snapshot = copy.deepcopy(param)
        assert svc._cal_sign(param) == reference_sign(SECRET, param)
        assert param == snapshot

    def test_random_texts_match_reference(self, svc):
        rng = random.Random(7)
        alphabet = [chr(c) for c in range(32, 127)] + ["é", "中", "🙂", "\x00", "\n"]
        for _ in range(500):
            param = {
                "".join(rng.choices(alphabet, k=rng.randrange(1, 8))): "".join(
                    rng.choices(alphabet, k=rng.randrange(0, 300))  # across MD5 blocks
                )
                for _ in range(rng.randrange(1, 6))
            }
            param["__exp"] = rng.uniform(-1e12, 1e12)
            assert svc._cal_sign(param) == reference_sign(SECRET, param)

    def test_floats_written_as_repr(self, svc):
        rng = random.Random(3)
        values = [
            0.0,
            -0.0,
            1e16,
            1e17,
            9999999999999998.0,
            1e-4,
            1e-5,
            5e-324,
            1.7976931348623157e308,
        ]
        values += [
            struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(3000)
        ]
        values += [
            round(rng.uniform(-1e3, 1e3), rng.randrange(8)) * 10.0 ** rng.randrange(-20, 20)
            for _ in range(3000)
        ]
        for v in values:
            param = {"a": "x", "v": v, "w": 12, "__exp": time.time()}
            assert svc._cal_sign(param) == reference_sign(SECRET, param), repr(v)

    def test_text_forms_only(self, svc):
        assert svc._cal_sign({"a": 1, "b": True}) == svc._cal_sign({"a": "1", "b": "True"})

    def test_non_text_keys(self, svc):
        with pytest.raises(TypeError):
            svc._cal_sign({1: "x", "__exp": 1.0})
        assert svc._cal_sign({1: "x"}) == reference_sign(SECRET, {1: "x"})

    def test_unencodable_text(self, svc):
        with pytest.raises(UnicodeEncodeError):
            svc._cal_sign({"a": "\ud800", "__exp": 1.0})

    def test_str_is_used_for_objects(self, svc):
        class Shown:
            def __str__(self):
                return "shown"

            def __deepcopy__(self, memo):
                return self

        param = {"o": Shown(), "__exp": 1.0}
        text = SECRET + "__exp=1.0o=shown" + SECRET
        assert svc._cal_sign(param) == hashlib.md5(text.encode()).hexdigest()


class TestGenerateAndConfirm:
    def test_round_trip_leaves_inputs_alone(self, svc):
        param = {"b": [1, {"c": 2}], "a": "x", "user_name": "zoe"}
        snapshot = copy.deepcopy(param)
        signed = svc.generate_sign(param)
        assert param == snapshot
        assert list(signed)[-2:] == ["__exp", "__sign"]
        signed_snapshot = copy.deepcopy(signed)
        result = svc.confirm_sign(signed)
        assert result == param
        assert signed == signed_snapshot

    def test_results_are_deep_copies(self, svc):
        inner = [1, 2]
        param = {"l": inner, "same": inner, "t": (inner,)}
        signed = svc.generate_sign(param)
        assert signed["l"] is not inner and signed["l"] == inner
        assert signed["same"] is signed["l"]  # sharing kept, as copy.deepcopy keeps it
        assert signed["t"][0] is signed["l"]
        result = svc.confirm_sign(signed)
        result["l"].append(3)
        assert signed["l"] == [1, 2] and inner == [1, 2]

    def test_cycles_and_unusual_values_are_copied(self, svc):
        class Box:
            def __init__(self):
                self.items = [1]

            def __str__(self):
                return "box"

        cyclic: list = []
        cyclic.append(cyclic)
        param = {"c": cyclic, "box": Box()}
        signed = svc.generate_sign(param)
        assert signed["c"][0] is signed["c"] and signed["c"] is not cyclic
        assert signed["box"] is not param["box"]
        assert set(svc.confirm_sign(signed)) == {"c", "box"}

    @pytest.mark.parametrize("timeout", [None, 0])
    def test_default_validity(self, svc, timeout):
        before = time.time()
        exp = svc.generate_sign({"a": 1}, timeout)["__exp"]
        assert isinstance(exp, float)
        assert before + 60 <= exp <= time.time() + 60

    def test_explicit_and_configured_validity(self, svc):
        before = time.time()
        assert before + 3600 <= svc.generate_sign({}, 3600)["__exp"] <= time.time() + 3600
        longer = ServiceParamsign({"secret_key": SECRET, "timeout": 600})
        assert before + 600 <= longer.generate_sign({})["__exp"] <= time.time() + 600

    def test_signature_is_the_canonical_one(self, svc):
        signed = svc.generate_sign({"q": 1.25, "r": None})
        unsigned = {k: v for k, v in signed.items() if k != "__sign"}
        assert signed["__sign"] == reference_sign(SECRET, unsigned)

    @pytest.mark.parametrize("key", ["__exp", "__sign"])
    def test_reserved_keys_refused_when_signing(self, svc, key):
        with pytest.raises(Exception) as e:
            svc.generate_sign({key: 1})
        assert type(e.value) is Exception and e.value.args == ()

    @pytest.mark.parametrize(
        "call, name, expected, got",
        [
            (lambda s: s.generate_sign({}, True), "timeout", "int", "bool"),
            (lambda s: s.generate_sign({}, 1.5), "timeout", "int", "float"),
            (lambda s: s.generate_sign(None), "param", "dict", "NoneType"),
            (lambda s: s.confirm_sign([]), "param", "dict", "list"),
            (lambda s: s._cal_sign("x"), "param", "dict", "str"),
        ],
    )
    def test_argument_types(self, svc, call, name, expected, got):
        with pytest.raises(TypeError) as e:
            call(svc)
        assert (
            str(e.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
        )

    def test_call_errors_read_like_python(self, svc):
        with pytest.raises(TypeError) as e:
            svc.generate_sign()
        assert str(e.value) == (
            "ServiceParamsign.generate_sign() missing 1 required positional argument: 'param'"
        )
        with pytest.raises(TypeError) as e:
            svc.generate_sign({}, 1, 2)
        assert str(e.value) == (
            "ServiceParamsign.generate_sign() takes from 2 to 3 positional arguments"
            " but 4 were given"
        )
        with pytest.raises(TypeError, match="unexpected keyword argument 'params'"):
            svc.confirm_sign(params={})
        with pytest.raises(TypeError, match="multiple values for argument 'param'"):
            svc._cal_sign({}, param={})
        signed = svc.generate_sign(timeout=30, param={"k": "v"})
        assert svc.confirm_sign(param=signed) == {"k": "v"}
        assert ServiceParamsign.confirm_sign(svc, signed) == {"k": "v"}

    def test_non_text_keys_cannot_be_signed(self, svc):
        with pytest.raises(TypeError):
            svc.generate_sign({1: "x"})

    def test_type_changes_with_same_text_still_verify(self, svc):
        signed = svc.generate_sign({"n": 1, "b": True})
        signed.update(n="1", b="True")
        assert svc.confirm_sign(signed) == {"n": "1", "b": "True"}

    def test_tampering(self, svc):
        signed = svc.generate_sign({"a": 1, "user_name": "u"})
        for change in (
            lambda d: d.update(a=2),
            lambda d: d.update(extra=0),
            lambda d: d.pop("a"),
            lambda d: d.pop("user_name"),
            lambda d: d.update({"__exp": d["__exp"] + 1}),
            lambda d: d.update({"__sign": d["__sign"].upper()}),
            lambda d: d.update({"__sign": d["__sign"][:-1]}),
            lambda d: d.pop("__sign"),
            lambda d: d.pop("__exp"),
        ):
            altered = copy.deepcopy(signed)
            change(altered)
            auth_fails(svc, altered)
        assert svc.confirm_sign(signed) == {"a": 1, "user_name": "u"}

    def test_signature_must_be_text(self, svc):
        signed = svc.generate_sign({"a": 1})

        class Agreeable:
            def __eq__(self, other):
                return True

            __hash__ = object.__hash__

            def __deepcopy__(self, memo):
                return self

        for fake in (None, 0, signed["__sign"].encode(), Agreeable(), [signed["__sign"]]):
            auth_fails(svc, {**signed, "__sign": fake})

    def test_other_secret(self, svc):
        signed = ServiceParamsign({"secret_key": SECRET + "x"}).generate_sign({"a": 1})
        auth_fails(svc, signed)


class TestExpiry:
    def test_near_now(self, svc):
        # Within a second of now the result comes from the datetime comparison itself.
        for offset, passes in ((0.4, True), (-0.4, False), (5.0, True), (-5.0, False)):
            param = {"a": 1, "__exp": time.time() + offset}
            param["__sign"] = svc._cal_sign(param)
            if passes:
                assert svc.confirm_sign(param) == {"a": 1}
            else:
                auth_fails(svc, param)

    def test_expired_signature(self, svc):
        param = {"a": 1, "__exp": time.time() - 0.001}
        param["__sign"] = svc._cal_sign(param)
        auth_fails(svc, param)

    @pytest.mark.parametrize(
        "exp",
        ["99999999999", None, [1], float("nan"), float("inf"), 1e20, -1e20, 10**30, b"1", True, 0],
    )
    def test_malformed_or_old_exp(self, svc, exp):
        param = {"a": 1, "__exp": exp}
        param["__sign"] = svc._cal_sign(param)
        auth_fails(svc, param)

    def test_integer_exp_in_future(self, svc):
        param = {"a": 1, "__exp": int(time.time()) + 30}
        param["__sign"] = svc._cal_sign(param)
        assert svc.confirm_sign(param) == {"a": 1}


class TestPatchedClock:
    """Applications' tests freeze time: time.time and datetime.datetime are read at every call."""

    def test_exp_follows_patched_time(self, svc, monkeypatch):
        monkeypatch.setattr(time, "time", lambda: 1_000_000_000.25)
        signed = svc.generate_sign({"a": 1})
        assert signed["__exp"] == 1_000_000_060.25
        assert signed["__sign"] == reference_sign(SECRET, {"a": 1, "__exp": 1_000_000_060.25})
        assert svc.generate_sign({"a": 1}, 5)["__exp"] == 1_000_000_005.25

    def test_patched_datetime_rejects_fresh_signature(self, svc, monkeypatch):
        signed = svc.generate_sign({"a": 1}, 3600)
        real = datetime.datetime

        class FarFuture(real):
            @classmethod
            def utcnow(cls):
                return real(2999, 1, 1)

        monkeypatch.setattr(datetime, "datetime", FarFuture)
        auth_fails(svc, signed)
        monkeypatch.setattr(datetime, "datetime", real)
        assert svc.confirm_sign(signed) == {"a": 1}

    def test_frozen_clock_in_the_past(self, svc, monkeypatch):
        # Both clocks frozen at one instant, as freezegun does: signing and verifying
        # follow the frozen time, not the machine's.
        real = datetime.datetime
        frozen = [1_000_000_000.5]

        class Frozen(real):
            @classmethod
            def utcnow(cls):
                return real.utcfromtimestamp(frozen[0])

        monkeypatch.setattr(time, "time", lambda: frozen[0])
        monkeypatch.setattr(datetime, "datetime", Frozen)
        signed = svc.generate_sign({"a": 1})
        assert svc.confirm_sign(signed) == {"a": 1}
        frozen[0] += 60  # exactly at "__exp": still valid
        assert svc.confirm_sign(signed) == {"a": 1}
        frozen[0] += 0.001
        auth_fails(svc, signed)

    def test_time_alone_does_not_move_the_expiry_test(self, svc, monkeypatch):
        # The expiry test compares datetime.datetime.utcnow(), which time.time patching
        # does not reach.
        signed = svc.generate_sign({"a": 1})
        monkeypatch.setattr(time, "time", lambda: 4_000_000_000.0)
        assert svc.confirm_sign(signed) == {"a": 1}
        monkeypatch.setattr(time, "time", lambda: 1_000_000_000.0)
        param = {"a": 1, "__exp": 1_000_000_100.0}
        param["__sign"] = svc._cal_sign(param)
        auth_fails(svc, param)


class TestTokenFunction:
    TOKENS = {"ann": "token-of-ann", "bob": "token-of-bob"}

    def test_per_user_tokens(self):
        svc = ServiceParamsign({"secret_key": SECRET}, lambda user: self.TOKENS[user])
        signed = svc.generate_sign({"user_name": "ann", "v": 1})
        unsigned = {k: v for k, v in signed.items() if k != "__sign"}
        assert signed["__sign"] == reference_sign("token-of-ann", unsigned)
        assert svc.confirm_sign(signed) == {"user_name": "ann", "v": 1}
        auth_fails(svc, dict(signed, user_name="bob"))

    def test_without_user_name_the_secret_signs(self):
        svc = ServiceParamsign({"secret_key": SECRET}, lambda user: self.TOKENS[user])
        signed = svc.generate_sign({"v": 1})
        assert svc.confirm_sign(signed) == {"v": 1}
        unsigned = {k: v for k, v in signed.items() if k != "__sign"}
        assert signed["__sign"] == reference_sign(SECRET, unsigned)

    def test_token_function_errors_propagate(self):
        svc = ServiceParamsign({"secret_key": SECRET}, lambda user: self.TOKENS[user])
        with pytest.raises(KeyError):
            svc.generate_sign({"user_name": "nobody"})
        numeric = ServiceParamsign({"secret_key": SECRET}, lambda user: 42)
        with pytest.raises(TypeError):
            numeric.generate_sign({"user_name": "ann"})
        signed = svc.generate_sign({"user_name": "ann"})
        with pytest.raises(TypeError):
            numeric.confirm_sign(signed)

    def test_text_subclass_token(self):
        class Token(str):
            pass

        svc = ServiceParamsign({"secret_key": SECRET}, lambda user: Token("tok"))
        signed = svc.generate_sign({"user_name": "x"})
        unsigned = {k: v for k, v in signed.items() if k != "__sign"}
        assert signed["__sign"] == reference_sign("tok", unsigned)


def test_threads_share_an_instance(svc):
    errors: list[BaseException] = []

    def work(n: int) -> None:
        try:
            for i in range(300):
                param = {"n": n, "i": i, "l": [n, i]}
                assert svc.confirm_sign(svc.generate_sign(param)) == param
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_fuzz_confirm_only_specified_outcomes(svc):
    """Thousands of malformed signed dictionaries: only ExceptionAuthFailed, or the
    parameters back when the dictionary is genuinely validly signed."""
    rng = random.Random(99)
    odd = [None, True, 0, -1, 1.5, 1e300, float("nan"), "", "60", "x" * 40, [], {}, b"\x00", (1,)]
    good = svc.generate_sign({"a": 1, "b": "two"})
    outcomes = set()
    for n in range(3000):
        kind = n % 4
        if kind == 0:
            param = dict(good)
            param[rng.choice(["a", "b", "__exp", "__sign", "c"])] = rng.choice(odd)
        elif kind == 1:
            param = dict(good)
            sign = list(param["__sign"])
            sign[rng.randrange(32)] = rng.choice("0123456789abcdefABCDEF")
            param["__sign"] = "".join(sign)
        elif kind == 2:
            param = {
                rng.choice(["__exp", "__sign", "a", "user_name"]): rng.choice(odd)
                for _ in range(rng.randrange(0, 5))
            }
        else:
            raw = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 40)))
            param = {"__exp": good["__exp"], "a": raw.decode("latin-1"), "__sign": rng.choice(odd)}
        try:
            result = svc.confirm_sign(param)
        except ExceptionAuthFailed as e:
            assert e.args == ()
            outcomes.add("auth")
            continue
        expected = {k: v for k, v in param.items() if k not in ("__exp", "__sign")}
        assert result == expected
        assert param["__sign"] == reference_sign(SECRET, {**expected, "__exp": param["__exp"]})
        outcomes.add("ok")
    assert outcomes == {"auth", "ok"}


def test_digest_matches_hashlib_at_every_length():
    # The signature's MD5 against hashlib: every text length across the block and
    # padding boundaries, multi-byte text, and one long text.
    svc = ServiceParamsign({"secret_key": ""})  # the hashed text is then "=" + value
    rng = random.Random(1321)
    alphabet = [chr(c) for c in range(32, 127)] + ["é", "中", "🙂", "\x00"]
    values = ["".join(rng.choices(alphabet[:95], k=n)) for n in range(0, 260)]
    values += ["".join(rng.choices(alphabet, k=n)) for n in range(0, 260, 7)]
    values.append("".join(rng.choices(alphabet, k=300_000)))
    for value in values:
        expected = hashlib.md5(("=" + value).encode()).hexdigest()
        assert svc._cal_sign({"": value}) == expected, len(value)


class TestHostileInput:
    """confirm_sign sees what unauthenticated clients send: whatever cannot verify is an
    authentication failure, never another error."""

    @pytest.mark.parametrize(
        "change",
        [
            {"a": "\ud800"},  # a lone surrogate, as JSON "\ud800" decodes
            {"\udfff": 1},
            {"user_name": "\ud83d"},
            {1: "x"},  # text and non-text keys mixed
            {None: "x", 2.5: "y"},
            {"a": 10**5000},  # too long for str()
            {"a": [[[[]]]] * 3},
        ],
    )
    def test_unverifiable_dictionaries(self, svc, change):
        signed = svc.generate_sign({"a": "x"})
        auth_fails(svc, {**signed, **change})

    def test_deep_nesting(self, svc):
        nested: list = []
        for _ in range(5000):
            nested = [nested]
        auth_fails(svc, {**svc.generate_sign({"a": 1}), "a": nested})

    def test_objects_whose_text_fails(self, svc):
        class Broken:
            def __str__(self):
                raise ValueError("no text")

            def __deepcopy__(self, memo):
                return self

        auth_fails(svc, {**svc.generate_sign({"a": 1}), "b": Broken()})
        with pytest.raises(ValueError, match="no text"):
            svc.generate_sign({"b": Broken()})

    def test_what_generate_sign_raises(self, svc):
        with pytest.raises(UnicodeEncodeError):
            svc.generate_sign({"a": "\ud800"})
        with pytest.raises(TypeError):
            svc.generate_sign({"a": 1, 2: "b"})
        with pytest.raises(TypeError):
            svc.generate_sign({"lock": threading.Lock()})  # cannot be deep-copied

    def test_token_function_errors_still_propagate(self):
        def token(user):
            raise LookupError(user)

        signer = ServiceParamsign({"secret_key": SECRET})
        verifier = ServiceParamsign({"secret_key": SECRET}, token)
        with pytest.raises(LookupError):
            verifier.confirm_sign({**signer.generate_sign({"user_name": "ann"}), 1: "x"})


class TestInstanceState:
    """The configuration lives in ordinary attributes, as in a Python class."""

    def test_uninitialised_instance(self):
        bare = ServiceParamsign.__new__(ServiceParamsign)
        for call in (
            lambda: bare.generate_sign({"a": 1}),
            lambda: bare._cal_sign({"a": 1}),
            lambda: bare._secret_key,
        ):
            with pytest.raises(AttributeError):
                call()

    def test_reinitialised_and_copied(self, svc):
        signed = svc.generate_sign({"a": 1})
        svc.__init__({"secret_key": "another", "timeout": 5})
        assert svc._timeout == 5
        auth_fails(svc, signed)
        again = svc.generate_sign({"a": 1})
        twin = copy.copy(svc)
        assert twin.confirm_sign(again) == {"a": 1}
        twin._secret_key = "changed"  # the default token function reads the secret at the call
        auth_fails(twin, again)

    def test_subclass_before_super_init(self):
        seen = []

        class Early(ServiceParamsign):
            def __init__(self, info):
                try:
                    self.generate_sign({})
                except AttributeError as e:
                    seen.append(e)
                super().__init__(info)

        assert Early({"secret_key": SECRET}).confirm_sign(
            ServiceParamsign({"secret_key": SECRET}).generate_sign({"v": 2})
        ) == {"v": 2}
        assert len(seen) == 1


def test_warnings_as_errors_never_reject(svc, warning_clock):
    fresh = svc.generate_sign({"a": 1})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert svc.confirm_sign(fresh) == {"a": 1}
        warning_clock()
        assert svc.confirm_sign(fresh) == {"a": 1}
        auth_fails(svc, {**fresh, "__exp": time.time() - 1})
