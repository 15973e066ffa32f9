"""Sending an answer's bytes to its client within one deadline, in chunks,
with no second copy of a large body: a page is sent from the bytes built
(and perhaps kept for other views), a raw crash log straight from its file.

A client that reads nothing for SEND_STALL_SECONDS, or too slowly to
finish by the deadline, is cut off, so what its answer holds (a page's
bytes, a download's slot and open file) is given back within that time
rather than at the pace the client sets.

Threads: any request thread, each on its own connection.
"""

import os
import time
from typing import BinaryIO, Union

# Bytes handed to the socket at a time: a slow client's answer holds one
# chunk beyond the body itself, and each send's time-out is set anew from
# what is left of the deadline.
SEND_CHUNK_BYTES = 64 << 10
# The time an answer may take in all: a page is a few MB at most, and a
# client on any working network reads that within seconds.
SEND_SECONDS = 30.0
# More time for a large body, at this slowest rate: a raw log of the 64 MiB
# an upload may unpack to gets about a minute more.
SEND_MIN_BYTES_PER_SECOND = 1 << 20
# How long one send may wait for the client to take any of it: a client that
# reads takes some within a moment, while one that has stopped reading would
# otherwise hold its answer (and a raw log's slot) until the deadline; this
# is well under the 10 s that a download waits for a slot.
SEND_STALL_SECONDS = 5.0


class FileBody:
    """An answer's body read from an open file as it is sent; its size is
    taken when it is opened (a stored report's file is not rewritten)."""

    def __init__(self, file: BinaryIO):
        self.file = file
        self.size = os.fstat(file.fileno()).st_size

    def __len__(self) -> int:
        return self.size

    def close(self) -> None:
        self.file.close()


Body = Union[bytes, FileBody]


def send_seconds(length: int) -> float:
    return SEND_SECONDS + length / SEND_MIN_BYTES_PER_SECOND


def send_answer(connection, head: bytes, body: Body) -> bool:
    """Sends `head`, then `body`, within send_seconds of the body's length;
    False when the client went away or was cut off (the caller closes the
    connection). A FileBody is closed here either way."""
    deadline = time.monotonic() + send_seconds(len(body))
    try:
        if not _send(connection, head, deadline):
            return False
        if isinstance(body, FileBody):
            left = body.size
            while left > 0:
                chunk = body.file.read(min(SEND_CHUNK_BYTES, left))
                if not chunk or not _send(connection, chunk, deadline):
                    return False
                left -= len(chunk)
            return True
        view = memoryview(body)
        for start in range(0, len(view), SEND_CHUNK_BYTES):
            if not _send(connection, view[start : start + SEND_CHUNK_BYTES], deadline):
                return False
        return True
    except OSError:
        return False
    finally:
        if isinstance(body, FileBody):
            body.close()


def _send(connection, data, deadline: float) -> bool:
    """Sends all of `data` before `deadline`; a send that blocks past it,
    or for SEND_STALL_SECONDS, raises the socket's time-out (an OSError)."""
    view = memoryview(data)
    while len(view):
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        connection.settimeout(min(left, SEND_STALL_SECONDS))
        sent = connection.send(view)
        view = view[sent:]
    return True
