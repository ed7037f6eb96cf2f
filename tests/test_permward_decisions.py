"""ServiceCasbin's decisions against casbin's own: the index for the package's model
(a differential test over randomised policies), the decision cache under every kind of
change, the fallbacks to casbin, and consistency under threads and after fork."""

from __future__ import annotations

import logging
import os
import random
import signal
import threading
import time
import uuid
from pathlib import Path

import casbin
import pytest
from casbin.model.policy_op import PolicyOp
from test_permward import fresh_table, table_info

import kestrum
from kestrum.service.permward import ServiceCasbin

MODEL = str(Path(kestrum.__file__).parent / "config_casbin_model_rbac.conf")


class CasbinLog(logging.Handler):
    """Counts casbin's own per-request log records: each one is a decision casbin made."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.count = 0

    def emit(self, record: logging.LogRecord) -> None:
        self.count += record.getMessage().startswith("Request: ")


@pytest.fixture
def casbin_log():
    log = logging.getLogger("casbin.enforcer")
    handler, was_disabled, level = CasbinLog(), log.disabled, log.level
    log.disabled = False
    log.setLevel(logging.DEBUG)
    log.addHandler(handler)
    yield handler
    log.removeHandler(handler)
    log.disabled, log.level = was_disabled, level


@pytest.fixture(scope="module")
def base_service(mysql_info):
    info = table_info(mysql_info, "decisions")
    fresh_table(info)
    return ServiceCasbin(info, logging.getLogger(f"permward-decisions-{uuid.uuid4().hex}"))


@pytest.fixture
def svc(base_service, monkeypatch):
    """The module's service with an in-memory policy only (casbin's table writes off;
    the service's own changes publish into the void)."""
    e = base_service._enforce
    e.enable_auto_save(False)
    e.enable_enforce(True)
    e.add_function("keyMatch", casbin.util.key_match_func)
    e.clear_policy()
    e.build_role_links()
    monkeypatch.setattr(base_service, "_cachewell", Silent(), raising=False)
    yield base_service
    e.enable_auto_save(True)


class Silent:
    """A stand-in for ServiceRedis whose publications go nowhere."""

    class _Conn:
        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return False

        def publish(self, *args):
            return 0

    def with_conn(self):
        return self._Conn()


def load(e, policies, groupings) -> None:
    e.clear_policy()
    e.build_role_links()
    for rule in policies:
        e.add_policy(*rule)
    for rule in groupings:
        e.add_grouping_policy(*rule)


# ---------------------------------------------------------------------------
# The index answers as casbin does

ATOMS = ["", "a", "b", "東京", "é", "/", "x/y", "G-", "*", "ü*", "\u0000", "𝄞", " "]


def random_policy(rng: random.Random):
    def word() -> str:
        return "".join(rng.choice(ATOMS) for _ in range(rng.randint(0, 3)))

    # Roles in a chain longer than casbin's hierarchy limit (10), plus random links
    # (cycles and self-links included).
    roles = [f"G-{word()}{i}" for i in range(rng.randint(1, 14))]
    users = [word() for _ in range(rng.randint(1, 6))]
    patterns = [word() + rng.choice(["", "*", "/*", "*x", "**"]) for _ in range(rng.randint(1, 10))]
    acts = ["GET", "POST", "", "東"]
    policies = [
        [rng.choice(roles + users), rng.choice(patterns), rng.choice(acts)]
        for _ in range(rng.randint(0, 30))
    ]
    groupings = [[a, b] for a, b in zip(roles, roles[1:], strict=False) if rng.random() < 0.85]
    others = users + roles
    groupings += [[rng.choice(others), rng.choice(others)] for _ in range(rng.randint(0, 12))]
    subjects = users + roles + [word() for _ in range(3)] + [""]
    objects = [p.replace("*", word()) for p in patterns] + [word() for _ in range(5)] + patterns
    requests = [
        (rng.choice(subjects), rng.choice(objects), rng.choice(acts + ["x"])) for _ in range(4000)
    ]
    return policies, groupings, requests


def test_index_answers_as_casbin_over_random_policies(svc, casbin_log):
    e = svc._enforce
    rng = random.Random(20261207)
    total = mismatches = 0
    for _ in range(25):
        policies, groupings, requests = random_policy(rng)
        load(e, policies, groupings)
        reference = casbin.Enforcer(MODEL)  # a fresh engine holding the same policy
        for rule in policies:
            reference.add_policy(*rule)
        for rule in groupings:
            reference.add_grouping_policy(*rule)
        before = casbin_log.count
        ours = [svc.enforce(*r) for r in requests]
        assert casbin_log.count == before  # answered by the index and the cache alone
        for request, got in zip(requests, ours, strict=True):
            want = reference.enforce(*request)
            total += 1
            mismatches += got is not want
        # and repeated, now from the cache
        assert [svc.enforce(*r) for r in requests[:500]] == ours[:500]
    assert total >= 100_000 and mismatches == 0


