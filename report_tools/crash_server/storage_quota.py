"""The storage quota: how many bytes the stored reports may take.

The stored reports' size is the sum of the sizes of the files in their
folders (not the blocks they take on disk, nor the folders themselves). It
is counted once from disk when the server starts, and then kept up to date
as each report is stored, by the size of that report's folder alone, so
that no request walks the storage. A report that would take the stored
reports past the quota is not stored.

Uploads in progress count too: before its body is read, an upload reserves
its Content-Length, and before its archive is unpacked, what the crash log
in it says it unpacks to (at most the upload's unpack bound). A reservation
that does not fit is refused (507) at once; a stored report's real size
replaces its reservation, a refused one's is given back. So the reports
being written (.incoming-*) never take the storage past the quota either.

First requests are declined once the room left (the quota less what is
stored and reserved) is below MIN_REPORT_BYTES, so that no crash is asked
to upload into a store that cannot take it.

Threads: any request thread may ask, reserve and take at once; one lock
guards the stored and reserved counts.
"""

import os
import threading
from typing import Optional

from .report_store import is_report_id

# The smallest room a report needs: the reporter's smallest crash log is a
# few KB, stored twice (zipped and unpacked) beside its records of a few KB
# more; 64 KiB leaves room for a small one and declines the crashes whose
# upload would surely be refused.
MIN_REPORT_BYTES = 64 << 10


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
        self._reserved = 0

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
        """True when the room left is too small for a report."""
        with self._lock:
            return (self.limit is not None
                    and self.limit - self._used - self._reserved < MIN_REPORT_BYTES)

    def reserve(self, size: int) -> Optional["Reservation"]:
        """A reservation of `size` bytes for an upload in progress; None,
        reserving nothing, when it does not fit."""
        reservation = Reservation(self)
        return reservation if reservation.grow(size) else None

    def _grow(self, reservation: "Reservation", size: int) -> bool:
        if self.limit is None:
            return True
        with self._lock:
            if self._used + self._reserved + size > self.limit:
                return False
            self._reserved += size
            reservation.size += size
            return True

    def _release(self, reservation: "Reservation") -> None:
        with self._lock:
            self._reserved -= reservation.size
            reservation.size = 0

    def take(self, incoming: str, reservation: Optional["Reservation"] = None) -> bool:
        """Counts a report folder about to be stored, in place of what
        `reservation` holds for it (released by its owner afterwards);
        False, counting nothing, when it would take the stored and reserved
        bytes past the quota."""
        if self.limit is None:
            return True
        size = folder_bytes(incoming)
        own = 0 if reservation is None else reservation.size
        with self._lock:
            if self._used + self._reserved - own + size > self.limit:
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
        if self.limit is None:
            return "no quota"
        with self._lock:
            return f"{self._used} of {self.limit} bytes, {self._reserved} reserved"


class Reservation:
    """The bytes one upload in progress holds of the quota; its request
    thread owns it and releases it once the upload is stored or refused."""

    def __init__(self, quota: StorageQuota):
        self._quota = quota
        self.size = 0

    def grow(self, size: int) -> bool:
        """Reserves `size` bytes more; False, reserving nothing, when they
        do not fit."""
        return self._quota._grow(self, size)

    def release(self) -> None:
        self._quota._release(self)
