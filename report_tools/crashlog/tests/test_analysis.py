"""Frames, signatures and what the summary says, on hand-made logs and on a
real log moved to other load addresses."""

import re
import zipfile

import pytest

from crashlog import analysis, stack_walk
from crashlog.log_model import Module
from crashlog.parser import parse_bytes
from crashlog.x86_access import decode_access

from .support import call_code, data_path, make_log

EXE = ("tavra.exe", "1.2.3.4", 0x00400000, 0x00100000)
DLL = ("helper lib.dll", "", 0x10000000, 0x00020000)


def chain_log(words, ebp=0x0012FF08, eip=0x00401010, esp=0x0012FF00, **kwargs):
    """A log whose return addresses in `words` each follow a call."""
    calls = [call_code(w, "call reg") for w in words if EXE[2] <= w < DLL[2] + DLL[3]]
    registers = dict({"EBP": ebp, "ESP": esp, "EIP": eip}, **kwargs.pop("registers", {}))
    return parse_bytes(make_log(address=eip, registers=registers,
                                stack=(esp, words, ()), modules=[EXE, DLL],
                                dumps=kwargs.pop("dumps", []) + calls, **kwargs))


def rebased(text: str, delta: int, dll_delta: int) -> str:
    """A log of the same crash with the main module loaded `delta` higher
    and every other module `dll_delta` higher: every 8-digit value that lies
    in a module moves with it."""
    modules = re.findall(r"Base: ([0-9A-F]{8}) Size: ([0-9A-F]{8})", text)
    ranges = [(int(b, 16), int(b, 16) + int(s, 16)) for b, s in modules]
    main = int(re.search(r"\(Base: ([0-9A-F]{8})\)", text).group(1), 16)

    def move(match):
        value = int(match.group(0), 16)
        for start, end in ranges:
            if start <= value < end:
                return f"{value + (delta if start == main else dll_delta):08X}"
        return match.group(0)

    return re.sub(r"(?<![0-9A-Fa-f])[0-9A-F]{8}(?![0-9A-Fa-f])", move, text)


def demo_log_text() -> str:
    with zipfile.ZipFile(data_path("demo_write_crash.zip")) as archive:
        return archive.read("crashlog.txt").decode()


def test_the_same_crash_loaded_elsewhere_has_the_same_signature():
    text = demo_log_text()
    original = parse_bytes(text.encode())
    moved = parse_bytes(rebased(text, 0x00010000, 0x00200000).encode())
    assert moved.exception.address != original.exception.address
    assert [m.base for m in moved.modules] != [m.base for m in original.modules]
    signature = analysis.signature(original)
    assert analysis.signature(moved) == signature
    assert signature[0].startswith("C0000005 tavra_test_client.exe+0x")
    # The product's three frames; the system's below them are left out.
    assert len(signature[0].split(" | ")) == 3
    assert re.fullmatch(r"[0-9a-f]{12}", signature[1])


def system_code_moved(text: str, delta: int) -> str:
    """The same crash through another build of the system's DLLs: every
    value inside a system module (its code and return addresses, the dumps of
    its code, registers pointing into it) lies `delta` further in."""
    ranges = [
        (int(b, 16), int(b, 16) + int(s, 16))
        for name, b, s in re.findall(r"^(\S+) .*Base: ([0-9A-F]{8}) Size: ([0-9A-F]{8})", text, re.M)
        if stack_walk.is_system_module(Module(name, "", 0, 0, 0))
    ]

    def move(match):
        value = int(match.group(0), 16)
        inside = any(start < value < end - delta for start, end in ranges)
        return f"{value + delta:08X}" if inside else match.group(0)

    lines = text.split("\r\n" if "\r\n" in text else "\n")
    return "\n".join(
        line if " Base: " in line else
        re.sub(r"(?<![0-9A-Fa-f])[0-9A-F]{8}(?![0-9A-Fa-f])", move, line)
        for line in lines
    )


def test_the_same_crash_through_other_system_dll_offsets_has_the_same_signature():
    text = demo_log_text()
    original = parse_bytes(text.encode())
    edited = parse_bytes(system_code_moved(text, 0x1230).encode())

    def system_frames(log):
        return [f.location() for f in analysis.frame_chain(log)
                if stack_walk.is_system_module(f.module)]

    # The walk still finds the system's frames, at other offsets.
    assert len(system_frames(edited)) == len(system_frames(original)) >= 2
    assert not set(system_frames(edited)) & set(system_frames(original))
    assert analysis.signature(edited) == analysis.signature(original)


