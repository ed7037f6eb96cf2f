"""Interpreter exit while daemon threads are busy in every service: no crash, no hang.

The runs are made by exit_stress.py (forked children of one process that imported
everything), 50 of them here; `python tests/exit_stress.py --runs 1000` is the long form.
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

SCRIPT = Path(__file__).with_name("exit_stress.py")


def stress(runs: int) -> dict:
    done = subprocess.run(
        [sys.executable, str(SCRIPT), "--runs", str(runs)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    lines = done.stdout.splitlines()
    assert lines, done.stderr[-3000:]
    return json.loads(lines[-1])


def test_exit_with_busy_daemon_threads(redis_info, mysql_info):
    runs = 50
    result = stress(runs)
    assert result["runs"] == runs and result["hung"] == 0
    assert (result["crashed"], result["failed"]) == (0, 0), result["details"]
