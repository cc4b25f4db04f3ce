"""A local stand-in for the search service, for the tests and the demo.

HTTPS on 127.0.0.1 with a certificate authority of its own, made at start:
by `trustme` when it is installed, by the `openssl` command otherwise, so the
demo runs with nothing but the package's runtime dependencies. Both endpoints
answer from fixed scripts: the token sent to the validation endpoint, or the
query sent to the search endpoint, picks the answer. Every request that
arrives is recorded, and every connection accepted is counted.

It speaks HTTP/1.1 and keeps each connection open for the client's next
request until the client closes it, an answer asks for it to close
(`Answer.close`), it stays idle for `_Handler.timeout` seconds, or the
sandbox drops it (`drop_connections()`, and at stop).

    with Sandbox() as sb, sb.installed(api_logic):
        api_logic.InternalClass().validate_token("credits")

The module under test posts to its build-time origin; the stand-in installed
as its `requests` swaps only the origin of each URL for the sandbox's, adds
the sandbox's CA bundle as `verify`, and hands everything else unchanged to
the real `requests.post`. `Sandbox.session()` makes a `requests.Session`
that does the same for its own requests, for callers that keep their
connections:

    session = sb.session()
    api_logic.requests = types.SimpleNamespace(post=session.post)
"""

from __future__ import annotations

import contextlib
import json
import secrets
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit, urlunsplit

import requests
import requests.adapters

VALIDATION_PATH = "/api/v2/0EA1B4B0"
SEARCH_PATH = "/api/v2/F6DBDEC5"

# How long the "slow" scripts keep the caller waiting; no answer waits longer
# than MAX_DELAY, so stopping the sandbox never hangs on a sleeping handler.
SLOW_SECONDS = 0.3
MAX_DELAY = 5.0
# How long stop() waits for the connection threads to close their sockets.
STOP_WAIT = MAX_DELAY + 1.0


@dataclass(frozen=True)
class Answer:
    """One scripted answer: status, body bytes, content type, delay, and
    whether the connection closes after it (announced by `Connection: close`)."""

    status: int = 200
    body: bytes = b""
    content_type: str = "application/json"
    delay: float = 0.0
    close: bool = False

    @classmethod
    def json(cls, value: Any, status: int = 200, delay: float = 0.0) -> Answer:
        return cls(status, json.dumps(value).encode(), "application/json", delay)

    @classmethod
    def text(cls, text: str, status: int = 200, content_type: str = "text/plain; charset=utf-8") -> Answer:
        return cls(status, text.encode(), content_type)


# Answers both endpoints give for the same value: failures of the service
# itself rather than outcomes it reports.
_FAILURES = {
    "status-500": Answer.text("Internal Server Error", status=500),
    "status-404": Answer.json({"success": True, "type": "credits_data"}, status=404),
    "not-json": Answer.text(
        "<html><body>Service temporarily unavailable</body></html>", content_type="text/html; charset=utf-8"
    ),
    "empty-body": Answer(200, b"", "application/json"),
    "json-array": Answer.json(["credits_data", 12]),
}

VALIDATION_ANSWERS: dict[str, Answer] = {
    "credits": Answer.json({"success": True, "type": "credits_data", "data": {"Credits": 12}}),
    "credits-unknown": Answer.json({"success": True, "type": "credits_data", "data": {}}),
    "no-credits": Answer.json({"success": True, "type": "no_credits"}),
    "invalid": Answer.json({"success": True, "type": "invalid"}),
    "unexpected-type": Answer.json({"success": True, "type": "renewal_pending"}),
    "refused": Answer.json({"success": False, "message": "Token has been revoked"}),
    "refused-silently": Answer.json({"success": False}),
    "slow": Answer.json({"success": True, "type": "credits_data", "data": {"Credits": 3}}, delay=SLOW_SECONDS),
    **_FAILURES,
}
VALIDATION_DEFAULT = Answer.json({"success": False, "message": "Unknown token"})

