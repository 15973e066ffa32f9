"""What a parsed crash log says to a person: the exception by name, the
module and offset of the crash, the frames of its threads (stack_walk), and a
crash signature that stays the same wherever the modules were loaded and
whatever the system's own DLLs did.

Threads: none of its own; pure functions of a parsed log.
"""

import hashlib
from typing import Callable, List, Optional, Sequence, Tuple

from . import x86_access
from .architecture import UNNAMED
from .log_model import CrashLog, Module, Thread, hex8, shown
from .stack_walk import CodeBytes, Frame, ModuleMap, Walker, is_system_module

# Frames that make a signature at most.
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


def exception_code(log: CrashLog) -> Optional[int]:
    """The exception code when the log gives it as 1 to 8 hex digits."""
    code = log.exception.code if log.exception is not None else None
    if code is None or not 1 <= len(code) <= 8 or not all(c in "0123456789ABCDEFabcdef" for c in code):
        return None
    return int(code, 16)


def exception_name(code: Optional[int]) -> Optional[str]:
    return None if code is None else EXCEPTION_NAMES.get(code)


def module_at(modules: List[Module], address: int) -> Optional[Module]:
    """The first module in list order that holds `address`, as the walk
    finds it."""
    return ModuleMap(modules).at(address)


def crashed_thread(log: CrashLog) -> Optional[Thread]:
    for thread in log.threads:
        if thread.crashed:
            return thread
    return None


def frame_chain(
    log: CrashLog, thread: Optional[Thread] = None, code: Optional[CodeBytes] = None
) -> List[Frame]:
    """The frames of a thread (the crashed one by default), walked as the
    README's "Reading crash reports" says: bounded to stack_walk.MAX_FRAMES, each with
    how it was found. `code` gives the bytes before candidate return
    addresses (by default the log's memory dumps alone)."""
    thread = thread if thread is not None else crashed_thread(log)
    if thread is None:
        return []
    return Walker(log, code).walk(thread)


def threads_crashed_first(log: CrashLog) -> List[Thread]:
    """Every thread of the log, the crashed one first, the others in log
    order."""
    return sorted(log.threads, key=lambda thread: not thread.crashed)


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
    instruction at the crash address: C7 00 5A 5A 5A 5A)", or None; the
    instruction is decoded as the log's architecture runs it.

    The log carries no access type, but it does carry the crashed thread's
    registers and the code bytes around its instruction pointer (the writer
    dumps 16 bytes on each side of a value that points into a module's
    code): the faulting instruction tells the rest."""
    thread = crashed_thread(log)
    if thread is None or log.exception is None:
        return None
    crash_address = log.exception.address
    registers = thread.register_values()
    if registers is None or registers.get(log.arch.instruction_pointer) != crash_address:
        return None
    if module_at(log.modules, crash_address) is None:
        return (
            f"execution at address {log.address_text(crash_address)}, which is in no module "
            "(the instruction pointer itself was bad)"
        )
    code = log.code_bytes(crash_address, x86_access.MAX_INSTRUCTION)
    decoded = x86_access.decode_access(code, registers, log.arch)
    if decoded is None:
        return None
    access, address = decoded
    shown = " ".join(f"{b:02X}" for b in code[:8])
    what = "read from" if access == "read" else "write to"
    where = (f"address {log.address_text(address)}" if address is not None
             else "an address the log cannot give")
    return f"{what} {where} (derived from the instruction at the crash address: {shown})"


def signature_frames(log: CrashLog) -> List[Frame]:
    """The frames that sign a crash: the crashed thread's, from the log
    alone, without those in system modules (all of them when every frame is
    in one), the first SIGNATURE_FRAMES."""
    frames = frame_chain(log)
    product = [frame for frame in frames if not is_system_module(frame.module)]
    return (product or frames)[:SIGNATURE_FRAMES]


def signature(log: CrashLog) -> Tuple[str, str]:
    """(text, short hash): the exception code and the top frames as
    module+offset, so that the same crash gives the same signature whatever
    the load addresses and the system's DLLs (the README's "Reading crash
    reports" gives the rule; the reporter computes the same)."""
    code = exception_code(log)
    head = f"{code:08X}" if code is not None else shown(
        log.exception.code if log.exception is not None else "?"
    )
    frames = signature_frames(log)
    if not frames:
        address, module = crash_location(log)
        if address is not None:
            frames = [Frame(address, module, "exception address", log.arch.digits)]
    parts = [_signature_part(frame) for frame in frames]
    text = head + (" " + " | ".join(parts) if parts else "")
    digest = hashlib.sha256(text.encode("utf-8", errors="replace")).hexdigest()[:12]
    return text, digest


def _signature_part(frame: Frame) -> str:
    # An address in no module depends on where things were loaded; only that
    # it was in no module is stable.
    return frame.location() if frame.module is not None else "???"


def summary_lines(
    log: CrashLog,
    symbols: Optional[Callable[[Frame], Optional[str]]] = None,
    threads: Optional[Sequence[Tuple[Thread, List[Frame]]]] = None,
) -> List[str]:
    """A few lines for a person. `symbols` maps a Frame to a description
    (function, file and line) or None. `threads` are the (thread, frames)
    to show, the crashed one first; by default the crashed thread's."""
    lines = []
    # An x86 log says nothing of its architecture here, as before there were two.
    lines.append(
        f"Product: version {shown(log.version or '?')}, build {shown(log.build or '?')}"
        + ("" if log.arch is UNNAMED else f", {log.architecture}")
    )
    lines.append(f"Crash: {describe_exception(log)}")
    address, module = crash_location(log)
    if address is not None:
        where = (
            f"{shown(module.name)}+0x{address - module.base:x}"
            if module is not None
            else "no module of the list"
        )
        lines.append(
            f"At: {log.address_text(address)} in {where} (process {shown(log.exception.module)})"
        )
    thread = crashed_thread(log)
    if thread is not None:
        lines.append(f"Crashed thread: {hex8(thread.id)}")
    if threads is None:
        threads = [(thread, frame_chain(log, thread))] if thread is not None else []
    for shown_thread, frames in threads:
        if shown_thread is thread:
            if frames:
                lines.append("Frames:")
        else:
            lines.append(f"Thread {hex8(shown_thread.id)}:")
            if not frames:
                lines.append("  (no frames: the thread has no registers)")
        for index, frame in enumerate(frames):
            text = f"  #{index:<2} {frame.address_text()} {frame.location()}"
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
