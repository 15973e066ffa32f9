"""What a parsed crash log says to a person: the exception by name, the
module and offset of the crash, the crashed thread's frame chain, and a crash
signature that stays the same wherever the modules were loaded.

Threads: none of its own; pure functions of a parsed log.
"""

import hashlib
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

from . import x86_access
from .log_model import CrashLog, Module, Thread, hex8, shown

# Frames walked at most, and frames that make a signature.
MAX_FRAMES = 64
SIGNATURE_FRAMES = 5

EXCEPTION_NAMES = {
    0xC0000005: "access violation",
    0xC0000006: "in-page error",
    0xC000001D: "illegal instruction",
    0xC0000025: "non-continuable exception",
    0xC000008C: "array bounds exceeded",
    0xC000008D: "floating-point denormal operand",
    0xC000008E: "floating-point division by zero",
    0xC000008F: "floating-point inexact result",
    0xC0000090: "floating-point invalid operation",
    0xC0000091: "floating-point overflow",
    0xC0000092: "floating-point stack check",
    0xC0000093: "floating-point underflow",
    0xC0000094: "integer division by zero",
    0xC0000095: "integer overflow",
    0xC0000096: "privileged instruction",
    0xC00000FD: "stack overflow",
    0xC0000374: "heap corruption",
    0xC0000409: "stack buffer overrun",
    0xC0000417: "invalid parameter passed to a C runtime function",
    0x80000001: "guard page violation",
    0x80000002: "datatype misalignment",
    0x80000003: "breakpoint",
    0x80000004: "single step",
    0xE06D7363: "C++ exception",
}


@dataclass(frozen=True)
class Frame:
    address: int
    module: Optional[Module]
    # How the frame was found: "instruction pointer", "frame pointer" (the
    # return address above a saved frame pointer), "stack top" (the word at
    # the stack pointer, when the instruction pointer is in no module).
    found_by: str
    # Whether the saved frame pointer below the return address carries the
    # writer's '>' mark.
    marked: bool = False

    @property
    def offset(self) -> Optional[int]:
        return None if self.module is None else self.address - self.module.base

    def location(self) -> str:
        """module+0xOFFSET, or the bare address in no module."""
        if self.module is None:
            return f"0x{self.address:08x}"
        return f"{shown(self.module.name)}+0x{self.offset:x}"


def exception_code(log: CrashLog) -> Optional[int]:
    code = log.exception.code if log.exception is not None else None
    if code is None or not all(c in "0123456789ABCDEFabcdef" for c in code) or len(code) > 8:
        return None
    return int(code, 16)


def exception_name(code: Optional[int]) -> Optional[str]:
    return None if code is None else EXCEPTION_NAMES.get(code)


def module_at(modules: List[Module], address: int) -> Optional[Module]:
    for module in modules:
        if module.holds(address):
            return module
    return None


def crashed_thread(log: CrashLog) -> Optional[Thread]:
    for thread in log.threads:
        if thread.crashed:
            return thread
    return None


def frame_chain(log: CrashLog, thread: Optional[Thread] = None) -> List[Frame]:
    """The frames of a thread (the crashed one by default): its instruction
    pointer, then the return address above each saved frame pointer, from
    EBP on, as long as both words are in the dumped stack and the chain
    climbs. Bounded to MAX_FRAMES."""
    thread = thread if thread is not None else crashed_thread(log)
    if thread is None:
        return []
    modules = log.modules
    eip, ebp, esp = thread.register("EIP"), thread.register("EBP"), thread.register("ESP")
    if eip is None:
        return []
    words: Dict[int, Tuple[int, bool]] = {}
    for address, (value, marked) in thread.stack_words():
        words[address] = (value, marked)

    frames = [Frame(eip, module_at(modules, eip), "instruction pointer")]
    # A call through a bad pointer leaves the instruction pointer in no
    # module; the caller's return address is then at the stack pointer.
    if frames[0].module is None and esp in words:
        top = words[esp][0]
        if module_at(modules, top) is not None:
            frames.append(Frame(top, module_at(modules, top), "stack top"))

    frame_pointer = ebp
    if frame_pointer is None or frame_pointer not in words:
        frame_pointer = _first_mark(words)
    while frame_pointer is not None and len(frames) < MAX_FRAMES:
        if frame_pointer % 4 or frame_pointer not in words or frame_pointer + 4 not in words:
            break
        saved, marked = words[frame_pointer]
        return_address = words[frame_pointer + 4][0]
        if return_address == 0:
            break
        frames.append(
            Frame(return_address, module_at(modules, return_address), "frame pointer", marked)
        )
        if saved <= frame_pointer:
            break
        frame_pointer = saved
    return frames