SEARCH_ANSWERS: dict[str, Answer] = {
    "results": Answer.json({"success": True, "type": "results", "data": [{"title": "Tarn lakes", "score": 0.92}]}),
    "results-missing": Answer.json({"success": True}),
    "no-credits": Answer.json({"success": True, "type": "no_credits"}),
    "nothing-found": Answer.json({"success": True, "type": "error", "data": []}),
    "refused": Answer.json({"success": False, "message": "Query too long"}),
    "refused-silently": Answer.json({"success": False}),
    "slow": Answer.json({"success": True, "type": "results", "data": "late but here"}, delay=SLOW_SECONDS),
    **_FAILURES,
}
SEARCH_DEFAULT = Answer.json({"success": True, "type": "results", "data": []})


@dataclass(frozen=True)
class Received:
    """A request as it arrived: the body parsed as JSON, or raw bytes if it is not JSON."""

    method: str
    path: str
    headers: dict[str, str]
    body: Any


# ---------------------------------------------------------------------------
# Certificates


@dataclass(frozen=True)
class Certificates:
    ca_bundle: Path  # the CA certificate clients must trust
    server_chain: Path  # the server's private key and certificate chain, PEM
    maker: str


CERTIFICATE_MAKERS = ("trustme", "openssl")

_OPENSSL_CONFIG = """\
[req]
distinguished_name = dn
prompt = no
[dn]
CN = tarnvel sandbox
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid, issuer
"""


def _issue_with_trustme(directory: Path) -> Certificates:
    import trustme

    ca = trustme.CA(organization_name="tarnvel sandbox")
    server = ca.issue_cert("127.0.0.1", "localhost")
    certificates = Certificates(directory / "ca.pem", directory / "server.pem", "trustme")
    ca.cert_pem.write_to_path(str(certificates.ca_bundle))
    server.private_key_and_cert_chain_pem.write_to_path(str(certificates.server_chain))
    return certificates


def _issue_with_openssl(directory: Path) -> Certificates:
    openssl = shutil.which("openssl")
    if openssl is None:
        raise RuntimeError("the sandbox needs either the Python package trustme or the openssl command")
    config = directory / "openssl.cnf"
    config.write_text(_OPENSSL_CONFIG)
    ca_key, ca_pem = directory / "ca.key", directory / "ca.pem"
    key, request, certificate = directory / "server.key", directory / "server.csr", directory / "server.crt"
    new_key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    steps = [
        [
            "req",
            "-x509",
            "-config",
            config,
            "-extensions",
            "ca",
            *new_key,
            "-keyout",
            ca_key,
            "-out",
            ca_pem,
            "-days",
            "2",
            "-subj",
            "/O=tarnvel sandbox/CN=tarnvel sandbox CA",
        ],
        [
            "req",
            "-new",
            "-config",
            config,
            *new_key,
            "-keyout",
            key,
            "-out",
            request,
            "-subj",
            "/O=tarnvel sandbox/CN=127.0.0.1",
        ],
        [
            "x509",
            "-req",
            "-in",
            request,
            "-CA",
            ca_pem,
            "-CAkey",
            ca_key,
            "-set_serial",
            f"0x{secrets.token_hex(16)}",
            "-days",
            "2",
            "-extfile",
            config,
            "-extensions",
            "server",
            "-out",
            certificate,
        ],
    ]
    for step in steps:
        done = subprocess.run([openssl, *map(str, step)], capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"openssl {step[0]} failed: {done.stderr.strip()}")
    chain = directory / "server.pem"
    chain.write_text(key.read_text() + certificate.read_text() + ca_pem.read_text())
    return Certificates(ca_pem, chain, "openssl")


def issue_certificates(directory: Path, maker: str = "auto") -> Certificates:
    """A fresh CA and a server certificate for 127.0.0.1 and localhost, signed by it."""
    if maker == "auto":
        try:
            import trustme  # noqa: F401
        except ImportError:
            maker = "openssl"
        else:
            maker = "trustme"
    if maker == "trustme":
        return _issue_with_trustme(directory)
    if maker == "openssl":
        return _issue_with_openssl(directory)
    raise ValueError(f"unknown certificate maker {maker!r}; expected 'auto' or one of {CERTIFICATE_MAKERS}")


