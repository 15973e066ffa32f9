"""Reads one multipart upload into a report folder and checks it.

The body is parsed with werkzeug's multipart decoder as it arrives: form
fields are kept in memory in the order received, the file part named "file"
streams to archive.zip, and the archive must then hold an entry
"crashlog.txt", which is unpacked to crashlog.txt. Every size that comes from
the client is bounded; a bad upload raises UploadRejected with the status and
the reason to answer with.

Threads: read_upload runs on the request's thread and touches only the
folder it is given.
"""

import os
import struct
import zipfile
from dataclasses import dataclass, field
from typing import BinaryIO, Callable, Dict, List, Optional, Tuple

from werkzeug.exceptions import RequestEntityTooLarge
from werkzeug.http import parse_options_header
from werkzeug.sansio.multipart import Data, Epilogue, Field, File, MultipartDecoder, NeedData

FILE_PART = "file"
CRASHLOG_ENTRY = "crashlog.txt"
ARCHIVE_NAME = "archive.zip"
CRASHLOG_NAME = "crashlog.txt"
BODY_NAME = "request_body.bin"

MAX_REQUEST_BYTES = 128 << 20
MAX_CRASHLOG_BYTES = 64 << 20
# All form field values together; the reporter sends a few short ones.
MAX_FIELD_BYTES = 1 << 20
MAX_PARTS = 256
# What the decoder may hold back while it looks for a boundary.
MAX_DECODER_BUFFER = 1 << 20
# The zip directory is read into memory whole: a few thousand entries at most.
MAX_ZIP_DIRECTORY_BYTES = 1 << 20
MAX_ZIP_ENTRIES = 4096
CHUNK = 64 << 10
# RFC 2046: 1 to 70 characters from this set, not ending in a space.
BOUNDARY_CHARS = frozenset(
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ'()+_,-./:=? "
)


class UploadRejected(Exception):
    def __init__(self, status: int, reason: str):
        super().__init__(reason)
        self.status = status
        self.reason = reason


class BodyEnded(Exception):
    """The client stopped sending before its Content-Length was reached."""


@dataclass
class Upload:
    boundary: str = ""
    fields: List[Tuple[str, str]] = field(default_factory=list)
    # Every part in order: name, filename (None for a field), content type, size.
    parts: List[Dict] = field(default_factory=list)
    file_name: Optional[str] = None
    archive_size: int = 0
    crashlog_size: int = 0


def multipart_boundary(content_type: Optional[str]) -> str:
    """The boundary of a multipart/form-data content type, checked."""
    if not content_type:
        raise UploadRejected(400, "no Content-Type: expected multipart/form-data")
    mimetype, options = parse_options_header(content_type)
    if mimetype.lower() != "multipart/form-data":
        raise UploadRejected(400, f"Content-Type is {mimetype}, expected multipart/form-data")
    boundary = options.get("boundary")
    if not boundary:
        raise UploadRejected(400, "Content-Type has no boundary")
    if len(boundary) > 70 or boundary.endswith(" ") or not set(boundary) <= BOUNDARY_CHARS:
        raise UploadRejected(400, "the boundary is not a valid multipart boundary")
    return boundary


class _PartReader:
    """Consumes the decoder's events for one body."""

    def __init__(self, folder: str, upload: Upload):
        self.folder = folder
        self.upload = upload
        self.part: Optional[Dict] = None
        self.value = bytearray()
        self.field_bytes = 0
        self.archive: Optional[BinaryIO] = None

    def close(self) -> None:
        if self.archive is not None:
            self.archive.close()
            self.archive = None

    def on_event(self, event) -> None:
        if isinstance(event, (Field, File)):
            self.start_part(event)
        elif isinstance(event, Data):
            self.add_data(event.data)
            if not event.more_data:
                self.end_part()

    def start_part(self, event) -> None:
        name = event.name
        if not name:
            raise UploadRejected(400, "a part has no name")
        filename = event.filename if isinstance(event, File) else None
        self.part = {
            "name": name,
            "filename": filename,
            "content_type": event.headers.get("Content-Type"),
            "size": 0,
        }
        self.upload.parts.append(self.part)
        if isinstance(event, File):
            if name != FILE_PART:
                raise UploadRejected(400, f'unexpected file part "{name}"')
            if self.upload.file_name is not None:
                raise UploadRejected(400, 'more than one file part "file"')
            self.upload.file_name = filename
            self.archive = open(os.path.join(self.folder, ARCHIVE_NAME), "wb")
        else:
            if name == FILE_PART:
                raise UploadRejected(400, 'the part "file" has no filename: it is not a file part')
            if any(name == seen for seen, _ in self.upload.fields):
                raise UploadRejected(400, f'form field "{name}" appears more than once')
            self.value = bytearray()

    def add_data(self, data: bytes) -> None:
        if self.part is None:
            raise UploadRejected(400, "malformed multipart body: data outside a part")
        self.part["size"] += len(data)
        if self.archive is not None:
            self.archive.write(data)
            return
        self.field_bytes += len(data)
        if self.field_bytes > MAX_FIELD_BYTES:
            raise UploadRejected(413, f"the form fields hold more than {MAX_FIELD_BYTES} bytes")
        self.value += data

    def end_part(self) -> None:
        if self.archive is not None:
            self.upload.archive_size = self.part["size"]
            self.close()
        else:
            name = self.part["name"]
            try:
                text = self.value.decode("utf-8")
            except UnicodeDecodeError:
                raise UploadRejected(400, f'form field "{name}" is not UTF-8 text') from None
            self.upload.fields.append((name, text))
        self.part = None


