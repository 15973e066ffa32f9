"""Helpers of the reader's tests: the fixture logs, hand-made logs in the
writer's exact layout, and running the command line."""

import io
import os
import subprocess
import zipfile
from typing import Dict, List, Optional, Sequence, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
REPORT_TOOLS = os.path.dirname(os.path.dirname(HERE))


def data_path(name: str) -> str:
    return os.path.join(DATA, name)


def read_data(name: str) -> bytes:
    with open(data_path(name), "rb") as f:
        return f.read()


def run_cli(*arguments: str, timeout: float = 120.0,
            cwd: Optional[str] = None) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=REPORT_TOOLS, PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run(
        ["/usr/bin/python3", "-m", "crashlog", *arguments],
        capture_output=True, text=True, timeout=timeout, env=env, cwd=cwd,
    )


def zip_of(entries: Sequence[Tuple[str, bytes]]) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries:
            archive.writestr(name, data)
    return buffer.getvalue()


def stack_lines(address: int, words: List[int], marks=(), word_bytes: int = 4) -> List[str]:
    """Stack dump lines as the writer lays them out (4-byte words in an x86
    log, 8-byte words in an x86-64 log)."""
    lines = []
    digits, slots = 2 * word_bytes, 16 // word_bytes
    for start in range(0, len(words), slots):
        # The writer's addresses are of its width: past the top they wrap.
        text = f"{(address + start * word_bytes) % (1 << (8 * word_bytes)):0{digits}X} "
        chunk = words[start : start + slots]
        for i in range(slots):
            if i < len(chunk):
                mark = ">" if start + i in marks else " "
                text += f"{mark}{chunk[i]:0{digits}X} "
            else:
                text += " " * (digits + 2)
        data = b"".join(w.to_bytes(word_bytes, "little") for w in chunk)
        text += " " + "".join(chr(b) if 0x20 <= b <= 0x7E else "." for b in data)
        lines.append(text)
    return lines


def dump_lines(address: int, data: bytes, digits: int = 8) -> List[str]:
    lines = []
    for start in range(0, len(data), 16):
        chunk = data[start : start + 16]
        text = f"{address + start:0{digits}X}"
        for i in range(16):
            text += " " + (" " if i % 4 == 0 else "")
            text += f"{chunk[i]:02X}" if i < len(chunk) else "  "
        text += " " + "".join(chr(b) if 0x20 <= b <= 0x7E else "." for b in chunk)
        lines.append(text)
    return lines


X86_REGISTER_LINES = (
    "EAX=%(EAX)08X   EBX=%(EBX)08X   ECX=%(ECX)08X   EDX=%(EDX)08X   ESI=%(ESI)08X",
    "EDI=%(EDI)08X   EBP=%(EBP)08X   ESP=%(ESP)08X   EIP=%(EIP)08X FLAGS=%(FLAGS)08X",
    "CS=001B   DS=0023   SS=0023   ES=0023   FS=003B   GS=0000",
)
X86_64_REGISTER_LINES = (
    "RAX=%(RAX)016X   RBX=%(RBX)016X   RCX=%(RCX)016X   RDX=%(RDX)016X",
    "RSI=%(RSI)016X   RDI=%(RDI)016X   RBP=%(RBP)016X   RSP=%(RSP)016X",
    "R8=%(R8)016X    R9=%(R9)016X    R10=%(R10)016X   R11=%(R11)016X",
    "R12=%(R12)016X   R13=%(R13)016X   R14=%(R14)016X   R15=%(R15)016X",
    "RIP=%(RIP)016X FLAGS=%(FLAGS)08X",
    "CS=0033   DS=002B   SS=002B   ES=002B   FS=0053   GS=002B",
)
# Per layout: the register lines, the general registers (all 0 but the
# pointers by default), the instruction, stack and frame pointers, the
# count of registers checked, and the bytes of a stack word.
LAYOUTS = {
    "x86": (X86_REGISTER_LINES, ("EAX", "EBX", "ECX", "EDX", "ESI", "EDI"),
            ("EIP", "ESP", "EBP"), 9, 4),
    "x86-64": (X86_64_REGISTER_LINES,
               ("RAX", "RBX", "RCX", "RDX", "RSI", "RDI") + tuple(f"R{n}" for n in range(8, 16)),
               ("RIP", "RSP", "RBP"), 17, 8),
}


def thread_lines(tid: int, crashed: bool, values: Dict[str, int],
                 stack: Tuple[int, List[int], Sequence[int]], layout: str = "x86") -> List[str]:
    words = stack[1]
    register_lines, _, _, checked, word_bytes = LAYOUTS[layout]
    out = ["", f"Thread: {tid:08X}", "", f"ThreadInfo: {tid:08X}", "Priority=00000000",
           f"Crashed={int(crashed)}", f"checked_context_values={checked} (all)",
           f"checked_stack_values={len(words)} (all)", "", f"Registers: {tid:08X}"]
    out += [line % values for line in register_lines]
    out += ["", f"FPU stack: {tid:08X}",
            " ".join(["0" * 20] * 3), " ".join(["0" * 20] * 3),
            " ".join(["0" * 20] * 2) + " SW=0000 CW=027F", "", f"Stack dump: {tid:08X}"]
    return out + stack_lines(stack[0], words, stack[2], word_bytes)


