"""The walk of a thread's stack and the signature made of it, on hand-made
logs whose memory dumps hold the code before each return address."""

import json
import os
import re

import pytest

from crashlog import analysis, stack_walk
from crashlog.parser import parse_bytes

from .support import CALL_FORMS, REPORT_TOOLS, call_code, make_log, run_cli

EXE = ("tavra.exe", "1.2.3.4", 0x00400000, 0x00100000)
DLL = ("helper lib.dll", "", 0x10000000, 0x00020000)
NTDLL = ("NTDLL.DLL", "", 0x7BC00000, 0x00100000)  # a system module, named in capitals
KERNEL32 = ("kernel32.dll", "", 0x7B600000, 0x00100000)
ESP = 0x0012FF00
REPOSITORY = os.path.dirname(REPORT_TOOLS)


def walk_log(words, calls=(), eip=0x00401010, ebp=0, esp=ESP,
             modules=(EXE, DLL, NTDLL, KERNEL32), dumps=(), **kwargs):
    """A log whose crashed thread has `words` from `esp` on; `calls` gives
    (return address, form, target) of the calls to dump."""
    dumps = [call_code(*c) for c in calls] + list(dumps)
    return parse_bytes(make_log(address=eip, registers={"EBP": ebp, "ESP": esp, "EIP": eip},
                                stack=(esp, words, ()), modules=list(modules), dumps=dumps,
                                **kwargs))


def walked(log):
    return [(f.location(), f.found_by) for f in analysis.frame_chain(log)]


IP = ("tavra.exe+0x1010", "instruction pointer")

WALKS = {
    "the saved frame pointers are followed up the stack": dict(
        words=[0, 0, 0x0012FF18, 0x00402005, 0, 0, 0x0012FF28, 0x10001234, 0, 0, 0, 0x00403005],
        ebp=0x0012FF08,
        calls=[(0x00402005, "call reg"), (0x10001234, "call [disp32]"), (0x00403005, "call [sib]")],
        expected=[IP, ("tavra.exe+0x2005", "frame pointer"),
                  ("helper lib.dll+0x1234", "frame pointer"), ("tavra.exe+0x3005", "frame pointer")],
    ),
    # C (at 00401000) and B (at 00402000) keep no frame pointer; A does.
    "frameless functions are found by scanning for calls into them": dict(
        words=[0, 0x00402005, 0, 0x00403005, 0x0012FF20, 0x00404005, 0, 0, 0, 0x10001005],
        ebp=0x0012FF10,
        calls=[(0x00402005, "direct", 0x00401000), (0x00403005, "direct", 0x00402000),
              (0x00404005, "call [disp32]"), (0x10001005, "call reg")],
        expected=[IP, ("tavra.exe+0x2005", "stack scan"), ("tavra.exe+0x3005", "stack scan"),
                  ("tavra.exe+0x4005", "frame pointer"), ("helper lib.dll+0x1005", "frame pointer")],
    ),
    "a stale return address that called elsewhere is skipped for the frame pointer": dict(
        words=[0x00405005, 0, 0, 0x00402005],
        ebp=0x0012FF08,
        calls=[(0x00405005, "direct", 0x00406000), (0x00402005, "call reg")],
        expected=[IP, ("tavra.exe+0x2005", "frame pointer")],
    ),
    "where no frame pointer is left, the first return address is taken": dict(
        words=[0, 0x12345678, 0x00405005, 0x00402005],
        calls=[(0x00405005, "direct", 0x00406000), (0x00402005, "call reg")],
        expected=[IP, ("tavra.exe+0x5005", "stack scan"), ("tavra.exe+0x2005", "stack scan")],
    ),
    "a chain that points back down ends, and the scan goes on above it": dict(
        words=[0, 0, 0x0012FF00, 0x00402005, 0, 0x00403005],
        ebp=0x0012FF08,
        calls=[(0x00402005, "call reg"), (0x00403005, "call reg")],
        expected=[IP, ("tavra.exe+0x2005", "frame pointer"), ("tavra.exe+0x3005", "stack scan")],
    ),
    "a word whose call bytes are not dumped is no frame": dict(
        words=[0, 0x00402005], ebp=0, calls=[], expected=[IP],
    ),
    "six of the seven bytes are not enough": dict(
        words=[0, 0x00402005], dumps=[(0x00401FFF, bytes.fromhex("909090 90FFD0"))],
        expected=[IP],
    ),
    "the seven bytes may span two adjacent dumps": dict(
        words=[0, 0x00402005],
        dumps=[(0x00401FFE, bytes.fromhex("9090E8")), (0x00402001, (0x00401000 - 0x00402005)
                                                        .to_bytes(4, "little", signed=True))],
        expected=[IP, ("tavra.exe+0x2005", "stack scan")],
    ),
    "a bad instruction pointer takes its caller from the stack top": dict(
        eip=0, words=[0x00402005, 0, 0x00403005],
        calls=[(0x00402005, "call [reg+disp8]"), (0x00403005, "call reg")],
        expected=[("0x00000000", "instruction pointer"), ("tavra.exe+0x2005", "stack top"),
                  ("tavra.exe+0x3005", "stack scan")],
    ),
    "nor is the stack top taken unless it is a return address": dict(
        eip=0, words=[0x00402005], expected=[("0x00000000", "instruction pointer")],
    ),
    "a frame pointer at the top of the address space does not wrap around": dict(
        esp=0xFFFFFFF0, ebp=0xFFFFFFFC, eip=0x00401010, words=[0, 0, 0, 0x00402005],
        calls=[(0x00402005, "call reg")], expected=[IP, ("tavra.exe+0x2005", "stack scan")],
    ),
    "a frame pointer below the words already walked gives no frame-pointer frame": dict(
        eip=0, ebp=ESP, words=[0x00402005, 0x00403005],
        calls=[(0x00402005, "call reg"), (0x00403005, "call reg")],
        expected=[("0x00000000", "instruction pointer"), ("tavra.exe+0x2005", "stack top"),
                  ("tavra.exe+0x3005", "stack scan")],
    ),
    "a misaligned frame pointer gives no frame-pointer frame": dict(
        words=[0, 0, 0, 0x00402005], ebp=0x0012FF06, calls=[(0x00402005, "call reg")],
        expected=[IP, ("tavra.exe+0x2005", "stack scan")],
    ),
    "an address in two listed modules belongs to the first": dict(
        modules=[EXE, ("over.dll", "", 0x00401000, 0x2000)], words=[0, 0x00402005],
        calls=[(0x00402005, "call reg")], expected=[IP, ("tavra.exe+0x2005", "stack scan")],
    ),
}


