"""The client written in plain Python: the same requests and the same messages
as tarnvel._internal.api_logic.InternalClass, as a developer would write it.
The benchmarks measure the native class against it and the equivalence tests
hold the two to the same answers.

`requests` is a global of this module, looked up at every call, so a
stand-in assigned to `reference_client.requests` takes its place.
"""

from __future__ import annotations

from typing import Any

import requests

BASE_URL = "https://search.tarnvel.example"
VALIDATION_URL = BASE_URL + "/api/v2/0EA1B4B0"
SEARCH_URL = BASE_URL + "/api/v2/F6DBDEC5"

_HEAPTYPE = 1 << 9


def _type_name(value: Any) -> str:
    # The name the interpreter's own argument errors give: a class defined in
    # Python by its bare name, a built-in one as "module.Name" outside builtins.
    cls = type(value)
    if cls.__flags__ & _HEAPTYPE or cls.__module__ == "builtins":
        return cls.__name__
    return f"{cls.__module__}.{cls.__name__}"


def _require_str(value: Any, name: str) -> None:
    if type(value) is not str:
        raise TypeError(f"Argument '{name[:200]}' has incorrect type (expected str, got {_type_name(value)[:200]})")


class InternalClass:
    def __init__(self) -> None:
        self._api_key = "zefrun"

    def validate_token(self, token: str) -> str:
        """Validates the given API token."""
        _require_str(token, "token")
        payload = {"token": token}
        headers = {"Content-Type": "application/json"}
        response = requests.post(VALIDATION_URL, headers=headers, json=payload)
        if response.status_code == 200:
            data = response.json()
            if data.get("success"):
                response_type = data.get("type")
                if response_type == "credits_data":
                    credits = data.get("data", {}).get("Credits", "N/A")
                    return f"Token validated successfully. Credits available: {credits}"
                if response_type == "no_credits":
                    return "Token is valid but no credits are available. Please buy credits to proceed."
                if response_type == "invalid":
                    return "Invalid token. Please try again or exit."
                return "Unexpected response type."
            return f"Token validation failed: {data.get('message')}"
        return f"Error validating token: {response.text}"

    def search_query(self, token: str, query: str) -> str:
        """Executes a search query using the provided token."""
        _require_str(token, "token")
        _require_str(query, "query")
        payload = {"s": query, "l": "en", "o": "content"}
        headers = {"Content-Type": "application/json", "authToken": token}
        response = requests.post(SEARCH_URL, headers=headers, json=payload)
        if response.status_code == 200:
            try:
                data = response.json()
                if data.get("success"):
                    if data.get("type") == "no_credits":
                        return "You have used all credits. Please purchase more."
                    if data.get("type") == "error":
                        return "Sorry, couldn't find the results. Try again with a different input."
                    return f"Search results: {data.get('data', 'No data available')}"
                return f"Search failed: {data.get('message', 'No error message provided')}"
            except ValueError:
                return f"Search results: {response.text}"
        return f"Error during search: {response.text}"
