"""Logs of the 64-bit reporter beside those of the 32-bit one: the
"Architecture:" line, 16-digit addresses, the x86-64 register block and
stack lines of 8-byte words; older logs without the line read as x86; a log
whose architecture and layout disagree is damaged, never a crash of the
reader."""

import pytest

from crashlog import analysis
from crashlog.architecture import X86_64
from crashlog.parser import parse_bytes, parse_file
from crashlog.x86_access import decode_access

from .support import data_path, make_log, read_data, run_cli
from .test_stack_walk import pe_file

X64_LOG = "small_crash_log_x86_64.txt"
EXE = 0x00007FF6A1B20000
RSP = 0x000000E3A5AFF6C0


def test_the_x86_64_log_reads_whole():
    parsed = parse_file(data_path(X64_LOG))
    log = parsed.to_json()
    assert (log["version"], log["build"], log["architecture"]) == ("1.2.3.4", "5678", "x86-64")
    assert log["exception"] == {"module": "tavra.exe", "code": "C0000005",
                                "address": "00007FF6A1B21234", "base": "00007FF6A1B20000"}
    assert log["metadata"] == [["ptype", "renderer"], ["os_version", "6.1.7601"]]
    other, crashed = log["threads"]
    assert (crashed["id"], crashed["crashed"], other["crashed"]) == ("000001A4", True, False)
    assert (crashed["checked_context_values"], crashed["checked_context_values_all"]) == (17, True)
    assert (crashed["checked_stack_values"], crashed["checked_stack_values_all"]) == (10, True)
    assert list(crashed["registers"]) == list(X86_64.register_names)
    assert crashed["registers"]["RIP"] == "00007FF6A1B21234"
    assert crashed["registers"]["R12"] == "FFFFFFFFFFFFFFFF"
    assert (crashed["registers"]["FLAGS"], crashed["registers"]["GS"]) == ("00000246", "002B")
    assert (crashed["fpu"]["SW"], crashed["fpu"]["CW"]) == ("0000", "027F")
    assert crashed["stack"][1] == {"address": "000000E3A5AFF6D0",
                                   "words": [">000000E3A5AFF6F0", "00007FF6A1B21405"]}
    assert crashed["stack"][-1]["address"] == "000000E3A5AFF700"
    assert other["stack"][-1] == {"address": "000000E3A5CFF9F8", "words": ["0000000041414141"]}
    assert [m["base"] for m in log["modules"]] == [
        "00007FF6A1B20000", "00007FFB12340000", "00007FFB5E6A0000"]
    assert log["modules"][2] == {"name": "ntdll.dll", "version": "6.1.7601.24545",
                                 "base": "00007FFB5E6A0000", "size": "001A0000",
                                 "timestamp": "5F000000"}
    assert [d["address"] for d in log["memory_dumps"]][:2] == [
        "00007FF6A1B21224", "00007FF6A1B212F0"]
    assert all(len(d["bytes"]) == 64 for d in log["memory_dumps"])
    assert log["crash_logger"][0].endswith("wrote the crash log")
    assert (log["truncated"], log["problems"], log["capped"]) == (None, [], [])
    # The numbers behind the text, and the stack words at 8-byte steps.
    assert parsed.threads[1].stack_words().__next__()[0] == RSP
    assert [address - RSP for address, _ in parsed.threads[1].stack_words()] == \
        list(range(0, 80, 8))
    assert parsed.code_bytes(EXE + 0x1234, 2) == bytes([0xC7, 0x00])