def test_edge_cases_of_the_model(svc, casbin_log):
    e = svc._enforce
    # No rules at all: casbin evaluates the matcher once with empty rule values.
    load(e, [], [["alice", ""]])
    cases = [("", "", ""), ("alice", "", ""), ("bob", "", ""), ("", "x", "")]
    got = [svc.enforce(*c) for c in cases]
    assert got == [e.enforce(*c) for c in cases] == [True, True, False, False]
    # A chain of exactly the hierarchy limit: nine steps reach, ten do not.
    chain = [f"G-{i}" for i in range(12)]
    links = list(zip(chain, chain[1:], strict=False))
    load(e, [[chain[9], "/nine", "GET"], [chain[10], "/ten", "GET"]], links)
    assert svc.enforce("G-0", "/nine", "GET") is True
    assert svc.enforce("G-0", "/ten", "GET") is False
    assert svc.enforce("G-1", "/ten", "GET") is True
    assert casbin_log.count == len(cases)  # the calls on `e` above, nothing else


# ---------------------------------------------------------------------------
# Fallbacks: whatever the index does not know, casbin answers


def test_other_arguments_models_and_overrides_go_to_casbin(svc, casbin_log, monkeypatch):
    e = svc._enforce
    load(e, [["G-a", "/a/*", "GET"]], [["alice", "G-a"]])
    # non-text arguments, and str subclasses
    Name = type("Name", (str,), {})
    before = casbin_log.count
    assert svc.enforce(7, "/a/1", "GET") is False
    assert svc.enforce(Name("alice"), "/a/1", "GET") is True
    assert svc.enforce("alice", "/a/\ud800", "GET") is True  # not encodable
    assert casbin_log.count == before + 3

    # an overridden decision method, on the instance or the class
    monkeypatch.setattr(e, "enforce", lambda *r: "instance says so", raising=False)
    assert svc.enforce("alice", "/a/1", "GET") == "instance says so"
    monkeypatch.delattr(e, "enforce")
    monkeypatch.setattr(type(e._e), "enforce_ex", lambda self, *r: ("class says so", []))
    assert svc.enforce("alice", "/a/1", "GET") == "class says so"
    monkeypatch.undo()
    assert svc.enforce("alice", "/a/1", "GET") is True

    # another matcher: casbin answers, and is not cached
    model = casbin.Enforcer.new_model(text=Path(MODEL).read_text().replace("keyMatch", "keyMatch2"))
    e.set_model(model)
    e.build_role_links()  # the new model's role assertion gets the role manager
    load(e, [["G-a", "/a/:id", "GET"]], [["alice", "G-a"]])
    before = casbin_log.count
    assert svc.enforce("alice", "/a/1", "GET") is True
    assert svc.enforce("alice", "/a/1", "GET") is True
    assert casbin_log.count == before + 2
    e.set_model(casbin.Enforcer.new_model(MODEL))
    e.build_role_links()


# ---------------------------------------------------------------------------
# Every kind of change invalidates cached decisions and the index

PROBES = [
    ("alice", "/a/1", "GET"),
    ("alice", "/b", "GET"),
    ("bob", "/a/1", "GET"),
    ("bob", "/b", "GET"),
    ("G-a", "/a/1", "GET"),
    ("carol", "/a/x", "GET"),
    ("carol", "/c", "POST"),
]
BASE_P = [["G-a", "/a/*", "GET"], ["carol", "/a/x", "GET"]]
BASE_G = [["alice", "G-a"]]


CHANGES = {
    "add_policy": lambda s, e: e.add_policy("G-a", "/b", "GET"),
    "add_policies": lambda s, e: e.add_policies([["bob", "/b", "GET"], ["carol", "/c", "POST"]]),
    "add_named_policy": lambda s, e: e.add_named_policy("p", "carol", "/c", "POST"),
    "remove_policy": lambda s, e: e.remove_policy("G-a", "/a/*", "GET"),
    "remove_policies": lambda s, e: e.remove_policies([["carol", "/a/x", "GET"]]),
    "remove_filtered_policy": lambda s, e: e.remove_filtered_policy(0, "G-a"),
    "add_grouping_policy": lambda s, e: e.add_grouping_policy("bob", "G-a"),
    "remove_grouping_policy": lambda s, e: e.remove_grouping_policy("alice", "G-a"),
    "remove_filtered_grouping_policy": lambda s, e: e.remove_filtered_grouping_policy(1, "G-a"),
    "delete_user": lambda s, e: e.delete_user("carol"),
    "delete_role": lambda s, e: e.delete_role("G-a"),
    "delete_permission": lambda s, e: e.delete_permission("/a/*", "GET"),
    "add_permission_for_user": lambda s, e: e.add_permission_for_user("bob", "/a/*", "GET"),
    "delete_roles_for_user": lambda s, e: e.delete_roles_for_user("alice"),
    "clear_policy": lambda s, e: e.clear_policy(),
    "enable_enforce": lambda s, e: e.enable_enforce(False),
    "add_function": lambda s, e: e.add_function("keyMatch", lambda a, b: True),
    "build_incremental_role_links": lambda s, e: e.build_incremental_role_links(
        PolicyOp.Policy_add, "g", [["bob", "G-a"]]
    ),
    "role_manager.add_link": lambda s, e: e.get_role_manager().add_link("bob", "G-a"),
    "model.add_policy": lambda s, e: e.get_model().add_policy("p", "p", ["bob", "/b", "GET"]),
    "inner.add_policy": lambda s, e: e._e.add_policy("bob", "/b", "GET"),
    "inner.update_policy": lambda s, e: e._e.update_policy(BASE_P[0], ["G-a", "/b", "GET"]),
    "inner.delete_role_for_user": lambda s, e: e._e.delete_role_for_user("alice", "G-a"),
    "service.add_role_for_user": lambda s, e: s.add_role_for_user("bob", "G-a"),
    "service.remove_policy": lambda s, e: s.remove_policy("carol", "/a/x", "GET"),
}


