"""tools/check-dist, which CI trusts to reject a wheel that lacks a file or holds a stray one."""

from __future__ import annotations

import importlib.machinery
import types
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def _load_checker():
    loader = importlib.machinery.SourceFileLoader("check_dist", str(ROOT / "tools" / "check-dist"))
    module = types.ModuleType("check_dist")
    module.__file__ = loader.path
    loader.exec_module(module)
    return module


check_dist = _load_checker()
VERSION = check_dist.source_version()
METADATA = "\n".join(
    [
        "Metadata-Version: 2.4",
        "Name: kestrum",
        f"Version: {VERSION}",
        "License-Expression: MIT",
        "License-File: LICENSE",
        "Requires-Python: >=3.10",
        "Project-URL: Homepage, https://kestrum.example.org",
        *(f"Classifier: Programming Language :: Python :: {v}" for v in check_dist.PYTHONS),
        "",
    ]
)


def _wheel(tmp_path: Path, platform: str = "manylinux_2_34_x86_64", add=(), drop=()) -> Path:
    path = tmp_path / f"kestrum-{VERSION}-cp311-cp311-{platform}.whl"
    files = (check_dist.expected_wheel_files(VERSION, "cpython-311") | set(add)) - set(drop)
    with zipfile.ZipFile(path, "w") as zf:
        for name in files:
            zf.writestr(name, METADATA if name.endswith("/METADATA") else "")
    return path


def test_a_complete_wheel_passes(tmp_path):
    assert check_dist.check_wheel(_wheel(tmp_path), VERSION) == []


@pytest.mark.parametrize(
    ("change", "problem"),
    [
        ({"drop": ["kestrum/py.typed"]}, "missing kestrum/py.typed"),
        ({"drop": ["kestrum/config_casbin_model_rbac.conf"]}, "missing kestrum/config_casbin"),
        ({"add": ["kestrum/service/__pycache__/x.pyc"]}, "stray kestrum/service/__pycache__"),
        ({"add": ["kestrum.libs/libstdc++.so.6"]}, "stray kestrum.libs/"),
        ({"platform": "linux_x86_64"}, "not a manylinux one"),
    ],
)
def test_what_a_wheel_must_not_lack_or_hold(tmp_path, change, problem):
    problems = check_dist.check_wheel(_wheel(tmp_path, **change), VERSION)
    assert any(p.startswith(problem) or problem in p for p in problems), problems


def test_metadata_must_name_the_license_and_every_python():
    text = METADATA.replace("License-Expression: MIT\n", "").replace(
        "Classifier: Programming Language :: Python :: 3.13\n", ""
    )
    problems = check_dist.check_metadata(text, VERSION)
    assert any("License-Expression" in p for p in problems)
    assert "no classifier for Python 3.13" in problems
