"""Input that is not a crash log, or that is built to hurt: clear errors or
partial results from the command line, never a traceback, within bounded
time and memory."""

import os
import resource
import subprocess
import time
import zipfile

import pytest

from crashlog import analysis, parser
from crashlog.parser import MAX_DUMP_BYTES, MAX_LINES, MAX_STACK_WORDS, parse_bytes

from .support import (REPORT_TOOLS, call_code, dump_lines, make_log, read_data, run_cli,
                      stack_lines, zip_of)

SUBCOMMANDS = ["parse", "summary", "signature", "symbolize"]


def write(tmp_path, name, data: bytes) -> str:
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize(
    "name,data,message",
    [
        ("empty.txt", b"", "the file is empty"),
        ("text.txt", b"hello\r\nworld\r\n", 'does not start with "TAVRA-CRASHLOG V1"'),
        ("image.png", b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 8, "not a crash log"),
        ("almost.txt", b"TAVRA-CRASHLOG V2 desktop 1 2 windows  release\r\n", "not a crash log"),
        ("other.zip", zip_of([("readme.txt", b"TAVRA-CRASHLOG V1 x")]),
         "the archive holds no crashlog.txt ('readme.txt')"),
        ("nested.zip", zip_of([("logs/crashlog.txt", read_data("small_crash_log.txt"))]),
         "the archive holds no crashlog.txt"),
        ("broken.zip", b"PK\x03\x04" + bytes(100), "not a readable zip archive"),
        ("inside.zip", zip_of([("crashlog.txt", b"\x00\x01binary")]), "not a crash log"),
    ],
)
@pytest.mark.parametrize("subcommand", SUBCOMMANDS)
def test_a_file_that_is_not_a_crash_log_is_refused_clearly(tmp_path, subcommand, name, data,
                                                             message):
    path = write(tmp_path, name, data)
    result = run_cli(subcommand, path)
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.startswith(f"crashlog: {path}: ") and message in result.stderr
    assert "Traceback" not in result.stderr


def test_a_missing_file_and_a_folder_are_refused(tmp_path):
    for path in (str(tmp_path / "absent.txt"), str(tmp_path)):
        result = run_cli("parse", path)
        assert result.returncode == 1 and "Traceback" not in result.stderr
        assert result.stderr.startswith(f"crashlog: {path}: ")


def test_good_files_are_read_beside_bad_ones(tmp_path):
    good = write(tmp_path, "good.txt", read_data("small_crash_log.txt"))
    bad = write(tmp_path, "bad.txt", b"nothing\n")
    result = run_cli("signature", good, bad)
    assert result.returncode == 1
    assert result.stdout.startswith(f"{good}: C0000005 tavra.exe+0xf10")
    assert f"crashlog: {bad}: " in result.stderr


