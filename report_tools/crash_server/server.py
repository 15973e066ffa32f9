"""The HTTP side of the local crash server.

  GET  <any path>       the first request: 303 to a location holding
                        ?id=<new report id>&, unless the first-request mode
                        says otherwise; the request's headers are remembered
                        under that id. With throttle rules, a first request
                        whose X-Tavra-Crash-Signature is over a rule gets 503
                        (see throttle.py). A request whose User-Agent starts
                        with "TavraCrashReporter/" (the reporter's) is always a
                        first request; for any other client the page paths
                        below are pages
  GET  /                the stored reports grouped by crash signature
  GET  /reports/<id>    one report: summary, frames, registers, annotations,
                        modules
  GET  /reports/<id>/crashlog.txt   the report's raw crash log
  GET  /signatures/<short hash>     one signature's history (signature_page.py)
  GET  ...?id=<id>      a handed-out id: a short text page about that report
  POST <any path>       the multipart upload, stored under the storage folder
  GET  /_control        the current modes, the number of stored reports and
                        what reporters sent: first requests and uploads
                        received, their bytes, and the first requests declined
  POST /_control        {"first_request": MODE, "upload": MODE}, either key
                        optional: changes the modes of the running server;
                        loopback clients only

Threads: one thread per connection (each connection carries one request and
is then closed), plus the thread that accepts connections. The modes are
immutable values swapped under the server's lock; the connection set and the
stopping flag are guarded by the same lock; the traffic counts, the report store, the throttle,
the pages' cache and the output streams have their own locks, and none is
taken while another is held.
"""

import http
import http.server
import ipaddress
import json
import os
import select
import shutil
import socket
import socketserver
import sys
import threading
import time
import traceback
import urllib.parse
from dataclasses import dataclass, field
from typing import Callable, List, Optional, Sequence, TextIO, Tuple

from crashlog.log_model import printable_line, shown

from . import behaviour
from .behaviour import FIRST_REQUEST, UPLOAD, Mode
from .first_request_record import first_request_record
from .answer_sending import Body, send_answer
from .report_pages import ReportPages
from .signature_page import SIGNATURES_PATH, signature_page
from .report_store import ReportStore, is_report_id, utc_text, write_json
from .storage_quota import Reservation, StorageQuota
from .stored_counts import count_stored
from .throttle import SIGNATURE_HEADER, Rule, Throttle, remembered_signature
from .tls import ServerTls
from .tls import public_url as tls_public_url
from .traffic import CountingReader, Traffic
from .upload_reader import MAX_REQUEST_BYTES, BodyEnded, UploadRejected, read_upload

CONTROL_PATH = "/_control"
# The product token of the reporter's user agent, of any version.
REPORTER_USER_AGENT = "TavraCrashReporter/"
REPORTS_PATH = "/reports/"
# Raw crash logs sent at once: each is sent from its file a chunk at a time
# and within the send deadline (answer_sending), so a client that never
# reads gives its slot back within that; one beyond waits this long for its
# turn, then gets 503.
MAX_RAW_DOWNLOADS = 4
RAW_DOWNLOAD_WAIT_SECONDS = 10.0
MAX_CONTROL_BYTES = 64 << 10
# How long a connection may stay idle while the server waits for its request.
CONNECTION_TIMEOUT = 60.0
# Connections served at once; more are closed at once.
MAX_CONNECTIONS = 512
EXTRA_BODY = b"EXTRA BYTES BEYOND THE CONTENT-LENGTH\n"
SHORT_BODY_MISSING = 16
DECLINED_BODY = b"the crash server declines this report\n"
QUOTA_BODY = b"the crash server declines this report: its storage quota is reached\n"
# Insufficient Storage: the reporter counts any answer but 200 as a failed upload.
QUOTA_STATUS = 507


@dataclass
class Answer:
    status: int
    body: Body
    headers: List[Tuple[str, str]] = field(default_factory=list)
    content_type: str = "text/plain; charset=utf-8"


def header_text(value: Optional[str]) -> Optional[str]:
    """A header value as text: the header's bytes read as UTF-8 when they
    are, else one character per byte."""
    if value is None:
        return None
    raw = value.encode("latin-1", errors="replace")
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return value


def reason_phrase(status: int) -> str:
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Status"


