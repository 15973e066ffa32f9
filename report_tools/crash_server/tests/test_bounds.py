"""What any one request may cost the server: hostile uploads and first
requests answered within a bounded time and memory, logs parsed once and
a few at a time, first requests' texts within one budget, and the storage
quota."""

import os
import re
import socket
import sys
import threading
import time
import urllib.error
import urllib.request

import pytest

from crash_server import answer_sending, parsed_logs
from crash_server import server as server_module
from crash_server.first_request_record import (FIELD_LIMITS, MAX_RECORD_BYTES, record_bytes,
                                               text_bytes)
from crash_server.parsed_logs import MAX_PARSES_AT_ONCE, ParsedLogs, parse_stored_log
from crash_server.storage_quota import MIN_REPORT_BYTES, folder_bytes
from crashlog.tests.support import make_log
from crashlog.tests.test_hostile import many_tiny_dumps

from .server_process import ServerProcess
from .support import (REPORTER_USER_AGENT, connect, crash_log, exchange, get_request,
                      parse_response, post_request, upload)

ID = "[0-9a-f]{16}"
# Generous, for a loaded 2-core machine: before these bounds a page of the
# million-dump archive took 7 s and 470 MB on every view, and 300 huge
# first requests held 106 MB.
PAGE_SECONDS = 20
PAGE_PEAK_MB = 250
FIRST_REQUESTS_GROWTH_MB = 50
# Before the bounds on what a page shows, the page of AMPERSANDS_LOG was
# 80 MB, and each client that asked for it and never read held a copy.
PAGE_MAX_BYTES = 4 << 20
STALLED_PAGE_CLIENTS = 6
STALLED_DOWNLOADS = 2


def ampersands_log():
    """A log of 16 MB that zips to 28 KB: 2000 annotations and 2000 crash
    logger lines of 4000 '&', each '&' five bytes on a page."""
    return make_log(metadata=[(f"k{i}", "&" * 4000) for i in range(2000)],
                    logger=["&" * 4000] * 2000)


def big_raw_log():
    """40 MB of text, far more than a socket's buffers hold."""
    return (b"&" * 4000 + b"\r\n") * 10_000


def stalled_client(port, path):
    """A client that asks for `path`, reads the first byte of the answer,
    then no more (with a small receive buffer)."""
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.settimeout(30)
    sock.connect(("127.0.0.1", port))
    sock.sendall(get_request(path, [("User-Agent", "a browser")]))
    assert sock.recv(1)
    return sock


def page(port, path, timeout=60):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=timeout) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


def stored_id(answer_body):
    return re.search(rb"report (" + ID.encode() + rb") stored", answer_body).group(1).decode()


def million_dumps_pages(server):
    status, _, body, request = upload(server.port, {"email": ""}, many_tiny_dumps(1_000_000))
    assert status == "200" and len(request) < 3 << 20  # a small upload
    report_id = stored_id(body)
    server.stop()  # a new run, whose first view parses the log
    server.__init__(server.storage)
    for _ in range(3):
        started = time.monotonic()
        status, _, text = page(server.port, f"/reports/{report_id}")
        assert (status, time.monotonic() - started < PAGE_SECONDS) == (200, True)
        assert f"Crash report {report_id}".encode() in text
    assert server.peak_memory_mb() < PAGE_PEAK_MB


def huge_first_requests(server):
    before = server.peak_memory_mb()
    texts = [("User-Agent", "u" * 60000), ("X-Tavra-Crash-URL", "c" * 60000),
             ("X-Origin", "o" * 60000)]
    for _ in range(300):
        answer = exchange(server.port, get_request("/crash?email=" + "e" * 60000, texts))
        assert parse_response(answer)[0] == "303"
    assert server.peak_memory_mb() - before < FIRST_REQUESTS_GROWTH_MB


