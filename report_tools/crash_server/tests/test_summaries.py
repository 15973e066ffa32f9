"""Reports' summaries: the list, a signature's page and the throttle's count
at start read them rather than parse every stored log after a restart."""

import json
import os
import re
import time

import pytest

from crash_server import report_pages
from crash_server.report_pages import NOT_READ, ReportPages
from crash_server.report_store import utc_text
from crash_server.report_summary import SUMMARY_NAME
from crash_server.throttle import SIGNATURE_HEADER, parse_rule
from crashlog import analysis
from crashlog.parser import parse_bytes
from crashlog.tests.support import make_log
from crashlog.tests.test_hostile import many_tiny_dumps

from .support import exchange, get_request, parse_response

# Generous: a view reads for LIST_READ_SECONDS, then finishes the parse under
# way (a few tenths of a second here) and builds the page.
FIRST_VIEW_SECONDS = 20


def store_old_reports(folder, count, log, named=None):
    """Report folders as a run that kept no summaries left them (each log a
    link to one file, to spare the disk); `named` their first requests'
    signature. Returns the log's signature hash."""
    os.makedirs(folder, exist_ok=True)
    source = os.path.join(folder, "..", "crashlog-source.txt")
    with open(source, "wb") as f:
        f.write(log)
    now = time.time()
    for n in range(count):
        report = os.path.join(folder, f"{n + 1:016x}")
        os.makedirs(report)
        os.link(source, os.path.join(report, "crashlog.txt"))
        with open(os.path.join(report, "metadata.json"), "w", encoding="utf-8") as f:
            json.dump({"received": utc_text(now - 60 * n), "first_request_signature": named}, f)
    return analysis.signature(parse_bytes(log))[1]


def view(port, path):
    started = time.monotonic()
    status, _, body = parse_response(exchange(port, get_request(path, [("User-Agent", "t")]),
                                              timeout=60))
    assert status == "200" and time.monotonic() - started < FIRST_VIEW_SECONDS
    links = set(re.findall(r'href="/reports/([0-9a-f]{16})"', body.decode()))
    return len(links) - body.decode().count(f'class="mono">{NOT_READ}')


@pytest.mark.parametrize("path", ["/", "/signatures/{digest}"], ids=["list", "signature page"])
def test_after_a_restart_views_read_summaries_and_parse_the_rest_within_a_budget(
        start_server, tmp_path, monkeypatch, path):
    count = 12  # each log of 100000 dumps takes a few tenths of a second to parse
    digest = store_old_reports(str(tmp_path / "reports"), count, many_tiny_dumps(100_000))
    path = path.format(digest=digest)
    monkeypatch.setattr(report_pages, "LIST_READ_SECONDS", 0.5)
    server = start_server()
    read = [view(server.port, path)]
    while read[-1] < count and len(read) <= count:
        read.append(view(server.port, path))
    # The first view came within its budget with the newest few; later views
    # read the rest, and left each one's summary.
    assert 0 < read[0] < count and read[-1] == count, read
    assert all(os.path.exists(os.path.join(server.folder, r, SUMMARY_NAME))
               for r in server.reports())

    server.server.stop()
    server = start_server()
    assert view(server.port, path) == count
    assert server.server.pages.logs.parses == 0


@pytest.mark.parametrize("summarized", [True, False], ids=["summaries", "no summaries"])
def test_the_throttles_count_at_start_reads_summaries_and_parses_the_rest_later(
        start_server, tmp_path, summarized):
    folder = str(tmp_path / "reports")
    digest = store_old_reports(folder, 3, make_log())
    if summarized:
        pages = ReportPages(folder)
        for report_id in os.listdir(folder):
            pages.info(report_id)
    server = start_server(throttle=[parse_rule("3/3600")])
    if summarized:
        # Counted before the server listened, without a parse.
        assert server.server.pages.logs.parses == 0
    deadline = time.monotonic() + 30
    while True:
        answer = exchange(server.port, get_request("/crash", [(SIGNATURE_HEADER, digest)]))
        if parse_response(answer)[0] == "503" or time.monotonic() > deadline:
            break
        assert not summarized
    assert parse_response(answer)[0] == "503"
