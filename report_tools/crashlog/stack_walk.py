"""The frames of a thread, found from what its crash log holds: the
instruction pointer, then return addresses taken from the saved frame
pointers and, where that chain breaks or has not started, from a scan of the
dumped stack for words that point just after a call instruction.

The rule (the walk, the call-instruction check, the system modules) is
written once, in the README's "Reading crash reports" section; this module
follows it step by step, and the reporter follows the same rule at crash
time (its list of system modules is compared with SYSTEM_MODULE_NAMES by a
test). Nothing here wraps around the address space (2^32 in an x86 log,
2^64 in an x86-64 one): addresses are Python ints, and an address outside it
is simply held by nothing.

The rule has an x86 and an x86-64 variant; the log's architecture picks one.
They differ in the word (4 or 8 bytes at addresses of that multiple), the
registers (EIP, ESP, EBP or RIP, RSP, RBP) and the code bytes checked before
a return address (7 or 8).

The bytes before a candidate return address come from a CodeBytes source:
DumpBytes reads the log's memory dumps (what the signature uses, so that it
equals the reporter's); the symbolizer's module files may add to it for the
frames shown to people.

Threads: none of its own; a Walker belongs to the thread that made it.
"""

import bisect
import heapq
from dataclasses import dataclass
from typing import Dict, Generic, List, Optional, Sequence, Tuple, TypeVar

from .architecture import X86_64, Architecture
from .log_model import CrashLog, Module, Thread, hex_digits, shown

# Frames of one thread at most.
MAX_FRAMES = 64
# The bytes checked before a return address: the longest call form; in
# x86-64 code one more, for the REX prefix that may stand before it.
CALL_BYTES = 7
CALL_BYTES_X86_64 = 8


def call_bytes(arch: Architecture) -> int:
    return CALL_BYTES_X86_64 if arch is X86_64 else CALL_BYTES
# How far past a direct call's target the calling function may reach.
CALLEE_REACH = 0x10000

FOUND_BY_INSTRUCTION_POINTER = "instruction pointer"
FOUND_BY_STACK_TOP = "stack top"
FOUND_BY_FRAME_POINTER = "frame pointer"
FOUND_BY_STACK_SCAN = "stack scan"

# The operating system's own DLLs, left out of a signature (they change with
# every update of the system while the product's bug stays the same). The
# README lists the same names; so does the reporter's kSystemModuleNames.
SYSTEM_MODULE_NAMES = (
    "ntdll.dll", "kernel32.dll", "kernelbase.dll", "user32.dll", "win32u.dll", "gdi32.dll",
    "gdi32full.dll", "advapi32.dll", "sechost.dll", "rpcrt4.dll", "msvcrt.dll", "ucrtbase.dll",
    "msvcp_win.dll", "combase.dll", "ole32.dll", "oleaut32.dll", "shell32.dll", "shlwapi.dll",
    "shcore.dll", "ws2_32.dll", "mswsock.dll", "wininet.dll", "winhttp.dll", "crypt32.dll",
    "bcrypt.dll", "bcryptprimitives.dll", "cryptbase.dll", "imm32.dll", "uxtheme.dll",
    "dwmapi.dll", "version.dll", "psapi.dll", "dbghelp.dll", "comctl32.dll", "comdlg32.dll",
    "winmm.dll", "msctf.dll", "wow64.dll", "wow64win.dll", "wow64cpu.dll", "urlmon.dll",
    "iertutil.dll", "secur32.dll", "sspicli.dll", "userenv.dll", "setupapi.dll", "cfgmgr32.dll",
    "wintrust.dll", "msasn1.dll", "nsi.dll", "iphlpapi.dll", "dnsapi.dll",
)
_SYSTEM_NAMES = frozenset(SYSTEM_MODULE_NAMES)
# ASCII only, as the reporter lowers names: no other letter may turn into one.
_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def is_system_module(module: Optional[Module]) -> bool:
    """Whether a frame's module is one of the system's own DLLs; a frame in
    no module is not."""
    return module is not None and module.name.translate(_ASCII_LOWER) in _SYSTEM_NAMES


@dataclass(frozen=True)
class Frame:
    address: int
    module: Optional[Module]
    # FOUND_BY_*: how the walk found the frame.
    found_by: str
    # Of an address as the log writes it (8, or 16 in an x86-64 log).
    digits: int = 8

    @property
    def offset(self) -> Optional[int]:
        return None if self.module is None else self.address - self.module.base

    def address_text(self) -> str:
        """The address as the log writes it."""
        return hex_digits(self.address, self.digits)

    def location(self) -> str:
        """module+0xOFFSET, or the bare address in no module."""
        if self.module is None:
            return "0x" + self.address_text().lower()
        return f"{shown(self.module.name)}+0x{self.offset:x}"


