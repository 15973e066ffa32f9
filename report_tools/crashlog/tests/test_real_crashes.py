"""Crash logs that the reporter wrote for real crashes of every kind the test
client knows, read back: each field equals what the crashed process saw."""

import http.server
import os
import re
import subprocess
import threading

import pytest

from crashlog import analysis
from crashlog.parser import parse_file
from crashlog.symbolizer import Symbolizer, pe_timestamp

from crashlog.architecture import ARCHITECTURES

from .real_crashes import CrashSession, build_architecture, build_dir

EXE = "tavra_test_client.exe"
KINDS = [
    # kind, argument, code, what the summary says of it ({} an address in
    # the log's width)
    ("read", "0", 0xC0000005, "access violation (C0000005): read from address {}"),
    ("write", "10", 0xC0000005, "access violation (C0000005): write to address {}"),
    ("divide", "0", 0xC0000094, "integer division by zero (C0000094)"),
    ("breakpoint", "0", 0x80000003, "breakpoint (80000003)"),
    ("raise", "E06D7363", 0xE06D7363, "C++ exception (E06D7363)"),
    ("stack-overflow", "0", 0xC00000FD, "stack overflow (C00000FD)"),
    ("nested", "20", 0xC0000005, "access violation (C0000005): write to address {}"),
]


def arch():
    """The architecture of the build's reporter and test client."""
    return ARCHITECTURES[build_architecture()]


def registers():
    """The registers that the test client's crash line and the crash log
    both give: the general ones, the instruction pointer and the flags (the
    line names each in lower case, the flags "eflags")."""
    return [name for name in arch().register_names
            if name not in ("CS", "DS", "SS", "ES", "FS", "GS")]

# A whole thread section, crashed, that a process would like the reader to
# take for its crashed thread; its values of 64 units are joined into one
# metadata value ("enabled_extensions" is carried in pieces).
FAKE_THREAD = (
    '"\n\nThread: 00000BAD\n\nThreadInfo: 00000BAD\nPriority=00000000\nCrashed=1\n'
    "checked_context_values=9 (all)\nchecked_stack_values=0 (all)\n\nRegisters: 00000BAD\n"
    "EAX=00000000   EBX=00000000   ECX=00000000   EDX=00000000   ESI=00000000\n"
    "EDI=00000000   EBP=00000000   ESP=00000000   EIP=DEADBEEF FLAGS=00000246\n"
    "CS=001B   DS=0023   SS=0023   ES=0023   FS=003B   GS=0000\n\nFPU stack: 00000BAD\n"
    + ((" ".join(["0" * 20] * 3) + "\n") * 2)
    + " ".join(["0" * 20] * 2) + " SW=0000 CW=027F\n\nStack dump: 00000BAD\n\n"
)
# Text from the crashed process, each with what the log must not let it do.
HOSTILE = [
    # name, value
    ("version", '7.8 "x"\r\nCrashed=1\\'),  # the build, written after it, has no blank
    ("build", 'b\n"42"\\x41\x7f'),
    ("note", 'say "hi"\r\nThread: 00000BAD\tC:\\temp\\'),
    ("crash_kind", "hostile"),
] + [("enabled_extensions", FAKE_THREAD[i : i + 64]) for i in range(0, len(FAKE_THREAD), 64)]


@pytest.fixture(scope="module")
def crashes(tmp_path_factory):
    """Every kind crashed once in one session, and the nested crash once more
    in a second session."""
    build_dir()
    results = {}
    session = CrashSession(str(tmp_path_factory.mktemp("logs")))
    try:
        for kind, argument, _, _ in KINDS:
            annotations = [("crash_kind", kind), ("version", "7.8.9.10"), ("build", "b42")]
            results[kind] = session.crash(kind, argument, annotations)
        results["hostile"] = session.crash("read", "0", HOSTILE)
    finally:
        session.close()
    session = CrashSession(str(tmp_path_factory.mktemp("again")))
    try:
        results["nested again"] = session.crash("nested", "20")
    finally:
        session.close()
    return results


def client_functions(*names):
    """The test client's functions, which take a pointer-wide integer
    (uintptr_t), as the build's compiler names them."""
    word = "unsigned int" if arch().word_bytes == 4 else "unsigned long long"
    return [f"tavra::{name}({word})" for name in names]


NESTED = ("nestedCrashInner", "nestedCrashMiddle", "nestedCrashOuter")


def hex8(value: int) -> str:
    return f"{value:08X}"


def address(value: int) -> str:
    """An address as the build's crash log writes it."""
    return arch().hex(value)