def stalled_page_and_download_clients(server):
    page_id = stored_id(upload(server.port, {"email": ""}, ampersands_log())[2])
    raw = big_raw_log()
    raw_id = stored_id(upload(server.port, {"email": ""}, raw, seed=2)[2])
    stalled = [stalled_client(server.port, f"/reports/{page_id}")
               for _ in range(STALLED_PAGE_CLIENTS)]
    stalled += [stalled_client(server.port, f"/reports/{raw_id}/crashlog.txt")
                for _ in range(STALLED_DOWNLOADS)]
    try:
        started = time.monotonic()
        status, _, text = page(server.port, f"/reports/{page_id}")
        assert (status, len(text) < PAGE_MAX_BYTES) == (200, True)
        assert b"and 1898 more annotation(s)" in text and b"&amp;" * 1024 + "\u2026".encode() in text
        assert page(server.port, f"/reports/{raw_id}/crashlog.txt")[::2] == (200, raw)
        assert time.monotonic() - started < PAGE_SECONDS
    finally:
        for sock in stalled:
            sock.close()
    assert server.peak_memory_mb() < PAGE_PEAK_MB


@pytest.mark.parametrize("hostile", [
    pytest.param(million_dumps_pages, id="the pages of an archive of a million one-byte dumps"),
    pytest.param(huge_first_requests, id="300 first requests of 60 KB texts"),
    pytest.param(stalled_page_and_download_clients,
                 id="a page of 4000 texts of 4000 '&' and a 40 MB log, asked for and never read"),
])
def test_hostile_requests_cost_the_server_process_bounded_time_and_memory(tmp_path, hostile):
    with ServerProcess(str(tmp_path / "reports")) as server:
        hostile(server)