def padded(text: str, width: int) -> str:
    """`text` with blanks up to `width` UTF-8 bytes, as the writer pads."""
    return text + " " * max(0, width - len(text.encode("utf-8")))


def make_log(
    *,
    code: str = "C0000005",
    address: int = 0x00401010,
    main: Tuple[str, int] = ("tavra.exe", 0x00400000),
    modules: Sequence[Tuple[str, str, int, int]] = (
        ("tavra.exe", "1.2.3.4", 0x00400000, 0x00100000),
        ("helper lib.dll", "", 0x10000000, 0x00020000),
    ),
    metadata: Sequence[Tuple[str, str]] = (("ptype", "renderer"),),
    registers: Optional[Dict[str, int]] = None,
    stack: Tuple[int, List[int], Sequence[int]] = (0x0012FF00, [0] * 8, ()),
    dumps: Sequence[Tuple[int, bytes]] = (),
    logger: Sequence[str] = (),
    version: str = "1.2.3.4",
    build: str = "5678",
    newline: str = "\r\n",
    other_threads: Sequence[Tuple[int, Dict[str, int], Tuple[int, List[int], Sequence[int]]]] = (),
    architecture: Optional[str] = None,
    layout: Optional[str] = None,
) -> bytes:
    """A crash log in the writer's layout, with one crashed thread and
    `other_threads` (id, registers, stack) before it. `architecture` is
    written on the "Architecture:" line (none without it, as in older logs);
    `layout` (by default "x86-64" for an x86-64 log, else "x86") lays out
    the addresses, registers and stack words, whose names are then the
    layout's (RIP, RSP, RBP ... in x86-64)."""
    layout = layout or ("x86-64" if architecture == "x86-64" else "x86")
    _, general, (ip, sp, fp), _, word_bytes = LAYOUTS[layout]
    digits = 2 * word_bytes
    values = dict.fromkeys(general, 0)
    values.update({fp: 0, sp: stack[0], ip: address, "FLAGS": 0x246})
    values.update(registers or {})
    tid = 0x1A4
    out = [f"TAVRA-CRASHLOG V1 desktop {version} {build} windows  release",
           f"{main[0]} caused exception {code} at address {address:0{digits}X} "
           f"(Base: {main[1]:0{digits}X})"]
    if architecture is not None:
        out.append(f"Architecture: {architecture}")
    if metadata:
        out += ["", "metadata:"] + [f'{k}="{v}"' for k, v in metadata]
    # Other threads come before the crashed one, which need not be first.
    for other_id, other_registers, other_stack in other_threads:
        other_values = dict(values, **{fp: 0, sp: other_stack[0]})
        other_values.update(other_registers)
        out += thread_lines(other_id, False, other_values, other_stack, layout)
    out += thread_lines(tid, True, values, stack, layout)
    out += ["", "Used DLLs:"]
    for name, version_text, base, size in modules:
        out.append(f"{padded(name, 26)} {padded(version_text, 46)} Base: {base:0{digits}X} "
                   f"Size: {size:08X} Timestamp: 5F000000")
    out += ["", "Memory dumps:"]
    for index, (dump_address, data) in enumerate(dumps):
        if index:
            out.append("")
        out += dump_lines(dump_address, data, digits)
    if logger:
        out += ["", "Crash Logger:"] + list(logger)
    return (newline.join(out) + newline).encode("utf-8")


# The 7 bytes before a return address for each way of calling: the call
# instruction at their end (an operand of 0x11223344 where one is needed).
CALL_FORMS = {
    "call reg": "9090909090 FFD0",  # call eax
    "call [reg]": "9090909090 FF10",  # call [eax]
    "call [reg+disp8]": "90909090 FF5008",  # call [eax+8]
    "call [sib]": "90909090 FF1424",  # call [esp]
    "call [sib+disp8]": "909090 FF542408",  # call [esp+8]
    "call [disp32]": "90 FF1544332211",  # call [11223344]
    "call [reg+disp32]": "90 FF9044332211",  # call [eax+11223344]
    "call [sib+disp32]": "FF942444332211",  # call [esp+11223344]
    "call [index*4+disp32]": "FF148544332211",  # call [eax*4+11223344]
}


def call_code(return_address: int, form: str = "direct", target: int = 0,
              count: int = 7) -> Tuple[int, bytes]:
    """A memory dump of the `count` bytes (7, or 8 for x86-64 code) before
    `return_address` that end in a call: a direct call to `target`, or one
    of CALL_FORMS (after a 90 in x86-64 code)."""
    if form == "direct":
        relative = (target - return_address) & 0xFFFFFFFF
        code = b"\x90" * (count - 5) + b"\xE8" + relative.to_bytes(4, "little")
    else:
        code = bytes.fromhex(CALL_FORMS.get(form, form))
        code = b"\x90" * (count - len(code)) + code
    assert len(code) == count
    return return_address - count, code
