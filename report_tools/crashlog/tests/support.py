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


def stack_lines(address: int, words: List[int], marks=()) -> List[str]:
    """Stack dump lines as the writer lays them out."""
    lines = []
    for start in range(0, len(words), 4):
        text = f"{address + start * 4:08X} "
        chunk = words[start : start + 4]
        for i in range(4):
            if i < len(chunk):
                mark = ">" if start + i in marks else " "
                text += f"{mark}{chunk[i]:08X} "
            else:
                text += " " * 10
        data = b"".join(w.to_bytes(4, "little") for w in chunk)
        text += " " + "".join(chr(b) if 0x20 <= b <= 0x7E else "." for b in data)
        lines.append(text)
    return lines


def dump_lines(address: int, data: bytes) -> List[str]:
    lines = []
    for start in range(0, len(data), 16):
        chunk = data[start : start + 16]
        text = f"{address + start:08X}"
        for i in range(16):
            text += " " + (" " if i % 4 == 0 else "")
            text += f"{chunk[i]:02X}" if i < len(chunk) else "  "
        text += " " + "".join(chr(b) if 0x20 <= b <= 0x7E else "." for b in chunk)
        lines.append(text)
    return lines


def thread_lines(tid: int, crashed: bool, values: Dict[str, int],
                 stack: Tuple[int, List[int], Sequence[int]]) -> List[str]:
    words = stack[1]
    out = ["", f"Thread: {tid:08X}", "", f"ThreadInfo: {tid:08X}", "Priority=00000000",
           f"Crashed={int(crashed)}", "checked_context_values=9 (all)",
           f"checked_stack_values={len(words)} (all)", "", f"Registers: {tid:08X}",
           "EAX=%(EAX)08X   EBX=%(EBX)08X   ECX=%(ECX)08X   EDX=%(EDX)08X   ESI=%(ESI)08X"
           % values,
           "EDI=%(EDI)08X   EBP=%(EBP)08X   ESP=%(ESP)08X   EIP=%(EIP)08X FLAGS=%(FLAGS)08X"
           % values,
           "CS=001B   DS=0023   SS=0023   ES=0023   FS=003B   GS=0000", "",
           f"FPU stack: {tid:08X}",
           " ".join(["0" * 20] * 3), " ".join(["0" * 20] * 3),
           " ".join(["0" * 20] * 2) + " SW=0000 CW=027F", "", f"Stack dump: {tid:08X}"]
    return out + stack_lines(stack[0], words, stack[2])


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
) -> bytes:
    """A crash log in the writer's layout, with one crashed thread and
    `other_threads` (id, registers, stack) before it."""
    values = dict(EAX=0, EBX=0, ECX=0, EDX=0, ESI=0, EDI=0, EBP=0, ESP=stack[0],
                  EIP=address, FLAGS=0x246)
    values.update(registers or {})
    tid = 0x1A4
    out = [f"TAVRA-CRASHLOG V1 desktop {version} {build} windows  release",
           f"{main[0]} caused exception {code} at address {address:08X} (Base: {main[1]:08X})"]
    if metadata:
        out += ["", "metadata:"] + [f'{k}="{v}"' for k, v in metadata]
    # Other threads come before the crashed one, which need not be first.
    for other_id, other_registers, other_stack in other_threads:
        other_values = dict(values, EBP=0, ESP=other_stack[0])
        other_values.update(other_registers)
        out += thread_lines(other_id, False, other_values, other_stack)
    out += thread_lines(tid, True, values, stack)
    out += ["", "Used DLLs:"]
    for name, version_text, base, size in modules:
        out.append(f"{padded(name, 26)} {padded(version_text, 46)} Base: {base:08X} "
                   f"Size: {size:08X} Timestamp: 5F000000")
    out += ["", "Memory dumps:"]
    for index, (dump_address, data) in enumerate(dumps):
        if index:
            out.append("")
        out += dump_lines(dump_address, data)
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


def call_code(return_address: int, form: str = "direct", target: int = 0) -> Tuple[int, bytes]:
    """A memory dump of the 7 bytes before `return_address` that end in a
    call: a direct call to `target`, or one of CALL_FORMS."""
    if form == "direct":
        relative = (target - return_address) & 0xFFFFFFFF
        code = b"\x90\x90\xE8" + relative.to_bytes(4, "little")
    else:
        code = bytes.fromhex(CALL_FORMS.get(form, form))
    assert len(code) == 7
    return return_address - 7, code
