"""A crash signature's history: its page and chart in headless Chromium,
with reports over several days (their stored received times edited) and
first requests declined on others, the bars' bucketing, and the declined
days the throttle keeps."""

import json
import os
import re
import time

import pytest

from crashlog import analysis
from crashlog.parser import parse_bytes
from crash_server.history_chart import Bar, bars
from crash_server.report_store import utc_text
from crash_server.throttle import DAY_SECONDS, MAX_DECLINED_DAYS, Throttle

from .support import exchange, get_request, parse_response, upload
from .test_pages import chromium, crash_at, url
from .test_throttle import HEADER, Clock

# A module name and a version made of markup: the signature's text and the
# version list carry them.
HOSTILE_NAME = '<img src=x onerror=1>"&.exe'
HOSTILE_LOG = crash_at(0x1010, name=HOSTILE_NAME, version="<i>9</i>", build="<b>7")
TODAY = int(time.time() // DAY_SECONDS)
FIRST = TODAY - 10
# Day (from FIRST) -> reports stored, and first requests declined, that day;
# none on day 2.
STORED = {0: 1, 1: 3, 3: 2}
DECLINED = {1: 2, 4: 1}


def noon(day):
    return (FIRST + day) * DAY_SECONDS + 12 * 3600


def test_a_signature_page_charts_its_reports_and_declines_per_day(start_server, tmp_path):
    server = start_server()
    digest = analysis.signature(parse_bytes(HOSTILE_LOG))[1]
    ids = []
    for day, count in STORED.items():
        for _ in range(count):
            status, _, body, _ = upload(server.port, {"email": ""}, HOSTILE_LOG)
            assert status == "200"
            report_id = re.search(rb"report ([0-9a-f]{16}) stored", body).group(1).decode()
            ids.append(report_id)
            path = os.path.join(server.folder, report_id, "metadata.json")
            with open(path, encoding="utf-8") as f:
                metadata = json.load(f)
            metadata["received"] = utc_text(noon(day))
            with open(path, "w", encoding="utf-8") as f:
                json.dump(metadata, f)
    # A server started on the stored reports reads their edited times; its
    # clock is where the declined first requests are counted.
    server.server.stop()
    clock = Clock()
    server = start_server(first_request="unavailable", clock=clock)
    for day, count in DECLINED.items():
        clock.now = noon(day)
        for _ in range(count):
            status, _, _ = parse_response(exchange(server.port, get_request(
                "/crash", [(HEADER, digest)])))
            assert status == "503"

    dom = chromium("--dump-dom", url(server, f"/signatures/{digest}"))
    assert "<script" not in dom and "<img" not in dom and "<i>9" not in dom
    assert "&lt;img src=x onerror=1&gt;\"&amp;.exe+0x1010 | " in dom
    facts = re.search(r'<table id="signature-facts">.*?</table>', dom, re.S).group(0)
    assert '<span class="stored">6</span>' in facts and '<span class="declined">3</span>' in facts
    versions = re.search(r'<table id="versions">.*?</table>', dom, re.S).group(0)
    assert (f"<td>&lt;i&gt;9&lt;/i&gt; (&lt;b&gt;7)</td><td>6</td><td>{utc_text(noon(0))}</td>"
            f"<td>{utc_text(noon(3))}</td>") in versions
    assert sorted(re.findall(r'href="/reports/([0-9a-f]{16})"', dom)) == sorted(ids)

    chart = re.search(r'<svg class="history".*?</svg>', dom, re.S).group(0)
    shown = re.findall(r'<g class="bar" data-first="([-0-9]+)"[^>]*>(.*?)</g>', chart, re.S)
    # One bar per day from the first to the last, the empty day included.
    assert [first for first, _ in shown] == [utc_text(noon(d))[:10] for d in range(5)]
    heights = {name: [float((re.findall(rf'<rect class="{name}"[^>]*height="([0-9.]+)"', bar)
                             or [0])[0]) for _, bar in shown]
               for name in ("stored", "declined")}
    # The tallest (day 1: 3 stored, 2 declined) fills the chart; the rest
    # are in proportion to their counts.
    unit = (heights["stored"][1] + heights["declined"][1]) / 5
    assert unit > 10
    assert heights["stored"] == pytest.approx([STORED.get(d, 0) * unit for d in range(5)], abs=0.02)
    assert heights["declined"] == pytest.approx([DECLINED.get(d, 0) * unit for d in range(5)],
                                                abs=0.02)
    shot = tmp_path / "signature.png"
    chromium(f"--screenshot={shot}", "--window-size=1000,800", url(server, f"/signatures/{digest}"))
    assert shot.read_bytes().startswith(b"\x89PNG") and shot.stat().st_size > 5000

    shot = tmp_path / "list.png"
    chromium(f"--screenshot={shot}", "--window-size=1000,800", url(server))
    # The list links the group to its page and draws it small.
    dom = chromium("--dump-dom", url(server))
    assert "<script" not in dom and "<img" not in dom
    assert f'href="/signatures/{digest}"' in dom
    small = re.search(r'<svg class="small-history".*?</svg>', dom, re.S).group(0)
    assert len(re.findall(r'<g class="bar"', small)) == 5


@pytest.mark.parametrize("stored,declined,max_bars,expected", [
    ([], [], 60, []),
    ([7, 7], [], 60, [(7, 7, 2, 0)]),
    # A day without either is a bar of its own, at 0.
    ([0, 2, 2], [(2, 4)], 60, [(0, 0, 1, 0), (1, 1, 0, 0), (2, 2, 2, 4)]),
    ([], [(5, 1), (6, 2)], 60, [(5, 5, 0, 1), (6, 6, 0, 2)]),
    # A span longer than the bars puts the same number of days in each.
    ([0, 1, 2, 9], [(4, 3)], 4, [(0, 2, 3, 0), (3, 5, 0, 3), (6, 8, 0, 0), (9, 11, 1, 0)]),
    ([0] + [400], [], 60, [(0, 6, 1, 0)] + [(d, d + 6, 0, 0) for d in range(7, 400, 7)][:-1]
     + [(399, 405, 1, 0)]),
])
def test_bars_cover_the_span_in_at_most_the_bars_given(stored, declined, max_bars, expected):
    assert bars(stored, declined, max_bars) == [Bar(*bar) for bar in expected]


def test_the_throttle_keeps_the_declined_per_day_of_the_latest_days(tmp_path):
    clock = Clock()
    throttle = Throttle((), clock)
    start = 1000 * DAY_SECONDS
    days = MAX_DECLINED_DAYS + 10
    for day in range(days):
        for moment in range(day % 3 + 1):
            clock.now = start + day * DAY_SECONDS + moment * 3600
            throttle.count_declined("0123456789ab")
    assert throttle.declined_counts() == {"0123456789ab": sum(d % 3 + 1 for d in range(days))}
    assert throttle.declined_days() == {"0123456789ab": [
        (1000 + day, day % 3 + 1) for day in range(days - MAX_DECLINED_DAYS, days)]}
