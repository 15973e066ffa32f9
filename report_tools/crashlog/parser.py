"""Parses a text crash log into a CrashLog (log_model), whose to_json() is
what "crashlog parse" prints.

The log is read line by line and never held whole. Whatever a crashed process
or the network put in it is only text here: nothing is evaluated, and every
count and size is bounded (the limits below); what a limit left out is named
in the result's "capped" list.

Text that the crashed process or its files chose (version, build, the
exception line's module and exception name, metadata keys and values, module
names and versions) is written with each control byte, double quote and
backslash as "\\x" and two upper-case hex digits; those fields are decoded
here, and any other backslash is kept as it is (older logs wrote the text
unescaped).

A log that ends early is read as far as it goes; the result's "truncated"
names the line after which it stopped and what was expected there. A line
out of form is recorded in "problems" (line number, what was expected, what
was found) and reading resumes at the next section heading.

Threads: none of its own; a parse belongs to its caller's thread.
"""

import re
from typing import Iterable, List, Optional, Tuple

from .log_model import (
    CrashException,
    CrashLog,
    Fpu,
    MemoryDump,
    MetadataEntry,
    Module,
    Problem,
    StackLine,
    StackWord,
    Thread,
    Truncation,
)
from .architecture import ARCHITECTURE_PREFIX, ARCHITECTURES, UNNAMED, Architecture, by_digits
from .source import LineSource, SourceError, open_source

MAGIC = "TAVRA-CRASHLOG V1"
HEADER_PREFIX = MAGIC + " desktop "
HEADER_SUFFIX = " windows  release"

# Bounds on what is kept from one log.
MAX_TEXT = 4096  # characters of any one kept string
MAX_METADATA = 4096
MAX_THREADS = 1024
MAX_STACK_WORDS = 1 << 18  # all threads together (1 MiB of stack)
# The first crashed thread's words are kept past MAX_STACK_WORDS up to this
# many (the writer dumps at most 8 KiB of it): its walk signs the crash.
MAX_CRASHED_STACK_WORDS = 2048
MAX_MODULES = 4096
MAX_DUMP_BYTES = 4 << 20
# Dumped ranges kept: each costs an object here and a piece in every walk of
# the stack, so a log of a million one-byte ranges must not cost a million.
# The writer dumps at least 32 bytes around a value that points into code
# (16 on each side), so the logs it writes within MAX_DUMP_BYTES hold at
# most this many ranges. Past either bound the rest of the section is
# counted (a range per blank-separated run, bytes by line length) without
# being read.
MAX_MEMORY_DUMPS = MAX_DUMP_BYTES // 32
MAX_LOGGER_LINES = 4096
MAX_PROBLEMS = 100
# Lines read at most, whatever they hold: reading costs a few microseconds a
# line, so this bounds the time of any parse (a log of a million blank lines
# or one-byte dumps) to a few seconds. A log the writer makes stays far
# below it (its dumps and stacks are bounded in bytes, a few hundred
# thousand lines); past it a log is read as cut off there.
MAX_LINES = 1 << 20
# A metadata value written with line breaks in it spans several lines.
MAX_VALUE_LINES = 16

HEX8 = r"[0-9A-F]{8}"
# Addresses have 8 digits in an x86 log, 16 in an x86-64 log.
ADDRESS = r"(?:[0-9A-F]{16}|[0-9A-F]{8})"
EXCEPTION_LINE = re.compile(
    r"^(?P<module>.*) caused exception (?P<code>\S+) at address (?P<address>" + ADDRESS + r") "
    r"\(Base: (?P<base>" + ADDRESS + r")\)$"
)
METADATA_LINE = re.compile(r'^(?P<key>[^=\s"]+)="(?P<value>.*)$')
THREAD_HEADING = re.compile(r"^Thread: (" + HEX8 + r")$")


