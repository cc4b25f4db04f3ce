"""Stand-ins for `requests` and for what it gives: responses reduced to what
the clients read of them (`status_code`, `text` and `json()`), and decoded
answers and the values in them that misbehave in one chosen way.

Every attribute of a response is a plain one and nothing is made when it is
read, so that a call through a stand-in costs the client's work and little
besides (the benchmarks answer with these too); an exception class given as
an error is raised anew on every call, so that repeated calls never grow one
exception's traceback.
"""

from __future__ import annotations

import enum
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

# ---------------------------------------------------------------------------
# Responses


class Response:
    """`json()` raises `json_error` (an exception, or a class: a new instance
    saying "not JSON" on every call) or else gives `body`."""

    text: Any = ""

    def __init__(
        self,
        status_code: Any = 200,
        body: Any = None,
        text: Any = None,
        json_error: BaseException | type[BaseException] | None = None,
    ) -> None:
        self.status_code = status_code
        self.body = body
        self.json_error = json_error
        if text is not None:
            self.text = text

    def json(self) -> Any:
        # No local names: a traceback through this frame holds only the response.
        if self.json_error is None:
            return self.body
        raise self.json_error("not JSON") if isinstance(self.json_error, type) else self.json_error


class TextFails(Response):
    """A response whose `text` cannot be read, as when the connection breaks:
    reading it raises `error` (an exception, or a class: a new instance saying
    "connection broke" on every read)."""

    def __init__(
        self,
        status_code: Any = 200,
        body: Any = None,
        error: BaseException | type[BaseException] = RuntimeError,
        json_error: BaseException | type[BaseException] | None = None,
    ) -> None:
        super().__init__(status_code, body, json_error=json_error)
        self.error = error

    @property
    def text(self) -> Any:  # type: ignore[override]
        raise self.error("connection broke") if isinstance(self.error, type) else self.error


class ValueErrorFromC(Response):
    """A response whose `json()` fails in C code: the ValueError is not yet an
    instance when the client sees it."""

    def json(self) -> Any:
        return int("x")


class DecodeError(ValueError):
    """What `requests` raises for a body that is not JSON: a ValueError subclass."""


def no_attribute(name: str) -> Any:
    """A 200 response that lacks `name`."""
    response = Response(200, {"success": True})
    attributes = {k: getattr(response, k) for k in ("status_code", "text", "json") if k != name}
    return type("Partial", (), attributes)()


# ---------------------------------------------------------------------------
# A recording stand-in for `requests`


@dataclass
class Call:
    args: tuple[Any, ...]
    kwargs: dict[str, Any]


@dataclass
class RecordingRequests:
    """Records every call of `post` and answers with `respond(url, **kwargs)`."""

    respond: Callable[..., Any] = field(default=lambda *a, **k: Response(200, {}))
    calls: list[Call] = field(default_factory=list)

    def post(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append(Call(args, kwargs))
        return self.respond(*args, **kwargs)


def answer(status_code: Any = 200, body: Any = None, **kwargs: Any) -> Callable[..., Response]:
    """A `respond` function that always gives the same response."""
    response = Response(status_code, body, **kwargs)
    return lambda *a, **k: response


# ---------------------------------------------------------------------------
# Decoded answers and the values in them


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
