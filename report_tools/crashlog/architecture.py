"""What differs between the crash logs of the two reporters: the 32-bit one
writes x86 logs, the 64-bit one x86-64 logs. Word width, the digits of an
address, the register block's lines and the names of the instruction, stack
and frame pointers are all that differ; everything else of a log reads the
same.

A log names its architecture on the line after the exception line
("Architecture: x86" or "Architecture: x86-64"); a log without that line was
written before there were two, and is x86.

Threads: none of its own; constants.
"""

import re
from dataclasses import dataclass
from typing import Dict, Optional, Tuple


def _register_line(template: str) -> Tuple[Tuple[str, ...], "re.Pattern"]:
    """The names and the pattern of one line of the register block, from
    the line as the writer lays it out: "NAME=@8" for 8 hex digits, "@16"
    for 16, "@s" for a segment register (4 digits, more when its value has
    more)."""
    names, pattern, at = [], "^", 0
    for match in re.finditer(r"(\w+)=@(\d+|s)", template):
        pattern += re.escape(template[at : match.start()]) + re.escape(match.group(1) + "=")
        digits = match.group(2)
        pattern += "([0-9A-F]{4,8})" if digits == "s" else f"([0-9A-F]{{{digits}}})"
        names.append(match.group(1))
        at = match.end()
    return tuple(names), re.compile(pattern + re.escape(template[at:]) + "$")


@dataclass(frozen=True)
class Architecture:
    name: str  # as the "Architecture:" line writes it
    word_bytes: int  # of a stack word, and of an address
    instruction_pointer: str
    stack_pointer: str
    frame_pointer: str
    # The register block's lines, as the writer lays them out.
    register_templates: Tuple[str, ...]

    @property
    def digits(self) -> int:
        """Hex digits of an address (and a stack word) in the log."""
        return 2 * self.word_bytes

    @property
    def address_limit(self) -> int:
        """One past the highest address."""
        return 1 << (8 * self.word_bytes)

    @property
    def register_lines(self) -> Tuple[Tuple[Tuple[str, ...], "re.Pattern"], ...]:
        return _LINES[self.name]

    @property
    def register_names(self) -> Tuple[str, ...]:
        return tuple(name for names, _ in self.register_lines for name in names)

    def hex(self, value: int) -> str:
        """An address or a stack word as the log writes it."""
        return f"{value:0{self.digits}X}"


X86 = Architecture(
    "x86", 4, "EIP", "ESP", "EBP",
    (
        "EAX=@8   EBX=@8   ECX=@8   EDX=@8   ESI=@8",
        "EDI=@8   EBP=@8   ESP=@8   EIP=@8 FLAGS=@8",
        "CS=@s   DS=@s   SS=@s   ES=@s   FS=@s   GS=@s",
    ),
)
X86_64 = Architecture(
    "x86-64", 8, "RIP", "RSP", "RBP",
    (
        "RAX=@16   RBX=@16   RCX=@16   RDX=@16",
        "RSI=@16   RDI=@16   RBP=@16   RSP=@16",
        "R8=@16    R9=@16    R10=@16   R11=@16",
        "R12=@16   R13=@16   R14=@16   R15=@16",
        "RIP=@16 FLAGS=@8",
        "CS=@s   DS=@s   SS=@s   ES=@s   FS=@s   GS=@s",
    ),
)
ARCHITECTURES: Dict[str, Architecture] = {a.name: a for a in (X86, X86_64)}
_LINES = {a.name: tuple(_register_line(t) for t in a.register_templates) for a in (X86, X86_64)}
# What a log without the "Architecture:" line is: every log of the time
# before the 64-bit reporter.
UNNAMED = X86
ARCHITECTURE_PREFIX = "Architecture: "


def by_name(name: Optional[str]) -> Optional[Architecture]:
    return ARCHITECTURES.get(name) if name is not None else None


def by_digits(digits: int) -> Architecture:
    """The architecture whose addresses have `digits` hex digits."""
    return X86_64 if digits == X86_64.digits else X86
