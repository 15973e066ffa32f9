"""A parsed crash log: what the parser makes of a log and what the analysis,
the symbolizer, the crash server's pages and the command line read.

Numbers that the log writes in hex (addresses, sizes, time stamps, thread
ids, stack words) are held as ints, memory dumps as bytes. Addresses and
stack words have 8 digits in an x86 log and 16 in an x86-64 log; sizes, time
stamps and thread ids have 8 in both. Registers and FPU values are held as
the log writes them: a segment register may have 4 to 8 digits, and the
pages show each as written.

to_json() gives the form that "crashlog parse" prints, key for key and in
the same order (json_fields() and json_part() print it without building it
whole):
  format, version, build
  architecture: "x86" or "x86-64"            x86 for a log that names none
  exception: {module, code, address, base}   code: hex text, or a name
  metadata: [[key, value], ...]              in order, duplicates kept
  threads: [{id, priority, crashed, checked_context_values,
             checked_context_values_all, checked_stack_values,
             checked_stack_values_all, registers: {EAX..GS or RAX..GS},
             fpu: {registers: [8 x 20 hex digits], SW, CW},
             stack: [{address, words: ["0012FFA0" or ">0012FFA0", ...]}]}]
             (">" marks a word that the writer found on the frame chain)
  modules: [{name, version, base, size, timestamp}]
  memory_dumps: [{address, bytes (lower-case hex)}]
  crash_logger: [line, ...]
  truncated: null or {line, expected[, reason]}
  problems: [{line, expected, found}]
  capped: [text, ...]
(addresses, words and registers as the log writes them: upper-case hex of 8
digits, or 16 for the addresses, words and general registers of an x86-64
log; segment registers 4 or more).

The texts that the crashed process or its files chose (version, build, the
exception's module and code, metadata keys and values, module names and
versions) are held decoded: the writer's "\\xHH" escapes are the bytes
again, so they may hold line breaks, quotes and other control characters.
Signatures write them through shown(); whatever prints them as lines of
output passes the line through printable_line().

Threads: none of its own; a log belongs to the thread that parsed it, and
nothing here changes it after the parse.
"""

import re
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Tuple

from .architecture import ARCHITECTURES, UNNAMED, Architecture


def hex8(value: int) -> str:
    """A 32-bit value as the log writes it."""
    return f"{value:08X}"


def hex_digits(value: int, digits: int) -> str:
    """An address as the log writes it: 8 hex digits in an x86 log, 16 in an
    x86-64 log."""
    return f"{value:0{digits}X}"


_CONTROL = re.compile("[\x00-\x1f\x7f]")


def shown(text: str) -> str:
    """A text of the crashed process as the crash signature writes it: each
    control character (below 0x20, and 0x7F) as the writer escapes it
    ("\\x0A"), other text as it is. The reporter escapes the same, so that
    both compute the same signature: do not widen it (printable_line() is
    for lines of output)."""
    return _CONTROL.sub(lambda match: f"\\x{ord(match.group(0)):02X}", text)


