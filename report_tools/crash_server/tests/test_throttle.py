"""Throttling first requests by crash signature: the rules, a storm of one
crash, the window's end, a restart, and headers that are no signature."""

import concurrent.futures
import json
import os
import random
import re
import time

import pytest

from crashlog import analysis
from crashlog.parser import parse_bytes
from crash_server.throttle import Rule, Throttle, parse_rule

from .support import (
    REPORTER_USER_AGENT,
    exchange,
    get_request,
    parse_response,
    post_request,
    reporter_boundary,
    upload,
)
from .test_pages import chromium, crash_at, url

HEADER = "X-Tavra-Crash-Signature"
# Two crash sites of one build, and the first again in another build, where
# its code moved.
LOGS = {
    "A": crash_at(0x1010, version="1.0"),
    "B": crash_at(0x5555, version="1.0"),
    "A2": crash_at(0x1014, version="2.0", build="9"),
}


def digest(name):
    return analysis.signature(parse_bytes(LOGS[name]))[1]


class Clock:
    """Wall-clock seconds that move only when told."""

    def __init__(self):
        self.now = time.time()

    def __call__(self):
        return self.now


def first_request(server, headers):
    status, answer, _ = parse_response(exchange(server.port, get_request("/", headers)))
    match = re.search(r"\?id=([0-9a-f]{16})&", answer.get("location", ""))
    return status, match.group(1) if match else None


def ask(server, name):
    return first_request(server, [(HEADER, digest(name))])


def store(server, name, report_id):
    status, _, _, _ = upload(server.port, {"stacktraceId": report_id}, LOGS[name])
    assert status == "200"


@pytest.mark.parametrize(
    "text,rule",
    [
        ("3/60", Rule(3, 60)),
        ("1/1", Rule(1, 1)),
        ("1000/31622400", Rule(1000, 31622400)),
        ("007/010", Rule(7, 10)),
        ("0/60", None),
        ("3/0", None),
        ("1001/60", None),
        ("3/31622401", None),
        ("3", None),
        ("3/", None),
        ("/60", None),
        ("-1/60", None),
        ("3/60s", None),
        (" 3/60", None),
        ("3/60/1", None),
        ("\u0663/60", None),  # a digit, but not an ASCII one
        ("9" * 40 + "/60", None),
    ],
)
def test_throttle_rules(text, rule):
    if rule is None:
        with pytest.raises(ValueError, match="throttle rule N/SECONDS"):
            parse_rule(text)
    else:
        assert parse_rule(text) == rule


def test_a_storm_of_one_crash_stores_n_and_declines_the_rest_at_the_first_request(start_server):
    server = start_server(throttle=[Rule(3, 3600)])
    with concurrent.futures.ThreadPoolExecutor(12) as pool:
        answers = list(pool.map(lambda _: ask(server, "A"), range(12)))
    admitted = [report_id for status, report_id in answers if status == "303"]
    assert len(admitted) == 3
    assert sorted(status for status, _ in answers) == ["303"] * 3 + ["503"] * 9
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        list(pool.map(lambda report_id: store(server, "A", report_id), admitted))
    # Stored now rather than promised: still over the rule.
    assert [ask(server, "A")[0] for _ in range(2)] == ["503", "503"]
    # Another signature, and the same crash in another build, are not held back.
    assert ask(server, "B")[0] == "303"
    status, report_id = ask(server, "A2")
    assert status == "303"
    store(server, "A2", report_id)
    assert sorted(server.reports()) == sorted(admitted + [report_id])

    dom = chromium("--dump-dom", url(server.server))
    groups = {
        re.search(r"\[([0-9a-f]{12})\]", group).group(1): group
        for group in re.findall(r'<section class="group".*?</section>', dom, re.S)
    }
    assert set(groups) == {digest("A"), digest("A2")}
    counts = r'<span class="stored">(\d+)</span>.*<span class="declined">(\d+)</span>'
    assert re.search(counts, groups[digest("A")], re.S).groups() == ("3", "11")
    assert re.search(counts, groups[digest("A2")], re.S).groups() == ("1", "0")
    assert "1.0 (5678): 3" in groups[digest("A")] and "2.0 (9): 1" in groups[digest("A2")]
    assert "at most 3 stored report(s) per signature within 3600 s" in dom
    assert "11 first request(s) declined" in dom
    # A report's page links to its signature's page.
    report = chromium("--dump-dom", url(server.server, f"/reports/{admitted[0]}"))
    assert f'href="/signatures/{digest("A")}"' in report


