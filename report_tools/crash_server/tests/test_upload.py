import io
import random
import re
import threading
import warnings
import zipfile

import pytest

from .support import (
    REPORTER_USER_AGENT,
    connect,
    crash_log,
    exchange,
    get_request,
    parse_response,
    post_request,
    receive_all,
    reporter_body,
    reporter_boundary,
    upload,
    zip_archive,
)

ID = "[0-9a-f]{16}"
REPORTER_FIELDS = {
    "CrashUptime": "12",
    "TotalUptime": "",
    "email": "someone@example.org",
    "origin": "VaZeri",
    "url": "https://example.org/\u00e9t\u00e9?a=1&b=\"2\"",
    "userComments": "",
}


def new_id(port):
    raw = exchange(port, get_request("/", [("Host", f"127.0.0.1:{port}")]))
    return re.search(f"id=({ID})&", parse_response(raw)[1]["location"]).group(1)


def test_a_reporter_upload_is_stored_whole_under_its_id(start_server):
    server = start_server(keep_body=True)
    report_id = new_id(server.port)
    fields = dict(REPORTER_FIELDS, stacktraceId=report_id)
    log = crash_log((1 << 20) + 1)  # more than one read and one decoder buffer

    path = "/?email=someone@example.org"
    status, headers, answer, body = upload(server.port, fields, log, path=path)

    assert (status, answer) == ("200", f"report {report_id} stored\n".encode())
    assert int(headers["content-length"]) == len(answer)
    assert server.reports() == [report_id]
    assert server.leftovers() == []
    stored = server.read(report_id, "fields.json")
    assert list(stored) == [
        "CrashUptime", "TotalUptime", "email", "origin", "stacktraceId", "url", "userComments"
    ]
    assert stored == fields
    assert server.read(report_id, "crashlog.txt") == log
    assert server.read(report_id, "request_body.bin") == body
    archive = server.read(report_id, "archive.zip")
    assert archive == zip_archive([("crashlog.txt", log)])

    metadata = server.read(report_id, "metadata.json")
    assert metadata["report_id"] == metadata["stacktrace_id"] == report_id
    assert metadata["remote_address"] == "127.0.0.1"
    assert metadata["user_agent"] == REPORTER_USER_AGENT
    assert metadata["path"] == "/?email=someone@example.org"
    assert metadata["content_length"] == len(body)
    assert re.fullmatch("-{27}0000[0-7][0-9A-F]{3}0000[0-7][0-9A-F]{3}", metadata["boundary"])
    assert (metadata["field_count"], metadata["file_name"]) == (7, "tavra-crashlog-100-1.zip")
    assert (metadata["archive_size"], metadata["crashlog_size"]) == (len(archive), len(log))
    assert [p["name"] for p in metadata["parts"]] == list(stored) + ["file"]
    assert metadata["parts"][-1]["content_type"] == "application/octet-stream"
    assert server.lines()[-1] == (
        f"report {report_id}: 7 fields, crashlog {len(log)} bytes, {server.folder}/{report_id}"
    )


def test_an_upload_without_fields_or_a_known_id_gets_an_id_of_its_own(server):
    assert upload(server.port, {}, b"x")[0] == "200"
    assert upload(server.port, {"stacktraceId": "0123456789abcdef"}, b"y")[0] == "200"
    first, second = server.reports()
    assert re.fullmatch(ID, first) and re.fullmatch(ID, second)
    assert "0123456789abcdef" not in (first, second)
    logs = [server.read(report_id, "crashlog.txt") for report_id in (first, second)]
    assert sorted(logs) == [b"x", b"y"]


def test_fields_are_stored_in_the_order_received(server):
    fields = {"zeta": "1", "Alpha": "2", "mid": "", "a": "\u00e9"}
    body = reporter_body(BOUNDARY, fields, "r.zip", LOG_ZIP, in_map_order=False)
    assert parse_response(exchange(server.port, post_request(body, MULTIPART)))[0] == "200"
    stored = server.read(server.reports()[0], "fields.json")
    assert list(stored.items()) == list(fields.items())


def test_a_second_upload_for_the_same_id_is_stored_apart(server):
    report_id = new_id(server.port)
    for log in (b"first", b"second"):
        assert upload(server.port, {"stacktraceId": report_id}, log)[0] == "200"
    assert len(server.reports()) == 2
    assert server.read(report_id, "crashlog.txt") == b"first"
    other = [r for r in server.reports() if r != report_id][0]
    assert server.read(other, "crashlog.txt") == b"second"
    assert server.read(other, "first_request.json")["id"] == report_id