@pytest.mark.parametrize("case", WALKS.values(), ids=list(WALKS))
def test_the_walk_finds_the_frames(case):
    case = dict(case)
    expected = case.pop("expected")
    assert walked(walk_log(**case)) == expected


@pytest.mark.parametrize(
    "code,is_call",
    [(CALL_FORMS[form], True) for form in CALL_FORMS]
    + [
        ("9090909090 FFE0", False),  # jmp eax
        ("9090909090 FF14", False),  # FF 14 needs a SIB byte
        ("9090909090 FF15", False),  # FF 15 needs a displacement
        ("90909090 FF1425", False),  # a SIB without base needs a displacement
        ("90909090 FF5424", False),  # [sib+disp8] is one byte longer
        ("90 FF9424332211", False),  # [sib+disp32] is one byte longer
        ("FF140444332211", False),  # [sib] with a base is shorter
        ("909090909090 E8", False),  # a direct call is 5 bytes
        ("FF144544332211", True),  # call [eax*2+11223344]
    ],
)
def test_the_call_forms_are_told_from_other_bytes(code, is_call):
    assert stack_walk.ends_in_call(bytes.fromhex(code)) == is_call
    log = walk_log([0, 0x00402005], dumps=[(0x00401FFE, bytes.fromhex(code))])
    assert walked(log)[1:] == ([("tavra.exe+0x2005", "stack scan")] if is_call else [])


def test_the_walk_is_bounded_on_a_long_climbing_chain():
    words = []
    for i in range(400):  # frames of 8 bytes, each pointing at the next
        words += [ESP + 8 * (i + 1), 0x00402005]
    log = walk_log(words, ebp=ESP, calls=[(0x00402005, "call reg")])
    frames = analysis.frame_chain(log)
    assert len(frames) == stack_walk.MAX_FRAMES
    assert {f.found_by for f in frames[1:]} == {"frame pointer"}