def clipped(name):
    """A check of a text of x's clipped to its share, not far below it."""
    limit = FIELD_LIMITS[name]
    return lambda text: (text.endswith("\u2026") and set(text[:-1]) <= set("/x")
                         and limit // 2 - 2 <= len(text) and text_bytes(text) <= limit)


def utf8(text):
    """`text` as a request carries it, one character per byte."""
    return text.encode("utf-8").decode("latin-1")


def memory(record):
    """What a record's dict, strings and lists take in memory."""
    size = sys.getsizeof(record) + sys.getsizeof(record["headers"])
    size += sum(sys.getsizeof(v) for v in record.values() if isinstance(v, str))
    return size + sum(sys.getsizeof(pair) + sys.getsizeof(pair[0]) + sys.getsizeof(pair[1])
                      for pair in record["headers"])


EMOJI = "\U0001F600"


# (path, headers, {record field: its value, or a check of it})
FIRST_REQUEST_TEXTS = [
    pytest.param("/?email=me@example.com", [("X-Origin", "Wren")],
                 {"email": "me@example.com", "origin": "Wren", "path": "/?email=me@example.com"},
                 id="a reporter's request is kept whole"),
    pytest.param("/" + "x" * 60000, [("User-Agent", "x" * 60000),
                                     ("X-Tavra-Crash-URL", "x" * 60000),
                                     ("X-Origin", "x" * 60000)],
                 {"path": clipped("path"), "user_agent": clipped("user_agent"),
                  "crash_url": clipped("crash_url"), "origin": clipped("origin")},
                 id="each long text clipped to its share"),
    pytest.param("/?email=" + "x" * 60000, [], {"email": clipped("email")},
                 id="a long e-mail"),
    pytest.param("/", [("X-Origin", "Wren")] + [(f"X-Big-{i}", "v" * 8000) for i in range(40)],
                 {"headers": lambda headers: ["X-Origin", "Wren"] in headers
                  and headers[-1][1].endswith("\u2026")},
                 id="many large headers"),
    pytest.param("/", [("User-Agent", utf8(REPORTER_USER_AGENT + "a" * 2000 + EMOJI)),
                       ("X-Tavra-Crash-URL", utf8(EMOJI * 3000)),
                       ("X-Origin", utf8("\u00e9" * 3000))]
                 + [(f"X-H-{i}", utf8("b" * 50 + EMOJI)) for i in range(90)],
                 {"user_agent": lambda text: text.startswith(REPORTER_USER_AGENT + "a" * 100) and text[-1] == "\u2026",
                  "headers": lambda headers: len(headers) < 10},
                 id="texts of wide characters and many headers"),
]


@pytest.mark.parametrize("path,headers,expected", FIRST_REQUEST_TEXTS)
def test_a_first_requests_texts_are_kept_within_one_budget(server, path, headers, expected):
    answer = parse_response(exchange(server.port, get_request(path, headers)))
    report_id = re.search(f"id=({ID})&", answer[1]["location"]).group(1)
    record = server.server.store.first_request(report_id)
    assert record_bytes(record) <= MAX_RECORD_BYTES
    # Counted bytes are what the record takes, within a few string headers.
    assert memory(record) < MAX_RECORD_BYTES + 2048
    for name, value in expected.items():
        if callable(value):
            assert value(record[name]), record[name][-2:]
        elif value is not None:
            assert record[name] == value, name


def test_a_log_is_parsed_once_for_every_page_and_summary(server):
    status, _, body, _ = upload(server.port, {"email": ""}, make_log())
    report_id = stored_id(body)
    for path in [f"/reports/{report_id}", "/", f"/reports/{report_id}", "/"]:
        assert page(server.port, path)[0] == 200
    assert server.server.pages.logs.parses == 1
    # and the page is built once (with the symbolizer, when it has symbols)
    pages = server.server.pages
    assert pages.report_page(report_id)[1] is pages.report_page(report_id)[1]


def test_parses_at_once_are_bounded_and_a_request_beyond_gets_503(server, monkeypatch):
    ids = [stored_id(upload(server.port, {"email": ""}, make_log(), seed=n)[2])
           for n in range(MAX_PARSES_AT_ONCE + 1)]
    entered = threading.Semaphore(0)
    release = threading.Event()

    def held_parse(path):
        entered.release()
        assert release.wait(60)
        return parse_stored_log(path)

    pages = server.server.pages
    monkeypatch.setattr(pages, "logs", ParsedLogs(held_parse))
    monkeypatch.setattr(parsed_logs, "PARSE_WAIT_SECONDS", 0.5)
    holders = [threading.Thread(target=pages.report_page, args=(i,)) for i in ids[:-1]]
    for holder in holders:
        holder.start()
    try:
        for _ in holders:
            assert entered.acquire(timeout=30)
        status, headers, _ = page(server.port, f"/reports/{ids[-1]}")
        assert (status, headers["Retry-After"]) == (503, "5")
    finally:
        release.set()
        for holder in holders:
            holder.join(30)
    assert page(server.port, f"/reports/{ids[-1]}")[0] == 200
    assert pages.logs.parses == len(ids)


def test_raw_logs_sent_at_once_are_bounded_and_one_beyond_gets_503(server, monkeypatch):
    report_id = stored_id(upload(server.port, {"email": ""}, make_log())[2])
    path = f"/reports/{report_id}/crashlog.txt"
    monkeypatch.setattr(server_module, "RAW_DOWNLOAD_WAIT_SECONDS", 0.5)
    taken = server.server._raw_downloads
    for _ in range(server_module.MAX_RAW_DOWNLOADS):
        assert taken.acquire(timeout=5)
    try:
        status, headers, _ = page(server.port, path)
        assert (status, headers["Retry-After"]) == (503, "5")
    finally:
        for _ in range(server_module.MAX_RAW_DOWNLOADS):
            taken.release()
    assert page(server.port, path)[0] == 200
    assert page(server.port, path)[0] == 200


def received_before_the_end(sock):
    received = 1  # the byte stalled_client read
    try:
        while chunk := sock.recv(1 << 20):
            received += len(chunk)
    except OSError:
        pass  # reset
    return received


# What cuts a client off that never reads: nothing taken for a while, or the
# whole answer's deadline (each made a second here).
SEND_LIMITS = [
    pytest.param({"SEND_STALL_SECONDS": 1.0}, id="a send the client takes nothing of"),
    pytest.param({"SEND_SECONDS": 1.0, "SEND_MIN_BYTES_PER_SECOND": 1 << 40},
                 id="the deadline of the whole answer"),
]


@pytest.mark.parametrize("limits", SEND_LIMITS)
def test_a_download_never_read_gives_its_slot_back_when_cut_off(server, monkeypatch, limits):
    raw = big_raw_log()
    path = f"/reports/{stored_id(upload(server.port, {'email': ''}, raw)[2])}/crashlog.txt"
    for name, value in limits.items():
        monkeypatch.setattr(answer_sending, name, value)
    stalled = [stalled_client(server.port, path)
               for _ in range(server_module.MAX_RAW_DOWNLOADS)]
    try:
        # Cut off after a second, well within the wait for a slot.
        assert page(server.port, path)[::2] == (200, raw)
        assert [received_before_the_end(sock) < len(raw) for sock in stalled] == [True] * len(stalled)
    finally:
        for sock in stalled:
            sock.close()


# (bytes stored before the server starts, log sizes uploaded, their statuses,
# the status of a first request after)
QUOTA_CASES = [
    pytest.param(1 << 20, [1000], ["507"], "503", id="at the quota counted from disk at start"),
    pytest.param(0, [400_000, 400_000], ["200", "507"], "303",
                 id="a report that would pass the quota"),
    pytest.param((1 << 20) - MIN_REPORT_BYTES + 1, [1000], ["200"], "503",
                 id="room left below the smallest report"),
]


@pytest.mark.parametrize("before,logs,statuses,first_status", QUOTA_CASES)
def test_at_the_quota_first_requests_are_declined_and_uploads_refused(
        start_server, tmp_path, before, logs, statuses, first_status):
    quota = 1 << 20
    if before:
        os.makedirs(tmp_path / "reports" / ("a" * 16))
        (tmp_path / "reports" / ("a" * 16) / "archive.zip").write_bytes(bytes(before))
    server = start_server(quota_bytes=quota)
    answers = [upload(server.port, {"email": ""}, crash_log(size, seed=n), seed=n)
               for n, size in enumerate(logs)]
    assert [status for status, *_ in answers] == statuses
    for status, _, body, _ in answers:
        assert status == "200" or b"the storage quota is reached" in body
    first = parse_response(exchange(server.port, get_request("/")))
    assert first[0] == first_status
    assert first_status != "503" or b"quota is reached" in first[2]
    assert folder_bytes(server.folder) <= quota and server.leftovers() == []
    assert len(server.reports()) == statuses.count("200") + (1 if before else 0)
    assert server.server.quota.used == folder_bytes(server.folder)


def wait_reserved(quota, size):
    deadline = time.monotonic() + 20
    while quota.describe().split(", ")[1] != f"{size} reserved":
        assert time.monotonic() < deadline, quota.describe()
        time.sleep(0.01)


def upload_log(log):
    return lambda port: upload(port, {"email": ""}, log)[::2]


def unsent_body(port):
    """An upload larger than the quota whose body never comes."""
    request = post_request(b"", "multipart/form-data; boundary=b",
                           headers=[("Content-Length", str(2 << 20))])
    return parse_response(exchange(port, request))[::2]


# (Content-Length of an upload held in progress, the request made meanwhile
# giving its status and answer, the start of the answer)
RESERVATION_CASES = [
    pytest.param(900_000, upload_log(crash_log(400_000)), b"upload rejected: the storage quota",
                 id="a body being read holds its Content-Length"),
    pytest.param(300_000, upload_log(b"a" * 800_000),
                 b"upload rejected: its crash log unpacks to 800000 bytes",
                 id="an archive holds what it unpacks to before it is unpacked"),
    pytest.param(0, unsent_body, b"upload rejected: the storage quota",
                 id="a body that cannot fit is refused unread"),
]


@pytest.mark.parametrize("held,request_meanwhile,answer", RESERVATION_CASES)
def test_uploads_in_progress_count_against_the_quota(start_server, held, request_meanwhile,
                                                     answer):
    server = start_server(quota_bytes=1 << 20)
    quota = server.server.quota
    holder = connect(server.port)
    try:
        if held:
            holder.sendall(post_request(b"--b\r\n", "multipart/form-data; boundary=b", headers=[
                ("User-Agent", REPORTER_USER_AGENT), ("Content-Length", str(held))]))
            wait_reserved(quota, held)
        status, body = request_meanwhile(server.port)
        assert (status, body[:len(answer)]) == ("507", answer)
    finally:
        holder.close()
    wait_reserved(quota, 0)
    assert server.leftovers() == [] and quota.used == folder_bytes(server.folder)
    if held:  # the same request once the held one has gone
        assert request_meanwhile(server.port)[0] == "200"
