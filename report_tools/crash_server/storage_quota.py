"""The storage quota: how many bytes the stored reports may take.

The stored reports' size is the sum of the sizes of the files in their
folders (not the blocks they take on disk, nor the folders themselves). It
is counted once from disk when the server starts, and then kept up to date
as each report is stored, by the size of that report's folder alone, so
that no request walks the storage. A report that would take the stored
reports past the quota is not stored; once they are at it, the server
declines first requests and refuses uploads (see server.py). Reports being
written (.incoming-*) are not counted: each is bounded by the largest
request, and removed when refused.

Threads: any request thread may ask and take at once; one lock guards the
count.
"""

import os
import threading
from typing import Optional

from .report_store import is_report_id


def folder_bytes(path: str) -> int:
    """The sizes of the files under `path`, in all."""
    total = 0
    for root, _, files in os.walk(path):
        for name in files:
            try:
                total += os.lstat(os.path.join(root, name)).st_size
            except OSError:
                continue  # gone meanwhile: not counted
    return total


class StorageQuota:
    """At most `limit` bytes of stored reports under `folder`; no limit when
    None."""

    def __init__(self, folder: str, limit: Optional[int]):
        self.folder = folder
        self.limit = limit
        self._lock = threading.Lock()
        self._used = 0

    def count(self) -> None:
        """Counts the stored reports from disk (at start)."""
        used = 0
        if self.limit is not None:
            for name in os.listdir(self.folder):
                if is_report_id(name):
                    used += folder_bytes(os.path.join(self.folder, name))
        with self._lock:
            self._used = used

    @property
    def used(self) -> int:
        with self._lock:
            return self._used

    def reached(self) -> bool:
        with self._lock:
            return self.limit is not None and self._used >= self.limit

    def take(self, incoming: str) -> bool:
        """Counts a report folder about to be stored; False, counting
        nothing, when it would take the stored reports past the quota."""
        if self.limit is None:
            return True
        size = folder_bytes(incoming)
        with self._lock:
            if self._used + size > self.limit:
                return False
            self._used += size
            return True

    def give_back(self, incoming: str) -> None:
        """Uncounts a folder take() counted that was not stored after all."""
        if self.limit is None:
            return
        size = folder_bytes(incoming)
        with self._lock:
            self._used -= size

    def describe(self) -> str:
        return f"{self.used} of {self.limit} bytes" if self.limit is not None else "no quota"
