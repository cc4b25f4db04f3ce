"""README's section on testing code that uses the class: its example runs as
written, and what it says of mocks patched on the class holds."""

from __future__ import annotations

import re
from unittest import mock

import pytest
import requests

from conftest import ROOT
from support.doubles import RecordingRequests, answer

SECTION = "## Testing code that uses InternalClass\n"


def example() -> str:
    text = (ROOT / "README.md").read_text()
    section = text[text.index(SECTION) + len(SECTION) :]
    section = section[: section.index("\n## ")]
    [code] = re.findall(r"```python\n(.*?)```", section, re.S)
    return code


def test_the_example_runs_as_written(api_logic, monkeypatch):
    monkeypatch.setattr(api_logic, "requests", requests)
    namespace: dict[str, object] = {}
    exec(compile(example(), "README.md", "exec"), namespace)
    [test] = [value for name, value in namespace.items() if name.startswith("test_")]
    test()


def test_patched_on_the_class_a_method_is_called_without_self(api_logic, monkeypatch):
    monkeypatch.setattr(api_logic, "requests", RecordingRequests(answer(503, text="down")))
    cls = api_logic.InternalClass
    client = cls()
    # autospec: the instance is not recorded, and any arguments are taken.
    with mock.patch.object(cls, "search_query", autospec=True) as patched:
        client.search_query("t", "q")
        client.search_query("only one")
    assert patched.call_args_list == [mock.call("t", "q"), mock.call("only one")]
    # What pytest-mock's spy makes of it: the original behind the mock gets no instance.
    with mock.patch.object(cls, "search_query", side_effect=cls.search_query):
        with pytest.raises(TypeError, match=re.escape("search_query() takes exactly 3 positional arguments (2 given)")):
            client.search_query("t", "q")
    assert client.search_query("t", "q") == "Error during search: down"
