"""Stand-ins for decoded answers and the values in them, and for responses
that lack an attribute, shared by the service-client tests. The responses
themselves are bench/response_doubles.py's."""

from __future__ import annotations

import enum
import traceback
from decimal import Decimal
from fractions import Fraction
from typing import Any

from response_doubles import Response
from source_map import FILE


def module_entries(exc: BaseException) -> list[tuple[str, int]]:
    """(function name, line) of every traceback entry the module added."""
    # Read straight from the traceback: traceback.extract_tb would fill the
    # line cache, which the leak measures would then count.
    return [
        (frame.f_code.co_name, line)
        for frame, line in traceback.walk_tb(exc.__traceback__)
        if frame.f_code.co_filename == FILE
    ]


def refused_assignment(obj: Any, name: str) -> str:
    """The interpreter's own text for `obj.name = ...` on an object that takes
    no new attributes (3.13 adds why: no __dict__ for setting new attributes)."""
    try:
        setattr(obj, name, None)
    except AttributeError as exc:
        return str(exc)
    raise AssertionError(f"{type(obj).__name__} took the attribute {name!r}")


def no_attribute(name: str) -> Any:
    """A 200 response that lacks `name`."""
    response = Response(200, {"success": True})
    attributes = {k: getattr(response, k) for k in ("status_code", "text", "json") if k != name}
    return type("Partial", (), attributes)()


class Scripted:
    """A decoded answer whose `get` records its arguments and answers from `values`;
    a value that is an exception class is raised instead of returned."""

    def __init__(self, values: dict[str, Any]) -> None:
        self.values = values
        self.calls: list[tuple[Any, ...]] = []

    def get(self, *args: Any) -> Any:
        self.calls.append(args)
        value = self.answer(args)
        if isinstance(value, type) and issubclass(value, BaseException):
            raise value(args[0])
        return value

    def answer(self, args: tuple[Any, ...]) -> Any:
        return self.values.get(args[0], args[1] if len(args) > 1 else None)


class Sequenced(Scripted):
    """A decoded answer whose `get` gives the next value of `answers` on every call;
    an exception class among them is raised instead."""

    def __init__(self, *answers: Any) -> None:
        super().__init__({})
        self.answers = list(answers)

    def answer(self, args: tuple[Any, ...]) -> Any:
        return self.answers.pop(0)


class Compares:
    """A value whose `==` with `literal` (with anything when None) raises `error`
    ("compared with <the other value>"), or else answers `result`."""

    def __init__(
        self, literal: str | None = None, error: type[BaseException] | None = RuntimeError, result: Any = False
    ) -> None:
        self.literal, self.error, self.result = literal, error, result

    def __eq__(self, other: object) -> Any:
        if self.error is not None and (self.literal is None or other == self.literal):
            raise self.error(f"compared with {other!r}")
        return self.result

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Compares({self.literal!r}, {self.error!r}, {self.result!r})"


class ComparesStr(Compares, str):
    """Text that compares as Compares does; hashed and shown as the text."""

    def __new__(cls, text: str, *args: Any, **kwargs: Any) -> ComparesStr:
        return str.__new__(cls, text)

    def __init__(
        self,
        text: str,
        literal: str | None = None,
        error: type[BaseException] | None = RuntimeError,
        result: Any = False,
    ) -> None:
        super().__init__(literal, error, result)

    __hash__ = str.__hash__
    __repr__ = str.__repr__


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


class FormatsAnInt:
    """A value whose `__format__` gives an int instead of a str."""

    def __format__(self, spec: str) -> Any:
        return 5


class Text(str):
    """A str subclass that changes nothing."""


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


class Meta(type):
    """A metaclass of its own: exception classes made with it are not of type `type`."""


class MetaValueError(ValueError, metaclass=Meta):
    pass


class MetaError(Exception, metaclass=Meta):
    pass


class Status(enum.IntEnum):
    OK = 200


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
