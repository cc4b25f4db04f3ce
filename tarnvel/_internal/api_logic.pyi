"""Native client of the tarnvel search service."""

from typing import Optional as Optional

import requests as requests

__test__: dict[str, object]

class InternalClass:
    _api_key: str
    def __init__(self) -> None: ...
    def validate_token(self, token: str) -> str:
        """Validates the given API token."""
    def search_query(self, token: str, query: str) -> str:
        """Executes a search query using the provided token."""