def test_the_x86_64_log_is_summarised_signed_and_walked_on_the_command_line():
    result = run_cli("summary", "--all-threads", data_path(X64_LOG))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == [
        "Product: version 1.2.3.4, build 5678, x86-64",
        "Crash: access violation (C0000005): write to address 0000000000000010 (derived from "
        "the instruction at the crash address: C7 00 5A 5A 5A 5A 48 83)",
        "At: 00007FF6A1B21234 in tavra.exe+0x1234 (process tavra.exe)",
    ]
    assert lines[4:9] == [
        "Frames:",
        "  #0  00007FF6A1B21234 tavra.exe+0x1234  (instruction pointer)",
        "  #1  00007FF6A1B21405 tavra.exe+0x1405",
        "  #2  00007FFB12341008 helper.dll+0x1008",
        "  #3  00007FFB5E6A5005 ntdll.dll+0x5005  (stack scan)",
    ]
    assert "  #0  00007FFB5E6A9A10 ntdll.dll+0x9a10  (instruction pointer)" in lines
    text = "C0000005 tavra.exe+0x1234 | tavra.exe+0x1405 | helper.dll+0x1008"
    signed = run_cli("signature", "--json", data_path(X64_LOG))
    assert signed.returncode == 0 and f'"signature": "{text}"' in signed.stdout
    symbolized = run_cli("symbolize", "--json", data_path(X64_LOG))
    assert symbolized.returncode == 0, symbolized.stderr
    assert '"address": "00007FFB12341008"' in symbolized.stdout


