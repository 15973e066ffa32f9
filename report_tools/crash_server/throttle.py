"""Throttling of first requests by crash signature.

A rule "N/SECONDS" allows at most N stored reports of one crash signature
within any SECONDS; every rule given applies. The reporter's first request
names its crash's signature in the header X-Tavra-Crash-Signature (the
signature's short hash, 12 lower-case hex digits); a first request whose
signature is at or over a rule is declined with 503 before a byte of its
report is sent.

What counts against a rule, per signature:
  stored    uploads received and kept, by their received time, under the
            signature their first request named when that request handed
            out their id (what decided it), else the one computed from their
            crash log (no header, or an upload under another id);
  promised  first requests of that signature answered 303 whose upload has
            not arrived yet, for at most PROMISE_SECONDS: otherwise a storm
            of first requests between the 303 and their uploads would all
            get through. A promise ends when an upload names its id, stored
            or not.
Declined first requests are counted per signature for the pages, and per
UTC day for their charts.

The first request carries no product version, and a signature is made of
module offsets, so another build of the product gives another signature:
counting per signature counts per version.

Bounds: at most MAX_SIGNATURES signatures are tracked, the least recently
used dropped first (with what was counted of it); each keeps at most the
largest N of the rules of its received times and fewer than the smallest N
of promises, and the declined counts of at most the latest
MAX_DECLINED_DAYS days with a declined request. Stored times outlive a restart as the reports on disk do (see
load()); declined counts live in memory only.

Threads: any request thread may call in at once. One lock guards every
counter; nothing else is called while it is held. The clock is a seam
(wall-clock seconds, so that times read back from stored reports compare).
"""

import array
import bisect
import collections
import re
import threading
import time
from dataclasses import dataclass
from typing import Callable, Dict, Iterable, List, Optional, Sequence, Tuple

from crashlog.log_model import shown

SIGNATURE_HEADER = "X-Tavra-Crash-Signature"
# What a first request's record keeps of the header; a short hash is 12.
MAX_REMEMBERED_CHARS = 64
MAX_SIGNATURES = 4096
# Days whose declined first requests a signature's chart shows at most, the
# latest kept: as many as a chart has bars, so that a storm of declines
# costs each signature a few hundred bytes at most (two arrays of this
# length), whatever its length.
MAX_DECLINED_DAYS = 60
DAY_SECONDS = 86400
# A promised upload that has not come within this time is given up: the
# reporter gives its upload up long before when the server is silent.
PROMISE_SECONDS = 120.0
MAX_RULE_REPORTS = 1000
MAX_RULE_SECONDS = 366 * 24 * 3600
RULE_FORM = "N/SECONDS (N from 1 to %d, SECONDS from 1 to %d)" % (
    MAX_RULE_REPORTS,
    MAX_RULE_SECONDS,
)

_SIGNATURE_HASH = re.compile(r"[0-9a-f]{12}")
_RULE = re.compile(r"([0-9]{1,12})/([0-9]{1,12})")


def is_signature_hash(text: Optional[str]) -> bool:
    return text is not None and _SIGNATURE_HASH.fullmatch(text) is not None


@dataclass(frozen=True)
class Rule:
    limit: int
    seconds: int

    def __str__(self) -> str:
        return f"{self.limit}/{self.seconds}"

    def describe(self) -> str:
        return f"at most {self.limit} stored report(s) per signature within {self.seconds} s"


def parse_rule(text: str) -> Rule:
    """Reads "N/SECONDS"; ValueError says what is wrong."""
    match = _RULE.fullmatch(text)
    if match is None:
        raise ValueError(f'"{text}" is not a throttle rule {RULE_FORM}')
    limit, seconds = int(match.group(1)), int(match.group(2))
    if not 1 <= limit <= MAX_RULE_REPORTS or not 1 <= seconds <= MAX_RULE_SECONDS:
        raise ValueError(f'"{text}" is outside the throttle rule {RULE_FORM}')
    return Rule(limit, seconds)


