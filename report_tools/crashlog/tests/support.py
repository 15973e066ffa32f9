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
) -> bytes:
    """A crash log in the writer's layout, with one crashed thread."""
    values = dict(EAX=0, EBX=0, ECX=0, EDX=0, ESI=0, EDI=0, EBP=0, ESP=stack[0],
                  EIP=address, FLAGS=0x246)
    values.update(registers or {})
    tid = 0x1A4
    out = [f"TAVRA-CRASHLOG V1 desktop {version} {build} windows  release",
           f"{main[0]} caused exception {code} at address {address:08X} (Base: {main[1]:08X})"]
    if metadata:
        out += ["", "metadata:"] + [f'{k}="{v}"' for k, v in metadata]
    words = stack[1]
    out += ["", f"Thread: {tid:08X}", "", f"ThreadInfo: {tid:08X}", "Priority=00000000",
            "Crashed=1", "checked_context_values=9 (all)",
            f"checked_stack_values={len(words)} (all)", "", f"Registers: {tid:08X}",
            "EAX=%(EAX)08X   EBX=%(EBX)08X   ECX=%(ECX)08X   EDX=%(EDX)08X   ESI=%(ESI)08X"
            % values,
            "EDI=%(EDI)08X   EBP=%(EBP)08X   ESP=%(ESP)08X   EIP=%(EIP)08X FLAGS=%(FLAGS)08X"
            % values,
            "CS=001B   DS=0023   SS=0023   ES=0023   FS=003B   GS=0000", "",
            f"FPU stack: {tid:08X}",
            " ".join(["0" * 20] * 3), " ".join(["0" * 20] * 3),
            " ".join(["0" * 20] * 2) + " SW=0000 CW=027F", "", f"Stack dump: {tid:08X}"]
    out += stack_lines(stack[0], words, stack[2])
    out += ["", "Used DLLs:"]
    for name, version_text, base, size in modules:
        out.append(f"{name:<26} {version_text:<46} Base: {base:08X} Size: {size:08X} "
                   f"Timestamp: 5F000000")
    out += ["", "Memory dumps:"]
    for index, (dump_address, data) in enumerate(dumps):
        if index:
            out.append("")
        out += dump_lines(dump_address, data)
    if logger:
        out += ["", "Crash Logger:"] + list(logger)
    return (newline.join(out) + newline).encode("utf-8")
