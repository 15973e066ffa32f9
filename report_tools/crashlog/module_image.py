"""The bytes of a loaded module read from its file: an offset from the
module's base (a relative virtual address) is mapped through the PE file's
section table to where those bytes lie in the file.

x86 modules are PE32 files, x86-64 modules PE32+ files: both are read the
same way, as what is used here sits at the same place in both (the size of
the headers, and the section table after the optional header of whichever
size the file header gives). Offsets are from the module's base in the log
wherever it was loaded, so the preferred image base (32 or 64 bits) is not
needed.

The file is untrusted like the log: the headers are read once within
MAX_HEADER_BYTES, at most MAX_SECTIONS sections are looked at, and each read
asks for a few bytes at a checked offset. A file that is damaged, cut short
or no PE file simply gives no bytes.

The first read opens the file and keeps it open for the next ones (a walk
reads before many candidate return addresses); close() ends that, and a read
after it opens the file again.

Threads: a ModuleImage is used on one thread at a time.
"""

from typing import BinaryIO, List, Optional, Tuple

MAX_HEADER_BYTES = 64 << 10
MAX_SECTIONS = 96
MAX_READ = 64


class ModuleImage:
    def __init__(self, path: str):
        self.path = path
        self._header_size = 0
        # (virtual address, virtual size, file offset, size in the file)
        self._sections: List[Tuple[int, int, int, int]] = []
        self._file: Optional[BinaryIO] = None
        self.valid = self._read_headers()

    def _read_headers(self) -> bool:
        try:
            with open(self.path, "rb") as f:
                head = f.read(MAX_HEADER_BYTES)
        except OSError:
            return False
        if len(head) < 0x40 or head[:2] != b"MZ":
            return False
        pe = int.from_bytes(head[0x3C:0x40], "little")
        if pe + 24 > len(head) or head[pe : pe + 4] != b"PE\0\0":
            return False
        count = int.from_bytes(head[pe + 6 : pe + 8], "little")
        optional_size = int.from_bytes(head[pe + 20 : pe + 22], "little")
        optional = pe + 24
        # SizeOfHeaders sits at the same place in PE32 and PE32+ headers.
        if optional_size >= 64 and optional + 64 <= len(head):
            self._header_size = int.from_bytes(head[optional + 60 : optional + 64], "little")
        table = optional + optional_size
        for index in range(min(count, MAX_SECTIONS)):
            entry = head[table + 40 * index : table + 40 * (index + 1)]
            if len(entry) < 40:
                break
            virtual_size = int.from_bytes(entry[8:12], "little")
            virtual_address = int.from_bytes(entry[12:16], "little")
            raw_size = int.from_bytes(entry[16:20], "little")
            raw_offset = int.from_bytes(entry[20:24], "little")
            self._sections.append((virtual_address, virtual_size, raw_offset, raw_size))
        return True

    def file_offset(self, rva: int, count: int) -> Optional[int]:
        """Where the `count` bytes at `rva` lie in the file, when one
        section's bytes in the file (or the headers) hold them all."""
        if rva < 0 or count <= 0:
            return None
        for virtual_address, virtual_size, raw_offset, raw_size in self._sections:
            # Past the section's size in the file, memory is zeros that the
            # file does not hold; past its size in memory, another section.
            size = min(raw_size, virtual_size) if virtual_size else raw_size
            if virtual_address <= rva and rva + count <= virtual_address + size:
                return raw_offset + rva - virtual_address
        if rva + count <= self._header_size:
            return rva
        return None

    def read(self, rva: int, count: int) -> Optional[bytes]:
        """The `count` (at most MAX_READ) bytes of the loaded module at
        `rva`, or None."""
        if not self.valid or count > MAX_READ:
            return None
        offset = self.file_offset(rva, count)
        if offset is None:
            return None
        try:
            if self._file is None:
                self._file = open(self.path, "rb")
            self._file.seek(offset)
            data = self._file.read(count)
        except (OSError, ValueError, OverflowError):
            return None
        return data if len(data) == count else None

    def close(self) -> None:
        if self._file is not None:
            self._file.close()
            self._file = None