@pytest.mark.parametrize(
    "architecture,layout",
    [("x86-64", "x86-64"), ("x86", "x86"), (None, "x86")],
)
def test_what_the_writer_writes_reads_back(architecture, layout):
    # Values that fill every digit of their width.
    top = (1 << (32 if layout == "x86" else 64)) - 1
    base = top - 0xFFFFF if layout == "x86" else 0x00007FF6A1B20000
    ip, sp, fp = ("RIP", "RSP", "RBP") if layout == "x86-64" else ("EIP", "ESP", "EBP")
    words = [top, 0, base + 0x1005, top - 7, 1]
    dump = (top - 31, bytes(range(16)) * 2)  # the last bytes of the address space
    log = parse_bytes(make_log(
        architecture=architecture, address=base + 0x10, main=("tavra.exe", base),
        modules=[("tavra.exe", "1.0", base, 0x00100000)],
        registers={ip: base + 0x10, fp: 0x20000, sp: 0x20000},
        stack=(0x20000, words, (0, 3)), dumps=[dump]))
    assert (log.problems, log.truncated) == ([], None)
    assert log.architecture == layout
    assert (log.exception.address, log.exception.base, log.modules[0].base) == \
        (base + 0x10, base, base)
    assert [(address - 0x20000, word) for address, word in log.threads[0].stack_words()] == [
        (n * len(f"{top:X}") // 2, (w, n in (0, 3))) for n, w in enumerate(words)]
    assert (log.memory_dumps[0].address, log.memory_dumps[0].data) == dump
    assert log.threads[0].register(ip) == base + 0x10
    digits = len(f"{top:X}")
    json_log = log.to_json()
    assert json_log["threads"][0]["stack"][0]["words"][0] == ">" + "F" * digits
    assert json_log["memory_dumps"][0]["address"] == f"{top - 31:0{digits}X}"


def test_an_x86_log_reads_the_same_with_or_without_its_architecture_line():
    older = read_data("small_crash_log.txt")
    first_lines = older.split(b"\r\n", 2)
    newer = b"\r\n".join(first_lines[:2] + [b"Architecture: x86", first_lines[2]])
    assert parse_bytes(newer) == parse_bytes(older)
    assert parse_bytes(older).architecture == "x86"


@pytest.mark.parametrize("name,architecture", [(X64_LOG, "x86-64"),
                                               ("small_crash_log.txt", "x86")])
def test_a_log_cut_off_after_its_exception_line_reads_as_that_lines_width(name, architecture):
    text = read_data(name)
    log = parse_bytes(text[: text.index(b"\r\n", text.index(b"caused exception")) + 2])
    assert (log.architecture, log.problems) == (architecture, [])
    assert log.truncated is not None and log.exception is not None


def spliced(text: bytes, old: bytes, new: bytes) -> bytes:
    assert old in text
    return text.replace(old, new)


X64 = read_data(X64_LOG)
X86 = read_data("small_crash_log.txt")
# (what the log is, its bytes, the architecture it reads as, what the first
# problem expected, the threads still read): damaged or hostile,
# each is read as far as it goes and says what is wrong.
HOSTILE = [
    ("an architecture no reporter writes, x86-64 addresses",
     spliced(X64, b"Architecture: x86-64", b"Architecture: arm64"), "x86-64",
     '"Architecture: x86" or "Architecture: x86-64"', 2),
    ("an architecture no reporter writes, x86 addresses",
     spliced(X86, b"(Base: 00400000)\r\n", b"(Base: 00400000)\r\nArchitecture: \x1b[2J"), "x86",
     '"Architecture: x86" or "Architecture: x86-64"', 2),
    ("an empty architecture",
     spliced(X64, b"Architecture: x86-64", b"Architecture:"), "x86-64",
     '"Architecture: x86" or "Architecture: x86-64"', 2),
    ("an x86 log with an x86-64 register block",
     spliced(X64, b"Architecture: x86-64", b"Architecture: x86"), "x86",
     "the exception line with addresses of 8 digits (x86)", 0),
    ("an x86-64 log with an x86 register block",
     spliced(X86, b"(Base: 00400000)\r\n", b"(Base: 00400000)\r\nArchitecture: x86-64\r\n"),
     "x86-64", "the exception line with addresses of 16 digits (x86-64)", 0),
    ("a log without the line, laid out as x86-64",
     spliced(X64, b"Architecture: x86-64\r\n", b""), "x86",
     "the exception line with addresses of 8 digits (x86)", 0),
    ("an exception line of two widths",
     spliced(X64, b"(Base: 00007FF6A1B20000)", b"(Base: A1B20000)"), "x86-64",
     "the exception line, its address and base of one width", 2),
    ("an address of 17 digits",
     spliced(X64, b"address 00007FF6A1B21234", b"address 100007FF6A1B21234"), "x86-64",
     "the exception line", 2),
    ("a stack word of 17 digits",
     spliced(X64, b" 00007FF6A1B21405 ", b" 100007FF6A1B21405"), "x86-64",
     "a stack line (address, two words, text)", 2),
    ("an x86 stack line in an x86-64 log",
     spliced(X64, b"000000E3A5AFF6E0  0000000000000000  0000000000000000  ................",
             b"A5AFF6E0  00000000  00000000  00000000  00000000  ................"), "x86-64",
     "a stack line (address, two words, text)", 2),
    ("a module base of 8 digits in an x86-64 log",
     spliced(X64, b"Base: 00007FFB12340000", b"Base: 12340000"), "x86-64",
     "a module line (name, version, Base:, Size:, Timestamp:)", 2),
    ("a module base of 16 digits in an x86 log",
     spliced(X86, b"Base: 10000000", b"Base: 0000000010000000"), "x86",
     "a module line (name, version, Base:, Size:, Timestamp:)", 2),
    ("a dump address of 8 digits in an x86-64 log",
     spliced(X64, b"00007FFB12341008  48 85", b"12341008  48 85"), "x86-64",
     "a memory dump line (address, 1 to 16 bytes, text)", 2),
]


@pytest.mark.parametrize("what,text,architecture,expected,threads", HOSTILE,
                         ids=[case[0] for case in HOSTILE])
def test_a_log_whose_architecture_and_layout_disagree_is_damaged_not_fatal(
    tmp_path, what, text, architecture, expected, threads
):
    log = parse_bytes(text)
    assert log.architecture == architecture
    assert log.problems and log.problems[0].expected == expected, log.problems
    assert len(log.threads) == threads
    analysis.summary_lines(log)
    analysis.signature(log)
    path = tmp_path / "crash.txt"
    path.write_bytes(text)
    for arguments in (["parse", "--compact"], ["summary", "--all-threads"], ["signature"]):
        result = run_cli(*arguments, str(path))
        assert result.returncode == 0 and "Traceback" not in result.stderr, result.stderr


def test_stack_lines_across_the_top_of_the_address_space_follow_on_without_a_wrap_problem():
    top = (1 << 64) - 16
    log = parse_bytes(make_log(architecture="x86-64", address=0x10, main=("x.exe", 0),
                               modules=[], registers={"RIP": 0x10, "RSP": top},
                               stack=(top, [1, 2, 3, 4], ())))
    assert [line.address for line in log.threads[0].stack] == [top, 0]
    assert log.problems == [] and [f.found_by for f in analysis.frame_chain(log)] == [
        "instruction pointer"]


@pytest.mark.parametrize("architecture,top", [("x86", 1 << 32), ("x86-64", 1 << 64)])
def test_a_stack_word_past_the_top_of_the_address_space_is_no_word(architecture, top):
    # The second word of the line would lie at the top: it does not wrap to 0.
    word = 8 if architecture == "x86-64" else 4
    names = ("RIP", "RSP") if architecture == "x86-64" else ("EIP", "ESP")
    log = parse_bytes(make_log(architecture=architecture, address=0x10, main=("x.exe", 0),
                               modules=[], registers={names[0]: 0x10, names[1]: top - word},
                               stack=(top - word, [1, 2], ())))
    assert log.problems == [] and len(log.threads[0].stack[0].words) == 2
    assert list(log.threads[0].stack_words()) == [(top - word, (1, False))]


# x86-64 code of the faulting instruction: REX prefixes reach R8 to R15 and
# RIP-relative operands count from the instruction's end.
X86_64_ACCESS = [
    ("8B 00", {"RAX": 0x10}, ("read", 0x10)),
    ("48 8B 00", {"RAX": 0x7FF612345678}, ("read", 0x7FF612345678)),
    ("41 89 40 08", {"R8": 0x1000}, ("write", 0x1008)),
    ("49 8B 04 C4", {"R12": 0x100, "RAX": 2}, ("read", 0x110)),
    ("4A 8B 04 E0", {"RAX": 0x100, "R12": 2}, ("read", 0x110)),  # REX.X: R12 as the index
    ("41 8B 45 F8", {"R13": 0x1000}, ("read", 0xFF8)),  # [r13-8]: no RIP-relative form
    ("8B 05 F0 FF FF FF", {"RIP": 0x7FF600001000}, ("read", 0x7FF600000FF6)),
    ("C7 05 10 00 00 00 01 00 00 00", {"RIP": 0x1000}, ("write", 0x1000 + 10 + 0x10)),
    ("66 C7 05 10 00 00 00 01 00", {"RIP": 0x1000}, ("write", 0x1000 + 9 + 0x10)),
    ("80 3D 10 00 00 00 00", {"RIP": 0x1000}, ("read", 0x1000 + 7 + 0x10)),
    ("48 8B 40 F8", {"RAX": 0x4}, ("read", (1 << 64) - 4)),  # below 0 wraps as the CPU does
    ("48 A1 88 77 66 55 44 33 22 11", {}, ("read", 0x1122334455667788)),
    ("65 48 8B 04 25 30 00 00 00", {}, ("read", None)),  # GS-relative: base unknown
    ("2E 8B 00", {"RAX": 0x10}, ("read", 0x10)),  # CS has no base in 64-bit code
    ("8B 05 F0 FF FF FF", {}, ("read", None)),  # RIP-relative without RIP
    ("48 8B C1", {}, None),
    ("48", {}, None),
    ("C7 05 10 00 00 00 01 00", {"RIP": 0x1000}, None),  # immediate cut short
]


@pytest.mark.parametrize("code,registers,expected", X86_64_ACCESS)
def test_the_faulting_x86_64_instruction_tells_the_access(code, registers, expected):
    assert decode_access(bytes.fromhex(code), registers, X86_64) == expected


@pytest.mark.parametrize("plus,call,found", [
    (True, "909090909041FFD0", True),  # PE32+, call r8
    (False, "909090909041FFD0", True),  # a PE32 file is read as well
    (True, "9090909041FF5108", True),  # call [r9+8]
    (True, "9090909090488B00", False),  # no call before the word
])
def test_module_files_of_either_format_give_the_code_that_an_x86_64_dump_lacks(
    tmp_path, plus, call, found
):
    from crashlog.symbolizer import symbolize_threads

    (tmp_path / "tavra.exe").write_bytes(bytes(pe_file(0x1105 - 8, bytes.fromhex(call),
                                                       plus=plus)))
    log = parse_bytes(make_log(
        architecture="x86-64", address=EXE + 0x1010, main=("tavra.exe", EXE),
        modules=[("tavra.exe", "", EXE, 0x00100000)], registers={"RIP": EXE + 0x1010},
        stack=(RSP, [0, EXE + 0x1105], ())))
    threads, _, _ = symbolize_threads(log, [str(tmp_path)], all_threads=True)
    frames = [(f.location(), f.found_by) for f in threads[0][1]]
    assert frames[1:] == ([("tavra.exe+0x1105", "stack scan")] if found else [])
    assert analysis.signature(log)[0] == "C0000005 tavra.exe+0x1010"  # the log alone


@pytest.mark.parametrize("compiler,base,architecture", [
    ("x86_64-w64-mingw32-gcc", 0x00007FF6A1B20000, "x86-64"),
    ("i686-w64-mingw32-gcc", 0x01350000, "x86"),
])
def test_a_module_loaded_away_from_its_preferred_base_is_symbolized(
    tmp_path, compiler, base, architecture
):
    # A real module with DWARF, loaded elsewhere than its preferred image
    # base (0x140000000 for x86-64, 0x400000 for x86): the offset from the
    # log's base names the function.
    import shutil
    import subprocess

    from crashlog.symbolizer import find_tool

    if shutil.which(compiler) is None or find_tool("symbolizer") is None:
        pytest.skip(f"{compiler} or llvm-symbolizer is not installed")
    source = tmp_path / "crash.c"
    source.write_text("__attribute__((noinline)) int crash_here(int *p) { return *p + 1; }\n"
                      "int main(void) { return crash_here(0); }\n")
    exe = tmp_path / "crash.exe"
    subprocess.run([compiler, "-g", "-O1", "-o", str(exe), str(source)], check=True,
                   capture_output=True, timeout=120)
    nm = compiler.replace("gcc", "nm")
    symbols = subprocess.run([nm, str(exe)], capture_output=True, text=True, check=True).stdout
    address = next(int(line.split()[0], 16) for line in symbols.splitlines()
                   if line.split()[-1] in ("crash_here", "_crash_here"))
    data = bytearray(exe.read_bytes())
    pe = int.from_bytes(data[0x3C:0x40], "little")
    preferred = int.from_bytes(data[pe + 48 : pe + 56], "little") if architecture == "x86-64" \
        else int.from_bytes(data[pe + 52 : pe + 56], "little")
    data[pe + 8 : pe + 12] = (0x5F000000).to_bytes(4, "little")  # the log's time stamp
    exe.write_bytes(bytes(data))
    crash = base + address - preferred
    log = tmp_path / "crash.txt"
    ip = "RIP" if architecture == "x86-64" else "EIP"
    log.write_bytes(make_log(architecture=architecture, address=crash, main=("crash.exe", base),
                             modules=[("crash.exe", "", base, 0x00100000)],
                             registers={ip: crash}, stack=(0x0012FF00, [0], ())))
    result = run_cli("symbolize", "--symbols", str(tmp_path), str(log))
    assert result.returncode == 0, result.stderr
    assert f"#0  {crash:0{2 * (8 if architecture == 'x86-64' else 4)}X} crash.exe+0x" \
        f"{address - preferred:x}  crash_here  " in result.stdout, result.stdout
