"""The storage folder: report ids, first requests and one folder per report.

Layout of the storage folder:

  <id>/                     one folder per stored report, named by its id
    fields.json             the form fields, a JSON object in the order received
    archive.zip             the file part's bytes as received
    crashlog.txt            the archive's "crashlog.txt", unpacked
    metadata.json           received time, remote address, user agent, sizes,
                            and the signature its first request named when
                            that request handed out its id (null otherwise)
    first_request.json      only when "stacktraceId" names an id handed out by
                            a first request of this server run
    request_body.bin        the whole request body (only with --keep-body)
  .incoming-<random>/       a report being written; renamed to <id>/ when
                            complete, removed when the upload fails

Threads: every operation may run on any request thread at once. One lock
guards the id registry (issued ids, first-request records) and the final
rename of a report folder; files are written outside it, in folders that
belong to one request.
"""

import collections
import datetime
import json
import os
import secrets
import shutil
import threading
import time
from typing import List, Optional, Tuple

INCOMING_PREFIX = ".incoming-"
# First requests remembered for matching uploads; the oldest go first. With
# each record's headers bounded, this bounds what they take in all.
MAX_REMEMBERED_FIRST_REQUESTS = 4096
# A report's metadata.json is a few hundred bytes; a larger one is not read.
MAX_METADATA_BYTES = 1 << 20


def utc_now_text() -> str:
    return utc_text(time.time())


def utc_text(seconds: float) -> str:
    """A wall-clock time as the stored files write it."""
    moment = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    return moment.isoformat(timespec="milliseconds")


def utc_seconds(text) -> Optional[float]:
    """The wall-clock time of a text utc_text() wrote; None when it is none."""
    try:
        moment = datetime.datetime.fromisoformat(text)
    except (TypeError, ValueError):
        return None
    return moment.timestamp() if moment.tzinfo is not None else None


def is_report_id(text: str) -> bool:
    return len(text) == 16 and all(c in "0123456789abcdef" for c in text)


def write_json(path: str, value) -> None:
    with open(path, "w", encoding="utf-8") as f:
        json.dump(value, f, ensure_ascii=False, indent=2)
        f.write("\n")


class ReportStore:
    def __init__(self, folder: str):
        self.folder = os.path.abspath(folder)
        self._lock = threading.Lock()
        self._first_requests: "collections.OrderedDict[str, dict]" = collections.OrderedDict()
        # Every id handed out, and those under which an upload is being or
        # has been stored.
        self._issued = set()
        self._claimed = set()
        self._stored = 0

    def open(self) -> None:
        """Creates the folder and removes reports left half-written by a run
        that was killed."""
        os.makedirs(self.folder, exist_ok=True)
        for name in os.listdir(self.folder):
            if name.startswith(INCOMING_PREFIX):
                shutil.rmtree(os.path.join(self.folder, name), ignore_errors=True)

    @property
    def stored_count(self) -> int:
        with self._lock:
            return self._stored

    def _id_taken(self, report_id: str) -> bool:
        return report_id in self._issued or os.path.exists(os.path.join(self.folder, report_id))

    def _new_id_locked(self) -> str:
        while True:
            report_id = secrets.token_hex(8)
            if not self._id_taken(report_id):
                self._issued.add(report_id)
                return report_id

    def issue_id(self, first_request: dict) -> str:
        """A fresh id for a first request, remembered with what it carried."""
        with self._lock:
            report_id = self._new_id_locked()
            self._first_requests[report_id] = dict(first_request, id=report_id)
            while len(self._first_requests) > MAX_REMEMBERED_FIRST_REQUESTS:
                old_id, _ = self._first_requests.popitem(last=False)
                if old_id not in self._claimed:
                    self._issued.discard(old_id)
            return report_id

    def first_request(self, report_id: str) -> Optional[dict]:
        with self._lock:
            record = self._first_requests.get(report_id)
            return dict(record) if record is not None else None

    def is_stored(self, report_id: str) -> bool:
        return is_report_id(report_id) and os.path.isdir(os.path.join(self.folder, report_id))

    def received_since(self, since: float) -> List[Tuple[str, float]]:
        """(id, received time) of each stored report received at `since` or
        later, by its metadata.json."""
        found = []
        try:
            names = os.listdir(self.folder)
        except OSError:
            return found
        for name in names:
            if not is_report_id(name):
                continue
            try:
                with open(os.path.join(self.folder, name, "metadata.json"), "rb") as f:
                    metadata = json.loads(f.read(MAX_METADATA_BYTES).decode("utf-8"))
            except (OSError, ValueError):
                continue  # unreadable or cut off: not counted
            received = utc_seconds(metadata.get("received")) if isinstance(metadata, dict) else None
            if received is not None and received >= since:
                found.append((name, received))
        return found

    def new_incoming(self) -> str:
        """A private folder for one upload in progress."""
        path = os.path.join(self.folder, INCOMING_PREFIX + secrets.token_hex(8))
        os.mkdir(path)
        return path

    def claim_id(self, stacktrace_id: str) -> str:
        """The id under which an upload is stored: its "stacktraceId" when a
        first request of this run handed it out and no other upload has
        claimed it, else a new one. Give it back with release_id() when the
        upload is not stored."""
        with self._lock:
            if stacktrace_id in self._first_requests and stacktrace_id not in self._claimed:
                report_id = stacktrace_id
            else:
                report_id = self._new_id_locked()
            self._claimed.add(report_id)
            return report_id

    def release_id(self, report_id: str) -> None:
        with self._lock:
            self._claimed.discard(report_id)

    def commit(self, incoming: str, report_id: str) -> str:
        """Renames a complete report folder to its claimed id; returns the
        folder."""
        target = os.path.join(self.folder, report_id)
        with self._lock:
            os.rename(incoming, target)
            self._stored += 1
        return target
