"""A storm of one crash site, for real under Wine: the reporter, the
stand-in browser and crashing test clients against a local crash server in
this process. With the server's throttle rule the server stores N reports and
declines the rest at the first request; with the reporter's crash budget the
reporter stops asking once the budget is spent, and a new reporter (the
browser restarted after its crash) keeps to the budget that the crash
directory remembers."""

import io
import os
import re

import pytest

from crash_server.behaviour import FIRST_REQUEST, UPLOAD, parse_mode
from crash_server.server import CrashServer
from crash_server.throttle import Rule
from crashlog import analysis
from crashlog.parser import parse_file

from .real_crashes import CrashSession, build_dir, reporter_log, wait_for

BUDGET_OFF = {"TAVRA_CRASH_BUDGET_PER_SIGNATURE": "0", "TAVRA_CRASH_BUDGET_PER_DAY": "0"}

# What becomes of each crash: its report stored; declined by the server at
# the first request; or never asked about (over the reporter's budget).
STORED, DECLINED, NOT_ASKED = "stored", "declined", "not asked"

# (the reporter's environment (an empty value is as unset), the server's
# rules, what becomes of each crash of the first browser session, what
# becomes of a crash after the restart)
ROWS = {
    "the server's rule": (BUDGET_OFF, [Rule(2, 3600)],
                          [STORED, STORED, DECLINED, DECLINED, DECLINED], DECLINED),
    "the reporter's budget": ({"TAVRA_CRASH_BUDGET_PER_SIGNATURE": "2",
                               "TAVRA_CRASH_BUDGET_PER_DAY": ""}, [],
                              [STORED, STORED, NOT_ASKED, NOT_ASKED, NOT_ASKED], NOT_ASKED),
}


def reporter_lines(temp_dir, reporter_pid, pattern):
    """The lines of the reporter's own log, from process `reporter_pid`, that
    match `pattern`."""
    return [line for line in reporter_log(temp_dir).splitlines()
            if line.startswith(f"[{reporter_pid}:") and re.search(pattern, line)]


class Storm:
    """One browser session after another, the same crash directory, the same
    server; each crash's outcome checked as it happens."""

    def __init__(self, tmp_path, env, server):
        self.log_dir = str(tmp_path / "crash logs")
        self.temp_dir = str(tmp_path / "temp")
        os.makedirs(self.temp_dir)
        self.env = env
        self.server = server
        self.signatures = set()

    def session(self):
        return CrashSession(self.log_dir, self.server.url, self.env, self.temp_dir)

    def crash(self, session, outcome):
        before = self.server.traffic.counts()
        stored_before = self.server.store.stored_count
        log = session.crash("read", "0")["log"]
        signature = analysis.signature(parse_file(log))[1]
        self.signatures.add(signature)
        line = rf"Crash {session.crashes} of process \d+: "

        def outcome_known():
            if self.server.store.stored_count > stored_before:
                return STORED, []
            for known, text in ((DECLINED, "report dropped: the crash server declined it"),
                                (NOT_ASKED, "not reported: over the crash budget")):
                lines = reporter_lines(self.temp_dir, session.reporter_pid, line + text)
                if lines:
                    return known, lines
            return None

        got, lines = wait_for(f"the outcome of crash {session.crashes}", outcome_known)
        assert got == outcome, (session.crashes, lines)
        if outcome == NOT_ASKED:
            assert signature in lines[0], lines
        after = self.server.traffic.counts()
        asked = outcome != NOT_ASKED
        assert after["first_requests"] - before["first_requests"] == asked, session.crashes
        assert after["declined"] - before["declined"] == (outcome == DECLINED), session.crashes
        assert self.server.store.stored_count - stored_before == (outcome == STORED)


@pytest.mark.parametrize("row", ROWS)
def test_a_storm_of_one_crash_site_is_held_by_the_server_rule_or_the_reporter_budget(
    tmp_path, row
):
    build_dir()
    env, rules, outcomes, after_restart = ROWS[row]
    server = CrashServer(
        host="127.0.0.1", port=0, storage=str(tmp_path / "reports"),
        first_request=parse_mode("", FIRST_REQUEST), upload=parse_mode("", UPLOAD),
        out=io.StringIO(), log=None, throttle=rules,
    )
    server.start()
    try:
        storm = Storm(tmp_path, env, server)
        session = storm.session()
        try:
            for outcome in outcomes:
                storm.crash(session, outcome)
        finally:
            session.close()
        session = storm.session()
        try:
            storm.crash(session, after_restart)
        finally:
            session.close()
        # Nothing came late.
        traffic = server.traffic.counts()
    finally:
        server.stop()

    everything = outcomes + [after_restart]
    assert len(storm.signatures) == 1, storm.signatures
    assert traffic["first_requests"] == everything.count(STORED) + everything.count(DECLINED)
    assert traffic["declined"] == everything.count(DECLINED)
    assert traffic["uploads"] == everything.count(STORED) == server.store.stored_count
    # Each stored report's first request named the crash's signature.
    (signature,) = storm.signatures
    for report_id in sorted(os.listdir(server.store.folder)):
        if not report_id.startswith("."):
            assert server.store.first_request(report_id)["signature"] == signature
    if rules:
        assert server.throttle.declined_counts() == {signature: everything.count(DECLINED)}
