"""https: the whole road of a report over TLS, what a client that does not
speak TLS gets, and the command line's certificate options."""

import re
import select
import socket
import subprocess
import time

import pytest

from crash_server import tls
from crash_server.tls import ServerTls, server_context

from .support import (
    client_context,
    connect,
    crash_log,
    exchange,
    get_request,
    make_authority,
    parse_response,
    upload,
)
from .test_command_line import LAUNCHER, run

ID = "[0-9a-f]{16}"


@pytest.fixture(scope="module")
def authority(tmp_path_factory):
    return make_authority(str(tmp_path_factory.mktemp("authority")))


@pytest.fixture
def tls_server(start_server, authority):
    _, certificate, key = authority
    return start_server(tls=ServerTls(server_context(certificate, key)))


def test_a_report_goes_the_whole_road_over_https(tls_server, authority):
    server, client = tls_server, client_context(authority[0])
    status, headers, _ = parse_response(exchange(server.port, get_request("/"), tls=client))
    assert status == "303"
    match = re.fullmatch(rf"https://127\.0\.0\.1:{server.port}/report\?id=({ID})&x=1",
                         headers["location"])
    assert match, headers["location"]
    report_id = match.group(1)
    status = upload(server.port, {"stacktraceId": report_id}, crash_log(3000), tls=client)[0]
    assert status == "200"
    assert server.reports() == [report_id]
    assert server.read(report_id, "first_request.json")["path"] == "/"


@pytest.mark.parametrize(
    "sent,answer",
    [
        # Plain HTTP is told what to speak; the server goes on serving.
        (b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", b"this server speaks https only\n"),
        # A TLS record that is no handshake a server can take: closed.
        (b"\x16\x03\x01\x00\x05hello", b""),
        # A client that connects and goes at once.
        (b"", b""),
    ],
)
def test_a_client_that_does_not_speak_tls_gets_no_further(tls_server, authority, sent, answer):
    with connect(tls_server.port) as sock:
        sock.sendall(sent)
        sock.shutdown(socket.SHUT_WR)
        received = b""
        while True:
            data = sock.recv(65536)
            if not data:
                break
            received += data
    if answer:
        status, _, body = parse_response(received)
        assert (status, body) == ("400", answer)
    else:
        assert received[:1] in (b"", b"\x15")  # nothing, or a TLS alert
    assert tls_server.reports() == [] and tls_server.server.traffic.counts()["first_requests"] == 0
    ca = authority[0]
    status = parse_response(exchange(tls_server.port, get_request("/"), tls=client_context(ca)))[0]
    assert status == "303"


def test_a_client_silent_in_its_handshake_does_not_hold_the_stop(tls_server):
    with connect(tls_server.port):
        # Bounded: the connection's thread takes it on at once.
        deadline = time.monotonic() + 10.0
        while not tls_server.server._connections and time.monotonic() < deadline:
            time.sleep(0.01)
        assert tls_server.server._connections
        started = time.monotonic()
        tls_server.server.stop()
        assert time.monotonic() - started < 5.0


@pytest.mark.parametrize(
    "files",
    [
        ("server.pem", "missing.key"),
        ("ca.pem", "server.key"),  # a certificate that is not the key's
        ("server.key", "server.key"),
    ],
)
def test_a_certificate_that_cannot_be_used_is_refused_at_start(authority, files, tmp_path):
    folder = authority[0].rsplit("/", 1)[0]
    certificate, key = (f"{folder}/{name}" for name in files)
    result = run("--port", "0", "--tls-cert", certificate, "--tls-key", key, cwd=tmp_path)
    assert result.returncode == 1 and "cannot use the certificate" in result.stderr


@pytest.mark.parametrize(
    "arguments,message",
    [
        (["--tls-cert", "a.pem"], "--tls-cert and --tls-key go together"),
        (["--tls-key", "a.key"], "--tls-cert and --tls-key go together"),
        (["--public-url", "ftp://crash.example/"], "no http:// or https:// address"),
        (["--public-url", "https:///x"], "no http:// or https:// address"),
        (["--public-url", "https://crash.example/?a=1"], "without blanks"),
        (["--public-url", "https://crash.example/\x1b"], "printable ASCII"),
    ],
)
def test_bad_tls_arguments_are_refused_with_a_reason(tmp_path, arguments, message):
    result = run(*arguments, cwd=tmp_path)
    assert result.returncode == 2 and message in result.stderr, result.stderr


def test_the_launcher_serves_https_at_its_public_url(authority, tmp_path):
    ca, certificate, key = authority
    process = subprocess.Popen(
        [LAUNCHER, "--port", "0", "--quiet", "--tls-cert", certificate, "--tls-key", key,
         "--public-url", "https://localhost:1/crashes"],
        cwd=tmp_path, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
    )
    try:
        # Bounded: a launcher that never starts fails the test, not the run.
        ready = select.select([process.stdout], [], [], 30)[0]
        line = process.stdout.readline() if ready else "(nothing within 30 s)"
        match = re.match(r"crash server listening on https://127\.0\.0\.1:(\d+)/ ", line)
        assert match, line
        request = get_request("/", [("Host", "evil.example")])
        _, headers, _ = parse_response(
            exchange(int(match.group(1)), request, tls=client_context(ca)))
        assert re.fullmatch(rf"https://localhost:1/crashes/report\?id={ID}&x=1",
                            headers["location"])
    finally:
        process.terminate()
        process.wait(timeout=30)
        process.stdout.close()


def test_plain_http_sent_a_line_at_a_time_is_answered_within_the_handshake_time(
        tls_server, monkeypatch):
    monkeypatch.setattr(tls, "HANDSHAKE_TIMEOUT", 1.0)
    with connect(tls_server.port) as sock:
        sock.sendall(b"GET / HTTP/1.1\r\n")
        started = time.monotonic()
        answered = False
        # Each line comes well within the time a single read may take.
        while not answered and time.monotonic() - started < 10.0:
            try:
                sock.sendall(b"X: y\r\n")
            except OSError:
                break  # closed after its answer
            answered = bool(select.select([sock], [], [], 0.3)[0])
        assert answered and time.monotonic() - started < 5.0
        assert parse_response(sock.recv(65536))[0] == "400"
