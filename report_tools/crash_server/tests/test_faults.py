"""Misbehaving answers, observed from a raw socket client."""

import io
import random
import socket
import time

import pytest

from .support import (
    connect,
    crash_log,
    exchange,
    get_request,
    parse_response,
    post_request,
    receive_all,
    reporter_body,
    reporter_boundary,
    zip_archive,
)

QUIET = 0.3  # how long "nothing arrives" is watched for


def reporter_upload_request():
    boundary = reporter_boundary(random.Random(3))
    archive = zip_archive([("crashlog.txt", crash_log(3000))])
    body = reporter_body(boundary, {"CrashUptime": "1"}, "r.zip", archive)
    return post_request(body, "multipart/form-data; boundary=" + boundary)


REQUESTS = {
    "first-request": lambda: get_request("/"),
    "upload": reporter_upload_request,
}
EXPECTED_STATUS = {"first-request": "303", "upload": "200"}


def start(start_server, kind, mode):
    if kind == "first-request":
        return start_server(first_request=mode)
    return start_server(upload=mode)


def nothing_arrives(sock):
    sock.settimeout(QUIET)
    with pytest.raises(socket.timeout):
        sock.recv(1)


KINDS = pytest.mark.parametrize("kind", ["first-request", "upload"])


@KINDS
def test_refuse_closes_before_reading_the_request(start_server, kind):
    server = start(start_server, kind, "refuse")
    assert exchange(server.port, REQUESTS[kind]()) == b""
    assert server.reports() == []


@KINDS
def test_silent_never_answers_until_the_server_stops(start_server, kind):
    server = start(start_server, kind, "silent")
    with connect(server.port) as sock:
        sock.sendall(REQUESTS[kind]())
        nothing_arrives(sock)
        server.server.stop()
        sock.settimeout(10)
        assert receive_all(sock) == b""
    # The upload was read and stored all the same.
    assert len(server.reports()) == (1 if kind == "upload" else 0)


@KINDS
def test_headers_only_sends_a_head_and_then_nothing(start_server, kind):
    server = start(start_server, kind, "headers-only")
    with connect(server.port) as sock:
        sock.sendall(REQUESTS[kind]())
        head = b""
        while not head.endswith(b"\r\n\r\n"):
            head += sock.recv(1)
        status, headers, _ = parse_response(head)
        assert status == EXPECTED_STATUS[kind] and int(headers["content-length"]) > 0
        nothing_arrives(sock)


@KINDS
def test_slow_body_arrives_whole_in_pieces(start_server, kind):
    server = start(start_server, kind, "slow-body:20")
    with connect(server.port) as sock:
        sock.sendall(REQUESTS[kind]())
        pieces = []
        started = time.monotonic()
        while True:
            data = sock.recv(65536)
            if not data:
                break
            pieces.append(data)
        elapsed = time.monotonic() - started
    status, headers, body = parse_response(b"".join(pieces))
    assert status == EXPECTED_STATUS[kind]
    assert len(body) == int(headers["content-length"]) >= 20
    assert len(pieces) > len(body) // 2
    assert elapsed >= (len(body) - 1) * 0.02 * 0.9  # the pauses were made