class _BodyStream:
    """At most Content-Length bytes of a request body. A connection that
    fails or ends early raises BodyEnded, so that file errors, which are the
    server's own, stay apart."""

    def __init__(self, rfile, length: int):
        self._rfile = rfile
        self.remaining = length

    def read(self, size: int) -> bytes:
        size = min(size, self.remaining)
        if size <= 0:
            return b""
        try:
            data = self._rfile.read1(size)
        except OSError as e:
            raise BodyEnded(f"connection failed: {e}") from None
        self.remaining -= len(data)
        return data

    def drain(self) -> bool:
        while self.remaining > 0:
            try:
                if not self.read(64 << 10):
                    return False
            except BodyEnded:
                return False
        return True


class _HttpServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    # Worker threads are joined when the server closes; stop() first makes
    # every one of them end.
    daemon_threads = False
    block_on_close = True
    allow_reuse_address = True
    # Sixteen uploads may arrive at the same moment.
    request_queue_size = 128

    def __init__(self, address, handler, app: "CrashServer", family: int):
        self.address_family = family
        self.app = app
        super().__init__(address, handler)

    def handle_error(self, request, client_address):
        self.app.log(f"error while serving {client_address}:\n{traceback.format_exc()}")

    def process_request_thread(self, request, client_address):
        if self.app.tls is not None:
            request = self.app._secure(request)
            if request is None:
                return
        super().process_request_thread(request, client_address)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TavraCrashServer/1.0"
    timeout = CONNECTION_TIMEOUT
    # Small pieces of a slow body leave at once rather than coalesced.
    disable_nagle_algorithm = True

    def setup(self):
        super().setup()
        self.rfile = CountingReader(self.rfile)
        self.app: CrashServer = self.server.app
        self.app._track(self.connection)

    def finish(self):
        try:
            super().finish()
        finally:
            self.app._untrack(self.connection)

    def handle(self):
        # One request per connection: a held or silent answer must not keep
        # the connection for another.
        self.close_connection = True
        # A TLS connection cannot be peeked at: there "refuse" closes the
        # connection once its request was read (see _deliver).
        if self.app.tls is None and self.app._refuses(self.connection):
            return
        self.handle_one_request()
        self.close_connection = True

    def do_GET(self):
        self.app._on_get(self)

    def do_POST(self):
        self.app._on_post(self)

    def _not_allowed(self):
        answer = Answer(405, b"only GET and POST are served\n", [("Allow", "GET, POST")])
        self.app._send(self, answer)

    do_HEAD = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = _not_allowed

    def log_message(self, format, *args):
        self.app.log(f"{self.client_address[0]} - {shown(format % args)}")