class _Signature:
    """What is counted of one signature."""

    __slots__ = ("stored", "promises", "declined", "declined_days", "declined_per_day")

    def __init__(self):
        # Received times of stored reports, ascending, the latest kept.
        self.stored = array.array("d")
        # Ticket -> [time promised, report id once bound].
        self.promises: Dict[int, list] = {}
        self.declined = 0
        # UTC day numbers with declined first requests, ascending, the
        # latest MAX_DECLINED_DAYS kept, and the count of each.
        self.declined_days = array.array("q")
        self.declined_per_day = array.array("q")

    def declined_history(self) -> List[Tuple[int, int]]:
        return list(zip(self.declined_days, self.declined_per_day))

    def decline(self, now: float) -> None:
        self.declined += 1
        day = int(now // DAY_SECONDS)
        at = bisect.bisect_left(self.declined_days, day)
        if at < len(self.declined_days) and self.declined_days[at] == day:
            self.declined_per_day[at] += 1
            return
        self.declined_days.insert(at, day)
        self.declined_per_day.insert(at, 1)
        extra = len(self.declined_days) - MAX_DECLINED_DAYS
        if extra > 0:
            del self.declined_days[:extra]
            del self.declined_per_day[:extra]


class Throttle:
    def __init__(
        self,
        rules: Sequence[Rule] = (),
        clock: Callable[[], float] = time.time,
        max_signatures: int = MAX_SIGNATURES,
    ):
        self.rules = tuple(rules)
        self._clock = clock
        self._max_signatures = max_signatures
        self._kept_times = max((rule.limit for rule in self.rules), default=0)
        self._longest = max((rule.seconds for rule in self.rules), default=0)
        self._lock = threading.Lock()
        self._signatures: "collections.OrderedDict[str, _Signature]" = collections.OrderedDict()
        # Report id -> (signature, ticket) of each promise bound to an id.
        self._promised_ids: Dict[str, Tuple[str, int]] = {}
        self._last_ticket = 0

    @property
    def longest_window(self) -> int:
        return self._longest

    def admit(self, signature: Optional[str], promise: bool) -> Optional[int]:
        """Decides a first request of the given signature (None: it named
        none). None when a rule declines it (counted); else a ticket for
        bind(), 0 when nothing was promised (`promise` false, no rules or no
        signature)."""
        if signature is None or not self.rules:
            return 0
        now = self._clock()
        with self._lock:
            entry = self._entry_locked(signature, now)
            for rule in self.rules:
                start = now - rule.seconds
                count = len(entry.stored) - bisect.bisect_left(entry.stored, start)
                if count + len(entry.promises) >= rule.limit:
                    entry.decline(now)
                    return None
            if not promise:
                return 0
            self._last_ticket += 1
            entry.promises[self._last_ticket] = [now, None]
            return self._last_ticket

    def bind(self, signature: Optional[str], ticket: int, report_id: str) -> None:
        """Ties a promise to the report id its 303 handed out."""
        if not ticket or signature is None:
            return
        with self._lock:
            entry = self._signatures.get(signature)
            promise = entry.promises.get(ticket) if entry is not None else None
            if promise is not None:
                promise[1] = report_id
                self._promised_ids[report_id] = (signature, ticket)

    def count_declined(self, signature: Optional[str]) -> None:
        """Counts a first request declined otherwise than by a rule."""
        if signature is None:
            return
        now = self._clock()
        with self._lock:
            self._entry_locked(signature, now).decline(now)

    def stored(self, signature: Optional[str], received: float, report_id: Optional[str]) -> None:
        """Counts a stored report, received at `received`, under its
        signature (None: none), and ends the promise of the first request
        that handed out `report_id`."""
        with self._lock:
            self._fulfil_locked(report_id)
            if signature is not None and self.rules:
                self._add_stored_locked(signature, received)

    def release(self, report_id: Optional[str]) -> None:
        """Ends the promise of `report_id`: its upload came but was not stored."""
        with self._lock:
            self._fulfil_locked(report_id)

    def load(self, reports: Iterable[Tuple[str, float]]) -> None:
        """Counts stored reports (signature, received time) found on disk."""
        if not self.rules:
            return
        for signature, received in sorted(reports, key=lambda item: item[1]):
            with self._lock:
                self._add_stored_locked(signature, received)

    def declined_counts(self) -> Dict[str, int]:
        with self._lock:
            return {s: e.declined for s, e in self._signatures.items() if e.declined}

    def declined_days(self) -> Dict[str, List[Tuple[int, int]]]:
        """Per signature, (UTC day number, first requests declined that
        day) of the latest days with declines, ascending."""
        with self._lock:
            return {s: e.declined_history() for s, e in self._signatures.items() if e.declined}

    def declined_of(self, signature: str) -> Tuple[int, List[Tuple[int, int]]]:
        """The first requests of one signature declined, in all and per day
        as declined_days() gives them."""
        with self._lock:
            entry = self._signatures.get(signature)
            if entry is None:
                return 0, []
            return entry.declined, entry.declined_history()

    # Under the lock.

    def _entry_locked(self, signature: str, now: float) -> _Signature:
        entry = self._signatures.get(signature)
        if entry is None:
            entry = self._signatures[signature] = _Signature()
            while len(self._signatures) > self._max_signatures:
                _, dropped = self._signatures.popitem(last=False)
                for _, report_id in dropped.promises.values():
                    self._promised_ids.pop(report_id, None)
        else:
            self._signatures.move_to_end(signature)
        # What no rule can count any more goes.
        del entry.stored[: bisect.bisect_left(entry.stored, now - self._longest)]
        for ticket, (promised, report_id) in list(entry.promises.items()):
            if promised <= now - PROMISE_SECONDS:
                del entry.promises[ticket]
                self._promised_ids.pop(report_id, None)
        return entry

    def _add_stored_locked(self, signature: str, received: float) -> None:
        entry = self._entry_locked(signature, self._clock())
        bisect.insort(entry.stored, received)
        del entry.stored[: max(0, len(entry.stored) - self._kept_times)]

    def _fulfil_locked(self, report_id: Optional[str]) -> None:
        if report_id is None:
            return
        promised = self._promised_ids.pop(report_id, None)
        if promised is None:
            return
        entry = self._signatures.get(promised[0])
        if entry is not None:
            entry.promises.pop(promised[1], None)


def remembered_signature(values: Optional[List[str]]) -> Tuple[Optional[str], Optional[str]]:
    """(signature for throttling, text to remember) of a first request's
    X-Tavra-Crash-Signature values: a signature only when there is exactly
    one value and it is a short hash; the text is the first value, cut to
    MAX_REMEMBERED_CHARS characters, with control characters written \\xHH."""
    if not values:
        return None, None
    text = values[0]
    kept = shown(text[:MAX_REMEMBERED_CHARS])
    if len(text) > MAX_REMEMBERED_CHARS:
        kept += "\u2026"
    signature = text if len(values) == 1 and is_signature_hash(text) else None
    return signature, kept
