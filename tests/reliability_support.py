"""Shared by the reliability tests: how far to scale the work down (an
emulated run sets TARNVEL_TEST_SCALE below 1)."""
from __future__ import annotations

import os

SCALE = float(os.environ.get("TARNVEL_TEST_SCALE", "1") or 1)


def scaled(count: int, minimum: int = 1) -> int:
    return max(minimum, round(count * SCALE))