class CrashServer:
    """A local crash server on host:port storing reports under storage.

    start() binds, prints the address and serves on a thread of its own;
    stop() ends every connection, waits for their threads and returns."""

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 8080,
        storage: str = "crash_reports",
        first_request: Optional[Mode] = None,
        upload: Optional[Mode] = None,
        keep_body: bool = False,
        out: Optional[TextIO] = sys.stdout,
        log: Optional[TextIO] = sys.stderr,
        symbols: Optional[List[str]] = None,
        throttle: Sequence[Rule] = (),
        clock: Callable[[], float] = time.time,
        tls: Optional[ServerTls] = None,
        public_url: Optional[str] = None,
        quota_bytes: Optional[int] = None,
    ):
        self.host = host
        self.tls = tls
        # The base of the first request's redirect, else the listening
        # address.
        self.public_url = None if public_url is None else tls_public_url(public_url)
        self.requested_port = port
        self.store = ReportStore(storage)
        self.quota = StorageQuota(self.store.folder, quota_bytes)
        self.pages = ReportPages(self.store.folder, symbols)
        self.keep_body = keep_body
        self.throttle = Throttle(throttle, clock)
        self.traffic = Traffic()
        self._raw_downloads = threading.BoundedSemaphore(MAX_RAW_DOWNLOADS)
        self._clock = clock
        self._out = out
        self._log = log
        self._output_lock = threading.Lock()
        self._lock = threading.Lock()
        self._modes = {
            FIRST_REQUEST: first_request or behaviour.default_mode(FIRST_REQUEST),
            UPLOAD: upload or behaviour.default_mode(UPLOAD),
        }
        self._connections = set()
        self._stopping = threading.Event()
        self._httpd: Optional[_HttpServer] = None
        self._thread: Optional[threading.Thread] = None
        self._counting: Optional[threading.Thread] = None

    # Life cycle, on the caller's thread.

    def start(self) -> None:
        self.store.open()
        self.quota.count()
        self._count_stored_reports()
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        self._httpd = _HttpServer((self.host, self.requested_port), _Handler, self, family)
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05}, name="crash-server"
        )
        self._thread.start()
        self.print_line(f"crash server listening on {self.url} (storage {self.store.folder})")

    def stop(self) -> None:
        if self._httpd is None:
            return
        with self._lock:
            self._stopping.set()
            connections = list(self._connections)
        self._httpd.shutdown()
        for connection in connections:
            _shut(connection)
        self._httpd.server_close()  # joins every connection's thread
        self._thread.join()
        if self._counting is not None:
            self._counting.join()
        self._httpd = None

    def _count_stored_reports(self) -> None:
        """Gives the throttle the reports stored by earlier runs that its
        rules can still count, each under the signature it counted under
        when stored (see stored_counts.py)."""
        if not self.throttle.rules:
            return
        since = self._clock() - self.throttle.longest_window
        self._counting = count_stored(self.pages, self.throttle,
                                      self.store.received_since(since), self._stopping)

    @property
    def port(self) -> int:
        return self._httpd.server_address[1]

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        scheme = "http" if self.tls is None else "https"
        return f"{scheme}://{host}:{self.port}/"

    def modes(self) -> dict:
        with self._lock:
            return dict(self._modes)

    def set_mode(self, mode: Mode) -> None:
        with self._lock:
            self._modes[mode.kind] = mode

    # Output, on any thread.

    def print_line(self, text: str) -> None:
        self._write(self._out, text)

    def log(self, text: str) -> None:
        self._write(self._log, text)

    def _write(self, stream: Optional[TextIO], text: str) -> None:
        if stream is None:
            return
        with self._output_lock:
            try:
                # Line by line, each with what is not printable escaped.
                stream.write("".join(printable_line(line) + "\n" for line in text.split("\n")))
                stream.flush()
            except (OSError, ValueError):
                pass  # a closed or broken stream must not fail a request

    # Connections, on their threads.

    def _track(self, connection: socket.socket) -> None:
        with self._lock:
            self._connections.add(connection)
            refused = self._stopping.is_set() or len(self._connections) > MAX_CONNECTIONS
        if refused:
            _shut(connection)

    def _untrack(self, connection: socket.socket) -> None:
        with self._lock:
            self._connections.discard(connection)

    def _secure(self, connection: socket.socket):
        """The TLS connection, or None; tracked meanwhile, so that stop()
        ends a handshake under way."""
        self._track(connection)
        try:
            return self.tls.accept(connection, self.log)
        finally:
            self._untrack(connection)

    def _refuses(self, connection: socket.socket) -> bool:
        """Closes a connection whose request a "refuse" mode covers, telling
        the kind of request from its first bytes without reading them."""
        modes = self.modes()
        if all(mode.delivery != "refuse" for mode in modes.values()):
            return False
        start = _peek(connection, self._stopping)
        if start.startswith(b"GET ") and not start.startswith(b"GET " + CONTROL_PATH.encode()):
            if _is_page_request_head(_peek_head(connection, self._stopping)):
                return False
            mode = modes[FIRST_REQUEST]
        elif start.startswith(b"POST ") and not start.startswith(b"POST " + CONTROL_PATH.encode()):
            mode = modes[UPLOAD]
        else:
            return False
        if mode.delivery != "refuse":
            return False
        if mode.hold_seconds:
            self._linger(connection, mode.hold_seconds)
        return True

    def _linger(self, connection: socket.socket, seconds: Optional[float]) -> bool:
        """Waits the given time, or for ever when None, while the client
        stays connected and the server runs. True when the time ran out."""
        deadline = None if seconds is None else time.monotonic() + seconds
        while not self._stopping.is_set():
            wait = 0.2
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    return True
                wait = min(wait, left)
            try:
                # Whatever else the client sends is dropped; nothing means it closed.
                if _readable(connection, wait) and not connection.recv(65536):
                    return False
            except (OSError, ValueError):
                return False
        return False

    # Requests, on their connection's thread.

    def _on_get(self, handler: _Handler) -> None:
        path, _, query = handler.path.partition("?")
        if path == CONTROL_PATH:
            self._send(handler, self._control_state())
            return
        raw = path.startswith(REPORTS_PATH) and path.endswith("/crashlog.txt")
        if raw and not self._raw_downloads.acquire(timeout=RAW_DOWNLOAD_WAIT_SECONDS):
            status, body, content_type, headers = self.pages.busy()
            self._send(handler, Answer(status, body, list(headers), content_type))
            return
        try:
            page = self._page(path, handler.headers.get("User-Agent"))
            if page is not None:
                self._send(handler, page)
                return
        finally:
            if raw:
                self._raw_downloads.release()
        params = urllib.parse.parse_qs(query, keep_blank_values=True)
        asked = params.get("id", [""])[0]
        if is_report_id(asked) and self.store.first_request(asked) is not None:
            self._send(handler, self._report_page(asked))
            return
        mode = self.modes()[FIRST_REQUEST]
        self.traffic.add(first_requests=1, first_request_bytes=handler.rfile.count)
        values = handler.headers.get_all(SIGNATURE_HEADER) or []
        signature, signature_text = remembered_signature([header_text(v) for v in values])
        if self.quota.reached():
            self.throttle.count_declined(signature)
            self.traffic.add(declined=1)
            self.log(f"first request: declined, the storage quota is reached "
                     f"({self.quota.describe()})")
            self._deliver(handler, Answer(503, QUOTA_BODY), mode)
            return
        status = 503 if mode.answer == "unavailable" else mode.status or 303
        if status == 503:
            self.throttle.count_declined(signature)
            self.traffic.add(declined=1)
            ticket = 0
        else:
            ticket = self.throttle.admit(signature, promise=status == 303)
            if ticket is None:
                self.traffic.add(declined=1)
                self.log(f"first request: declined, signature {signature} is over a throttle rule")
                self._deliver(handler, Answer(503, DECLINED_BODY), mode)
                return
        texts = {
            "received": utc_text(self._clock()),
            "remote_address": handler.client_address[0],
            "path": handler.path,
            "email": _email_of(handler.path),
            "user_agent": header_text(handler.headers.get("User-Agent")),
            "crash_url": header_text(handler.headers.get("X-Tavra-Crash-URL")),
            "origin": header_text(handler.headers.get("X-Origin")),
            "signature": signature_text,
            # The short hash this request was decided by, if any: its
            # report is counted under it.
            "signature_hash": signature,
        }
        headers = ((name, header_text(value) or "") for name, value in handler.headers.items())
        record = first_request_record(texts, headers)
        report_id = self.store.issue_id(record)
        self.throttle.bind(signature, ticket, report_id)
        self.log(f"first request: id {report_id} ({mode})")
        self._deliver(handler, self._first_answer(handler, mode, report_id), mode)

    def _first_answer(self, handler: _Handler, mode: Mode, report_id: str) -> Answer:
        if mode.answer == "unavailable":
            return Answer(mode.status or 503, DECLINED_BODY)
        base = (self.public_url or self.url) + "report"
        location = {
            "redirect": f"{base}?id={report_id}&x=1",
            "no-id": f"{base}?x=1",
            "no-ampersand": f"{base}?id={report_id}",
            "empty-id": f"{base}?id=&x=1",
            "long-location": f"{base}?id={report_id}&x=1&pad=",
        }[mode.answer]
        if mode.answer == "long-location":
            location += "x" * max(0, mode.location_size - len(location))
        body = f"report {report_id}\n".encode()
        return Answer(mode.status or 303, body, [("Location", location)])

    def _page(self, path: str, user_agent: Optional[str]) -> Optional[Answer]:
        """The page for a person's browser at `path`, or None when the
        request is a first request."""
        if not is_page_path(path) or is_reporter_agent(user_agent):
            return None
        if path == "/":
            status, body, content_type, headers = self.pages.list_page(
                self.throttle.declined_counts(), self.throttle.rules, self.throttle.declined_days()
            )
        elif path.startswith(SIGNATURES_PATH):
            digest = path[len(SIGNATURES_PATH) :]
            status, body, content_type, headers = signature_page(
                self.pages, digest, *self.throttle.declined_of(digest))
        elif path == "/favicon.ico":
            status, body, content_type, headers = self.pages.not_found("No icon here.")
        else:
            rest = path[len(REPORTS_PATH) :]
            report_id, _, item = rest.partition("/")
            if item == "":
                status, body, content_type, headers = self.pages.report_page(report_id)
            elif item == "crashlog.txt":
                status, body, content_type, headers = self.pages.raw_log(report_id)
            else:
                status, body, content_type, headers = self.pages.not_found("No such page.")
        return Answer(status, body, list(headers), content_type)

    def _report_page(self, report_id: str) -> Answer:
        state = "received" if self.store.is_stored(report_id) else "awaiting its upload"
        return Answer(200, f"crash report {report_id}: {state}\n".encode())

    def _on_post(self, handler: _Handler) -> None:
        path = handler.path.partition("?")[0]
        if path == CONTROL_PATH:
            self._send(handler, self._control(handler))
            return
        mode = self.modes()[UPLOAD]
        answer = self._receive_upload(handler, mode)
        # Counted before the answer leaves, so that a client that has its
        # answer finds its bytes counted.
        self.traffic.add(uploads=1, upload_bytes=handler.rfile.count)
        if answer is not None:
            self._deliver(handler, answer, mode)

    def _receive_upload(self, handler: _Handler, mode: Mode) -> Optional[Answer]:
        """Reads, checks and stores one upload. None when the client went
        away, else the answer to give."""
        received_at = self._clock()
        headers = handler.headers
        if headers.get("Transfer-Encoding"):
            return self._rejected(411, "send the body with a Content-Length, not chunked")
        length_text = headers.get("Content-Length")
        if length_text is None:
            return self._rejected(411, "a Content-Length is required")
        if not length_text.strip().isdigit() or not length_text.strip().isascii():
            return self._rejected(400, f"bad Content-Length {length_text!r}")
        length = int(length_text)
        if length > MAX_REQUEST_BYTES:
            return self._rejected(413, f"the request is larger than {MAX_REQUEST_BYTES} bytes")

        # Refused, like a body too large, before a byte of it is read.
        reservation = self.quota.reserve(length)
        if reservation is None:
            return self._rejected(QUOTA_STATUS, self._quota_reason())
        try:
            return self._store_upload(handler, mode, length, reservation, received_at)
        finally:
            reservation.release()

    def _store_upload(self, handler: _Handler, mode: Mode, length: int,
                      reservation: Reservation, received_at: float) -> Optional[Answer]:
        """Reads and stores an upload within its reservation of the quota."""
        received = utc_text(received_at)
        headers = handler.headers
        body = _BodyStream(handler.rfile, length)

        def reserve_unpacked(size: int) -> None:
            if not reservation.grow(size):
                reason = f"its crash log unpacks to {size} bytes and {self._quota_reason()}"
                raise UploadRejected(QUOTA_STATUS, reason)

        incoming = None
        report_id = None
        stacktrace_id = None
        try:
            incoming = self.store.new_incoming()
            upload = read_upload(
                body, length, headers.get("Content-Type"), incoming, keep_body=self.keep_body,
                reserve_unpacked=reserve_unpacked,
            )
            fields = dict(upload.fields)
            stacktrace_id = fields.get("stacktraceId")
            first_request = self.store.first_request(stacktrace_id) if stacktrace_id else None
            report_id = self.store.claim_id(stacktrace_id or "")
            # A report counts under the signature its first request was
            # throttled by, when that request handed out its id.
            named = None
            if first_request is not None and report_id == stacktrace_id:
                named = first_request.get("signature_hash")
            metadata = {
                "report_id": report_id,
                "stacktrace_id": stacktrace_id,
                "received": received,
                "remote_address": handler.client_address[0],
                "path": handler.path,
                "user_agent": header_text(headers.get("User-Agent")),
                "content_type": header_text(headers.get("Content-Type")),
                "content_length": length,
                "boundary": upload.boundary,
                "field_count": len(upload.fields),
                "file_name": upload.file_name,
                "archive_size": upload.archive_size,
                "crashlog_size": upload.crashlog_size,
                "parts": upload.parts,
                "first_request_signature": named,
            }
            write_json(os.path.join(incoming, "fields.json"), fields)
            if first_request is not None:
                write_json(os.path.join(incoming, "first_request.json"), first_request)
            write_json(os.path.join(incoming, "metadata.json"), metadata)
            summary = self.pages.summarize(report_id, incoming)  # in the quota with the rest
            if not self.quota.take(incoming, reservation):
                raise UploadRejected(QUOTA_STATUS, self._quota_reason())
            try:
                folder = self.store.commit(incoming, report_id)
            except OSError:
                self.quota.give_back(incoming)
                raise
        except UploadRejected as rejection:
            self.throttle.release(stacktrace_id)
            if report_id is not None:
                self.store.release_id(report_id)
            shutil.rmtree(incoming, ignore_errors=True)
            # The client should see the answer rather than a reset.
            if not body.drain():
                return None
            return self._rejected(rejection.status, rejection.reason)
        except BodyEnded as e:
            self.throttle.release(stacktrace_id)
            self.log(f"upload abandoned: the body ended early ({e})")
            shutil.rmtree(incoming, ignore_errors=True)
            return None
        except OSError as e:
            self.throttle.release(stacktrace_id)
            if report_id is not None:
                self.store.release_id(report_id)
            if incoming is not None:
                shutil.rmtree(incoming, ignore_errors=True)
            body.drain()
            return self._rejected(500, f"the report could not be stored: {e}")
        # Counted under the signature its page groups it by, which ends the
        # promise of its first request in the same step.
        self.throttle.stored(summary.counted or None, received_at, stacktrace_id)
        self.print_line(
            f"report {report_id}: {len(upload.fields)} fields, "
            f"crashlog {upload.crashlog_size} bytes, {folder}"
        )
        return Answer(mode.status or 200, f"report {report_id} stored\n".encode())

    def _quota_reason(self) -> str:
        return f"the storage quota is reached ({self.quota.describe()} stored)"

    def _rejected(self, status: int, reason: str) -> Answer:
        self.log(f"upload rejected ({status}): {shown(reason)}")
        return Answer(status, f"upload rejected: {reason}\n".encode())

    def _control_state(self) -> Answer:
        modes = self.modes()
        state = {
            "first_request": str(modes[FIRST_REQUEST]),
            "upload": str(modes[UPLOAD]),
            "reports": self.store.stored_count,
            **self.traffic.counts(),
        }
        return Answer(200, (json.dumps(state) + "\n").encode(), content_type="application/json")

    def _control(self, handler: _Handler) -> Answer:
        if not ipaddress.ip_address(handler.client_address[0].split("%")[0]).is_loopback:
            return Answer(403, b"the server is controlled from this machine only\n")
        if not is_json_type(handler.headers.get("Content-Type")):
            return Answer(415, b"send the control request as application/json\n")
        length_text = handler.headers.get("Content-Length", "")
        if (
            not length_text.isascii()
            or not length_text.isdigit()
            or int(length_text) > MAX_CONTROL_BYTES
        ):
            return Answer(400, b"send a JSON object with a Content-Length of at most 64 KiB\n")
        body = _BodyStream(handler.rfile, int(length_text))
        data = b""
        try:
            while body.remaining:
                chunk = body.read(body.remaining)
                if not chunk:
                    return Answer(400, b"the body ended early\n")
                data += chunk
        except BodyEnded:
            return Answer(400, b"the body ended early\n")
        try:
            request = json.loads(data.decode("utf-8"))
            if not isinstance(request, dict):
                raise ValueError("expected a JSON object")
            kinds = {"first_request": FIRST_REQUEST, "upload": UPLOAD}
            unknown = set(request) - set(kinds)
            if unknown:
                raise ValueError(f"unknown keys {sorted(unknown)}")
            if not all(isinstance(value, str) for value in request.values()):
                raise ValueError("each mode is a string")
            new_modes = [
                behaviour.parse_mode(request[key], kind)
                for key, kind in kinds.items()
                if key in request
            ]
        except ValueError as e:  # JSON and UTF-8 errors are ValueErrors too
            return Answer(400, f"bad control request: {e}\n".encode())
        except RecursionError:  # arrays or objects nested too deep to decode
            return Answer(400, b"bad control request: nested too deeply\n")
        for mode in new_modes:
            self.set_mode(mode)
            self.log(f"{mode.kind} mode: {mode}")
        return self._control_state()

    # Answers, on the request's thread.

    def _send(self, handler: _Handler, answer: Answer) -> None:
        self._deliver(handler, answer, None)

    def _deliver(self, handler: _Handler, answer: Answer, mode: Optional[Mode]) -> None:
        connection = handler.connection
        delivery = "normal" if mode is None else mode.delivery
        if mode is not None and mode.hold_seconds:
            if not self._linger(connection, mode.hold_seconds):
                return
        if delivery in ("refuse", "silent"):
            # Refuse lands here when the request was read before the mode
            # changed: the connection closes without an answer.
            if delivery == "silent":
                self._linger(connection, None)
            return

        handler.log_request(answer.status, len(answer.body))
        body = answer.body
        length = len(body)
        status_text = str(answer.status)
        if delivery == "bad-status":
            status_text = "abc"
        elif delivery == "short-body":
            length += SHORT_BODY_MISSING
        elif delivery == "long-body":
            body += EXTRA_BODY
        elif delivery == "close-mid-body":
            body = body[: len(body) // 2]
        lines = [f"HTTP/1.1 {status_text} {reason_phrase(answer.status)}"]
        lines += [f"{name}: {value}" for name, value in answer.headers]
        lines += [
            f"Server: {handler.version_string()}",
            f"Date: {handler.date_time_string()}",
            f"Content-Type: {answer.content_type}",
            f"Content-Length: {length}",
            "Connection: close",
        ]
        head = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
        try:
            if delivery == "headers-only":
                connection.sendall(head)
                self._linger(connection, None)
            elif delivery == "slow-body":
                connection.sendall(head)
                for i in range(len(body)):
                    if i and not self._linger(connection, mode.pause_seconds):
                        return
                    connection.sendall(body[i : i + 1])
            else:
                send_answer(connection, head, body)
        except OSError:
            pass  # the client went away; nothing more to do for it


def is_reporter_agent(user_agent: Optional[str]) -> bool:
    return user_agent is not None and user_agent.startswith(REPORTER_USER_AGENT)


def is_json_type(content_type: Optional[str]) -> bool:
    """Whether a Content-Type is application/json, with parameters or
    without: a form or a text from a web page cannot pass for it without the
    page's script being allowed to send it."""
    media = (content_type or "").partition(";")[0]
    return media.strip().lower() == "application/json"


def is_page_path(path: str) -> bool:
    """Paths that show pages to clients other than the reporter."""
    return path in ("/", "/favicon.ico") or path.startswith((REPORTS_PATH, SIGNATURES_PATH))


def _is_page_request_head(head: bytes) -> bool:
    """Whether a request's head (as far as it arrived) asks for a page:
    decides, before the request is read, that a "refuse" mode of the first
    request does not cover it."""
    lines = head.split(b"\r\n")
    parts = lines[0].split(b" ")
    if len(parts) < 2:
        return False
    path = parts[1].decode("latin-1").partition("?")[0]
    agent = None
    for line in lines[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"user-agent":
            agent = value.strip().decode("latin-1")
    return is_page_path(path) and not is_reporter_agent(agent)


def _email_of(target: str) -> Optional[str]:
    """The reporter appends "?email=" and the address, unescaped, to its
    server's URL, even one that has a query already: the address is all that
    follows the last such mark."""
    for mark in ("?email=", "&email="):
        at = target.rfind(mark)
        if at >= 0:
            return urllib.parse.unquote(target[at + len(mark) :])
    return None


def _readable(connection: socket.socket, seconds: float) -> bool:
    poller = select.poll()  # unlike select(), not limited to small descriptors
    poller.register(connection, select.POLLIN | select.POLLHUP | select.POLLERR)
    return bool(poller.poll(seconds * 1000))


def _shut(connection: socket.socket) -> None:
    try:
        connection.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


def _peek_head(connection: socket.socket, stopping: threading.Event, timeout: float = 5.0,
               limit: int = 8192) -> bytes:
    """A request's head up to its blank line (at most `limit` bytes), left
    unread; what arrived when the client sends no more within the time-out."""
    deadline = time.monotonic() + timeout
    data = b""
    while not stopping.is_set() and time.monotonic() < deadline:
        try:
            if _readable(connection, 0.1):
                data = connection.recv(limit, socket.MSG_PEEK)
                if not data or len(data) >= limit or b"\r\n\r\n" in data:
                    return data
                time.sleep(0.01)
        except OSError:
            return b""
    return data


def _peek(connection: socket.socket, stopping: threading.Event, timeout: float = 5.0) -> bytes:
    """The first bytes of a request, left unread; fewer when the client
    sends no more within the time-out."""
    deadline = time.monotonic() + timeout
    data = b""
    while not stopping.is_set() and time.monotonic() < deadline:
        try:
            if _readable(connection, 0.1):
                data = connection.recv(64, socket.MSG_PEEK)
                if not data or len(data) >= 16 or b"\n" in data:
                    return data
                time.sleep(0.01)  # a partial request line: wait for more
        except OSError:
            return b""
    return data
