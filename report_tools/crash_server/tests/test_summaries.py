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
from crash_server.report_pages import ReportInfo
from crash_server.report_summary import (MAX_SUMMARY_BYTES, MAX_SUMMARY_CHARS, SUMMARY_NAME,
                                         read_summary, write_summary)
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


# (how the summary file is changed after it was written, whether it is read)
SUMMARY_FILE_CASES = [
    pytest.param(lambda text: text, True, id="as written"),
    pytest.param(lambda text: text[: len(text) // 2], False, id="cut off"),
    pytest.param(lambda text: text.replace('"format": 1', '"format": 0'), False,
                 id="another format"),
    pytest.param(lambda text: text.replace('"log_size": ', '"log_size": 1'), False,
                 id="of a log of another size"),
    pytest.param(lambda text: text.replace('"build": ', '"build": 5, "x": '), False,
                 id="a text that is no string"),
    pytest.param(lambda text: text + " " * MAX_SUMMARY_BYTES, False, id="too large"),
]


@pytest.mark.parametrize("change,read", SUMMARY_FILE_CASES)
def test_a_summary_is_read_only_whole_and_for_its_log(tmp_path, change, read):
    # Texts past the clip, with quotes and separators, as a log could hold.
    long = "m\u2028\"\\" * (MAX_SUMMARY_CHARS // 2)
    info = ReportInfo("0" * 16, version="1\n2", build="\u009b", signature=long, digest="a" * 12)
    assert write_summary(str(tmp_path), info, 1000)
    path = tmp_path / SUMMARY_NAME
    text = path.read_text(encoding="ascii")
    path.write_text(change(text), encoding="ascii")
    kept = read_summary(str(tmp_path), ReportInfo, 1000)
    if not read:
        assert kept is None
        return
    assert (kept.version, kept.build, kept.digest) == ("1\n2", "\u009b", "a" * 12)
    assert len(kept.signature) == MAX_SUMMARY_CHARS and long.startswith(kept.signature[:-1])
