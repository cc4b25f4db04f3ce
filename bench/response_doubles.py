"""What `requests.post` returns, reduced to what the clients read of it:
`status_code`, `text` and `json()`. The benchmarks answer with these, and so
do the tests (bench/ is on their path).

Every attribute is a plain one and nothing is made when it is read, so that
a call through a stand-in costs the client's work and little besides; an
exception class given as an error is raised anew on every call, so that
repeated calls never grow one exception's traceback.
"""

from __future__ import annotations

from typing import Any


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