SIGNATURES = {
    "frames in system modules are left out": dict(
        eip=0x7BC01010, words=[0x7B602005, 0x00402005, 0x10003005],
        calls=[(0x7B602005, "call reg"), (0x00402005, "call reg"), (0x10003005, "call reg")],
        expected="C0000005 tavra.exe+0x2005 | helper lib.dll+0x3005",
    ),
    "when every frame is in one, they stay": dict(
        eip=0x7BC01010, words=[0x7B602005], calls=[(0x7B602005, "call reg")],
        expected="C0000005 NTDLL.DLL+0x1010 | kernel32.dll+0x2005",
    ),
    "only ASCII letters are lowered to find a system module": dict(
        modules=[EXE, ("\u212Aernel32.dll", "", 0x7B600000, 0x00100000)], eip=0x7B601010,
        words=[0x00402005], calls=[(0x00402005, "call reg")],
        expected="C0000005 \u212Aernel32.dll+0x1010 | tavra.exe+0x2005",
    ),
    "an address in no module is ???": dict(
        eip=0x00000BAD, words=[0x00402005], calls=[(0x00402005, "call reg")],
        expected="C0000005 ??? | tavra.exe+0x2005",
    ),
    "the top five product frames": dict(
        words=[0x00402005] * 8, calls=[(0x00402005, "call reg")],
        expected="C0000005 tavra.exe+0x1010" + " | tavra.exe+0x2005" * 4,
    ),
    "an exception name is the head, control characters escaped": dict(
        code="Bad\\x0AName", words=[], expected="Bad\\x0AName tavra.exe+0x1010",
    ),
    "a module name's control characters are escaped": dict(
        modules=[("ta\\x0Dvra.exe", "", 0x00400000, 0x00100000)], words=[],
        expected="C0000005 ta\\x0Dvra.exe+0x1010",
    ),
}


@pytest.mark.parametrize("case", SIGNATURES.values(), ids=list(SIGNATURES))
def test_the_signature_names_the_product_frames(case):
    case = dict(case)
    expected = case.pop("expected")
    text, digest = analysis.signature(walk_log(**case))
    assert text == expected
    assert re.fullmatch(r"[0-9a-f]{12}", digest)


def test_a_log_without_frames_is_signed_by_its_exception_address():
    text = make_log(address=0x00401010).replace(b"Crashed=1", b"Crashed=0")
    assert analysis.signature(parse_bytes(text))[0] == "C0000005 tavra.exe+0x1010"


def system_module_names(text: str):
    return re.findall(r'"([^"]+)"', text)