T = TypeVar("T")


class FirstHolder(Generic[T]):
    """Which of a list of ranges [start, end) holds an address: the first in
    list order that does. The ranges may overlap (a hostile log's modules or
    dumps); they are cut into disjoint pieces once, each owned by the first
    range that covers it, so that a look-up is one binary search."""

    def __init__(self, ranges: Sequence[Tuple[int, int, T]]):
        events = sorted({p for start, end, _ in ranges if start < end for p in (start, end)})
        by_start = sorted(
            (start, index) for index, (start, end, _) in enumerate(ranges) if start < end
        )
        self._starts: List[int] = []
        self._owners: List[int] = []  # the owning range's index of each piece, -1 for none
        self._ranges = ranges
        active: List[int] = []  # heap of list indexes; ended ones leave lazily
        taken = 0
        for point in events:
            while taken < len(by_start) and by_start[taken][0] <= point:
                heapq.heappush(active, by_start[taken][1])
                taken += 1
            while active and ranges[active[0]][1] <= point:
                heapq.heappop(active)
            owner = active[0] if active else -1
            if self._owners and self._owners[-1] == owner:
                continue
            self._starts.append(point)
            self._owners.append(owner)

    def find(self, address: int) -> Optional[Tuple[int, T]]:
        """(start of the owning range, its item), or None."""
        index = bisect.bisect_right(self._starts, address) - 1
        owner = self._owners[index] if index >= 0 else -1
        if owner < 0:
            return None
        start, _, item = self._ranges[owner]
        return start, item

    def piece_end(self, address: int) -> int:
        """Where the piece holding `address` ends (the next piece starts)."""
        index = bisect.bisect_right(self._starts, address)
        return self._starts[index] if index < len(self._starts) else address + 1


class ModuleMap:
    """Which module holds an address: the first in list order with
    base <= address < base + size (the one look-up of the reader)."""

    def __init__(self, modules: Sequence[Module]):
        self._holder = FirstHolder([(m.base, m.base + m.size, m) for m in modules])

    def at(self, address: int) -> Optional[Module]:
        found = self._holder.find(address)
        return None if found is None else found[1]


class CodeBytes:
    """Where the walk reads the bytes before a candidate return address."""

    def before(self, value: int, module: Module, count: int) -> Optional[bytes]:
        """The `count` bytes (call_bytes() of the log's architecture) at
        value-count .. value-1, or None when any of them is unknown."""
        raise NotImplementedError


class DumpBytes(CodeBytes):
    """The bytes of a log's memory dumps; a byte in two dumps is the first
    dump's, and bytes may come from adjacent dumps."""

    def __init__(self, log: CrashLog):
        self._dumps = FirstHolder(
            [(d.address, d.address + len(d.data), d.data) for d in log.memory_dumps]
        )

    def read(self, address: int, count: int) -> Optional[bytes]:
        out = bytearray()
        while len(out) < count:
            found = self._dumps.find(address)
            if found is None:
                return None
            start, data = found
            end = min(self._dumps.piece_end(address), start + len(data))
            piece = data[address - start : min(end - start, address - start + count - len(out))]
            if not piece:
                return None
            out += piece
            address += len(piece)
        return bytes(out)

    def before(self, value: int, module: Module, count: int) -> Optional[bytes]:
        return self.read(value - count, count) if value >= count else None


def _modrm(m: int) -> Tuple[int, int, int]:
    return m >> 6, (m >> 3) & 7, m & 7


def ends_in_call(b: bytes) -> bool:
    """Whether 7 bytes end in a call instruction: a direct call, or an
    indirect one (FF /2) of each length from 2 to 7 bytes."""
    if b[2] == 0xE8:
        return True
    if b[5] == 0xFF:  # FF /2 with a register or [reg]
        mod, reg, rm = _modrm(b[6])
        if reg == 2 and (mod == 3 or (mod == 0 and rm not in (4, 5))):
            return True
    if b[4] == 0xFF:  # [reg+disp8], or [sib] without a displacement
        mod, reg, rm = _modrm(b[5])
        if reg == 2 and ((mod == 1 and rm != 4) or (mod == 0 and rm == 4 and (b[6] & 7) != 5)):
            return True
    if b[3] == 0xFF:  # [sib+disp8]
        mod, reg, rm = _modrm(b[4])
        if reg == 2 and mod == 1 and rm == 4:
            return True
    if b[1] == 0xFF:  # [disp32], or [reg+disp32]
        mod, reg, rm = _modrm(b[2])
        if reg == 2 and ((mod == 0 and rm == 5) or (mod == 2 and rm != 4)):
            return True
    if b[0] == 0xFF:  # [sib+disp32], or [index*scale+disp32]
        mod, reg, rm = _modrm(b[1])
        if reg == 2 and ((mod == 2 and rm == 4) or (mod == 0 and rm == 4 and (b[2] & 7) == 5)):
            return True
    return False