# ---------------------------------------------------------------------------
# The server


class _Handler(BaseHTTPRequestHandler):
    server: _Server
    server_version = "tarnvel-sandbox/1"
    protocol_version = "HTTP/1.1"  # connections stay open between requests
    # A client that stalls mid-request, or keeps an idle connection this
    # long, cannot hold a thread for ever.
    timeout = 10

    def setup(self) -> None:
        # TLS sends small records of its own (handshake, session tickets)
        # ahead of an answer: with Nagle's algorithm on, the answer could wait
        # for the client's delayed ACK of them.
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # The handshake runs here, in the connection's own thread, not in the
        # accepting loop, so one stalled client cannot block the others.
        self.request.settimeout(self.timeout)
        self.request.do_handshake()
        super().setup()

    def handle(self) -> None:
        # The base class's loop, except that a client going away before
        # another request is how a kept connection ends, not a failure.
        self.close_connection = True
        self.handle_one_request()
        while not self.close_connection:
            self.raw_requestline = b""
            try:
                self.handle_one_request()
            except OSError:
                if self.raw_requestline:
                    raise
                return

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def do_POST(self) -> None:
        coding, length = self.headers.get("Transfer-Encoding"), self.headers.get("Content-Length") or "0"
        if coding is not None and coding.strip().lower() == "chunked":
            raw = self._read_chunks()
        elif coding is None and length.isascii() and length.isdigit():
            raw = self.rfile.read(int(length))
        else:
            # Where this body ends, and the next request starts, is unknown.
            self.close_connection = True
            self._send(Answer.json({"success": False, "message": "Unreadable body length"}, status=400))
            return
        try:
            body: Any = json.loads(raw)
        except ValueError:
            body = raw
        self.server.sandbox._record(Received("POST", self.path, dict(self.headers.items()), body))
        self._send(self.server.sandbox._answer_for(self.path, body, self.headers))

    def _read_chunks(self) -> bytes:
        chunks = []
        while size := int(self.rfile.readline(65537).split(b";")[0], 16):
            chunks.append(self.rfile.read(size))
            self.rfile.readline()
        while self.rfile.readline(65537).strip():  # trailer fields, up to the blank line
            pass
        return b"".join(chunks)

    def do_GET(self) -> None:
        self.server.sandbox._record(Received("GET", self.path, dict(self.headers.items()), b""))
        self._send(Answer.json({"success": False, "message": "Use POST"}, status=405))

    def _send(self, answer: Answer) -> None:
        if answer.delay > 0:
            time.sleep(min(answer.delay, MAX_DELAY))
        if answer.close:
            self.close_connection = True
        head = [
            f"{self.protocol_version} {answer.status} {self.responses.get(answer.status, ('',))[0]}",
            f"Server: {self.version_string()}",
            f"Date: {self.date_time_string()}",
            f"Content-Type: {answer.content_type}",
            f"Content-Length: {len(answer.body)}",
        ]
        # Also when the client asked to close, or spoke HTTP/1.0 without keep-alive.
        if self.close_connection:
            head.append("Connection: close")
        # One write: status line, headers and body reach the client together.
        self.wfile.write("".join(line + "\r\n" for line in head).encode("latin-1") + b"\r\n" + answer.body)


class _Server(ThreadingHTTPServer):
    # A connection kept open by a client never keeps the process alive; stop()
    # closes the open ones itself.
    daemon_threads = True
    sandbox: Sandbox

    def process_request(self, request: Any, client_address: Any) -> None:
        self.sandbox._opened(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request: Any) -> None:
        with self.sandbox._closing(request):
            super().shutdown_request(request)

    def handle_error(self, request: Any, client_address: Any) -> None:
        # Refused handshakes and dropped connections are part of what the
        # tests provoke; count them instead of printing tracebacks.
        self.sandbox._count_failed_connection()