# (delivery, check of (status text, Content-Length, body length))
BODY_FAULTS = [
    ("close-mid-body", lambda status, length, got: status.isdigit() and got == length // 2 < length),
    ("short-body", lambda status, length, got: status.isdigit() and got == length - 16),
    ("long-body", lambda status, length, got: status.isdigit() and got > length),
    ("bad-status", lambda status, length, got: status == "abc" and got == length),
]


@KINDS
@pytest.mark.parametrize("delivery,check", BODY_FAULTS, ids=[f[0] for f in BODY_FAULTS])
def test_body_and_status_faults(start_server, kind, delivery, check):
    server = start(start_server, kind, delivery)
    status, headers, body = parse_response(exchange(server.port, REQUESTS[kind]()))
    assert check(status, int(headers["content-length"]), len(body)), (status, headers, body)


@KINDS
def test_hold_answers_normally_after_the_time(start_server, kind):
    server = start(start_server, kind, "hold:0.6")
    with connect(server.port) as sock:
        sock.sendall(REQUESTS[kind]())
        nothing_arrives(sock)
        sock.settimeout(10)
        raw = receive_all(sock)
    status, headers, body = parse_response(raw)
    assert status == EXPECTED_STATUS[kind] and int(headers["content-length"]) == len(body)


def test_modes_combine(start_server):
    server = start_server(
        first_request="no-ampersand,close-mid-body", upload="status:500,bad-status"
    )
    status, headers, body = parse_response(exchange(server.port, get_request("/")))
    assert status == "303" and "&" not in headers["location"]
    assert len(body) == int(headers["content-length"]) // 2
    status, headers, body = parse_response(exchange(server.port, REQUESTS["upload"]()))
    assert status == "abc" and b"stored" in body
    assert len(server.reports()) == 1


@pytest.mark.parametrize("content_type", ["application/json", "Application/JSON; charset=utf-8"])
def test_control_takes_json_with_or_without_parameters(server, content_type):
    request = post_request(b'{"upload": "silent"}', content_type, "/_control")
    assert parse_response(exchange(server.port, request))[0] == "200"
    assert server.server.modes()["upload"].delivery == "silent"


def test_control_changes_the_modes_of_a_running_server(server):
    status, _, body = server.control(first_request="unavailable", upload="refuse")
    assert status == "200"
    assert b'"first_request": "unavailable", "upload": "refuse"' in body
    assert parse_response(exchange(server.port, get_request("/")))[0] == "503"
    assert exchange(server.port, REQUESTS["upload"]()) == b""
    # Control itself is never refused.
    assert server.control(upload="ok")[0] == "200"
    assert parse_response(exchange(server.port, REQUESTS["upload"]()))[0] == "200"
    status, _, body = parse_response(exchange(server.port, get_request("/_control")))
    assert status == "200" and b'"reports": 1' in body


JSON = "application/json"


@pytest.mark.parametrize(
    "body,reason,content_type",
    [
        (b"{not json", b"bad control request", JSON),
        (b'["upload"]', b"expected a JSON object", JSON),
        (b'{"upload": "bogus"}', b'unknown upload mode item "bogus"', JSON),
        (b'{"upload": "silent,refuse"}', b"choose one", JSON),
        (b'{"first_request": "ok"}', b'unknown first-request mode item "ok"', JSON),
        (b'{"uploads": "ok"}', b"unknown keys", JSON),
        (b'{"upload": ["refuse"]}', b"each mode is a string", JSON),
        (b'{"upload": null}', b"each mode is a string", JSON),
        (b'{"first_request": 503}', b"each mode is a string", JSON),
        pytest.param(b"[" * 30000 + b"]" * 30000, b"nested too deeply", JSON,
                     id="arrays nested 30000 deep"),
        # Only JSON: a form or a text, as any web page may post, is refused.
        (b'{"upload": "refuse"}', b"application/json", "text/plain"),
        (b'{"upload": "refuse"}', b"application/json", "application/x-www-form-urlencoded"),
        (b'{"upload": "refuse"}', b"application/json", "multipart/form-data; boundary=x"),
        (b'{"upload": "refuse"}', b"application/json", "application/jsonp"),
        (b'{"upload": "refuse"}', b"application/json", None),
    ],
)
def test_bad_control_requests_change_nothing(server, body, reason, content_type):
    request = post_request(body, content_type, "/_control")
    status, _, answer = parse_response(exchange(server.port, request))
    assert status == ("400" if content_type == JSON else "415")
    assert reason in answer
    assert b'"first_request": "redirect", "upload": "ok"' in parse_response(
        exchange(server.port, get_request("/_control"))
    )[2]


@pytest.mark.parametrize("length", ["\u00b2", "-1", "65537"])
def test_a_control_length_that_is_no_plain_number_is_refused(server, length):
    request = post_request(b"{}", "application/json", "/_control", [("Content-Length", length)])
    status, _, answer = parse_response(exchange(server.port, request.decode("latin-1").encode()))
    assert status == "400" and b"Content-Length" in answer


@pytest.mark.parametrize(
    "request_bytes,status",
    [
        (b"PUT / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", "405"),
        (b"BREW / HTTP/1.1\r\n\r\n", "501"),
        (b"GET / HTTP/1.1\r\nX-Long: " + b"a" * 70000 + b"\r\n\r\n", "431"),
    ],
)
def test_odd_requests_get_an_error_and_the_server_goes_on(server, request_bytes, status):
    assert parse_response(exchange(server.port, request_bytes))[0] == status
    assert parse_response(exchange(server.port, get_request("/")))[0] == "303"


def _upload_with(content_type=None, part_name="file"):
    boundary = reporter_boundary(random.Random(4))
    archive = zip_archive([("crashlog.txt", crash_log(300))])
    body = reporter_body(boundary, {}, "r.zip", archive, file_part=part_name)
    return post_request(body, content_type or "multipart/form-data; boundary=" + boundary)


@pytest.mark.parametrize(
    "request_bytes,shown",
    [
        (get_request("/a\x1b[2J\rb"), "/a\\x1B[2J\\x0Db"),
        (get_request("/\x7f"), "/\\x7F"),
        (_upload_with(content_type="multipart/x\x1b[31m"), "multipart/x\\x1B[31m"),
        (_upload_with(part_name="fi\x1ble\x08"), "fi\\x1Ble\\x08"),
        # Beyond ASCII: a terminal's CSI (U+009B), the next line (U+0085)
        # and the line separator (U+2028), in the request line (read as
        # Latin-1) and in a part name (read as UTF-8).
        (get_request("/a\x9b2J\x85b"), "/a\\x9B2J\\x85b"),
        (_upload_with(part_name="fi\u2028le\u0085\u200e"), "fi\\u2028le\\x85\\u200E"),
    ],
    ids=["path", "path with DEL", "content type", "part name", "path with C1",
         "part name with separators"],
)
def test_client_text_in_the_log_has_its_control_characters_escaped(start_server, request_bytes,
                                                                    shown):
    log = io.StringIO()
    server = start_server(log=log)
    exchange(server.port, request_bytes)
    server.server.stop()
    lines = log.getvalue().split("\n")
    assert any(shown in line for line in lines), lines
    assert all(line.isprintable() for line in lines), lines
