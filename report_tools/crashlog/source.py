"""Where a crash log's bytes come from: a crash log file, or a zip archive
that holds one as "crashlog.txt" (as the reporter uploads it and the crash
server stores it).

Everything read here is untrusted. Lines are handed out one at a time and cut
at MAX_LINE_BYTES, and an archive entry is read through a byte budget rather
than by its declared size, so neither a huge file nor a zip bomb is ever held
in memory, and a bomb ends at the budget.
"""

import io
import os
import zipfile
from typing import BinaryIO, Iterator, Optional, Tuple

ARCHIVE_ENTRY = "crashlog.txt"
# The longest line kept; a longer one is cut and the rest of it skipped.
MAX_LINE_BYTES = 64 << 10
# Bytes unpacked from an archive's entry at most, whatever it claims.
MAX_ENTRY_BYTES = 256 << 20
# An archive's central directory is read whole by the zip module: refuse
# archives with absurd entry counts before that.
MAX_ARCHIVE_ENTRIES = 1024
ZIP_MAGIC = b"PK\x03\x04"


class SourceError(Exception):
    """A file that cannot be read as a crash log or an archive of one."""


class _Budget(io.RawIOBase):
    """Reads at most `limit` bytes of a stream; `exhausted` tells whether
    there was more."""

    def __init__(self, stream: BinaryIO, limit: int):
        self._stream = stream
        self._left = limit
        self.exhausted = False

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        if self._left <= 0:
            if self._stream.read(1):
                self.exhausted = True
            return 0
        want = min(len(buffer), self._left)
        data = self._stream.read(want)
        buffer[: len(data)] = data
        self._left -= len(data)
        return len(data)


class LineSource:
    """The lines of one crash log, as bytes without their line ends.

    Iterating yields (line number, bytes, had_line_end, was_cut). After the
    iteration `cut_short` names a reason when the bytes ended early because of
    a limit here (not because the log itself ended)."""

    def __init__(self, stream: BinaryIO, name: str, closer=None, budget: Optional[_Budget] = None):
        self._stream = stream
        self.name = name
        self._closer = closer
        self._budget = budget
        self.cut_short: Optional[str] = None

    def __iter__(self) -> Iterator[Tuple[int, bytes, bool, bool]]:
        number = 0
        while True:
            line = self._stream.readline(MAX_LINE_BYTES)
            if not line:
                break
            number += 1
            cut = False
            if not line.endswith(b"\n") and len(line) >= MAX_LINE_BYTES:
                cut = True
                # Skip the rest of an overlong line, a bounded piece at a time.
                while True:
                    rest = self._stream.readline(MAX_LINE_BYTES)
                    if not rest or rest.endswith(b"\n"):
                        line += b"\n" if rest else b""
                        break
                line = line[:MAX_LINE_BYTES] + (b"\n" if line.endswith(b"\n") else b"")
            ended = line.endswith(b"\n")
            text = line[:-1] if ended else line
            if text.endswith(b"\r"):
                text = text[:-1]
            yield number, text, ended, cut
        if self._budget is not None and self._budget.exhausted:
            self.cut_short = (
                f"the archive's {ARCHIVE_ENTRY} is larger than {MAX_ENTRY_BYTES} bytes; "
                "read as far as that"
            )

    def close(self) -> None:
        try:
            self._stream.close()
        finally:
            if self._closer is not None:
                self._closer()

    def __enter__(self) -> "LineSource":
        return self

    def __exit__(self, *_) -> None:
        self.close()


def open_source(path: str) -> LineSource:
    """Opens a crash log or an archive holding "crashlog.txt". Raises
    SourceError with a message for a person."""
    try:
        raw = open(path, "rb")
    except OSError as e:
        raise SourceError(f"{path}: cannot open: {e.strerror or e}") from None
    try:
        if not os.path.isfile(path):
            raise SourceError(f"{path}: not a regular file")
        start = raw.read(4)
        raw.seek(0)
    except (OSError, SourceError):
        raw.close()
        raise
    if start != ZIP_MAGIC:
        return LineSource(io.BufferedReader(raw, 1 << 16), path)
    return _open_archive(raw, path)


def _open_archive(raw: BinaryIO, path: str) -> LineSource:
    def fail(reason: str) -> SourceError:
        raw.close()
        return SourceError(f"{path}: {reason}")

    try:
        archive = zipfile.ZipFile(raw)
    except (zipfile.BadZipFile, OSError, ValueError, EOFError, NotImplementedError) as e:
        raise fail(f"not a readable zip archive ({e})") from None
    infos = archive.infolist()
    if len(infos) > MAX_ARCHIVE_ENTRIES:
        archive.close()
        raise fail(f"the archive has {len(infos)} entries; a report archive has one")
    entry = next((info for info in infos if info.filename == ARCHIVE_ENTRY), None)
    if entry is None:
        names = ", ".join(repr(info.filename) for info in infos[:5]) or "no entries"
        archive.close()
        raise fail(f"the archive holds no {ARCHIVE_ENTRY} ({names})")
    if entry.flag_bits & 0x1:
        archive.close()
        raise fail(f"the archive's {ARCHIVE_ENTRY} is encrypted")
    try:
        member = archive.open(entry)
    except (zipfile.BadZipFile, OSError, ValueError, NotImplementedError, RuntimeError) as e:
        archive.close()
        raise fail(f"cannot unpack {ARCHIVE_ENTRY}: {e}") from None
    budget = _Budget(_Guarded(member, path), MAX_ENTRY_BYTES)

    def close_all():
        archive.close()
        raw.close()

    return LineSource(io.BufferedReader(budget, 1 << 16), path, close_all, budget)


class _Guarded:
    """An archive member whose damage (a bad checksum, a broken deflate
    stream) ends the bytes with a SourceError rather than a zip error."""

    def __init__(self, member, path: str):
        self._member = member
        self._path = path

    def read(self, size: int) -> bytes:
        try:
            return self._member.read(size)
        except (zipfile.BadZipFile, OSError, EOFError, ValueError) as e:
            raise SourceError(f"{self._path}: {ARCHIVE_ENTRY} is damaged: {e}") from None

    def close(self) -> None:
        self._member.close()
