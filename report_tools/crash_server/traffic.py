"""What reporters sent the local crash server: the requests of each kind and
their bytes, as the server read them."""

import threading


class CountingReader:
    """A connection's reading side that counts the bytes taken from it: the
    bytes a request sent, head and body, as far as the server read them.
    Belongs to its connection's thread."""

    def __init__(self, stream):
        self._stream = stream
        self.count = 0

    def _counted(self, data: bytes) -> bytes:
        self.count += len(data)
        return data

    def readline(self, *args) -> bytes:
        return self._counted(self._stream.readline(*args))

    def read(self, *args) -> bytes:
        return self._counted(self._stream.read(*args))

    def read1(self, *args) -> bytes:
        return self._counted(self._stream.read1(*args))

    def __getattr__(self, name):
        return getattr(self._stream, name)


class Traffic:
    """What reporters sent this server since it started: first requests and
    uploads received, the bytes of each (request line, headers and body as
    read), and the first requests answered 503. Any request thread counts; one
    lock guards the counts."""

    FIELDS = ("first_requests", "first_request_bytes", "declined", "uploads", "upload_bytes")

    def __init__(self):
        self._lock = threading.Lock()
        self._counts = dict.fromkeys(self.FIELDS, 0)

    def add(self, **counts: int) -> None:
        with self._lock:
            for name, value in counts.items():
                self._counts[name] += value

    def counts(self) -> dict:
        with self._lock:
            return dict(self._counts)