def test_the_system_modules_are_the_ones_the_readme_and_the_reporter_list():
    with open(os.path.join(REPOSITORY, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    listed = re.search(r"System modules:(.*?)\n\n", readme, re.S)
    assert listed, 'the README lists no "System modules:"'
    assert re.findall(r"`([^`]+)`", listed.group(1)) == list(stack_walk.SYSTEM_MODULE_NAMES)

    source = os.path.join(REPOSITORY, "desktop", "windows", "crash_reporter", "logs",
                          "crash_signature.cc")
    if not os.path.exists(source):
        pytest.skip("the reporter's crash_signature.cc is not in this tree yet")
    with open(source, encoding="utf-8") as f:
        array = re.search(r"kSystemModuleNames\[\]\s*=\s*\{(.*?)\};", f.read(), re.S)
    assert array, "crash_signature.cc has no kSystemModuleNames[] = { ... };"
    assert system_module_names(array.group(1)) == list(stack_walk.SYSTEM_MODULE_NAMES)


def test_the_command_line_keeps_log_text_on_its_lines(tmp_path):
    # A module name and an exception name with line breaks in them.
    path = tmp_path / "crash.txt"
    path.write_bytes(make_log(
        code="Evil\\x0D\\x0AName", modules=[("ev\\x0Ail.dll", "", 0x00400000, 0x00100000)],
        main=("ev\\x0Ail.dll", 0x00400000), address=0x00401010,
        registers={"ESP": ESP, "EIP": 0x00401010}, stack=(ESP, [0x00402005], ())))
    expected = "Evil\\x0D\\x0AName ev\\x0Ail.dll+0x1010"
    for arguments in (["signature"], ["signature", "--json"], ["summary", "--all-threads"]):
        result = run_cli(*arguments, str(path))
        assert result.returncode == 0, result.stderr
        if "--json" in arguments:
            assert json.loads(result.stdout)["signature"] == expected
        else:
            assert expected in result.stdout, arguments
            assert all(c >= " " for line in result.stdout.splitlines() for c in line)


def pe_file(code_rva: int, code: bytes, timestamp: int = 0x5F000000) -> bytearray:
    """A small PE file whose one section (at 0x1000, 0x400 bytes in the file
    at 0x400) holds `code` at `code_rva`."""
    data = bytearray(0x800)
    data[0:2] = b"MZ"
    data[0x3C:0x40] = (0x80).to_bytes(4, "little")
    data[0x80:0x84] = b"PE\0\0"
    data[0x84:0x86] = (0x14C).to_bytes(2, "little")
    data[0x86:0x88] = (1).to_bytes(2, "little")  # sections
    data[0x88:0x8C] = timestamp.to_bytes(4, "little")
    data[0x94:0x96] = (224).to_bytes(2, "little")  # optional header size
    optional = 0x98
    data[optional : optional + 2] = (0x10B).to_bytes(2, "little")
    data[optional + 60 : optional + 64] = (0x400).to_bytes(4, "little")  # SizeOfHeaders
    section = optional + 224
    data[section : section + 8] = b".text\0\0\0"
    for offset, value in ((8, 0x400), (12, 0x1000), (16, 0x400), (20, 0x400)):
        data[section + offset : section + offset + 4] = value.to_bytes(4, "little")
    at = 0x400 + code_rva - 0x1000
    data[at : at + len(code)] = code
    return data


def _cut(data):
    return data[:0x502]  # in the middle of the call bytes


def _huge_section(data):
    data[0x98 + 224 + 16 : 0x98 + 224 + 24] = (0x7FFFFFF0).to_bytes(4, "little") * 2
    return data


@pytest.mark.parametrize(
    "edit,found",
    [
        (lambda data: data, True),
        (lambda data: pe_file(0x1105, bytes.fromhex(CALL_FORMS["call reg"]), 0x5F000001), False),
        (_cut, False),  # the code lies past the file's end
        (_huge_section, False),  # the section claims bytes far past the file's end
        (lambda data: data[:0x90], False),  # the headers are cut short
    ],
    ids=["same build", "another build", "cut short", "hostile section", "no headers"],
)
def test_module_files_give_the_code_that_the_dumps_lack(tmp_path, edit, found):
    from crashlog.symbolizer import symbolize_threads

    # The return address 00401105 is not dumped; the module file holds the
    # call before it.
    (tmp_path / "tavra.exe").write_bytes(
        bytes(edit(pe_file(0x1105 - 7, bytes.fromhex(CALL_FORMS["call reg"])))))
    log = walk_log([0, 0x00401105])
    threads, _, _ = symbolize_threads(log, [str(tmp_path)], all_threads=True)
    frames = [(f.location(), f.found_by) for f in threads[0][1]]
    assert frames[1:] == ([("tavra.exe+0x1105", "stack scan")] if found else [])
    # The signature reads the log alone, as the reporter does.
    assert analysis.signature(log)[0] == "C0000005 tavra.exe+0x1010"


def test_a_walk_reads_a_module_file_through_one_open_file_closed_at_its_end(
    tmp_path, monkeypatch
):
    from crashlog import module_image
    from crashlog.symbolizer import symbolize_threads

    (tmp_path / "tavra.exe").write_bytes(
        bytes(pe_file(0x1105 - 7, bytes.fromhex(CALL_FORMS["call reg"]))))
    opened = []

    def counted_open(*arguments, **keywords):
        opened.append(open(*arguments, **keywords))
        return opened[-1]

    monkeypatch.setattr(module_image, "open", counted_open, raising=False)
    # Ten words in the module whose code is not dumped, then the return address.
    log = walk_log([0x00401200 + 16 * n for n in range(10)] + [0x00401105])
    threads, _, _ = symbolize_threads(log, [str(tmp_path)], all_threads=True)
    assert [f.location() for f in threads[0][1]][1:] == ["tavra.exe+0x1105"]
    # The headers once, then one file for every read of the walk.
    assert len(opened) == 2 and all(f.closed for f in opened)