@pytest.mark.parametrize("kind,argument,code,described", KINDS, ids=[k[0] for k in KINDS])
def test_a_real_crash_log_reads_back_as_the_crashed_process_saw_it(
    crashes, kind, argument, code, described
):
    seen = crashes[kind]
    crash = seen["crash"]
    parsed = parse_file(seen["log"])
    log = parsed.to_json()
    assert log["truncated"] is None and log["problems"] == [] and log["capped"] == []
    assert (log["version"], log["build"]) == ("7.8.9.10", "b42")
    exe = next(m for m in seen["modules"] if m["path"].lower().endswith(EXE))
    assert log["exception"] == {
        "module": EXE,
        "code": f"{code:X}",
        "address": address(crash["address"]),
        "base": address(exe["base"]),
    }
    assert crash["code"] == code

    thread = log["threads"][0]
    assert thread["crashed"] and int(thread["id"], 16) == crash["tid"]
    assert log["architecture"] == arch().name
    checked = len(registers()) - 1  # all but the flags
    assert (thread["checked_context_values"], thread["checked_context_values_all"]) == (
        checked, True)
    assert {name: thread["registers"][name] for name in registers()} == {
        name: hex8(crash["eflags"]) if name == "FLAGS" else address(crash[name.lower()])
        for name in registers()
    }
    assert len(thread["fpu"]["registers"]) == 8
    word = arch().word_bytes
    assert thread["stack"][0]["address"] == address(
        crash[arch().stack_pointer.lower()] & ~(word - 1))
    assert [t["crashed"] for t in log["threads"][1:]] == [False] * (len(log["threads"]) - 1)
    assert {int(t["id"], 16) for t in log["threads"]} >= set(seen["threads"])

    listed = {int(m["base"], 16): m for m in log["modules"]}
    for module in seen["modules"]:
        entry = listed[module["base"]]
        assert entry["name"].lower() == re.split(r"[\\/]", module["path"])[-1].lower()
        assert int(entry["size"], 16) == module["size"]
    assert listed[exe["base"]]["version"] == "4.3.2.1"
    assert ["crash_kind", kind] in log["metadata"]
    # The instruction pointer's code is dumped.
    eip = crash[arch().instruction_pointer.lower()]
    assert any(
        int(d["address"], 16) <= eip < int(d["address"], 16) + len(d["bytes"]) // 2
        for d in log["memory_dumps"]
    )
    described = described.format(address(int(argument, 16)))
    assert analysis.summary_lines(parsed)[1].startswith(f"Crash: {described}")


def test_text_of_the_crashed_process_cannot_forge_a_section_and_reads_back_whole(crashes):
    seen = crashes["hostile"]
    with open(seen["log"], "rb") as f:
        raw = f.read()
    assert b"\r\nThread: 00000BAD" not in raw and b"\r\nCrashed=1\r\n" in raw
    parsed = parse_file(seen["log"])
    assert (parsed.truncated, parsed.problems) == (None, [])
    # The reader sees the real crashed thread, and only one.
    assert [t.crashed for t in parsed.threads].count(True) == 1
    assert parsed.threads[0].crashed and parsed.threads[0].id == seen["crash"]["tid"]
    assert 0xBAD not in {t.id for t in parsed.threads}
    assert analysis.crashed_thread(parsed).id == seen["crash"]["tid"]
    # Every text reads back as the process gave it.
    given = dict(HOSTILE[:4])
    assert (parsed.version, parsed.build) == (given["version"], given["build"])
    metadata = [e.to_json() for e in parsed.metadata]
    assert ["note", given["note"]] in metadata and ["crash_kind", "hostile"] in metadata
    assert ["enabled_extensions", FAKE_THREAD] in metadata
    # Lines of text for a person show the control characters escaped.
    summary = analysis.summary_lines(parsed)
    # A 64-bit log names its architecture after the build; an x86 one, as
    # ever, does not.
    assert summary[0] == (
        'Product: version 7.8 "x"\\x0D\\x0ACrashed=1\\, build b\\x0A"42"\\x41\\x7F'
        + ("" if arch().name == "x86" else f", {arch().name}"))
    assert all(c >= " " and c != "\x7f" for line in summary for c in line)