def _first_mark(words: Dict[int, Tuple[int, bool]]) -> Optional[int]:
    """The lowest stack word that the writer marked as a saved frame
    pointer: where the chain starts when EBP itself is not in the dump."""
    marked = [address for address, (_, mark) in words.items() if mark]
    return min(marked) if marked else None


def crash_location(log: CrashLog) -> Tuple[Optional[int], Optional[Module]]:
    if log.exception is None:
        return None, None
    address = log.exception.address
    return address, module_at(log.modules, address)


def describe_exception(log: CrashLog) -> str:
    """The exception in words, with only what the log shows."""
    code_text = log.exception.code if log.exception is not None else "?"
    code = exception_code(log)
    name = exception_name(code)
    if name is None:
        return f"exception {shown(code_text)}"
    text = f"{name} ({code:08X})"
    if code == 0xC0000005:
        access = derive_access(log)
        if access is not None:
            text += f": {access}"
        else:
            text += " (the log does not say whether it was a read, a write or an execution)"
    return text


def derive_access(log: CrashLog) -> Optional[str]:
    """A phrase such as "write to address 00000010 (derived from the
    instruction at the crash address: C7 00 5A 5A 5A 5A)", or None.

    The log carries no access type, but it does carry the crashed thread's
    registers and the code bytes around its instruction pointer (the writer
    dumps 16 bytes on each side of a value that points into a module's
    code): the faulting instruction tells the rest."""
    thread = crashed_thread(log)
    if thread is None or log.exception is None:
        return None
    crash_address = log.exception.address
    registers = thread.register_values()
    if registers is None or registers.get("EIP") != crash_address:
        return None
    if module_at(log.modules, crash_address) is None:
        return (
            f"execution at address {crash_address:08X}, which is in no module "
            "(the instruction pointer itself was bad)"
        )
    code = log.code_bytes(crash_address, x86_access.MAX_INSTRUCTION)
    decoded = x86_access.decode_access(code, registers)
    if decoded is None:
        return None
    access, address = decoded
    shown = " ".join(f"{b:02X}" for b in code[:8])
    what = "read from" if access == "read" else "write to"
    where = f"address {address:08X}" if address is not None else "an address the log cannot give"
    return f"{what} {where} (derived from the instruction at the crash address: {shown})"


def signature(log: CrashLog) -> Tuple[str, str]:
    """(text, short hash): the exception code and the top frames as
    module+offset, so that the same crash gives the same signature whatever
    the load addresses."""
    code = exception_code(log)
    head = f"{code:08X}" if code is not None else shown(
        log.exception.code if log.exception is not None else "?"
    )
    frames = frame_chain(log)[:SIGNATURE_FRAMES]
    if not frames:
        address, module = crash_location(log)
        if address is not None:
            frames = [Frame(address, module, "exception address")]
    parts = [head] + [_signature_part(frame) for frame in frames]
    text = " | ".join(parts[:1]) + (" " + " | ".join(parts[1:]) if len(parts) > 1 else "")
    digest = hashlib.sha256(text.encode("utf-8", errors="replace")).hexdigest()[:12]
    return text, digest


def _signature_part(frame: Frame) -> str:
    # An address in no module depends on where things were loaded; only that
    # it was in no module is stable.
    return frame.location() if frame.module is not None else "???"


def summary_lines(log: CrashLog, symbols=None) -> List[str]:
    """A few lines for a person. `symbols` maps a Frame to a description
    (function, file and line) or None."""
    lines = []
    lines.append(
        f"Product: version {shown(log.version or '?')}, build {shown(log.build or '?')}"
    )
    lines.append(f"Crash: {describe_exception(log)}")
    address, module = crash_location(log)
    if address is not None:
        where = (
            f"{shown(module.name)}+0x{address - module.base:x}"
            if module is not None
            else "no module of the list"
        )
        lines.append(f"At: {address:08X} in {where} (process {shown(log.exception.module)})")
    thread = crashed_thread(log)
    if thread is not None:
        lines.append(f"Crashed thread: {hex8(thread.id)}")
    frames = frame_chain(log)
    if frames:
        lines.append("Frames:")
        for index, frame in enumerate(frames):
            text = f"  #{index:<2} {frame.address:08X} {frame.location()}"
            described = symbols(frame) if symbols is not None else None
            if described:
                text += f"  {described}"
            if frame.found_by != "frame pointer":
                text += f"  ({frame.found_by})"
            lines.append(text)
    text, digest = signature(log)
    lines.append(f"Signature: {text} [{digest}]")
    truncated = log.truncated
    if truncated:
        lines.append(
            f"The log is cut off after line {truncated.line}: "
            f"{truncated.expected} was expected"
            + (f" ({truncated.reason})" if truncated.reason else "")
        )
    if log.problems:
        first = log.problems[0]
        lines.append(
            f"{len(log.problems)} damaged part(s); the first at line {first.line}: "
            f"expected {first.expected}"
        )
    return lines