def printable_line(text: str) -> str:
    """A text for a line of the output or the server's log: every character
    that is not printable (control and format characters, line and paragraph
    separators, U+0080-U+009F, unassigned ones; a space stays) as "\\xHH",
    "\\uHHHH" or "\\UHHHHHHHH", so that nothing in it can split the line or
    steer a terminal. Signatures keep shown()'s escaping: this is for output."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else _escaped(c) for c in text)


def _escaped(c: str) -> str:
    code = ord(c)
    if code < 0x100:
        return f"\\x{code:02X}"
    return f"\\u{code:04X}" if code < 0x10000 else f"\\U{code:08X}"


def json_part(value: Any) -> Any:
    """For json.dump(default=json_part): a part of the log as JSON."""
    return value.to_json()


@dataclass(frozen=True)
class CrashException:
    """The exception line: which process crashed, with what, where."""

    module: str
    code: str  # 8 hex digits as written, or whatever name the line gave
    address: int
    base: int
    digits: int = 8  # of the addresses as written

    def to_json(self) -> Dict:
        return {
            "module": self.module,
            "code": self.code,
            "address": hex_digits(self.address, self.digits),
            "base": hex_digits(self.base, self.digits),
        }


@dataclass(frozen=True)
class MetadataEntry:
    key: str
    value: str

    def to_json(self) -> List[str]:
        return [self.key, self.value]


class StackWord(NamedTuple):
    # A tuple rather than a dataclass: a log may hold a quarter of a million.
    value: int
    # The writer's '>' mark: it found this word on the frame chain.
    marked: bool

    def text(self, digits: int = 8) -> str:
        return (">" if self.marked else "") + hex_digits(self.value, digits)

    def to_json(self) -> str:
        return self.text()


@dataclass
class StackLine:
    """One line of a stack dump: up to four 4-byte words (x86) or two 8-byte
    words (x86-64) from `address` on."""

    address: int
    words: List[StackWord]
    digits: int = 8  # of the address and each word, as written

    def to_json(self) -> Dict:
        return {
            "address": hex_digits(self.address, self.digits),
            "words": [word.text(self.digits) for word in self.words],
        }


@dataclass(frozen=True)
class Fpu:
    registers: List[str]  # 8 values of 20 hex digits, as written
    status_word: str
    control_word: str

    def to_json(self) -> Dict:
        return {"registers": list(self.registers), "SW": self.status_word, "CW": self.control_word}


@dataclass
class Thread:
    id: int
    priority: int
    crashed: bool
    checked_context_values: int
    checked_context_values_all: bool
    checked_stack_values: int
    checked_stack_values_all: bool
    # EAX..GS as written, in the log's order: general registers, then
    # pointers and flags, then segments.
    registers: Dict[str, str]
    fpu: Fpu
    stack: List[StackLine] = field(default_factory=list)
    word_bytes: int = 4  # of a stack word and an address: 8 in an x86-64 log

    def register(self, name: str) -> Optional[int]:
        try:
            return int(self.registers[name], 16)
        except (KeyError, ValueError):
            return None

    def register_values(self) -> Optional[Dict[str, int]]:
        """Every register as a number; None when one is not a number."""
        try:
            return {name: int(value, 16) for name, value in self.registers.items()}
        except ValueError:
            return None

    def stack_words(self) -> Iterator[Tuple[int, StackWord]]:
        """(address, word) of each dumped stack word. A word that would lie
        past the top of the address space (a line of a hostile log near
        the top) is none: nothing wraps around to address 0."""
        top = 1 << (8 * self.word_bytes)
        for line in self.stack:
            address = line.address
            for word in line.words:
                if address + self.word_bytes > top:
                    break
                yield address, word
                address += self.word_bytes

    def to_json(self) -> Dict:
        return {
            "id": hex8(self.id),
            "priority": hex8(self.priority),
            "crashed": self.crashed,
            "checked_context_values": self.checked_context_values,
            "checked_context_values_all": self.checked_context_values_all,
            "checked_stack_values": self.checked_stack_values,
            "checked_stack_values_all": self.checked_stack_values_all,
            "registers": dict(self.registers),
            "fpu": self.fpu.to_json(),
            "stack": [line.to_json() for line in self.stack],
        }


@dataclass(frozen=True)
class Module:
    name: str
    version: str
    base: int
    size: int
    timestamp: int
    digits: int = 8  # of the base as written

    def to_json(self) -> Dict:
        return {
            "name": self.name,
            "version": self.version,
            "base": hex_digits(self.base, self.digits),
            "size": hex8(self.size),
            "timestamp": hex8(self.timestamp),
        }


@dataclass
class MemoryDump:
    """Consecutive dump lines: the bytes from `address` on."""

    address: int
    data: bytes
    digits: int = 8  # of the address as written

    def to_json(self) -> Dict:
        return {"address": hex_digits(self.address, self.digits), "bytes": self.data.hex()}


@dataclass
class Truncation:
    """Where a log that ended early stopped (the last line read, None when
    unknown), what was expected there, and why the bytes ended when that was
    a reading limit rather than the log."""

    line: Optional[int]
    expected: str
    reason: Optional[str] = None

    def to_json(self) -> Dict:
        value = {"line": self.line, "expected": self.expected}
        if self.reason is not None:
            value["reason"] = self.reason
        return value


@dataclass(frozen=True)
class Problem:
    """A line out of form: reading resumed at the next section heading."""

    line: int
    expected: str
    found: str

    def to_json(self) -> Dict:
        return {"line": self.line, "expected": self.expected, "found": self.found}


@dataclass
class CrashLog:
    format: str
    version: Optional[str] = None
    build: Optional[str] = None
    # "x86" or "x86-64" (architecture.ARCHITECTURES): what the log's
    # "Architecture:" line names, x86 for a log without one.
    architecture: str = UNNAMED.name
    exception: Optional[CrashException] = None
    metadata: List[MetadataEntry] = field(default_factory=list)
    threads: List[Thread] = field(default_factory=list)
    modules: List[Module] = field(default_factory=list)
    memory_dumps: List[MemoryDump] = field(default_factory=list)
    crash_logger: List[str] = field(default_factory=list)
    truncated: Optional[Truncation] = None
    problems: List[Problem] = field(default_factory=list)
    # What the size limits left out, in words.
    capped: List[str] = field(default_factory=list)

    @property
    def arch(self) -> Architecture:
        return ARCHITECTURES.get(self.architecture, UNNAMED)

    def address_text(self, value: int) -> str:
        """An address as this log writes it (8 or 16 hex digits)."""
        return self.arch.hex(value)

    def code_bytes(self, address: int, count: int) -> bytes:
        """Up to `count` dumped bytes from `address` on, from the first dump
        that holds it; none when no dump does."""
        for dump in self.memory_dumps:
            if dump.address <= address < dump.address + len(dump.data):
                offset = address - dump.address
                return bytes(dump.data[offset : offset + count])
        return b""

    def json_fields(self) -> Dict:
        """The keys of to_json() with the parts as they are. json.dump(...,
        default=json_part) turns them into JSON one part at a time, so that
        a large log is not held a second time as JSON while it is printed."""
        return {
            "format": self.format,
            "version": self.version,
            "build": self.build,
            "architecture": self.architecture,
            "exception": self.exception,
            "metadata": self.metadata,
            "threads": self.threads,
            "modules": self.modules,
            "memory_dumps": self.memory_dumps,
            "crash_logger": self.crash_logger,
            "truncated": self.truncated,
            "problems": self.problems,
            "capped": self.capped,
        }

    def to_json(self) -> Dict:
        return {key: _plain(value) for key, value in self.json_fields().items()}


def _plain(value: Any) -> Any:
    if isinstance(value, list):
        return [_plain(item) for item in value]
    return value if value is None or isinstance(value, str) else value.to_json()
