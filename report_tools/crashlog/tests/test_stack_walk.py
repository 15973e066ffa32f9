"""The walk of a thread's stack and the signature made of it, on hand-made
logs whose memory dumps hold the code before each return address."""

import json
import os
import re

import pytest

from crashlog import analysis, stack_walk
from crashlog.log_model import Module
from crashlog.parser import parse_bytes

from .support import CALL_FORMS, REPORT_TOOLS, call_code, data_path, make_log, run_cli

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


# The walks and signatures that the reporter's tests check too, on the same
# hand-made inputs: a cross-check of the two implementations of the rule.
with open(os.path.join(REPOSITORY, "desktop", "windows", "crash_reporter", "logs", "testdata",
                       "stack_walk_cases.json"), encoding="utf-8") as _f:
    TABLE = json.load(_f)


def case_inputs(table, case):
    """A case with its missing inputs from its table's defaults: an x86-64
    case's from the table's defaults_x86-64 first."""
    defaults = dict(TABLE["defaults"], **table.get("defaults", {}))
    if case.get("architecture") == "x86-64":
        defaults.update(table.get("defaults_x86-64", {}))
    return dict(defaults, **case)


WALKS = [case_inputs(table, case) for table in (TABLE,) for case in table["walks"]]
# 7 bytes before an x86 return address, 8 before an x86-64 one.
CALL_FORM_CASES = [form for table in (TABLE,) for key in ("call_forms", "call_forms_x86-64")
                   for form in table.get(key, [])]


def logged(text: str) -> str:
    """Text of the crashed process as the writer escapes it in the log."""
    return re.sub(r'[\x00-\x1f\x7f"\\]', lambda m: f"\\x{ord(m.group(0)):02X}", text)


def table_log(case):
    """The case's log: a case with "architecture": "x86-64" is an x86-64
    log, whose "eip", "esp" and "ebp" are RIP, RSP and RBP."""
    number = lambda key: int(case[key], 16)  # noqa: E731
    architecture = case.get("architecture")
    ip, sp, fp = ("RIP", "RSP", "RBP") if architecture == "x86-64" else ("EIP", "ESP", "EBP")
    text = make_log(
        architecture=architecture,
        code=logged(case["code"]), address=number("eip"),
        main=("tavra.exe", int(case["modules"][0][1], 16)),
        registers={ip: number("eip"), sp: number("esp"), fp: number("ebp")},
        stack=(number("stack_at"), [int(w, 16) for w in case["words"]], ()),
        modules=[(logged(name), "", int(base, 16), int(size, 16))
                 for name, base, size in case["modules"]],
        dumps=[(int(a, 16), bytes.fromhex(data)) for a, data in case.get("dumps", [])])
    if not case.get("crashed", True):
        text = text.replace(b"Crashed=1", b"Crashed=0")
    return parse_bytes(text)


@pytest.mark.parametrize("case", WALKS, ids=[c["name"] for c in WALKS])
def test_the_walk_and_the_signature_of_each_case_of_the_table(case):
    log = table_log(case)
    assert log.architecture == case.get("architecture", "x86") and not log.problems
    frames = [[f.address_text(), f.found_by] for f in analysis.frame_chain(log)]
    assert frames == case["frames"]
    if "signature" in case:
        text, digest = analysis.signature(log)
        assert text == case["signature"]
        assert re.fullmatch(r"[0-9a-f]{12}", digest)


@pytest.mark.parametrize("code,is_call,what", CALL_FORM_CASES,
                         ids=[form[2] for form in CALL_FORM_CASES])
def test_the_call_forms_are_told_from_other_bytes(code, is_call, what):
    data = bytes.fromhex(code)
    if len(data) == stack_walk.CALL_BYTES:
        assert stack_walk.ends_in_call(data) == is_call
        log = walk_log([0, 0x00402005], dumps=[(0x00401FFE, data)])
    else:
        assert stack_walk.ends_in_call_x86_64(data) == is_call
        log = table_log(case_inputs(TABLE, {"architecture": "x86-64",
                                                "words": ["0", "00007FF600002005"],
                                                "dumps": [["00007FF600001FFD", code]]}))
    frames = [(f.location(), f.found_by) for f in analysis.frame_chain(log)]
    assert frames[1:] == ([("tavra.exe+0x2005", "stack scan")] if is_call else [])