@pytest.mark.parametrize(
    "change",
    [
        {"eip": 0x00401014},  # another crash site in the same module
        {"code": "C0000094"},  # another exception at the same site
        {"caller": 0x00402004},  # the same site reached from elsewhere
    ],
)
def test_other_crashes_have_other_signatures(change):
    def log(eip=0x00401010, code="C0000005", caller=0x00402000):
        words = [0, 0, 0x0012FF18, caller, 0, 0, 0, 0]
        return chain_log(words, eip=eip, code=code)

    assert analysis.signature(log()) != analysis.signature(log(**change))


@pytest.mark.parametrize(
    "code,text",
    [
        ("C0000005", "access violation (C0000005)"),
        ("C0000094", "integer division by zero (C0000094)"),
        ("80000003", "breakpoint (80000003)"),
        ("C00000FD", "stack overflow (C00000FD)"),
        ("C000001D", "illegal instruction (C000001D)"),
        ("C0000409", "stack buffer overrun (C0000409)"),
        ("E06D7363", "C++ exception (E06D7363)"),
        ("E0001234", "exception E0001234"),
        ("SOMENAME", "exception SOMENAME"),
    ],
)
def test_exceptions_are_named_when_well_known(code, text):
    log = chain_log([0] * 8, code=code)
    assert analysis.describe_exception(log).startswith(text)


@pytest.mark.parametrize(
    "code,registers,expected",
    [
        ("8B 00", {"EAX": 0}, ("read", 0)),
        ("C7 00 5A 5A 5A 5A", {"EAX": 0x10}, ("write", 0x10)),
        ("89 41 08", {"ECX": 0x1000}, ("write", 0x1008)),
        ("8B 45 FC", {"EBP": 0x1000}, ("read", 0xFFC)),
        ("8B 04 8E", {"ESI": 0x100, "ECX": 3}, ("read", 0x10C)),
        ("8B 04 24", {"ESP": 0x2000}, ("read", 0x2000)),
        ("A3 78 56 34 12", {}, ("write", 0x12345678)),
        ("0F B6 02", {"EDX": 7}, ("read", 7)),
        ("FF 50 10", {"EAX": 0}, ("read", 0x10)),
        ("8B 05 00 10 40 00", {}, ("read", 0x401000)),
        ("64 8B 00", {"EAX": 0}, ("read", None)),  # FS-relative: base unknown
        ("8B C1", {}, None),  # register to register
        ("90", {}, None),  # not a memory instruction
        ("8B", {}, None),  # cut short
        ("8B 80 00 10", {"EAX": 0}, None),  # displacement cut short
    ],
)
def test_the_faulting_instruction_tells_the_access(code, registers, expected):
    assert decode_access(bytes.fromhex(code), registers) == expected


def test_the_summary_names_version_exception_module_frames_and_signature():
    words = [0, 0, 0x0012FF18, 0x10001234, 0, 0, 0, 0]
    dump = (0x00401000, bytes(16) + bytes.fromhex("8B0285C0") + bytes(12))
    log = chain_log(words, registers={"EBP": 0x0012FF08, "EDX": 0x44}, dumps=[dump])
    lines = analysis.summary_lines(log)
    assert lines[0] == "Product: version 1.2.3.4, build 5678"
    assert lines[1] == ("Crash: access violation (C0000005): read from address 00000044 "
                        "(derived from the instruction at the crash address: "
                        "8B 02 85 C0 00 00 00 00)")
    assert lines[2] == "At: 00401010 in tavra.exe+0x1010 (process tavra.exe)"
    assert "  #1  10001234 helper lib.dll+0x1234" in lines
    assert lines[-1].startswith("Signature: C0000005 tavra.exe+0x1010 | helper lib.dll+0x1234 [")


# (modules as (name, base, size), address, the module that holds it): the
# first in list order, with no wrap-around past 2^32.
HOLDERS = [
    ([("a.dll", 0x1000, 0x1000), ("b.dll", 0x1000, 0x2000)], 0x1FFF, "a.dll"),
    ([("a.dll", 0x1000, 0x1000), ("b.dll", 0x1000, 0x2000)], 0x2000, "b.dll"),
    ([("b.dll", 0x1800, 0x100), ("a.dll", 0x1000, 0x1000)], 0x1880, "b.dll"),
    ([("a.dll", 0x1000, 0), ("b.dll", 0x0800, 0x1000)], 0x1000, "b.dll"),
    ([("top.dll", 0xFFFFF000, 0x2000)], 0xFFFFFFFF, "top.dll"),
    ([("top.dll", 0xFFFFF000, 0x2000)], 0x00000100, None),
]


@pytest.mark.parametrize("modules,address,holder", HOLDERS)
def test_the_exception_address_and_the_walk_find_the_same_module(modules, address, holder):
    log = parse_bytes(make_log(address=address, modules=[(n, "", b, s) for n, b, s in modules]))
    at, module = analysis.crash_location(log)
    frame = analysis.frame_chain(log)[0]
    assert (at, frame.address) == (address, address)
    assert (module and module.name, frame.module and frame.module.name) == (holder, holder)
