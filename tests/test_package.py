"""The package root: cheap to import, entry points on first use, one version."""

from __future__ import annotations

import importlib.metadata
import json
import subprocess
import sys

import pytest

import kestrum


def _in_fresh_interpreter(code: str) -> dict:
    out = subprocess.run(
        [sys.executable, "-c", code], check=True, capture_output=True, text=True, timeout=120
    ).stdout
    return json.loads(out.splitlines()[-1])


def test_importing_the_root_loads_no_service():
    loaded = _in_fresh_interpreter(
        "import json, sys, kestrum; print(json.dumps(sorted(sys.modules)))"
    )
    heavy = {"kestrum._container", "kestrum._config", "pydantic", "sqlalchemy", "pandas", "casbin"}
    assert heavy.isdisjoint(loaded)
    assert not [name for name in loaded if name.startswith("kestrum.service")]


def test_entry_points_resolve_to_the_modules_own_objects():
    seen = _in_fresh_interpreter(
        "import json, kestrum\n"
        "from kestrum import KestrumModelProject, create_container\n"
        "import kestrum._config, kestrum._container\n"
        "print(json.dumps([create_container is kestrum._container.create_container,\n"
        "    KestrumModelProject is kestrum._config.KestrumModelProject,\n"
        "    'create_container' in vars(kestrum)]))"
    )
    assert seen == [True, True, True]


def test_unknown_names_and_dir():
    with pytest.raises(AttributeError, match="module 'kestrum' has no attribute 'create_contaner'"):
        kestrum.create_contaner  # noqa: B018
    assert {"create_container", "KestrumModelProject", "Tool", "util"} <= set(dir(kestrum))
    assert set(kestrum.__all__) <= set(dir(kestrum))


def test_one_version():
    assert importlib.metadata.version("kestrum") == kestrum.__version__
