"""Finished report pages, kept so that viewing a page again (or by several
people at once) sends the same bytes rather than building them again and
running the symbolizer again; and a bound on pages built at once.

A page is kept under the versions of the files it was built from, so a
changed file builds it anew. The kept pages are bounded in number and in
bytes, the least recently used dropped first.

Threads: any request thread may call in at once; one lock guards the kept
pages, and no page is built while it is held.
"""

import collections
import threading
from typing import Hashable, Optional, Tuple

# Pages kept: a page is viewed a few times in a row; most are tens of KB.
MAX_KEPT_PAGES = 32
# Their bytes in all: a few pages at the most a page may hold
# (a few MB, report_pages.MAX_TABLE_CHARS).
MAX_KEPT_PAGE_BYTES = 32 << 20
# Pages built at once: each holds its parsed log and the parts of its text
# while it is built, and may run the symbolizer's processes.
MAX_PAGES_AT_ONCE = 2
# How long a request waits for a slot to build its page: a bounded page is
# built within a few seconds; then the server says it is busy.
PAGE_WAIT_SECONDS = 10.0


class KeptPages:
    def __init__(self):
        self._lock = threading.Lock()
        # report id -> (versions of its files, page), least recent first
        self._kept: "collections.OrderedDict[str, Tuple[Hashable, bytes]]" = (
            collections.OrderedDict()
        )
        self._bytes = 0
        self.builds = threading.BoundedSemaphore(MAX_PAGES_AT_ONCE)

    def get(self, report_id: str, versions: Hashable) -> Optional[bytes]:
        with self._lock:
            kept = self._kept.get(report_id)
            if kept is None or kept[0] != versions:
                return None
            self._kept.move_to_end(report_id)
            return kept[1]

    def keep(self, report_id: str, versions: Hashable, page: bytes) -> None:
        with self._lock:
            old = self._kept.pop(report_id, None)
            if old is not None:
                self._bytes -= len(old[1])
            if len(page) > MAX_KEPT_PAGE_BYTES:
                return
            self._kept[report_id] = (versions, page)
            self._bytes += len(page)
            while len(self._kept) > MAX_KEPT_PAGES or self._bytes > MAX_KEPT_PAGE_BYTES:
                _, (_, dropped) = self._kept.popitem(last=False)
                self._bytes -= len(dropped)
