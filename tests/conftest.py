"""Shared fixtures: the module under test, a recording stand-in for `requests`,
and the command that starts a fresh interpreter (through an emulator when the
suite runs on another architecture)."""

from __future__ import annotations

import os
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from support.doubles import RecordingRequests

ROOT = Path(__file__).resolve().parent.parent


def pytest_configure(config: pytest.Config) -> None:
    import tarnvel

    if Path(tarnvel.__file__).resolve().parent.parent == ROOT and not list(
        (ROOT / "tarnvel" / "_internal").glob("api_logic*.so")
    ):
        raise pytest.UsageError(
            "tarnvel is imported from the source tree, which holds no built extension: "
            "install the package (python -m pip install '.[test]') and run the tests with "
            "'python -P -m pytest' or 'pytest', so that the current directory does not shadow it"
        )


@pytest.fixture(scope="session")
def api_logic():
    import tarnvel._internal.api_logic as module

    return module


@pytest.fixture
def obj(api_logic):
    return api_logic.InternalClass()


# ---------------------------------------------------------------------------
# Fresh interpreters


def python_command() -> list[str]:
    """The command that starts this interpreter: TARNVEL_TEST_LAUNCHER (for
    instance an emulator with its options) is put in front of it."""
    launcher = shlex.split(os.environ.get("TARNVEL_TEST_LAUNCHER", ""))
    return [*launcher, sys.executable]


def run_python(
    source: str, *, env: dict[str, str] | None = None, timeout: float = 120
) -> subprocess.CompletedProcess[str]:
    """Runs `source` in a fresh interpreter; returns the finished process."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [*python_command(), "-c", source],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
        cwd=str(ROOT / "tests"),
    )


# ---------------------------------------------------------------------------
# A recording stand-in for the module attribute `requests`


@pytest.fixture
def fake_requests(api_logic, monkeypatch) -> RecordingRequests:
    """Installs a RecordingRequests as the module's `requests`; set `.respond`."""
    stand_in = RecordingRequests()
    monkeypatch.setattr(api_logic, "requests", stand_in)
    return stand_in