@pytest.mark.parametrize("change", list(CHANGES))
def test_every_change_invalidates_cached_decisions(svc, change):
    e = svc._enforce
    load(e, BASE_P, BASE_G)
    before = [svc.enforce(*p) for p in PROBES]
    assert before == [e.enforce(*p) for p in PROBES]
    CHANGES[change](svc, e)
    after = [svc.enforce(*p) for p in PROBES]
    assert after == [e.enforce(*p) for p in PROBES]
    assert after != before  # each change above changes some decision


def test_two_services_in_one_process(svc, mysql_info):
    """Changes count for the enforcer whose objects they touch, and for every enforcer
    sharing those objects."""
    other = ServiceCasbin(table_info(mysql_info, "decisions_other"), svc._logger)
    a, b = svc._enforce, other._enforce
    b.enable_auto_save(False)
    load(a, BASE_P, BASE_G)
    load(b, BASE_P, BASE_G)
    probe = ("bob", "/a/1", "GET")
    assert svc.enforce(*probe) is other.enforce(*probe) is False
    a.add_grouping_policy("bob", "G-a")
    assert (svc.enforce(*probe), other.enforce(*probe)) == (True, False)
    # b now evaluates a's model and role manager: a change through either counts for both
    b._e.model = a._e.model
    b._e.rm_map = a._e.rm_map
    assert other.enforce(*probe) is True
    a.get_role_manager().delete_link("bob", "G-a")
    assert svc.enforce(*probe) is other.enforce(*probe) is False
    b.get_model().add_policy("p", "p", ["bob", "/a/*", "GET"])
    assert svc.enforce(*probe) is other.enforce(*probe) is True


# ---------------------------------------------------------------------------
# Threads and fork


def test_threads_never_see_a_change_undone(svc):
    """After a change returns, no thread answers from before it."""
    load(svc._enforce, BASE_P, BASE_G)
    begun, done = [0], [0]  # changes started and returned; odd: bob has G-a
    stop = threading.Event()
    wrong: list[tuple[int, bool]] = []

    def decide() -> None:
        while not stop.is_set():
            finished, started = done[0], begun[0]
            got = svc.enforce("bob", "/a/1", "GET")
            if finished == started == begun[0] and got is not bool(finished % 2):
                wrong.append((finished, got))

    threads = [threading.Thread(target=decide) for _ in range(4)]
    for t in threads:
        t.start()
    try:
        for i in range(60):
            begun[0] += 1
            if i % 2 == 0:
                svc.add_role_for_user("bob", "G-a")
            else:
                svc.delete_role_for_user("bob", "G-a")
            done[0] += 1
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert wrong == []


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_children_decide_and_change_on_their_own(svc):
    """Forks while other threads decide, through the cache and through casbin (inside
    its readers-writer lock): the child changes its policy and sees it at once."""
    e = svc._enforce
    load(e, BASE_P, BASE_G)
    assert svc.enforce("bob", "/a/1", "GET") is False  # cached before the forks
    Name = type("Name", (str,), {})
    stop = threading.Event()

    def busy(sub) -> None:
        while not stop.is_set():
            svc.enforce(sub, "/a/1", "GET")

    threads = [threading.Thread(target=busy, args=(s,)) for s in ("alice", Name("alice"))]
    for t in threads:
        t.start()
    try:
        for _ in range(6):
            pid = os.fork()
            if pid == 0:
                code = 1
                try:
                    e.add_grouping_policy("bob", "G-a")
                    code = 0 if svc.enforce("bob", "/a/1", "GET") is True else 2
                finally:
                    os._exit(code)
            deadline = time.monotonic() + 10
            while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
                time.sleep(0.01)
            if done[0] == 0:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            assert done[0] == pid, "the child hung"
            assert os.waitstatus_to_exitcode(done[1]) == 0
            assert svc.enforce("bob", "/a/1", "GET") is False  # the parent's policy
    finally:
        stop.set()
        for t in threads:
            t.join()