# Steps: (name of a log, status its first request gets, whether its upload
# follows), ("wait", seconds) or ("restart",).
SCENARIOS = {
    "the window's end lets reports in again": (
        [Rule(2, 60)],
        [("A", "303", True), ("A", "303", True), ("A", "503", False), ("wait", 59),
         ("A", "503", False), ("wait", 2), ("A", "303", True), ("A", "303", False),
         ("A", "503", False)],
    ),
    "every rule applies": (
        [Rule(2, 60), Rule(3, 3600)],
        [("A", "303", True), ("A", "303", True), ("wait", 61), ("A", "303", True),
         ("wait", 61), ("A", "503", False), ("B", "303", False)],
    ),
    "a promise without its upload ends after two minutes": (
        [Rule(2, 3600)],
        [("A", "303", False), ("A", "303", False), ("A", "503", False), ("wait", 119),
         ("A", "503", False), ("wait", 2), ("A", "303", True), ("A", "303", False),
         ("A", "503", False)],
    ),
    "a restart keeps the stored counts": (
        [Rule(2, 3600)],
        [("A", "303", True), ("B", "303", True), ("A", "303", True), ("restart",),
         ("A", "503", False), ("B", "303", False), ("wait", 3601), ("restart",),
         ("A", "303", False)],
    ),
    "no rule, no throttle": (
        [],
        [("A", "303", True)] * 3 + [("A", "303", False)] * 3,
    ),
}


@pytest.mark.parametrize("name", SCENARIOS)
def test_throttle_scenarios(start_server, name):
    rules, steps = SCENARIOS[name]
    clock = Clock()
    server = start_server(throttle=rules, clock=clock)
    for number, step in enumerate(steps):
        if step[0] == "wait":
            clock.now += step[1]
        elif step[0] == "restart":
            server.server.stop()
            server = start_server(throttle=rules, clock=clock)
        else:
            log, status, uploads = step
            got, report_id = ask(server, log)
            assert got == status, (number, step)
            if uploads:
                store(server, log, report_id)


# (signature header of the first request: a log's name, or None; how the
# report is counted after it is stored: "" as uploaded, "restart" read back,
# "older" read back without what the upload kept of the header; the
# signature it counts under).
COUNTED_UNDER = [
    ("A", "", "A"),
    ("A", "restart", "A"),
    ("A", "older", "B"),
    (None, "", "B"),
    (None, "restart", "B"),
]


@pytest.mark.parametrize("header,after,counted", COUNTED_UNDER)
def test_a_report_counts_under_its_first_requests_signature_else_its_logs(
    start_server, header, after, counted
):
    """The first request names A, its upload holds the log of B (an older
    reader, or a cap, reads another signature than the reporter signed)."""
    clock = Clock()
    server = start_server(throttle=[Rule(1, 3600)], clock=clock)
    status, report_id = first_request(server, [(HEADER, digest(header))] if header else [])
    assert status == "303"
    store(server, "B", report_id)
    if after:
        if after == "older":
            path = os.path.join(server.folder, report_id, "metadata.json")
            with open(path, encoding="utf-8") as f:
                metadata = json.load(f)
            metadata.pop("first_request_signature")
            with open(path, "w", encoding="utf-8") as f:
                json.dump(metadata, f)
        server.server.stop()
        server = start_server(throttle=[Rule(1, 3600)], clock=clock)
    # Over the rule for the signature it counts under only; its upload ended
    # the promise.
    assert {name: ask(server, name)[0] for name in ("A", "B")} == {
        name: "503" if name == counted else "303" for name in ("A", "B")}
    # The list groups it as the throttle counts it, and says what its log reads as.
    groups, _ = server.server.pages.groups()
    assert [(g.digest, [r.report_id for r in g.reports]) for g in groups] == [
        (digest(counted), [report_id])]
    page = server.server.pages.list_page()[1].decode()
    assert (f'<span class="log-digests mono">{digest("B")}</span>' in page) == (counted != "B")


