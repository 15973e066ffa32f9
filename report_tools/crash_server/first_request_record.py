"""What the server remembers of a first request until its upload comes, and
then stores as first_request.json: its texts clipped within one budget.

Every first request is remembered (up to report_store's bound on their
number), and each of its texts comes from the client: the path, the e-mail
in it, the user agent, the crash URL, the origin and the headers can each be
up to 64 KiB long. So each text is clipped to a share of one budget per
record, and the headers, which repeat some of them, get what is left of it.
A clipped text ends in "…".

Threads: none of its own; a record belongs to the request that builds it.
"""

from typing import Iterable, List, Optional, Tuple

# Characters of text kept per first request in all. The reporter's come to a
# few hundred (a short path, its user agent, a page's URL and origin);
# 4096 records of this many stay within a few tens of MB.
MAX_RECORD_CHARS = 8 * 1024
# Each named text's share of it; the headers get the rest (2.4 K at least).
# A page URL of 2 K is what browsers and servers have long all accepted.
FIELD_LIMITS = {
    "path": 2048,
    "email": 256,
    "user_agent": 512,
    "crash_url": 2048,
    "origin": 512,
}
# What a kept header costs beyond its name and value (its pair and strings).
HEADER_COST = 16
# The report id the store adds to the record.
ID_CHARS = 16
CLIPPED = "\u2026"


def clip(text: Optional[str], limit: int) -> Optional[str]:
    """`text` when at most `limit` characters long, else its start and "…"
    in `limit` characters."""
    if text is None or len(text) <= limit:
        return text
    return text[: max(0, limit - 1)] + CLIPPED


def record_chars(record: dict) -> int:
    """The characters of text a record holds, headers counted with their
    cost."""
    total = sum(len(value) for value in record.values() if isinstance(value, str))
    return total + sum(HEADER_COST + len(n) + len(v) for n, v in record.get("headers", []))


def first_request_record(texts: dict, headers: Iterable[Tuple[str, str]]) -> dict:
    """The record of a first request: `texts` (name to text or None, the
    FIELD_LIMITS ones clipped to their share, the others kept as they are:
    the server's own, or bounded already) and the headers in order as
    [name, value] pairs, within what is left of MAX_RECORD_CHARS; the
    header that does not fit whole is clipped and the rest left out."""
    record = {name: clip(text, FIELD_LIMITS.get(name, len(text or ""))) for name, text in
              texts.items()}
    room = MAX_RECORD_CHARS - ID_CHARS - record_chars(record)
    kept: List[List[str]] = []
    for name, value in headers:
        cost = HEADER_COST + len(name) + len(value)
        if cost > room:
            left = room - HEADER_COST
            if left > len(CLIPPED):
                name = clip(name, left // 2)
                kept.append([name, clip(value, left - len(name))])
            break
        kept.append([name, value])
        room -= cost
    record["headers"] = kept
    return record