def ends_in_call_x86_64(b: bytes) -> bool:
    """Whether 8 bytes of x86-64 code end in a call instruction: their last
    7 end in one of the x86 forms (form 5, FF 15 disp32, is RIP-relative
    there, in the same bytes). A call whose FF byte follows a REX prefix
    (40..4F: call r8, call [r9+8] ...) ends in the same bytes as the one
    without it, so it is one of these too; the eighth byte is asked to be
    dumped so that the prefix could be seen."""
    return len(b) == CALL_BYTES_X86_64 and ends_in_call(b[1:])


class Walker:
    """Walks the threads of one log. What it learns of each candidate value
    (its module, whether it is a return address and where its direct call
    went) is kept for the next thread."""

    def __init__(self, log: CrashLog, code: Optional[CodeBytes] = None):
        self._arch = log.arch
        self._call_bytes = call_bytes(self._arch)
        self._ends_in_call = ends_in_call_x86_64 if self._arch is X86_64 else ends_in_call
        self._modules = ModuleMap(log.modules)
        self._code = code if code is not None else DumpBytes(log)
        # value: (is a return address, direct call target or None)
        self._returns: Dict[int, Tuple[bool, Optional[int]]] = {}

    def module_at(self, address: int) -> Optional[Module]:
        return self._modules.at(address)

    def _return(self, value: int) -> Tuple[bool, Optional[int]]:
        known = self._returns.get(value)
        if known is not None:
            return known
        result: Tuple[bool, Optional[int]] = (False, None)
        module = self.module_at(value)
        if module is not None:
            count = self._call_bytes
            code = self._code.before(value, module, count)
            if code is not None and len(code) == count and self._ends_in_call(code):
                target = None
                if code[-5] == 0xE8:  # a direct call: E8 and a signed 32-bit distance
                    distance = int.from_bytes(code[-4:], "little", signed=True)
                    target = (value + distance) % self._arch.address_limit
                result = (True, target)
        self._returns[value] = result
        return result

    def is_return_address(self, value: int) -> bool:
        return self._return(value)[0]

    def calls_into(self, value: int, pc: int) -> bool:
        target = self._return(value)[1]
        return target is not None and target <= pc < target + CALLEE_REACH

    def _frame(self, address: int, found_by: str) -> Frame:
        return Frame(address, self.module_at(address), found_by, self._arch.digits)

    def walk(self, thread: Thread) -> List[Frame]:
        arch = self._arch
        word = arch.word_bytes
        eip = thread.register(arch.instruction_pointer)
        esp = thread.register(arch.stack_pointer)
        ebp = thread.register(arch.frame_pointer)
        if eip is None:
            return []
        words: Dict[int, int] = {}
        for address, stack_word in thread.stack_words():
            if address % word == 0:
                words.setdefault(address, stack_word.value)
        # The words that are return addresses, in address order: what a scan
        # looks at.
        candidates = sorted(a for a, v in words.items() if self.is_return_address(v))
        # Only a direct call can call into pc: the scan for one looks at those.
        direct = [a for a in candidates if self._return(words[a])[1] is not None]

        frames = [self._frame(eip, FOUND_BY_INSTRUCTION_POINTER)]
        if esp is None:
            return frames
        pc, next_address, fp = eip, esp, ebp
        # A call through a bad pointer leaves the instruction pointer in no
        # module; the caller's return address is then at the stack pointer.
        if frames[0].module is None and esp in words and self.is_return_address(words[esp]):
            pc = words[esp]
            frames.append(self._frame(pc, FOUND_BY_STACK_TOP))
            next_address = esp + word

        while len(frames) < MAX_FRAMES:
            fp_frame = (
                fp is not None and fp % word == 0 and fp >= next_address and fp in words
                and fp + word in words and self.is_return_address(words[fp + word])
            )
            limit = fp + word if fp_frame else None
            found = None
            for index in range(bisect.bisect_left(direct, next_address), len(direct)):
                a = direct[index]
                if limit is not None and a >= limit:
                    break
                if self.calls_into(words[a], pc):
                    found = a
                    break
            first = bisect.bisect_left(candidates, next_address)
            if found is None and not fp_frame and first < len(candidates):
                found = candidates[first]
            if found is not None:
                pc = words[found]
                frames.append(self._frame(pc, FOUND_BY_STACK_SCAN))
                next_address = found + word
            elif fp_frame:
                pc = words[fp + word]
                frames.append(self._frame(pc, FOUND_BY_FRAME_POINTER))
                next_address = fp + 2 * word
                saved = words[fp]
                fp = saved if saved > fp else None
            else:
                break
        return frames