def _module_line(arch: Architecture) -> "re.Pattern":
    return re.compile(
        r"^(?P<left>.*) Base: (?P<base>[0-9A-F]{" + str(arch.digits) + r"}) Size: (?P<size>"
        + HEX8 + r") Timestamp: (?P<timestamp>" + HEX8 + r")$"
    )


MODULE_LINES = {name: _module_line(arch) for name, arch in ARCHITECTURES.items()}
FPU20 = r"([0-9A-F]{20})"
FPU_LINES = (
    re.compile(r"^" + FPU20 + " " + FPU20 + " " + FPU20 + r"$"),
    re.compile(r"^" + FPU20 + " " + FPU20 + " " + FPU20 + r"$"),
    re.compile(r"^" + FPU20 + " " + FPU20 + r" SW=([0-9A-F]{4}) CW=([0-9A-F]{4})$"),
)
SLOT_COUNTS = {2: "two", 4: "four"}
HEX_DIGITS = {digits: re.compile(f"[0-9A-F]{{{digits}}}") for digits in (8, 16)}
CHECKED = re.compile(r"^(\d{1,10})( \(all\))?$")
HEX_BYTE = re.compile(r"^[0-9A-F]{2}$")


def _dump_columns(digits: int) -> Tuple[Tuple[int, ...], int]:
    """Where each byte of a memory dump line stands after an address of
    `digits` digits (a blank before every byte and one more before bytes 0,
    4, 8 and 12), and where its text column starts (after one more blank)."""
    columns = []
    column = digits
    for index in range(16):
        column += 2 if index % 4 == 0 else 1
        columns.append(column)
        column += 2
    return tuple(columns), column + 1


DUMP_COLUMNS, DUMP_TEXT_COLUMN = _dump_columns(8)
DUMP_LAYOUTS = {name: _dump_columns(arch.digits) for name, arch in ARCHITECTURES.items()}

# The writer escapes only the bytes below 0x80 (control bytes, '"', '\\').
ESCAPE = re.compile(r"\\x([0-7][0-9A-F])")

SECTION_HEADINGS = ("metadata:", "Used DLLs:", "Memory dumps:", "Crash Logger:")


class NotACrashLog(Exception):
    """The file does not start like a crash log."""


class _Problem(Exception):
    def __init__(self, line: int, expected: str, found: str):
        super().__init__(expected)
        self.line = line
        self.expected = expected
        self.found = found


class _Ended(Exception):
    """The lines ran out where more was expected."""

    def __init__(self, expected: str):
        super().__init__(expected)
        self.expected = expected


def _clip(text: str) -> str:
    return text if len(text) <= MAX_TEXT else text[:MAX_TEXT]


def _text(text: str) -> str:
    """A field of text from the crashed process, its escapes decoded and
    clipped."""
    if "\\x" in text:
        text = ESCAPE.sub(lambda match: chr(int(match.group(1), 16)), text)
    return _clip(text)


def _is_heading(text: str) -> bool:
    return text in SECTION_HEADINGS or THREAD_HEADING.match(text) is not None


class _Lines:
    """The log's lines as text, with one line of look-ahead."""

    def __init__(self, source: Iterable[Tuple[int, bytes, bool, bool]]):
        self._source = iter(source)
        self._peeked: Optional[Tuple[int, str]] = None
        self.number = 0  # of the last line taken
        self.lines_read = 0
        self.last_bytes = b""  # the last line taken, as it was written
        self.last_had_end = True
        self.last_taken_cut = False
        self.cut_lines = 0
        self.source_error: Optional[str] = None

    def _read(self) -> Optional[Tuple[int, str, bool, bytes]]:
        try:
            number, data, ended, cut = next(self._source)
            self.lines_read += 1
            if self.lines_read > MAX_LINES:
                self.source_error = f"the log has more than {MAX_LINES} lines; read as far as that"
                self._source = iter(())
                return None
        except StopIteration:
            return None
        except SourceError as e:
            self.source_error = str(e)
            return None
        self.last_had_end = ended
        if cut:
            self.cut_lines += 1
        return number, data.decode("utf-8", errors="replace"), cut, data

    def peek(self) -> Optional[str]:
        if self._peeked is None:
            self._peeked = self._read()
        return None if self._peeked is None else self._peeked[1]

    def take(self, expected: str) -> str:
        """The next line; _Ended when there is none."""
        line = self.peek()
        if line is None:
            raise _Ended(expected)
        self.number = self._peeked[0]
        self.last_taken_cut = self._peeked[2]
        self.last_bytes = self._peeked[3]
        self._peeked = None
        return line

    def take_if(self, predicate) -> Optional[str]:
        line = self.peek()
        if line is None or not predicate(line):
            return None
        return self.take("")

    def expect(self, pattern: "re.Pattern", expected: str) -> "re.Match":
        line = self.take(expected)
        match = pattern.match(line)
        if match is None:
            raise _Problem(self.number, expected, line)
        return match

    def expect_text(self, text: str, expected: str) -> None:
        line = self.take(expected)
        if line != text:
            raise _Problem(self.number, expected, line)

    def skip_blank(self) -> None:
        while self.peek() == "":
            self.take("")