VALID = "0123456789ab"
# (X-Tavra-Crash-Signature values, what the first request's record keeps)
HOSTILE_HEADERS = [
    ([VALID.upper()], VALID.upper()),
    ([VALID[:-1]], VALID[:-1]),
    ([VALID + "c"], VALID + "c"),
    ([VALID[:-1] + "g"], VALID[:-1] + "g"),
    ([VALID + " x"], VALID + " x"),
    ([VALID, VALID], VALID),
    (["<script>alert(1)</script>"], "<script>alert(1)</script>"),
    ([VALID + "\x01\x7f"], VALID + "\\x01\\x7F"),
    (["\u00e9" + VALID[1:]], "\u00e9" + VALID[1:]),
    (["f" * 5000], "f" * 64 + "\u2026"),
]


@pytest.mark.parametrize("values,kept", HOSTILE_HEADERS)
def test_a_header_that_is_no_short_hash_is_kept_escaped_and_not_throttled(
    start_server, values, kept
):
    server = start_server(throttle=[Rule(1, 3600)])
    # Over the rule for the valid hash, and so for anything taken as a
    # signature when asked twice.
    assert first_request(server, [(HEADER, VALID)])[0] == "303"
    assert first_request(server, [(HEADER, VALID)])[0] == "503"
    headers = [(HEADER, value.encode("utf-8").decode("latin-1")) for value in values]
    for _ in range(2):
        status, report_id = first_request(server, headers)
        assert status == "303"
        assert server.server.store.first_request(report_id)["signature"] == kept


def test_the_signatures_tracked_are_bounded_the_least_recently_used_dropped():
    clock = Clock()
    throttle = Throttle([Rule(1, 3600)], clock, max_signatures=2)
    for signature in ("a" * 12, "b" * 12, "c" * 12):
        throttle.stored(signature, clock.now, None)
        assert throttle.admit(signature, promise=True) is None
    assert throttle.admit("c" * 12, promise=True) is None
    assert throttle.admit("a" * 12, promise=True)  # forgotten: let in again
    assert throttle.declined_counts() == {"c" * 12: 2}


def test_the_control_state_counts_what_reporters_sent_declined_first_requests_included(
    start_server,
):
    server = start_server(throttle=[Rule(1, 3600)])
    asked = [get_request("/", [(HEADER, digest("A"))]) for _ in range(2)]
    answers = [parse_response(exchange(server.port, request))[0] for request in asked]
    assert answers == ["303", "503"]
    status, _, _, body = upload(server.port, {"stacktraceId": "0" * 16}, LOGS["A"])
    assert status == "200"
    # Pages and the control address are no reporter's traffic.
    exchange(server.port, get_request("/", [("User-Agent", "Mozilla/5.0")]))
    status, _, state = parse_response(exchange(server.port, get_request("/_control")))
    # The upload's head as upload() sends it: its boundary comes from seed 1.
    content_type = "multipart/form-data; boundary=" + reporter_boundary(random.Random(1))
    head = post_request(
        b"", content_type, "/",
        [("User-Agent", REPORTER_USER_AGENT), ("Content-Length", str(len(body)))],
    )
    assert json.loads(state) == {
        "first_request": "redirect",
        "upload": "ok",
        "reports": 1,
        "first_requests": 2,
        "first_request_bytes": sum(len(request) for request in asked),
        "declined": 1,
        "uploads": 1,
        "upload_bytes": len(head) + len(body),
    }
