"""One start of an interpreter that touches every package the test suite
uses, for .ci/targets.sh to trace which files it opens:

    INTERPRETER -P devtools/import_smoke.py

trustme and OpenSSL only where the release builds their compiled parts for
this interpreter (not forky for 3.15).
"""

import json  # noqa: F401
import socket
import ssl
import time

import _testcapi  # noqa: F401
import hypothesis  # noqa: F401
import pytest  # noqa: F401
import requests
import responses  # noqa: F401

import tarnvel._internal.api_logic  # noqa: F401

try:
    import OpenSSL  # noqa: F401
    import trustme
except ImportError:
    pass
else:
    trustme.CA().issue_cert("127.0.0.1")
ssl.create_default_context().load_verify_locations(requests.certs.where())
socket.getaddrinfo("localhost", 443)
time.localtime()