class _Parser:
    def __init__(self, lines: _Lines):
        self.lines = lines
        self.result = CrashLog(format=MAGIC)
        self.seen = set()
        self.stack_words = 0
        self.dump_bytes = 0
        self.dump_bytes_seen = 0
        self.dump_ranges_seen = 0
        # Set once a dump line or range passed a bound: the rest is counted.
        self.dumps_capped = False
        self.dropped = {"metadata": 0, "threads": 0, "modules": 0, "crash_logger": 0}
        self.stacks_dropped = 0
        self.crashed_stack_seen = False
        self.arch = UNNAMED

    # The whole log.

    def parse(self) -> CrashLog:
        try:
            self._header()
        except _Ended as e:
            self._truncated(e.expected)
            return self._finish()
        except _Problem as problem:
            self._problem(problem)
            self._resynchronise()
        while True:
            try:
                if not self._section():
                    break
            except _Problem as problem:
                if self.lines.peek() is None and not self.lines.last_had_end:
                    # The last line is out of form because the log stops in it.
                    self._truncated(f"{problem.expected}, up to a line end")
                    break
                self._problem(problem)
                self._resynchronise()
            except _Ended as e:
                self._truncated(e.expected)
                break
        if self.result.truncated is None:
            missing = [h for h in ("Used DLLs:", "Memory dumps:") if h not in self.seen]
            if missing:
                what = "the module list" if missing[0] == "Used DLLs:" else "the memory dumps"
                self._truncated(f'{what} ("{missing[0]}")')
            elif not self.lines.last_had_end:
                self._truncated("a line end")
        return self._finish()

    def _finish(self) -> CrashLog:
        if self.lines.source_error and self.result.truncated is None:
            self.result.truncated = Truncation(self.lines.number, "more lines")
        if self.lines.source_error:
            self.result.truncated.reason = self.lines.source_error
        capped = self.result.capped
        for what, count in self.dropped.items():
            if count:
                capped.append(f"{what}: {count} more left out")
        if self.stacks_dropped:
            capped.append(
                f"stack dumps: words of {self.stacks_dropped} threads left out "
                f"(at most {MAX_STACK_WORDS} words are kept)"
            )
        if self.dumps_capped:
            capped.append(
                f"memory dumps: kept {self.dump_bytes} of {self.dump_bytes_seen} bytes and "
                f"{len(self.result.memory_dumps)} of {self.dump_ranges_seen} ranges (at most "
                f"{MAX_DUMP_BYTES} bytes and {MAX_MEMORY_DUMPS} ranges are kept; the lines "
                "past a bound are counted, not read)"
            )
        if self.lines.cut_lines:
            capped.append(f"{self.lines.cut_lines} lines longer than 65536 bytes were cut")
        return self.result

    def _truncated(self, expected: str) -> None:
        self.result.truncated = Truncation(self.lines.number, expected)

    def _problem(self, problem: _Problem) -> None:
        problems = self.result.problems
        if len(problems) < MAX_PROBLEMS:
            problems.append(Problem(problem.line, problem.expected, _clip(problem.found)))

    def _resynchronise(self) -> None:
        while True:
            line = self.lines.peek()
            if line is None or _is_heading(line):
                return
            self.lines.take("")

    def _header(self) -> None:
        line = self.lines.take("the header line")
        if not line.startswith(MAGIC + " "):
            raise NotACrashLog(
                f'not a crash log: the first line does not start with "{MAGIC}"'
            )
        if line.startswith(HEADER_PREFIX) and line.endswith(HEADER_SUFFIX):
            middle = line[len(HEADER_PREFIX) : -len(HEADER_SUFFIX)]
            # "version build": a version with blanks in it cannot be told
            # from its build, so the build is taken as the last word.
            version, _, build = middle.rpartition(" ")
            self.result.version = _text(version)
            self.result.build = _text(build)
        else:
            self._problem(_Problem(1, f'"{HEADER_PREFIX}VERSION BUILD{HEADER_SUFFIX}"', line))
        exception_problem = None
        digits = None
        try:
            match = self.lines.expect(EXCEPTION_LINE, "the exception line")
            digits = len(match["address"])
            self.result.exception = CrashException(
                module=_text(match["module"]),
                code=_text(match["code"]),
                address=int(match["address"], 16),
                base=int(match["base"], 16),
                digits=digits,
            )
            if len(match["base"]) != digits:
                exception_problem = _Problem(
                    self.lines.number, "the exception line, its address and base of one width",
                    match.group(0),
                )
        except _Problem as problem:
            exception_problem = problem
        self._architecture(digits)
        if exception_problem is not None:
            raise exception_problem

    def _architecture(self, digits: Optional[int]) -> None:
        """Reads the "Architecture:" line after the exception line: a log
        without one is x86. A line that names no architecture this reader
        knows is a problem, and the log is read as the exception line's
        width of address says (hostile or damaged, it must not stop the
        parse)."""
        line = self.lines.peek()
        if line is None:
            # Cut off after the exception line: its width is all there is.
            arch = by_digits(digits) if digits is not None else UNNAMED
        elif not line.startswith(ARCHITECTURE_PREFIX.rstrip(" ")):
            arch = UNNAMED
        else:
            self.lines.take("")
            arch = ARCHITECTURES.get(line[len(ARCHITECTURE_PREFIX) :]) \
                if line.startswith(ARCHITECTURE_PREFIX) else None
            if arch is None:
                arch = by_digits(digits) if digits is not None else UNNAMED
                self._problem(_Problem(
                    self.lines.number,
                    " or ".join(f'"{ARCHITECTURE_PREFIX}{name}"' for name in ARCHITECTURES),
                    line,
                ))
        self.arch = arch
        self.result.architecture = arch.name
        if digits is not None and digits != arch.digits:
            self._problem(_Problem(
                self.lines.number,
                f"the exception line with addresses of {arch.digits} digits ({arch.name})",
                "addresses of 16 digits" if digits == 16 else "addresses of 8 digits",
            ))

    def _section(self) -> bool:
        """Reads one section; False at the end of the log."""
        self.lines.skip_blank()
        line = self.lines.peek()
        if line is None:
            return False
        self.lines.take("")
        thread = THREAD_HEADING.match(line)
        if thread is not None:
            self._thread(thread.group(1))
        elif line == "metadata:":
            self._metadata()
        elif line == "Used DLLs:":
            self._modules()
        elif line == "Memory dumps:":
            self._memory_dumps()
        elif line == "Crash Logger:":
            self._crash_logger()
        else:
            raise _Problem(self.lines.number, "a section heading", line)
        self.seen.add(line if thread is None else "Thread:")
        return True

    # Sections.

    def _metadata(self) -> None:
        while True:
            line = self.lines.peek()
            if line is None or line == "":
                return
            self.lines.take("")
            first = self.lines.number
            match = METADATA_LINE.match(line)
            if match is None:
                raise _Problem(first, 'KEY="VALUE"', line)
            value = match["value"]
            if self.lines.last_taken_cut:
                value += '"'  # its end was cut off with the rest of the line
            # A value holding line breaks goes on until a line ends in '"'.
            extra = 0
            while not value.endswith('"'):
                following = self.lines.peek()
                extra += 1
                if following is None or extra > MAX_VALUE_LINES or _is_heading(following):
                    raise _Problem(first, 'KEY="VALUE" ending in a double quote', line)
                value += "\n" + self.lines.take("")
            if len(self.result.metadata) < MAX_METADATA:
                self.result.metadata.append(MetadataEntry(_text(match["key"]), _text(value[:-1])))
            else:
                self.dropped["metadata"] += 1

    def _thread(self, heading_id: str) -> None:
        lines = self.lines
        lines.expect_text("", "a blank line after the thread heading")
        info = lines.expect(re.compile(r"^ThreadInfo: (" + HEX8 + r")$"), '"ThreadInfo: ID"')
        if info.group(1) != heading_id:
            raise _Problem(lines.number, f'"ThreadInfo: {heading_id}"', info.group(0))
        priority = lines.expect(
            re.compile(r"^Priority=(" + HEX8 + r")$"), '"Priority=XXXXXXXX"'
        ).group(1)
        crashed = (
            lines.expect(re.compile(r"^Crashed=([01])$"), '"Crashed=0" or "Crashed=1"').group(1)
            == "1"
        )
        checked = {}
        for name in ("checked_context_values", "checked_stack_values"):
            match = lines.expect(re.compile("^" + name + r"=(.*)$"), f'"{name}=N"')
            counted = CHECKED.match(match.group(1))
            if counted is None:
                raise _Problem(lines.number, f'"{name}=N" or "{name}=N (all)"', match.group(0))
            checked[name] = int(counted.group(1))
            checked[name + "_all"] = counted.group(2) is not None
        lines.expect_text("", "a blank line before the registers")
        self._id_line("Registers", heading_id)
        registers = {}
        for names, pattern in self.arch.register_lines:
            match = lines.expect(pattern, "a line of registers (" + ", ".join(names) + ")")
            registers.update(zip(names, match.groups()))
        lines.expect_text("", "a blank line before the FPU stack")
        self._id_line("FPU stack", heading_id)
        values = []
        for index, pattern in enumerate(FPU_LINES):
            match = lines.expect(pattern, f"line {index + 1} of the FPU stack")
            groups = match.groups()
            if index == 2:
                values += groups[:2]
                status_word, control_word = groups[2], groups[3]
            else:
                values += groups
        lines.expect_text("", "a blank line before the stack dump")
        self._id_line("Stack dump", heading_id)
        thread = Thread(
            id=int(heading_id, 16),
            priority=int(priority, 16),
            crashed=crashed,
            registers=registers,
            fpu=Fpu(values, status_word, control_word),
            word_bytes=self.arch.word_bytes,
            **checked,
        )
        kept = len(self.result.threads) < MAX_THREADS
        if kept:
            self.result.threads.append(thread)
        else:
            self.dropped["threads"] += 1
        self._stack_lines(thread if kept else None)

    def _id_line(self, label: str, thread_id: str) -> None:
        line = self.lines.take(f'"{label}: {thread_id}"')
        if line != f"{label}: {thread_id}":
            raise _Problem(self.lines.number, f'"{label}: {thread_id}"', line)

    def _stack_lines(self, thread: Optional[Thread]) -> None:
        expected_address = None
        dropped = False
        exempt = 0
        if thread is not None and thread.crashed and not self.crashed_stack_seen:
            self.crashed_stack_seen = True
            exempt = MAX_CRASHED_STACK_WORDS
        while True:
            line = self.lines.peek()
            if line is None or line == "":
                break
            self.lines.take("")
            if thread is None or (exempt == 0 and self.stack_words >= MAX_STACK_WORDS):
                # Past the bounds: skipped unread, as reading costs the most.
                dropped = thread is not None
                continue
            address, words = self._stack_line(line)
            if expected_address is not None and address != expected_address:
                raise _Problem(
                    self.lines.number,
                    f"the stack line of address {self.arch.hex(expected_address)}", line
                )
            expected_address = (address + 16) % self.arch.address_limit
            if thread is None:
                continue
            if exempt >= len(words):
                exempt -= len(words)
            elif self.stack_words + len(words) > MAX_STACK_WORDS:
                dropped = True
                continue
            self.stack_words += len(words)
            thread.stack.append(
                StackLine(address, [StackWord(int(word[1:], 16), word[0] == ">") for word in words],
                          self.arch.digits)
            )
        if dropped:
            self.stacks_dropped += 1

    def _stack_line(self, line: str) -> Tuple[int, List[str]]:
        """The address and the words of a stack line, each word as its mark
        (" " or ">") and its hex digits: numbers only for the words kept."""
        # "ADDRESS " then a slot per word of the line's 16 bytes (a mark and
        # the word and a blank, or as many blanks), then " " and the text
        # column: four slots of 10 characters in an x86 log, two of 18 in an
        # x86-64 log.
        digits, word_bytes = self.arch.digits, self.arch.word_bytes
        slots, width = 16 // word_bytes, digits + 2
        text_at = digits + 1 + slots * width  # the blank before the text column
        problem = _Problem(
            self.lines.number, f"a stack line (address, {SLOT_COUNTS[slots]} words, text)", line
        )
        hex_pattern = HEX_DIGITS[digits]
        if len(line) <= text_at or line[digits] != " " or line[text_at] != " ":
            raise problem
        if not hex_pattern.fullmatch(line[:digits]):
            raise problem
        address = int(line[:digits], 16)
        words = []
        ended = False
        for slot in range(slots):
            text = line[digits + 1 + slot * width : digits + 1 + (slot + 1) * width]
            if text == " " * width:
                ended = True
                continue
            if (ended or text[0] not in " >" or text[-1] != " "
                    or not hex_pattern.fullmatch(text[1:-1])):
                raise problem
            words.append(text[:-1])
        if not words or len(line) - text_at - 1 != len(words) * word_bytes:
            raise problem
        return address, words

    def _modules(self) -> None:
        while True:
            line = self.lines.peek()
            if line is None or line == "":
                return
            self.lines.take("")
            match = MODULE_LINES[self.arch.name].match(line)
            if match is None:
                raise _Problem(
                    self.lines.number, "a module line (name, version, Base:, Size:, Timestamp:)",
                    line,
                )
            # The writer pads the name and the version to widths in bytes:
            # split the line's bytes, then read each field as text. What
            # follows them (" Base: ...") is ASCII: as many bytes as characters.
            raw = self.lines.last_bytes
            name, version = _split_module_left(raw[: len(raw) - (len(line) - match.end("left"))])
            if len(self.result.modules) >= MAX_MODULES:
                self.dropped["modules"] += 1
                continue
            self.result.modules.append(
                Module(
                    name=_text(name),
                    version=_text(version),
                    base=int(match["base"], 16),
                    size=int(match["size"], 16),
                    timestamp=int(match["timestamp"], 16),
                    digits=self.arch.digits,
                )
            )

    def _memory_dumps(self) -> None:
        current = None
        expected_address = None
        while True:
            line = self.lines.peek()
            if line is None or line == "Crash Logger:":
                return
            if line == "":
                self.lines.take("")
                current = None
                continue
            self.lines.take("")
            if self.dumps_capped:
                self._count_dump_line(line, current is None)
                current = True
                continue
            address, data = self._dump_line(line)
            if current is None or address != expected_address:
                current = None
                self.dump_ranges_seen += 1
            self.dump_bytes_seen += len(data)
            expected_address = (address + len(data)) % self.arch.address_limit
            if self.dump_bytes + len(data) > MAX_DUMP_BYTES or (
                current is None and len(self.result.memory_dumps) >= MAX_MEMORY_DUMPS
            ):
                self.dumps_capped = True
                current = True  # the rest of this range is counted with it
                continue
            self.dump_bytes += len(data)
            if current is None:
                # Grows line by line; bytes once the parse is done.
                current = MemoryDump(address, bytearray(), self.arch.digits)
                self.result.memory_dumps.append(current)
            current.data += data

    def _count_dump_line(self, line: str, starts_range: bool) -> None:
        """Counts a dump line past a bound by its length alone."""
        text_column = DUMP_LAYOUTS[self.arch.name][1]
        self.dump_bytes_seen += max(0, min(16, len(line) - text_column))
        if starts_range:
            self.dump_ranges_seen += 1

    def _dump_line(self, line: str) -> Tuple[int, bytes]:
        problem = _Problem(self.lines.number, "a memory dump line (address, 1 to 16 bytes, text)",
                           line)
        digits = self.arch.digits
        columns, text_column = DUMP_LAYOUTS[self.arch.name]
        if len(line) < text_column or not HEX_DIGITS[digits].fullmatch(line[:digits]):
            raise problem
        data = bytearray()
        for column in columns:
            text = line[column : column + 2]
            separator = line[column - 1]
            if separator != " ":
                raise problem
            if text == "  ":
                break
            if not HEX_BYTE.match(text):
                raise problem
            data.append(int(text, 16))
        if not data or line[text_column - 1] != " " or len(line) != text_column + len(data):
            raise problem
        return int(line[:digits], 16), bytes(data)

    def _crash_logger(self) -> None:
        while True:
            line = self.lines.peek()
            if line is None:
                return
            self.lines.take("")
            if len(self.result.crash_logger) < MAX_LOGGER_LINES:
                self.result.crash_logger.append(_clip(line))
            else:
                self.dropped["crash_logger"] += 1