def _read_chunk(stream: BinaryIO, remaining: int, content_length: int, body_copy) -> bytes:
    """The next bytes of the body, at most CHUNK of the `remaining` ones, also
    written to body_copy when there is one."""
    data = stream.read(min(CHUNK, remaining))
    if not data:
        raise BodyEnded(f"{content_length - remaining} of {content_length} bytes")
    if body_copy is not None:
        body_copy.write(data)
    return data


def _read_body(
    stream: BinaryIO, content_length: int, reader: _PartReader, decoder, body_copy
) -> None:
    remaining = content_length
    finished = False
    while not finished:
        if remaining > 0:
            data = _read_chunk(stream, remaining, content_length, body_copy)
            remaining -= len(data)
        else:
            data = None  # the end: the decoder must now finish or complain
        try:
            decoder.receive_data(data)
            while True:
                event = decoder.next_event()
                if isinstance(event, NeedData):
                    break
                if isinstance(event, Epilogue):
                    finished = True
                    break
                reader.on_event(event)
        except RequestEntityTooLarge:
            raise UploadRejected(413, "a part is too large, or there are too many") from None
        except ValueError as e:  # werkzeug's word for a malformed body
            raise UploadRejected(400, f"malformed multipart body: {e}") from None
    # Whatever follows the closing line is ignored, but it must still arrive.
    while remaining > 0:
        remaining -= len(_read_chunk(stream, remaining, content_length, body_copy))


def check_zip_directory(path: str) -> None:
    """Refuses archives whose directory would take much memory to read.

    Finds the end record the way Python's zip reader does: at the very end,
    else the last signature within the largest comment's reach."""
    size = os.path.getsize(path)
    tail_size = min(size, 22 + 0xFFFF)
    with open(path, "rb") as f:
        f.seek(size - tail_size)
        tail = f.read(tail_size)
    signature = b"PK\x05\x06"
    at = len(tail) - 22
    if at < 0 or tail[at : at + 4] != signature:
        at = tail.rfind(signature)
        if at < 0 or at + 22 > len(tail):
            raise UploadRejected(400, "the file part is not a zip archive")
    if at >= 20 and tail[at - 20 : at - 16] == b"PK\x06\x07":
        raise UploadRejected(400, "zip64 archives are not accepted")
    entries, directory_size = struct.unpack_from("<HI", tail, at + 10)
    if entries > MAX_ZIP_ENTRIES or directory_size > MAX_ZIP_DIRECTORY_BYTES:
        raise UploadRejected(
            400, f"the archive's directory is too large ({entries} entries, {directory_size} bytes)"
        )


def unpack_crashlog(
    archive_path: str, target_path: str, reserve: Optional[Callable[[int], None]] = None
) -> int:
    """Unpacks "crashlog.txt" from the archive; returns its size. `reserve`
    is first given the size the archive says it unpacks to (the zip reader
    writes no more than that) and may refuse it by raising UploadRejected."""
    check_zip_directory(archive_path)
    try:
        with zipfile.ZipFile(archive_path) as archive:
            entries = [info for info in archive.infolist() if info.filename == CRASHLOG_ENTRY]
            if not entries:
                names = [info.filename for info in archive.infolist()[:5]]
                reason = f"the archive holds no {CRASHLOG_ENTRY} (it holds {names})"
                raise UploadRejected(400, reason)
            if len(entries) > 1:
                raise UploadRejected(400, f"the archive holds {CRASHLOG_ENTRY} more than once")
            info = entries[0]
            if info.file_size > MAX_CRASHLOG_BYTES:
                raise UploadRejected(
                    413, f"{CRASHLOG_ENTRY} unpacks to more than {MAX_CRASHLOG_BYTES} bytes"
                )
            if reserve is not None:
                reserve(info.file_size)
            written = 0
            with archive.open(info) as source, open(target_path, "wb") as target:
                while True:
                    data = source.read(CHUNK)
                    if not data:
                        break
                    written += len(data)
                    if written > MAX_CRASHLOG_BYTES:
                        raise UploadRejected(
                            413, f"{CRASHLOG_ENTRY} unpacks to more than {MAX_CRASHLOG_BYTES} bytes"
                        )
                    target.write(data)
            return written
    except UploadRejected:
        raise
    except Exception as e:  # any damage the zip reader finds, whatever its kind
        raise UploadRejected(400, f"the archive cannot be read: {type(e).__name__}: {e}") from None


def read_upload(
    stream: BinaryIO,
    content_length: int,
    content_type: Optional[str],
    folder: str,
    keep_body: bool = False,
    reserve_unpacked: Optional[Callable[[int], None]] = None,
) -> Upload:
    """Reads exactly content_length bytes of a multipart body from stream into
    folder. Raises UploadRejected for a bad upload, BodyEnded when the client
    stops early, OSError when the connection fails."""
    upload = Upload(boundary=multipart_boundary(content_type))
    decoder = MultipartDecoder(
        upload.boundary.encode("ascii"), MAX_DECODER_BUFFER, max_parts=MAX_PARTS
    )
    reader = _PartReader(folder, upload)
    body_copy = open(os.path.join(folder, BODY_NAME), "wb") if keep_body else None
    try:
        _read_body(stream, content_length, reader, decoder, body_copy)
    finally:
        reader.close()
        if body_copy is not None:
            body_copy.close()
    if upload.file_name is None:
        raise UploadRejected(400, f'no file part "{FILE_PART}"')
    upload.crashlog_size = unpack_crashlog(
        os.path.join(folder, ARCHIVE_NAME), os.path.join(folder, CRASHLOG_NAME), reserve_unpacked
    )
    return upload
