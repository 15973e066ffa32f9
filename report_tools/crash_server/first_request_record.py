"""What the server remembers of a first request until its upload comes, and
then stores as first_request.json: its texts clipped within one budget.

Every first request is remembered (up to report_store's bound on their
number), and each of its texts comes from the client: the path, the e-mail
in it, the user agent, the crash URL, the origin and the headers can each be
up to 64 KiB long. So each text is clipped to a share of one budget of
bytes per record, and the headers, which repeat some of them, get what is
left of it. A text costs its UTF-8 bytes or what it takes in memory, if
more; a header costs what its pair of strings takes beyond that. A clipped
text ends in "…".

Threads: none of its own; a record belongs to the request that builds it.
"""

from typing import Iterable, List, Optional, Tuple

# Bytes of text kept per first request in all. The reporter's come to a few
# hundred (a short path, its user agent, a page's URL and origin); 4096
# records of this many stay within a few tens of MB.
MAX_RECORD_BYTES = 8 * 1024
# Each named text's share of it; the headers get the rest (some 2.5 KiB).
# A page URL of 2 K is what browsers and servers have long all accepted.
FIELD_LIMITS = {
    "path": 2048,
    "email": 256,
    "user_agent": 512,
    "crash_url": 2048,
    "origin": 512,
}
# What a kept header costs in memory beyond its name's and value's
# characters: a list of two (72 bytes), two string objects (49 bytes each
# at least) and its place in the list of headers.
HEADER_COST = 176
# The report id the store adds to the record.
ID_BYTES = 16
CLIPPED = "\u2026"


def text_bytes(text: str) -> int:
    """What a text costs: its UTF-8 bytes, or what its characters take in
    memory when that is more (a string takes 1, 2 or 4 bytes for each of
    its characters, by the widest of them, so that one emoji makes every
    character of a long text take 4)."""
    if text.isascii():
        return len(text)
    widest = ord(max(text))
    width = 1 if widest < 0x100 else 2 if widest < 0x10000 else 4
    return max(len(text.encode("utf-8", "surrogatepass")), len(text) * width)


def clip(text: Optional[str], limit: int) -> Optional[str]:
    """`text` when it costs at most `limit` bytes, else its longest start
    that with "…" after it does."""
    if text is None or text_bytes(text) <= limit:
        return text
    # Each character costs a byte at least, so the start is no longer than
    # `limit`; the longest that fits is found by halving.
    shortest, longest = 0, min(len(text), limit)
    while shortest < longest:
        middle = (shortest + longest + 1) // 2
        if text_bytes(text[:middle] + CLIPPED) <= limit:
            shortest = middle
        else:
            longest = middle - 1
    return text[:shortest] + CLIPPED


def record_bytes(record: dict) -> int:
    """The bytes of text a record holds, headers counted with their cost."""
    total = sum(text_bytes(value) for value in record.values() if isinstance(value, str))
    return total + sum(HEADER_COST + text_bytes(n) + text_bytes(v)
                       for n, v in record.get("headers", []))


def first_request_record(texts: dict, headers: Iterable[Tuple[str, str]]) -> dict:
    """The record of a first request: `texts` (name to text or None, the
    FIELD_LIMITS ones clipped to their share, the others kept as they are:
    the server's own, or bounded already) and the headers in order as
    [name, value] pairs, within what is left of MAX_RECORD_BYTES; the
    header that does not fit whole is clipped and the rest left out."""
    record = {name: clip(text, FIELD_LIMITS[name]) if name in FIELD_LIMITS else text
              for name, text in texts.items()}
    room = MAX_RECORD_BYTES - ID_BYTES - record_bytes(record)
    kept: List[List[str]] = []
    for name, value in headers:
        cost = HEADER_COST + text_bytes(name) + text_bytes(value)
        if cost > room:
            left = room - HEADER_COST
            if left > text_bytes(CLIPPED) * 2:
                name = clip(name, left // 2)
                kept.append([name, clip(value, left - text_bytes(name))])
            break
        kept.append([name, value])
        room -= cost
    record["headers"] = kept
    return record