@pytest.mark.parametrize("architecture", [None, "x86", "x86-64"])
def test_a_call_form_of_one_width_is_no_call_in_the_other(architecture):
    # The x86 walk reads 7 bytes before a return address, the x86-64 walk 8:
    # code dumped for one width is read at the other's offset as well.
    x86_64 = architecture == "x86-64"
    base = 0x00007FF6A1B20000 if x86_64 else 0x00400000
    seven = bytes.fromhex("9090909090FFD0")  # call reg, 7 bytes dumped
    log = parse_bytes(make_log(
        architecture=architecture, address=base + 0x1010, main=("tavra.exe", base),
        modules=[("tavra.exe", "", base, 0x00100000)],
        registers={"RIP" if x86_64 else "EIP": base + 0x1010},
        stack=(0x0012FF00, [0, base + 0x2005], ()), dumps=[(base + 0x2005 - 7, seven)]))
    frames = analysis.frame_chain(log)
    # x86 finds the call; x86-64 lacks the eighth byte before it.
    assert [f.found_by for f in frames[1:]] == ([] if x86_64 else ["stack scan"])


def test_an_address_belongs_to_the_first_module_in_list_order():
    lookups = TABLE["module_lookups"]
    modules = [Module(name, "", int(base, 16), int(size, 16), 0)
               for name, base, size in lookups["modules"]]
    holder = stack_walk.ModuleMap(modules)
    for address, index in lookups["addresses"]:
        found = holder.at(int(address, 16))
        assert (None if found is None else modules.index(found)) == index, address


def test_the_walk_is_bounded_on_a_long_climbing_chain():
    words = []
    for i in range(400):  # frames of 8 bytes, each pointing at the next
        words += [ESP + 8 * (i + 1), 0x00402005]
    log = walk_log(words, ebp=ESP, calls=[(0x00402005, "call reg")])
    frames = analysis.frame_chain(log)
    assert len(frames) == stack_walk.MAX_FRAMES
    assert {f.found_by for f in frames[1:]} == {"frame pointer"}


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
    # A module name and an exception name with line breaks in them, and
    # characters beyond ASCII that split lines (U+0085, U+2028) or steer a
    # terminal (U+009B).
    path = tmp_path / "crash.txt"
    module = "ev\\x0Ail\u2028\u0085\u009b.dll"
    path.write_bytes(make_log(
        code="Evil\\x0D\\x0AName", modules=[(module, "", 0x00400000, 0x00100000)],
        main=(module, 0x00400000), address=0x00401010,
        registers={"ESP": ESP, "EIP": 0x00401010}, stack=(ESP, [0x00402005], ())))
    # The signature escapes only controls below 0x20 and 0x7F, as the
    # reporter does; lines of output escape the rest as well.
    signature = "Evil\\x0D\\x0AName ev\\x0Ail\u2028\u0085\u009b.dll+0x1010"
    line = "Evil\\x0D\\x0AName ev\\x0Ail\\u2028\\x85\\x9B.dll+0x1010"
    for arguments in (["signature"], ["signature", "--json"], ["summary", "--all-threads"]):
        result = run_cli(*arguments, str(path))
        assert result.returncode == 0, result.stderr
        if "--json" in arguments:
            assert json.loads(result.stdout)["signature"] == signature
        else:
            assert line in result.stdout, (arguments, result.stdout)
            assert all(line.isprintable() for line in result.stdout.split("\n")), result.stdout


def pe_file(code_rva: int, code: bytes, timestamp: int = 0x5F000000,
            plus: bool = False) -> bytearray:
    """A small PE file (PE32+ when `plus`, as x86-64 modules are) whose one
    section (at 0x1000, 0x400 bytes in the file at 0x400) holds `code` at
    `code_rva`."""
    optional_size = 240 if plus else 224
    data = bytearray(0x800)
    data[0:2] = b"MZ"
    data[0x3C:0x40] = (0x80).to_bytes(4, "little")
    data[0x80:0x84] = b"PE\0\0"
    data[0x84:0x86] = (0x8664 if plus else 0x14C).to_bytes(2, "little")
    data[0x86:0x88] = (1).to_bytes(2, "little")  # sections
    data[0x88:0x8C] = timestamp.to_bytes(4, "little")
    data[0x94:0x96] = optional_size.to_bytes(2, "little")
    optional = 0x98
    data[optional : optional + 2] = (0x20B if plus else 0x10B).to_bytes(2, "little")
    if plus:  # a 64-bit preferred image base
        data[optional + 24 : optional + 32] = (0x140000000).to_bytes(8, "little")
    data[optional + 60 : optional + 64] = (0x400).to_bytes(4, "little")  # SizeOfHeaders
    section = optional + optional_size
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