class Sandbox:
    """The sandbox service; use as a context manager, or call start() and stop()."""

    def __init__(self, certificates: str = "auto") -> None:
        self.certificate_maker = certificates
        self.validation_answers = dict(VALIDATION_ANSWERS)
        self.search_answers = dict(SEARCH_ANSWERS)
        self._received: list[Received] = []
        self._failed_connections = 0
        self._connections_accepted = 0
        self._open: set[Any] = set()
        self._lock = threading.Lock()
        self._connection_closed = threading.Condition(self._lock)
        self._directory: tempfile.TemporaryDirectory[str] | None = None
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        self.certificates: Certificates | None = None

    # -- lifecycle ---------------------------------------------------------

    def start(self) -> Sandbox:
        self._directory = tempfile.TemporaryDirectory(prefix="tarnvel-sandbox-")
        try:
            self.certificates = issue_certificates(Path(self._directory.name), self.certificate_maker)
            context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            context.load_cert_chain(str(self.certificates.server_chain))
        except BaseException:
            self._directory.cleanup()
            self._directory = None
            raise
        server = _Server(("127.0.0.1", 0), _Handler)
        server.sandbox = self
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
        self._server = server
        self._thread = threading.Thread(
            target=server.serve_forever, kwargs={"poll_interval": 0.05}, name="tarnvel-sandbox", daemon=True
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
            self.drop_connections()
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        if self._directory is not None:
            self._directory.cleanup()
            self._directory = None

    def __enter__(self) -> Sandbox:
        return self.start()

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()

    # -- what the tests and the demo read ----------------------------------

    @property
    def origin(self) -> str:
        if self._server is None:
            raise RuntimeError("the sandbox is not running")
        return f"https://127.0.0.1:{self._server.server_address[1]}"

    @property
    def ca_bundle(self) -> str:
        if self.certificates is None or self._server is None:
            raise RuntimeError("the sandbox is not running")
        return str(self.certificates.ca_bundle)

    @property
    def received(self) -> list[Received]:
        with self._lock:
            return list(self._received)

    @property
    def failed_connections(self) -> int:
        with self._lock:
            return self._failed_connections

    @property
    def connections_accepted(self) -> int:
        """Connections accepted since start or the last clear(), failed ones included."""
        with self._lock:
            return self._connections_accepted

    @property
    def open_connections(self) -> int:
        """Connections accepted and not yet closed by the sandbox."""
        with self._lock:
            return len(self._open)

    def clear(self) -> None:
        """Forgets the requests received and resets both connection counters."""
        with self._lock:
            self._received.clear()
            self._failed_connections = 0
            self._connections_accepted = 0

    def drop_connections(self) -> bool:
        """Closes every open connection without notice, as a service does with
        idle ones, and waits until they are closed (see wait_until_closed)."""
        with self._lock:
            for connection in self._open:
                try:
                    # The plain socket's shutdown: the TLS socket's own would
                    # drop its TLS state under the thread reading from it.
                    socket.socket.shutdown(connection, socket.SHUT_RDWR)
                except OSError:
                    pass
        # Each connection's thread now finds its reads at an end and closes.
        return self.wait_until_closed()

    def wait_until_closed(self, timeout: float = STOP_WAIT) -> bool:
        """Waits until the sandbox has closed every connection it accepted;
        False if some are still open after `timeout` seconds."""
        with self._connection_closed:
            return self._connection_closed.wait_for(lambda: not self._open, timeout)

    # -- reaching it -------------------------------------------------------

    def requests_stand_in(self, origin: str | None = None, ca_bundle: str | None = None) -> RequestsStandIn:
        """A stand-in for `requests` that posts here (or to `origin`), trusting
        this sandbox's CA (or `ca_bundle`)."""
        return RequestsStandIn(origin or self.origin, ca_bundle or self.ca_bundle)

    def session(self, origin: str | None = None, ca_bundle: str | None = None) -> requests.Session:
        """A `requests.Session` whose requests come here (or to `origin`),
        trusting this sandbox's CA (or `ca_bundle`), directly, whatever the
        environment says of proxies and CA bundles. Only the copy sent has the
        sandbox's origin: the session keeps its cookies for the URL asked for."""
        session = requests.Session()
        session.mount("https://", _ToSandbox(origin or self.origin, ca_bundle or self.ca_bundle))
        return session

    @contextlib.contextmanager
    def installed(
        self, *modules: Any, origin: str | None = None, ca_bundle: str | None = None
    ) -> Iterator[RequestsStandIn]:
        """Assigns a stand-in to each module's `requests`, restoring the old value on exit."""
        stand_in = self.requests_stand_in(origin, ca_bundle)
        saved = [module.__dict__.get("requests", _MISSING) for module in modules]
        for module in modules:
            module.requests = stand_in
        try:
            yield stand_in
        finally:
            for module, old in zip(modules, saved, strict=True):
                if old is _MISSING:
                    module.__dict__.pop("requests", None)
                else:
                    module.requests = old

    # -- the handler's side ------------------------------------------------

    def _record(self, received: Received) -> None:
        with self._lock:
            self._received.append(received)

    def _count_failed_connection(self) -> None:
        with self._lock:
            self._failed_connections += 1

    def _opened(self, connection: Any) -> None:
        with self._lock:
            self._connections_accepted += 1
            self._open.add(connection)

    @contextlib.contextmanager
    def _closing(self, connection: Any) -> Iterator[None]:
        # Closed under the lock, so that drop_connections() never shuts down a
        # socket whose descriptor has been closed and reused meanwhile.
        with self._connection_closed:
            try:
                yield
            finally:
                self._open.discard(connection)
                self._connection_closed.notify_all()

    def _answer_for(self, path: str, body: Any, headers: Any) -> Answer:
        fields = body if isinstance(body, dict) else {}
        if path == VALIDATION_PATH:
            token = fields.get("token")
            if not isinstance(token, str):
                return Answer.json({"success": False, "message": "Missing token"}, status=400)
            return self.validation_answers.get(token, VALIDATION_DEFAULT)
        if path == SEARCH_PATH:
            query = fields.get("s")
            if headers.get("authToken") is None:
                return Answer.json({"success": False, "message": "Missing authToken header"}, status=401)
            if not isinstance(query, str):
                return Answer.json({"success": False, "message": "Missing query"}, status=400)
            return self.search_answers.get(query, SEARCH_DEFAULT)
        return Answer.json({"success": False, "message": "Unknown endpoint"}, status=404)


_MISSING = object()


@dataclass
class RequestsStandIn:
    """Takes the place of `requests` in the module under test: `post` goes to
    `origin` over verified TLS; every other attribute is the real package's."""

    origin: str
    ca_bundle: str
    _target: tuple[str, str] = field(init=False, repr=False)

    def __post_init__(self) -> None:
        parts = urlsplit(self.origin)
        self._target = (parts.scheme, parts.netloc)

    def post(self, url: str, **kwargs: Any) -> requests.Response:
        if "verify" in kwargs or "cert" in kwargs:
            # The module must leave certificate handling to requests' defaults.
            raise RuntimeError(f"unexpected certificate options passed to post: {sorted(kwargs)}")
        parts = urlsplit(url)
        redirected = urlunsplit((*self._target, parts.path, parts.query, parts.fragment))
        return requests.post(redirected, verify=self.ca_bundle, **kwargs)

    def __getattr__(self, name: str) -> Any:
        return getattr(requests, name)


class _ToSandbox(requests.adapters.HTTPAdapter):
    """The transport of `Sandbox.session()`: sends a copy of each request with
    the sandbox's origin, over TLS verified against the sandbox's CA."""

    def __init__(self, origin: str, ca_bundle: str) -> None:
        super().__init__()
        parts = urlsplit(origin)
        self._target = (parts.scheme, parts.netloc)
        self._ca_bundle = ca_bundle

    def send(self, request: requests.PreparedRequest, **kwargs: Any) -> requests.Response:
        parts = urlsplit(request.url)
        redirected = request.copy()
        redirected.url = urlunsplit((*self._target, parts.path, parts.query, parts.fragment))
        kwargs.update(verify=self._ca_bundle, proxies={})
        return super().send(redirected, **kwargs)


def closed_origin() -> str:
    """An https origin on a loopback port that nothing listens on (now)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return f"https://127.0.0.1:{port}"