def test_a_damaged_archive_entry_ends_the_log_where_it_broke(tmp_path):
    text = read_data("small_crash_log.txt") * 40
    data = bytearray(zip_of([("crashlog.txt", text)]))
    # Spoil the deflate stream in its second half.
    start = data.index(b"crashlog.txt") + len("crashlog.txt")
    end = data.rindex(b"PK\x01\x02")
    for i in range((start + end) // 2, end - 4):
        data[i] ^= 0x5A
    result = run_cli("summary", write(tmp_path, "spoilt.zip", bytes(data)))
    assert "Traceback" not in result.stderr
    assert result.returncode in (0, 1)
    if result.returncode == 0:
        assert "cut off" in result.stdout or "damaged" in result.stdout


def rss_limit_run(arguments, limit_bytes, timeout):
    """Runs the command line in a child with an address-space limit; its
    result, its peak resident memory in bytes, and its time."""
    code = (
        "import resource, runpy, sys\n"
        f"resource.setrlimit(resource.RLIMIT_AS, ({limit_bytes}, {limit_bytes}))\n"
        f"sys.argv = ['crashlog'] + {list(arguments)!r}\n"
        "runpy.run_module('crashlog', run_name='__main__')\n"
    )
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    started = time.monotonic()
    result = subprocess.run(["/usr/bin/python3", "-c", code],
                            capture_output=True, text=True, timeout=timeout,
                            env=dict(os.environ, PYTHONPATH=REPORT_TOOLS))
    took = time.monotonic() - started
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
    return result, (peak if peak > before * 1024 else None), took


def huge_log(path, target_bytes):
    """A log of about target_bytes: a thousand threads of full stacks and
    memory dumps for the rest."""
    head = make_log().split(b"\r\nUsed DLLs:")[0].split(b"\r\n\r\nThread:")[0]
    with open(path, "wb") as f:
        f.write(head + b"\r\n")
        words = list(range(0x0012F000, 0x0012F000 + 2048 * 4, 4))
        stack = ("\r\n".join(stack_lines(0x0012F000, words)) + "\r\n").encode()
        for number in range(1000):
            tid = f"{number + 1:08X}"
            f.write((f"\r\nThread: {tid}\r\n\r\nThreadInfo: {tid}\r\nPriority=00000000\r\n"
                     f"Crashed={1 if number == 0 else 0}\r\n"
                     "checked_context_values=9 (all)\r\nchecked_stack_values=2048 (all)\r\n"
                     f"\r\nRegisters: {tid}\r\n"
                     "EAX=00000000   EBX=00000000   ECX=00000000   EDX=00000000   ESI=00000000"
                     "\r\nEDI=00000000   EBP=0012F008   ESP=0012F000   EIP=00401010 "
                     "FLAGS=00000246\r\n"
                     "CS=001B   DS=0023   SS=0023   ES=0023   FS=003B   GS=0000\r\n"
                     f"\r\nFPU stack: {tid}\r\n" + (" ".join(["0" * 20] * 3) + "\r\n") * 2
                     + " ".join(["0" * 20] * 2) + " SW=0000 CW=027F\r\n"
                     f"\r\nStack dump: {tid}\r\n").encode())
            f.write(stack)
        f.write(b"\r\nUsed DLLs:\r\n")
        f.write(b"tavra.exe                  1.0" + b" " * 44
                + b"Base: 00400000 Size: 00100000 Timestamp: 5F000000\r\n")
        f.write(b"\r\nMemory dumps:\r\n")
        block = ("\r\n".join(dump_lines(0x20000000, bytes(range(256)) * 16)) + "\r\n").encode()
        address = 0x20000000
        while f.tell() < target_bytes:
            f.write(block.replace(b"20000", f"{address >> 12:05X}".encode()))
            address += 4096
    return os.path.getsize(path)


def test_a_huge_log_is_read_in_bounded_memory_and_says_what_it_left_out(tmp_path):
    path = str(tmp_path / "huge.txt")
    size = huge_log(path, 100 << 20)
    result, peak, took = rss_limit_run(["parse", "--compact", path], 1 << 30, 600)
    assert result.returncode == 0, result.stderr[-2000:]
    import json

    log = json.loads(result.stdout)
    print(f"huge log: {size} bytes parsed in {took:.1f} s, peak memory {peak} bytes")
    # Its 1.4 million lines pass the bound on lines read.
    assert log["truncated"]["line"] == MAX_LINES and log["problems"] == []
    assert f"more than {MAX_LINES} lines" in log["truncated"]["reason"]
    assert len(log["threads"]) == 1000
    kept_words = sum(len(line["words"]) for t in log["threads"] for line in t["stack"])
    assert kept_words <= MAX_STACK_WORDS
    assert len(log["threads"][0]["stack"]) == 512  # the crashed thread is whole
    assert sum(len(d["bytes"]) // 2 for d in log["memory_dumps"]) <= MAX_DUMP_BYTES
    assert any(text.startswith("memory dumps: kept") for text in log["capped"])
    assert any(text.startswith("stack dumps:") for text in log["capped"])


def test_an_overlong_line_is_cut_and_counted(tmp_path):
    text = make_log(metadata=[("long", "x" * 300000), ("after", "1")])
    result = run_cli("parse", write(tmp_path, "long.txt", text))
    assert result.returncode == 0
    import json

    log = json.loads(result.stdout)
    assert ["after", "1"] in log["metadata"]
    assert any("longer than 65536 bytes" in text for text in log["capped"])


def test_a_zip_bomb_ends_at_the_unpacking_limit(tmp_path):
    path = tmp_path / "bomb.zip"
    header = make_log().split(b"\r\n\r\nmetadata:")[0] + b"\r\n\r\nMemory dumps:\r\n"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as archive:
        with archive.open("crashlog.txt", "w", force_zip64=True) as entry:
            entry.write(header)
            zeros = b"0" * (1 << 20)
            for _ in range(300):
                entry.write(zeros)
    assert path.stat().st_size < 2 << 20
    result, _, took = rss_limit_run(["summary", str(path)], 1 << 30, 300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert "Traceback" not in result.stderr
    assert "is larger than 268435456 bytes" in result.stdout
    print(f"zip bomb: stopped after {took:.1f} s")


@pytest.mark.parametrize("name", ["small_crash_log.txt", "small_crash_log_x86_64.txt"])
def test_randomly_spoilt_logs_never_raise(name):
    import random
    from crashlog import analysis
    from crashlog.parser import parse_bytes

    rng = random.Random(7)
    text = read_data(name)
    lines = text.split(b"\r\n")
    for _ in range(400):
        spoilt = list(lines)
        for _ in range(rng.randint(1, 4)):
            at = rng.randrange(1, len(spoilt))
            action = rng.choice(["drop", "repeat", "swap", "flip", "blank"])
            if action == "drop":
                del spoilt[at]
            elif action == "repeat":
                spoilt.insert(at, spoilt[at])
            elif action == "swap":
                other = rng.randrange(1, len(spoilt))
                spoilt[at], spoilt[other] = spoilt[other], spoilt[at]
            elif action == "flip" and spoilt[at]:
                line = bytearray(spoilt[at])
                line[rng.randrange(len(line))] = rng.randrange(256)
                spoilt[at] = bytes(line)
            else:
                spoilt[at] = b""
        log = parse_bytes(b"\r\n".join(spoilt))
        analysis.summary_lines(log)
        analysis.signature(log)


def crashed_after(other_words: int, other_threads: int, crashed_words: int) -> bytes:
    """A log whose crashed thread comes after `other_threads` threads of
    `other_words` stack words each; its stack holds a return address past
    the first words (found by a scan)."""
    code_address, code = call_code(0x00401200, target=0x00401000)
    words = [0] * crashed_words
    words[-1] = 0x00401200
    others = [(0x1000 + n, {"EIP": 0x00401010}, (0x00200000 + n * 0x10000, [7] * other_words, ()))
              for n in range(other_threads)]
    return make_log(stack=(0x0012F000, words, ()), dumps=[(code_address, code)],
                    other_threads=others)


def crashed_words_kept(log) -> int:
    return sum(len(line.words) for line in analysis.crashed_thread(log).stack)


def test_the_crashed_thread_after_a_full_stack_budget_keeps_its_stack_and_signature():
    # What the writer may write: 128 threads of 8 KiB stacks before the crashed one.
    log = parse_bytes(crashed_after(2048, 128, 2048))
    assert crashed_words_kept(log) == 2048
    assert analysis.signature(log) == analysis.signature(parse_bytes(crashed_after(0, 0, 2048)))
    assert len(analysis.signature_frames(log)) == 2
    assert log.capped == []  # the others filled the cap exactly


# (stack words kept in all, other threads' words, crashed thread's words,
# crashed thread's words kept): the exempt words count toward the cap too,
# so words past the exemption are kept only while the cap has room.
CRASHED_STACK_CASES = [
    (64, 16, 16, 16),
    (64, 64, 16, 16),
    (64, 64, 2048 + 8, 2048),
    (64, 32, 2048 + 64, 2048),
    (4096, 32, 2048 + 64, 2048 + 64),
]


@pytest.mark.parametrize("cap,other_words,crashed_words,kept", CRASHED_STACK_CASES)
def test_the_crashed_threads_stack_is_kept_past_the_cap_up_to_a_writers_bound(
    monkeypatch, cap, other_words, crashed_words, kept
):
    monkeypatch.setattr(parser, "MAX_STACK_WORDS", cap)
    log = parse_bytes(crashed_after(other_words, 1, crashed_words))
    assert crashed_words_kept(log) == kept
    assert sum(len(line.words) for line in log.threads[0].stack) == other_words


@pytest.mark.parametrize(
    "arguments",
    [["signature"], ["summary"], ["symbolize"], ["summary", "--symbols", "{folder}"]],
)
def test_file_names_with_control_characters_stay_on_their_lines(tmp_path, arguments):
    # Two good logs and a bad one, each named to start lines of its own;
    # a symbols folder likewise (its note names it).
    folder = tmp_path / "sym\rbols\x1b[2J"
    good = [write(tmp_path, f"a\n{i}\x1b[31m\u2028\x9b.txt", read_data("small_crash_log.txt"))
            for i in range(2)]
    bad = write(tmp_path, "bad\r\nNote: fine.txt", b"nothing\n")
    arguments = [a.replace("{folder}", str(folder)) for a in arguments]
    result = run_cli(*arguments, *good, bad)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    for output in (result.stdout, result.stderr):
        assert all(line.isprintable() for line in output.split("\n")), output
    assert "a\\x0A0\\x1B[31m\\u2028\\x9B.txt" in result.stdout
    assert result.stderr.startswith("crashlog: ") and "bad\\x0D\\x0ANote: fine.txt" in result.stderr
def many_tiny_dumps(count: int) -> bytes:
    """A log whose dumps are `count` one-byte ranges apart from each other."""
    line = dump_lines(0, b"A")[0][8:]
    dumps = "\r\n\r\n".join(f"{0x20000000 + 64 * i:08X}{line}" for i in range(count))
    return make_log().rstrip(b"\r\n") + b"\r\n\r\n" + dumps.encode() + b"\r\n"


# (log, dumped ranges kept, what "capped" says, what "truncated" says)
LINE_AND_RANGE_CASES = [
    pytest.param(lambda: many_tiny_dumps(400_000), parser.MAX_MEMORY_DUMPS,
                 f"kept {parser.MAX_MEMORY_DUMPS} of 400000 bytes and "
                 f"{parser.MAX_MEMORY_DUMPS} of 400000 ranges", None,
                 id="400000 one-byte dumps"),
    pytest.param(lambda: make_log() + b"\r\n" * (MAX_LINES + 10), 0, None,
                 f"more than {MAX_LINES} lines", id="a million blank lines"),
]


@pytest.mark.parametrize("make,kept,capped,truncated", LINE_AND_RANGE_CASES)
def test_what_a_parse_reads_is_bounded_in_ranges_and_lines(make, kept, capped, truncated):
    data = make()
    started = time.monotonic()
    log = parse_bytes(data)
    took = time.monotonic() - started
    assert took < 30, f"{len(data)} bytes took {took:.1f} s"
    assert len(log.memory_dumps) == kept
    assert (capped is None) == (log.capped == []), log.capped
    assert capped is None or capped in log.capped[0]
    assert (log.truncated is None) == (truncated is None)
    assert truncated is None or truncated in log.truncated.reason
