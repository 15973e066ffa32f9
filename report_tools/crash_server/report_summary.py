"""What the list of reports, the signature pages and the throttle need of
one stored report, kept in a small file in its folder ("summary.json"), so
that after a restart they read that rather than parse every crash log again.

The summary is written once the log has been read: at upload time (the
upload reads the log to count the report under its signature), or, for a
report stored before summaries were kept, by the first page that reads its
log. It records the crash log's size, and is read only while the log still
has that size. Each text is clipped to MAX_SUMMARY_CHARS; the file is JSON in
ASCII (every other character escaped), so it holds any text safely and stays
below MAX_SUMMARY_BYTES; a file that is larger, damaged or of another format
is read as none.

Threads: plain functions; a summary is written under a name of the writing
thread's own and then renamed over the old, so a reader sees a whole file.
"""

import json
import os
import threading
from dataclasses import asdict, fields

SUMMARY_NAME = "summary.json"
# Changed whenever what a summary holds changes: an older one is read as none.
SUMMARY_FORMAT = 1
# Characters kept of each text: a signature is an exception code and five
# module+offset frames, which fit with room to spare; the report's own page
# shows every text whole.
MAX_SUMMARY_CHARS = 1024
# Each of the few texts is at most MAX_SUMMARY_CHARS characters of up to 12
# bytes once escaped (an astral character is two \uHHHH escapes).
MAX_SUMMARY_BYTES = 128 << 10
CLIPPED = "\u2026"


def clipped(text) -> str:
    text = "" if text is None else str(text)
    if len(text) <= MAX_SUMMARY_CHARS:
        return text
    return text[: MAX_SUMMARY_CHARS - len(CLIPPED)] + CLIPPED


def write_summary(folder: str, info, log_size: int) -> bool:
    """Writes `info` (a report_pages.ReportInfo) as the summary of the
    report in `folder`, whose crash log has `log_size` bytes."""
    value = {name: clipped(text) for name, text in asdict(info).items()}
    value.update(format=SUMMARY_FORMAT, log_size=log_size)
    path = os.path.join(folder, SUMMARY_NAME)
    partial = f"{path}.{threading.get_ident()}.partial"
    try:
        with open(partial, "w", encoding="ascii") as f:
            json.dump(value, f, ensure_ascii=True)
        os.replace(partial, path)
        return True
    except OSError:
        try:
            os.unlink(partial)
        except OSError:
            pass
        return False


def read_summary(folder: str, info_type, log_size: int):
    """The summary of the report in `folder` as an `info_type`, or None when
    there is none that holds for a crash log of `log_size` bytes."""
    try:
        with open(os.path.join(folder, SUMMARY_NAME), "rb") as f:
            data = f.read(MAX_SUMMARY_BYTES + 1)
        value = json.loads(data.decode("ascii")) if len(data) <= MAX_SUMMARY_BYTES else None
    except (OSError, ValueError):
        return None
    if (not isinstance(value, dict) or value.get("format") != SUMMARY_FORMAT
            or value.get("log_size") != log_size):
        return None
    texts = {}
    for item in fields(info_type):
        text = value.get(item.name)
        if not isinstance(text, str):
            return None
        texts[item.name] = clipped(text)
    return info_type(**texts)


def log_size(folder: str) -> int:
    """The size of the crash log in `folder`; -1 when there is none."""
    try:
        return os.stat(os.path.join(folder, "crashlog.txt")).st_size
    except OSError:
        return -1
