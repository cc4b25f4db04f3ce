"""Both methods' decision tables as cases."""

from __future__ import annotations

from decimal import Decimal
from fractions import Fraction

from .doubles import Compares, OddFloat, OddInt, Status

# status_code -> whether it counts as 200
STATUS_CASES = [
    (200, True),
    (200.0, True),
    (Status.OK, True),
    (Decimal(200), True),
    (Fraction(400, 2), True),
    (200 + 0j, True),
    ("200", False),
    (b"200", False),
    (201, False),
    (204, False),
    (404, False),
    (500, False),
    (199.99, False),
    (2**64 + 200, False),
    (True, False),
    (None, False),
    (OddInt(200), False),
    (OddFloat(200.0), False),
    (Compares(error=None, result=NotImplemented), False),
    (Compares(error=None, result=None), False),
    (Compares(error=None, result=0), False),
    (Compares(error=None, result="yes"), True),
    (Compares(error=None, result=[0]), True),
]
