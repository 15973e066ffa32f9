import re

import pytest

from .support import (
    REPORTER_USER_AGENT,
    crash_log,
    exchange,
    get_request,
    parse_response,
    upload,
)

ID = "[0-9a-f]{16}"


def first_request(port, path="/", headers=()):
    if not any(name == "Host" for name, _ in headers):
        headers = [("Host", f"127.0.0.1:{port}")] + list(headers)
    return parse_response(exchange(port, get_request(path, headers)))


def test_each_first_request_gets_a_fresh_id_in_a_303(server):
    ids = set()
    for _ in range(20):
        status, headers, body = first_request(server.port)
        assert status == "303"
        expected = rf"http://127\.0\.0\.1:{server.port}/report\?id=({ID})&x=1"
        match = re.fullmatch(expected, headers["location"])
        assert match, headers["location"]
        assert body == f"report {match.group(1)}\n".encode()
        assert int(headers["content-length"]) == len(body)
        ids.add(match.group(1))
    assert len(ids) == 20


def test_the_first_request_is_stored_with_the_upload_that_names_its_id(server):
    headers = [
        ("User-Agent", REPORTER_USER_AGENT + " beta"),
        ("X-Tavra-Crash-URL", "https://example.org/page?q=1"),
        ("X-Origin", "Wren"),
    ]
    _, answer, _ = first_request(server.port, "/submit?email=someone@example.org", headers)
    report_id = re.search(f"id=({ID})&", answer["location"]).group(1)

    status, _, _, _ = upload(server.port, {"stacktraceId": report_id}, b"log\r\n")
    assert status == "200"
    assert server.reports() == [report_id]
    record = server.read(report_id, "first_request.json")
    assert record["id"] == report_id
    assert record["path"] == "/submit?email=someone@example.org"
    assert record["email"] == "someone@example.org"
    assert record["user_agent"] == REPORTER_USER_AGENT + " beta"
    assert record["crash_url"] == "https://example.org/page?q=1"
    assert record["origin"] == "Wren"
    assert record["remote_address"] == "127.0.0.1"
    assert ["X-Origin", "Wren"] in record["headers"]


# (mode, status, what the Location must look like; None: no Location)
FIRST_REQUEST_MODES = [
    ("unavailable", "503", None),
    ("status:503", "503", rf"/report\?id={ID}&x=1$"),
    ("status:302", "302", rf"/report\?id={ID}&x=1$"),
    ("status:200", "200", rf"/report\?id={ID}&x=1$"),
    ("status:500", "500", rf"/report\?id={ID}&x=1$"),
    ("no-id", "303", r"/report\?x=1$"),
    ("no-ampersand", "303", rf"/report\?id={ID}$"),
    ("empty-id", "303", r"/report\?id=&x=1$"),
    ("long-location:300", "303", rf"/report\?id={ID}&x=1&pad=x+$"),
]


@pytest.mark.parametrize("mode,status,location", FIRST_REQUEST_MODES)
def test_first_request_modes(start_server, mode, status, location):
    server = start_server(first_request=mode)
    got_status, headers, body = first_request(server.port)
    assert got_status == status
    assert int(headers["content-length"]) == len(body) > 0
    if location is None:
        assert "location" not in headers
    else:
        assert re.search(location, headers["location"]), headers["location"]
    if mode == "long-location:300":
        assert len(headers["location"]) == 300


def test_a_long_location_is_as_long_as_asked_and_still_holds_the_id(start_server):
    server = start_server(first_request="long-location")
    status, headers, _ = first_request(server.port)
    assert status == "303"
    assert len(headers["location"]) == 65536
    assert re.search(rf"\?id={ID}&", headers["location"])


@pytest.mark.parametrize(
    "public_url,host,base",
    [
        # The listening address whatever the client names, even one the
        # reporter would take as usable.
        (None, "crash.example:81", "http://127.0.0.1:{port}/"),
        (None, "evil.example", "http://127.0.0.1:{port}/"),
        (None, None, "http://127.0.0.1:{port}/"),
        ("https://crash.example/reports", "evil.example", "https://crash.example/reports/"),
        ("http://crash.example:81/", "127.0.0.1", "http://crash.example:81/"),
    ],
)
def test_the_location_is_built_from_the_servers_own_address_never_the_host_header(
    start_server, public_url, host, base
):
    server = start_server(public_url=public_url)
    extra = [("Host", host)] if host is not None else []
    request = get_request("/", extra)
    if host is None:
        request = request.replace(b"Host: 127.0.0.1\r\n", b"")
    _, headers, _ = parse_response(exchange(server.port, request))
    base = base.format(port=server.port)
    assert re.fullmatch(re.escape(base) + rf"report\?id={ID}&x=1", headers["location"]), (
        headers["location"]
    )


def test_the_location_is_a_page_about_the_report(server):
    _, headers, _ = first_request(server.port)
    path = headers["location"].split(f":{server.port}", 1)[1]
    report_id = re.search(f"id=({ID})", path).group(1)
    page = f"crash report {report_id}: awaiting its upload\n"
    assert first_request(server.port, path)[2] == page.encode()
    upload(server.port, {"stacktraceId": report_id}, crash_log(100))
    page = f"crash report {report_id}: received\n"
    assert first_request(server.port, path)[2] == page.encode()


@pytest.mark.parametrize(
    "path,email",
    [
        ("/?email=a+b@example.org", "a+b@example.org"),
        ("/submit?channel=beta?email=c@example.org", "c@example.org"),
        ("/?email=", ""),
        ("/?email=%41@example.org", "A@example.org"),
        ("/submit?channel=beta", None),
    ],
)
def test_the_email_is_what_follows_the_mark_the_reporter_appends(server, path, email):
    _, headers, _ = first_request(server.port, path)
    report_id = re.search(f"id=({ID})&", headers["location"]).group(1)
    record = server.server.store.first_request(report_id)
    assert (record["email"], record["crash_url"], record["origin"]) == (email, None, None)
