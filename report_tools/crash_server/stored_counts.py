"""The throttle's count of the reports stored by earlier runs, at start.

Each report counts under the signature it counted under when stored (see
report_pages.ReportInfo.counted). Before the server listens, that is read
without parsing any log: from the signature its first request named, else
from its summary file. A report that has neither (stored before summaries
were kept, with no named signature) is counted once its log is parsed, on a
thread of its own after the server listens, the newest first: until then the
throttle counts it as nothing, so it may admit a few first requests more.

Threads: count_stored() on the caller's; the parses on the thread it starts,
which ends when `stopping` is set (after the parse under way).
"""

import threading
from typing import Iterable, Optional, Tuple


def count_stored(pages, throttle, reports: Iterable[Tuple[str, float]],
                 stopping: threading.Event) -> Optional[threading.Thread]:
    """Gives `throttle` the (report id, received time) `reports`; returns
    the thread that parses the logs still to read, or None."""
    found, unread = [], []
    for report_id, received in reports:
        counted = pages.counted_unparsed(report_id)
        if counted is None:
            unread.append((received, report_id))
        elif counted:
            found.append((counted, received))
    throttle.load(found)
    if not unread:
        return None
    unread.sort(reverse=True)

    def parse_unread():
        for received, report_id in unread:
            if stopping.is_set():
                return
            counted = pages.info(report_id).counted
            if counted:
                throttle.load([(counted, received)])

    thread = threading.Thread(target=parse_unread, name="crash-server-stored-counts",
                              daemon=True)
    thread.start()
    return thread