def test_sixteen_uploads_at_once(server):
    barrier = threading.Barrier(16)
    results = [None] * 16

    def send(i):
        log = crash_log(20000 + i, seed=i)
        barrier.wait()
        results[i] = (upload(server.port, {"stacktraceId": new_id(server.port)}, log, seed=i), log)

    threads = [threading.Thread(target=send, args=(i,)) for i in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [r[0][0] for r in results] == ["200"] * 16
    assert len(server.reports()) == 16
    for (status, _, answer, _), log in results:
        report_id = re.fullmatch(rb"report (\w+) stored\n", answer).group(1).decode()
        assert server.read(report_id, "crashlog.txt") == log


BOUNDARY = reporter_boundary(random.Random(5))
MULTIPART = "multipart/form-data; boundary=" + BOUNDARY
LOG_ZIP = zip_archive([("crashlog.txt", b"log")])


def body_with(file_bytes=LOG_ZIP, fields=None, file_part="file"):
    return reporter_body(BOUNDARY, fields or {"a": "1"}, "r.zip", file_bytes, file_part)


def many_entries():
    return zip_archive([(f"e{i}", b"") for i in range(5000)] + [("crashlog.txt", b"log")])


def bad_crc():
    data = bytearray(zip_archive([("crashlog.txt", b"the crash log " * 20)]))
    data[40] ^= 0xFF  # inside the compressed data
    return bytes(data)


def twice():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the duplicate name is the point
        return zip_archive([("crashlog.txt", b"a"), ("crashlog.txt", b"b")])


def no_file_part():
    start = b"--" + BOUNDARY.encode()
    fields = body_with().split(start + b'\r\nContent-Disposition: form-data; name="file"')[0]
    return fields + start + b"--\r\n"


def duplicate_field():
    start = b"--" + BOUNDARY.encode() + b"\r\n"
    return body_with().replace(start, start + b'Content-Disposition: form-data; name="a"\r\n\r\n0\r\n' + start, 1)


# (case, content type, body, status, reason)
REJECTIONS = [
    ("no content type", None, body_with(), "400", "no Content-Type"),
    ("not multipart", "text/plain", body_with(), "400", "expected multipart/form-data"),
    ("no boundary", "multipart/form-data", body_with(), "400", "has no boundary"),
    ("boundary too long", "multipart/form-data; boundary=" + "b" * 71, body_with(), "400", "not a valid"),
    ("other boundary", "multipart/form-data; boundary=other", body_with(), "400", "malformed multipart"),
    ("no closing line", MULTIPART, body_with()[:-30], "400", "malformed multipart"),
    ("no file part", MULTIPART, no_file_part(), "400", 'no file part "file"'),
    ("file part named otherwise", MULTIPART, body_with(file_part="upload"), "400", 'unexpected file part "upload"'),
    ("file field without filename", MULTIPART, body_with().replace(b'; filename="r.zip"', b""), "400", "no filename"),
    ("duplicate field", MULTIPART, duplicate_field(), "400", 'form field "a" appears more than once'),
    ("field not UTF-8", MULTIPART, body_with(fields={"a": "\u00e9"}).replace(b"\xc3\xa9", b"\xe9"), "400", "not UTF-8"),
    ("fields too large", MULTIPART, body_with(fields={"a": "v" * (1 << 20), "b": "w"}), "413", "form fields"),
    ("not a zip", MULTIPART, body_with(b"plain text, no archive"), "400", "not a zip archive"),
    ("no crashlog.txt", MULTIPART, body_with(zip_archive([("other.txt", b"x")])), "400", "holds no crashlog.txt"),
    ("crashlog.txt twice", MULTIPART, body_with(twice()), "400", "more than once"),
    ("damaged entry", MULTIPART, body_with(bad_crc()), "400", "cannot be read"),
    ("huge directory", MULTIPART, body_with(many_entries()), "400", "directory is too large"),
]


@pytest.mark.parametrize("case,content_type,body,status,reason", REJECTIONS, ids=[r[0] for r in REJECTIONS])
def test_malformed_uploads_are_rejected_and_leave_nothing(server, case, content_type, body, status, reason):
    got_status, headers, answer = parse_response(exchange(server.port, post_request(body, content_type)))
    assert got_status == status
    assert reason in answer.decode(), answer
    assert int(headers["content-length"]) == len(answer)
    assert server.reports() == [] and server.leftovers() == []


def test_a_zip_bomb_is_refused_by_its_unpacked_size(server):
    bomb = io.BytesIO()
    with zipfile.ZipFile(bomb, "w", zipfile.ZIP_DEFLATED) as archive:
        with archive.open("crashlog.txt", "w") as entry:
            block = b"\0" * (1 << 20)
            for _ in range(65):
                entry.write(block)
    body = body_with(bomb.getvalue())
    assert len(body) < 1 << 20
    status, _, answer = parse_response(exchange(server.port, post_request(body, MULTIPART)))
    assert status == "413" and b"unpacks to more than 67108864 bytes" in answer
    assert server.reports() == [] and server.leftovers() == []


# Requests refused by their head, before any body is read.
@pytest.mark.parametrize(
    "headers,status,reason",
    [
        ([], "411", "Content-Length is required"),
        ([("Transfer-Encoding", "chunked")], "411", "not chunked"),
        ([("Content-Length", "12x")], "400", "bad Content-Length"),
        ([("Content-Length", str((128 << 20) + 1))], "413", "larger than 134217728 bytes"),
    ],
)
def test_request_heads_that_are_refused(server, headers, status, reason):
    request = post_request(b"", MULTIPART, headers=headers)
    got_status, _, answer = parse_response(exchange(server.port, request))
    assert got_status == status and reason in answer.decode()


def test_a_body_that_ends_early_stores_nothing(server):
    body = body_with(zip_archive([("crashlog.txt", crash_log(50000))]))
    with connect(server.port) as sock:
        sock.sendall(post_request(body, MULTIPART)[: -len(body) // 2])
        sock.shutdown(1)  # the client stops sending
        assert receive_all(sock) == b""
    assert server.reports() == [] and server.leftovers() == []


def test_stop_during_an_upload_leaves_no_half_written_report(start_server):
    server = start_server()
    body = body_with(zip_archive([("crashlog.txt", crash_log(200000))]))
    with connect(server.port) as sock:
        sock.sendall(post_request(body, MULTIPART)[: len(body) // 2])
        for _ in range(1000):  # until the upload has begun its folder
            if server.leftovers():
                break
            threading.Event().wait(0.01)
        server.server.stop()
        assert receive_all(sock) == b""
    assert server.reports() == [] and server.leftovers() == []
