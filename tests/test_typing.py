"""The type stub: type checkers see InternalClass and its signatures."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")
if os.environ.get("TARNVEL_TEST_LAUNCHER"):
    pytest.skip("mypy checks sources on the build host; nothing to emulate", allow_module_level=True)
CASES = Path(__file__).parent / "typing_cases"


def run_mypy(case: str) -> subprocess.CompletedProcess[str]:
    # mypy runs on the host interpreter only; it reads files, never imports the module.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", "/dev/null", str(CASES / case)],
        capture_output=True,
        text=True,
        cwd=str(CASES),
        timeout=300,
    )


def test_correct_usage_passes_strict_checking():
    result = run_mypy("good_usage.py")
    assert result.returncode == 0, result.stdout + result.stderr


def test_wrong_calls_are_flagged():
    result = run_mypy("wrong_call.py")
    assert result.returncode == 1, result.stdout + result.stderr
    flagged_lines = sorted({line.split(":")[1] for line in result.stdout.splitlines() if ": error:" in line})
    assert flagged_lines == ["4", "5", "6"], result.stdout