def _split_module_left(left: bytes) -> Tuple[str, str]:
    """The name and the version of a module line's bytes before " Base:": the
    name left-aligned in 26 bytes, a blank, the version in 46 (UTF-8 counted
    in bytes, as the writer pads it)."""
    if len(left) >= 73 and left[-47:-46] == b" ":
        name, version = left[:-47].rstrip(b" "), left[-46:].strip(b" ")
    # A version longer than its column: the name is cut at its column when
    # it fits there, else at the first blank after it.
    elif len(left) > 27 and left[26:27] == b" ":
        name, version = left[:26].rstrip(b" "), left[27:].strip(b" ")
    else:
        name, _, version = left.partition(b" ")
        version = version.strip(b" ")
    return name.decode("utf-8", errors="replace"), version.decode("utf-8", errors="replace")


def _freeze_dumps(result: CrashLog) -> None:
    for dump in result.memory_dumps:
        dump.data = bytes(dump.data)


def parse_lines(source: Iterable[Tuple[int, bytes, bool, bool]]) -> CrashLog:
    """Parses a crash log from (number, bytes, had_end, cut) lines. Raises
    NotACrashLog when the first line is not a crash log's."""
    lines = _Lines(source)
    if lines.peek() is None:
        if lines.source_error:
            raise NotACrashLog(lines.source_error)
        raise NotACrashLog("not a crash log: the file is empty")
    result = _Parser(lines).parse()
    _freeze_dumps(result)
    return result


def parse_bytes(data: bytes) -> CrashLog:
    """Parses a whole crash log held in memory (for tests and small logs)."""
    import io

    return parse_lines(LineSource(io.BytesIO(data), "<bytes>"))


def parse_file(path: str) -> CrashLog:
    """Parses a crash log or the archive that holds it. Raises SourceError or
    NotACrashLog with a message for a person."""
    with open_source(path) as source:
        result = parse_lines(source)
        if source.cut_short:
            if result.truncated is None:
                result.truncated = Truncation(None, "more lines")
            result.truncated.reason = source.cut_short
        return result
