"""Stand-ins for decoded answers and their values, shared by the service-client tests."""
from __future__ import annotations

import enum
import traceback
from decimal import Decimal
from fractions import Fraction
from typing import Any

FILE = "tarnvel/_internal/api_logic"
VALIDATE = "tarnvel._internal.api_logic.InternalClass.validate_token"
SEARCH = "tarnvel._internal.api_logic.InternalClass.search_query"


def module_entries(exc: BaseException) -> list[tuple[str, int]]:
    """(function name, line) of every traceback entry the module added."""
    return [(e.name, e.lineno) for e in traceback.extract_tb(exc.__traceback__) if e.filename == FILE]


class Scripted:
    """A decoded answer whose `get` records its arguments and answers from `values`;
    a value that is an exception class is raised instead of returned."""

    def __init__(self, values: dict[str, Any]) -> None:
        self.values = values
        self.calls: list[tuple[Any, ...]] = []

    def get(self, *args: Any) -> Any:
        self.calls.append(args)
        value = self.values.get(args[0], args[1] if len(args) > 1 else None)
        if isinstance(value, type) and issubclass(value, BaseException):
            raise value(args[0])
        return value


class Sequenced:
    """A decoded answer whose `get` gives the next value of `answers` on every call;
    an exception class among them is raised instead."""

    def __init__(self, *answers: Any) -> None:
        self.answers = list(answers)
        self.calls: list[tuple[Any, ...]] = []

    def get(self, *args: Any) -> Any:
        self.calls.append(args)
        value = self.answers.pop(0)
        if isinstance(value, type) and issubclass(value, BaseException):
            raise value(args[0])
        return value


class Compares:
    """A value whose `==` with `literal` (any literal when None) raises `error`, or
    else answers `result`."""

    def __init__(self, literal: str | None = None, error: type[BaseException] | None = RuntimeError,
                 result: Any = False) -> None:
        self.literal, self.error, self.result = literal, error, result

    def __eq__(self, other: object) -> Any:
        if self.error is not None and (self.literal is None or other == self.literal):
            raise self.error(f"compared with {other!r}")
        return self.result

    __hash__ = None  # type: ignore[assignment]


class Falsy:
    """A value whose truth test raises `error`."""

    def __init__(self, error: type[BaseException] = RuntimeError) -> None:
        self.error = error

    def __bool__(self) -> bool:
        raise self.error("no truth")


class Shown:
    """A value rendered through `format`; its `__format__` raises `error` when given."""

    def __init__(self, shown: str = "<shown>", error: type[BaseException] | None = None) -> None:
        self.shown, self.error = shown, error

    def __format__(self, spec: str) -> str:
        if self.error is not None:
            raise self.error("cannot render")
        return self.shown + spec


class ShownStr(str):
    """A str subclass: rendered through its `__format__`, never used as it stands."""

    def __format__(self, spec: str) -> str:
        return f"<{str(self)}>"


class _OddNumber:
    """A number subclass rendered through `format` and compared through its own `==`."""

    def __repr__(self) -> str:
        return "repr"

    def __format__(self, spec: str) -> str:
        return "formatted"

    def __eq__(self, other: object) -> bool:
        return False


class OddInt(_OddNumber, int):
    __hash__ = int.__hash__


class OddFloat(_OddNumber, float):
    __hash__ = float.__hash__


class NeverEqualStr(str):
    """Equal to nothing, not even the text it holds."""

    def __eq__(self, other: object) -> bool:
        return False

    __hash__ = str.__hash__


class BrokenText:
    """A response whose `text` raises `error`; `json` and `status_code` as given."""

    def __init__(self, status_code: Any, error: type[BaseException] = RuntimeError,
                 json_error: BaseException | None = None, body: Any = None) -> None:
        self.status_code, self.error, self.json_error, self.body = status_code, error, json_error, body

    @property
    def text(self) -> str:
        raise self.error("text unreadable")

    def json(self) -> Any:
        if self.json_error is not None:
            raise self.json_error
        return self.body


class Code(enum.IntEnum):
    OK = 200


# status_code -> whether it counts as 200
STATUS_CASES = [
    (200, True),
    (200.0, True),
    (Code.OK, True),
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
