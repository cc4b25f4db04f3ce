"""The client as a Python developer would usually write it: the same requests
and, for well-formed calls, the same messages as
tarnvel._internal.api_logic.InternalClass, but no type tests and nothing
exact about wrong calls (an argument of the wrong type goes out as it is).
The benchmarks measure the native class against it beside
reference_client, which matches the native class on wrong calls too.

`requests` is a global of this module, looked up at every call, so a
stand-in assigned to `plain_client.requests` takes its place.
"""

import requests

BASE_URL = "https://search.tarnvel.example"
VALIDATION_URL = BASE_URL + "/api/v2/0EA1B4B0"
SEARCH_URL = BASE_URL + "/api/v2/F6DBDEC5"


class InternalClass:
    def __init__(self):
        self._api_key = "zefrun"

    def validate_token(self, token):
        """Validates the given API token."""
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

    def search_query(self, token, query):
        """Executes a search query using the provided token."""
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
