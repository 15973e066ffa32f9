"""The parsed crash logs of stored reports, shared by every part of the
server that reads one (the report pages, the list's summaries, and through
them the throttle): a log is parsed once and kept while it is among the
recently used, rather than parsed again for each page view.

What this costs is bounded three ways. A parse is bounded by the reader
(crashlog.parser: lines read, dumped ranges and bytes, stack words, threads,
texts). At most MAX_PARSES_AT_ONCE parses run at once; a request that finds
every slot taken waits at most PARSE_WAIT_SECONDS and is then told the
server is busy (the pages answer 503). Two requests for the same log wait
for one parse. The kept logs are bounded in number and in their estimated
memory (estimated_bytes), the least recently used dropped first.

Threads: any request thread may call get() at once. One lock guards the
kept logs and the parses in progress; a parse runs outside it, holding one
of the semaphore's slots.
"""

import collections
import os
import threading
import time
from dataclasses import dataclass
from typing import Callable, Dict, Optional, Tuple

from crashlog.log_model import CrashLog
from crashlog.parser import NotACrashLog, parse_file
from crashlog.source import SourceError

# Parses at once: parsing is pure Python and shares one interpreter lock, so
# more would only share the same processor time and add each one's memory
# (up to a hundred MB for the most a log can hold); two let one large log
# be read without holding up the page of every other report.
MAX_PARSES_AT_ONCE = 2
# How long a request waits for a parse slot or for another request's parse
# of the same log: a bounded parse takes a few seconds at most.
PARSE_WAIT_SECONDS = 10.0
# Parsed logs kept: a page of one report is viewed a few times in a row, and
# the list reads each log once for its summary (kept apart, much smaller).
MAX_KEPT_LOGS = 32
# Their estimated memory in all. The most one log can hold within the
# reader's bounds is estimated under this, so any log can be kept.
MAX_KEPT_BYTES = 128 << 20

# Rough costs in memory of a parsed log's parts as Python objects, measured
# on logs full of each part.
DUMP_COST = 160
STACK_WORD_COST = 140
THREAD_COST = 3000
ENTRY_COST = 200  # a metadata entry, a module, a logger line, a problem


@dataclass
class Parsed:
    log: Optional[CrashLog]  # None when the file is no readable crash log
    error: str = ""  # why, for a person


def estimated_bytes(parsed: Parsed) -> int:
    log = parsed.log
    if log is None:
        return ENTRY_COST + len(parsed.error)
    size = THREAD_COST * len(log.threads)
    size += sum(STACK_WORD_COST * len(line.words) for t in log.threads for line in t.stack)
    size += sum(DUMP_COST + len(dump.data) for dump in log.memory_dumps)
    size += sum(ENTRY_COST + len(e.key) + len(e.value) for e in log.metadata)
    size += sum(ENTRY_COST + len(m.name) + len(m.version) for m in log.modules)
    size += sum(ENTRY_COST + len(line) for line in log.crash_logger)
    size += sum(ENTRY_COST + len(p.found) for p in log.problems)
    return size


def parse_stored_log(path: str) -> Parsed:
    try:
        return Parsed(parse_file(path))
    except (NotACrashLog, SourceError) as e:
        return Parsed(None, str(e).replace(path, "crashlog.txt"))


def file_version(path: str) -> Tuple[int, int]:
    """What tells a file's versions apart."""
    try:
        stat = os.stat(path)
        return stat.st_mtime_ns, stat.st_size
    except OSError:
        return 0, -1


class ParsedLogs:
    def __init__(self, parse: Callable[[str], Parsed] = parse_stored_log):
        self._parse = parse
        self._slots = threading.BoundedSemaphore(MAX_PARSES_AT_ONCE)
        self._lock = threading.Lock()
        # report id -> (file stamp, parsed, estimated bytes), least recent first
        self._kept: "collections.OrderedDict[str, Tuple[Tuple[int, int], Parsed, int]]" = (
            collections.OrderedDict()
        )
        self._kept_bytes = 0
        self._parsing: Dict[str, threading.Event] = {}
        self.parses = 0  # for the tests: how many parses ran

    def get(self, report_id: str, path: str, wait: float = PARSE_WAIT_SECONDS
            ) -> Optional[Parsed]:
        """The parsed log of a report's file at `path`; None when the server
        stayed busy with other parses for `wait` seconds."""
        deadline = time.monotonic() + wait
        stamp = file_version(path)
        while True:
            with self._lock:
                kept = self._kept.get(report_id)
                if kept is not None and kept[0] == stamp:
                    self._kept.move_to_end(report_id)
                    return kept[1]
                running = self._parsing.get(report_id)
                if running is None:
                    done = self._parsing[report_id] = threading.Event()
            if running is None:
                break
            if not running.wait(max(0.0, deadline - time.monotonic())):
                return None
            # That parse is kept now, unless its file changed or it was too large.
        try:
            if not self._slots.acquire(timeout=max(0.0, deadline - time.monotonic())):
                return None
            try:
                parsed = self._parse(path)
            finally:
                self._slots.release()
            self._keep(report_id, stamp, parsed)
            return parsed
        finally:
            with self._lock:
                del self._parsing[report_id]
            done.set()

    def _keep(self, report_id: str, stamp: Tuple[int, int], parsed: Parsed) -> None:
        size = estimated_bytes(parsed)
        with self._lock:
            self.parses += 1
            old = self._kept.pop(report_id, None)
            if old is not None:
                self._kept_bytes -= old[2]
            if size > MAX_KEPT_BYTES:
                return
            self._kept[report_id] = (stamp, parsed, size)
            self._kept_bytes += size
            while len(self._kept) > MAX_KEPT_LOGS or self._kept_bytes > MAX_KEPT_BYTES:
                _, (_, _, dropped) = self._kept.popitem(last=False)
                self._kept_bytes -= dropped