def test_the_nested_crash_names_its_three_functions_once_symbolized(crashes):
    log = parse_file(crashes["nested"]["log"])
    frames = analysis.frame_chain(log)
    # The x86-64 compiler gives the innermost function, a leaf that needs no
    # stack, no frame of its own even when frame pointers are kept, so the
    # frame pointer is still its caller's: the walk finds that caller's
    # return address by the scan below it, and the next frame through it.
    leaf = "frame pointer" if arch().word_bytes == 4 else "stack scan"
    assert [f.found_by for f in frames[:3]] == ["instruction pointer", leaf, "frame pointer"]
    assert all(f.module is not None and f.module.name == EXE for f in frames[:3])
    symbolizer = Symbolizer([os.path.join(build_dir(), "bin")])
    found = symbolizer.symbolize(
        [(f.module.name, f.module.timestamp, f.offset) for f in frames[:3]]
    )
    functions = [found[(f.module.name, f.module.timestamp, f.offset)] for f in frames[:3]]
    assert [loc.function for loc in functions] == client_functions(*NESTED), symbolizer.notes
    assert all(loc.file.endswith("nested_crash.cc") and loc.line > 0 for loc in functions)

    # The command line says the same, function and line.
    here = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    output = subprocess.run(
        ["/usr/bin/python3", "-m", "crashlog", "symbolize", crashes["nested"]["log"],
         "--symbols", os.path.join(build_dir(), "bin")],
        capture_output=True, text=True, timeout=120, env=dict(os.environ, PYTHONPATH=here),
    )
    assert output.returncode == 0, output.stderr
    lines = output.stdout.splitlines()
    inner, _, outer = client_functions(*NESTED)
    assert inner in lines[0] and "nested_crash.cc:" in lines[0]
    assert outer in lines[2]


def test_the_same_crash_in_two_runs_has_one_signature_and_other_crashes_others(crashes):
    signatures = {
        kind: analysis.signature(parse_file(crashes[kind]["log"]))
        for kind in ("nested", "nested again", "read", "write")
    }
    assert signatures["nested"] == signatures["nested again"]
    assert signatures["nested"][0].startswith(f"C0000005 {EXE}+0x")
    assert signatures["nested"][0].count(" | ") >= 2
    assert len({signatures[k] for k in ("nested", "read", "write")}) == 3


def test_the_shipped_reporter_is_symbolized_from_its_debug_file():
    bin_dir = os.path.join(build_dir(), "bin")
    exe = os.path.join(bin_dir, "tavra_crash_reporter.exe")
    assert os.path.exists(exe + ".debug")
    wide = build_architecture() == "x86-64"
    nm = "x86_64-w64-mingw32-nm" if wide else "i686-w64-mingw32-nm"
    symbols = subprocess.run([nm, exe], capture_output=True, text=True, check=True).stdout
    # The i686 ABI decorates the name; the x86-64 one does not.
    win_main = int(re.search(r"^([0-9a-f]+) T (?:_WinMain@16|WinMain)$", symbols, re.M).group(1),
                   16)
    symbolizer = Symbolizer([bin_dir])
    stamp = pe_timestamp(exe)
    assert symbolizer.module_file("tavra_crash_reporter.exe", stamp) == exe + ".debug"
    # The preferred image base, from the headers: 32 bits in PE32, 64 in PE32+.
    with open(exe, "rb") as f:
        head = f.read(4096)
    pe = int.from_bytes(head[0x3C:0x40], "little")
    image_base = int.from_bytes(head[pe + 48 : pe + 56], "little") if wide else \
        int.from_bytes(head[pe + 52 : pe + 56], "little")
    offset = win_main - image_base + 4
    found = symbolizer.symbolize([("tavra_crash_reporter.exe", stamp, offset)])
    location = found[("tavra_crash_reporter.exe", stamp, offset)]
    assert location.function == "WinMain" and location.file.endswith("reporter_main.cc")
    # Another build's time stamp finds nothing, and says why.
    assert Symbolizer([bin_dir]).module_file("tavra_crash_reporter.exe", stamp ^ 1) is None


def symbolized(frames):
    """The function of each frame (None where none is found)."""
    symbolizer = Symbolizer([os.path.join(build_dir(), "bin")])
    requests = [(f.module.name, f.module.timestamp, f.offset) for f in frames if f.module]
    found = symbolizer.symbolize(requests)
    return [found[r].function if r in found else None for r in requests], symbolizer.notes


def test_a_stack_overflow_is_signed_by_the_recursive_function_not_the_stack_probe(crashes):
    log = parse_file(crashes["stack-overflow"]["log"])
    functions, notes = symbolized(analysis.signature_frames(log))
    assert any(f and "recurse(" in f for f in functions), (functions, notes)


# The reporter names the signature of each crash in its first request; the
# crashes of every kind, with what the first request said and any failure.
SIGNATURE_HEADER = "X-Tavra-Crash-Signature"
SIGNED_KINDS = [(kind, argument) for kind, argument, _, _ in KINDS] + [("deep", "30")]
DEEP = ("deepCrashInner", "deepCrashMiddle", "deepCrashOuter")


class _FirstRequests(http.server.BaseHTTPRequestHandler):
    """Records each request's headers and declines the report (503), so
    that nothing is uploaded and the crash log stays."""

    def do_GET(self):
        with self.server.arrived:
            self.server.headers.append(dict(self.headers.items()))
            self.server.arrived.notify_all()
        self.send_response(503)
        self.send_header("Content-Length", "0")
        self.end_headers()

    do_POST = do_GET

    def log_message(self, *_):
        pass


@pytest.fixture(scope="module")
def signed_crashes(tmp_path_factory):
    build_dir()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _FirstRequests)
    server.headers, server.arrived = [], threading.Condition()
    serving = threading.Thread(target=server.serve_forever, daemon=True)
    serving.start()
    results = {}
    # The crash-storm budget, where the reporter has one, must not hold back
    # a first request.
    session = CrashSession(
        str(tmp_path_factory.mktemp("signed")), f"http://127.0.0.1:{server.server_address[1]}/",
        env={"TAVRA_CRASH_BUDGET_PER_SIGNATURE": "0", "TAVRA_CRASH_BUDGET_PER_DAY": "0"},
    )
    try:
        for kind, argument in SIGNED_KINDS:
            with server.arrived:
                before = len(server.headers)
            try:
                seen = session.crash(kind, argument)
            except AssertionError as e:
                results[kind] = {"error": str(e)}
                continue
            # The reporter asks while the crashed process waits, so the
            # request has come; the bound only keeps a broken run from hanging.
            with server.arrived:
                server.arrived.wait_for(lambda: len(server.headers) > before, timeout=60)
                seen["first request"] = server.headers[before] if len(server.headers) > before \
                    else None
            results[kind] = seen
    finally:
        session.close()
        server.shutdown()
        server.server_close()
    return results


def _signed(signed_crashes, kind):
    seen = signed_crashes[kind]
    assert "error" not in seen, seen.get("error")
    return seen


@pytest.mark.parametrize("kind", [k for k, _ in SIGNED_KINDS])
def test_the_reporter_and_the_reader_sign_each_crash_alike(signed_crashes, kind):
    seen = _signed(signed_crashes, kind)
    headers = seen["first request"]
    assert headers is not None, "the reporter made no first request for this crash"
    sent = {name.lower(): value for name, value in headers.items()}.get(SIGNATURE_HEADER.lower())
    assert sent is not None, f"the first request has no {SIGNATURE_HEADER} header: {headers}"
    text, digest = analysis.signature(parse_file(seen["log"]))
    assert sent == digest, f"the reporter sent {sent}; the reader signs the log {digest}: {text}"


def test_a_crash_in_optimised_code_without_frame_pointers_finds_its_three_callers(
    signed_crashes,
):
    log = parse_file(_signed(signed_crashes, "deep")["log"])
    frames = analysis.frame_chain(log)
    functions, notes = symbolized(frames)
    expected = client_functions(*DEEP)
    deep = [f for f in functions if f in expected]
    assert functions[0] == expected[0] and deep == expected, (functions, notes)
    # The log alone signs it by the three, as the reporter does.
    assert analysis.signature(log)[0].count(" | ") >= 2


def test_the_summary_of_all_threads_shows_each_thread_the_crashed_one_first(crashes):
    seen = crashes["nested"]
    here = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    output = subprocess.run(
        ["/usr/bin/python3", "-m", "crashlog", "summary", "--all-threads", seen["log"],
         "--symbols", os.path.join(build_dir(), "bin")],
        capture_output=True, text=True, timeout=120, env=dict(os.environ, PYTHONPATH=here),
    )
    assert output.returncode == 0, output.stderr
    lines = output.stdout.splitlines()
    others = [int(m.group(1), 16) for m in map(re.compile(r"^Thread ([0-9A-F]{8}):$").match, lines)
              if m]
    # The test client's own threads, each walked and symbolized below its heading.
    assert set(seen["threads"]) - {seen["crash"]["tid"]} <= set(others)
    assert lines.index("Frames:") < lines.index(f"Thread {others[0]:08X}:")
    assert client_functions(*NESTED)[0] in lines[lines.index("Frames:") + 1]
    assert sum("  #0 " in line for line in lines) == 1 + len(others)
