"""The parser on the writer's layout: every field, both line ends, names
and values that the layout makes hard, and logs cut off or changed."""

import pytest

from crashlog.analysis import summary_lines
from crashlog.parser import parse_bytes, parse_file

from .support import DATA, data_path, dump_lines, make_log, read_data, run_cli, stack_lines, zip_of


def test_the_writers_expected_log_reads_whole():
    parsed = parse_file(data_path("small_crash_log.txt"))
    log = parsed.to_json()
    assert (log["version"], log["build"]) == ("1.2.3.4", "5678")
    assert log["exception"] == {
        "module": "tavra.exe", "code": "C0000005", "address": "00400F10", "base": "00400000"
    }
    assert log["metadata"] == [
        ["ptype", "renderer"], ["enabled_extensions", ""], ["os_version", "6.1.7601"]
    ]
    first, second = log["threads"]
    assert (first["id"], first["priority"], first["crashed"]) == ("000001A4", "FFFFFFFE", True)
    assert (first["checked_stack_values"], first["checked_stack_values_all"]) == (25, True)
    assert first["registers"]["EIP"] == "00400F10" and first["registers"]["FS"] == "003B"
    assert first["fpu"]["registers"][:2] == ["3FFF8000000000000000", "0A090807060504030201"]
    assert (first["fpu"]["SW"], first["fpu"]["CW"]) == ("4020", "027F")
    assert first["stack"][0] == {"address": "0012FF80",
                                 "words": ["00400F04", ">0012FFA0", "44434241", "00000000"]}
    assert first["stack"][-1] == {"address": "0012FFE0", "words": ["00000000"]}
    assert sum(len(line["words"]) for line in first["stack"]) == 25
    assert (second["crashed"], second["stack"][3]["words"][0]) == (False, ">0022FE08")
    assert log["modules"] == [
        {"name": "tavra.exe", "version": "1.2.3.4", "base": "00400000", "size": "00100000",
         "timestamp": "5F000000"},
        {"name": "a_library_with_a_long_name.dll", "version": "", "base": "10000000",
         "size": "00020000", "timestamp": "12345678"},
    ]
    assert [d["address"] for d in log["memory_dumps"]] == ["00400EF4", "10000FF8"]
    assert log["memory_dumps"][0]["bytes"].startswith("6b788592") and \
        len(log["memory_dumps"][0]["bytes"]) == 2 * 52
    assert (log["truncated"], log["problems"], log["capped"]) == (None, [], [])
    # The same as numbers, for the analysis.
    assert (parsed.exception.address, parsed.modules[1].timestamp) == (0x00400F10, 0x12345678)
    assert parsed.threads[0].stack[0].words[1] == (0x0012FFA0, True)
    assert parsed.memory_dumps[1].data[:2] == bytes([0x9F, 0xAC])


@pytest.mark.parametrize(
    "name", ["small_crash_log.txt", "demo_write_crash.zip", "small_crash_log_x86_64.txt"])
def test_crlf_and_lf_line_ends_read_the_same(tmp_path, name):
    whole = parse_file(data_path(name))
    if name.endswith(".zip"):
        import zipfile
        with zipfile.ZipFile(data_path(name)) as archive:
            text = archive.read("crashlog.txt")
    else:
        text = read_data(name)
    assert b"\r\n" in text
    assert parse_bytes(text.replace(b"\r\n", b"\n")) == whole
    assert parse_bytes(text) == whole


@pytest.mark.parametrize(
    "name,version",
    [
        ("tavra.exe", "1.2.3.4"),
        ("my helper lib.dll", "2.0.0.1"),
        ("name with  two blanks.dll", ""),
        ("a" * 26 + ".dll", "6.1.7601.17514 (win7sp1_rtm.101119-1850)"),
        ("short.dll", "v" * 60),
        ("Base: 00000000 Size: 1.dll", "1.0"),
        # Padded in bytes: a name or version in UTF-8 is narrower in characters.
        ("\u03a9mega Hook.dll", "2.0 \u00e9dition"),
        ("\u03a9" * 12 + " x.dll", "1.0"),
        ("\u00e9t\u00e9 x.dll", "\u00e9" * 30 + " v"),
    ],
)
def test_module_names_and_versions_with_blanks_read_back(name, version):
    log = parse_bytes(make_log(modules=[(name, version, 0x10000000, 0x2000)]))
    assert log.problems == []
    assert [m.to_json() for m in log.modules] == [
        {"name": name, "version": version, "base": "10000000", "size": "00002000",
         "timestamp": "5F000000"}]


def test_a_module_name_that_is_no_utf8_is_split_by_its_bytes():
    # Two bytes that read as one replacement character: the columns still count both.
    log = parse_bytes(make_log(modules=[("@@ x.dll", "1.0", 0x10000000, 0x2000)])
                      .replace(b"@@", b"\xe2\x82"))
    assert [(m.name, m.version) for m in log.modules] == [("\ufffd x.dll", "1.0")]


def test_metadata_keeps_order_duplicates_and_any_text_in_values():
    pairs = [("k", "a"), ("k", "b"), ("q", 'say "hi"'), ("e", "x=y"), ("m", "<b>x</b>"),
             ("empty", ""), ("multi", "one\r\ntwo")]
    log = parse_bytes(make_log(metadata=pairs))
    expected = [[k, v.replace("\r\n", "\n")] for k, v in pairs]
    assert [e.to_json() for e in log.metadata] == expected and log.problems == []


@pytest.mark.parametrize(
    "written,decoded",
    [
        ("a\\x0D\\x0Ab", "a\r\nb"),
        ("say\\x22hi\\x22", 'say"hi"'),
        ("C:\\x5Cx41\\x5C", "C:\\x41\\"),  # an escaped backslash before "x41"
        ("a\\x00b\\x7F\\x09", "a\x00b\x7f\t"),
        ("\\x22\\x0A\\x0AThread:\\x0A", '"\n\nThread:\n'),
        # Older logs wrote backslashes as they were: all but an escape stay.
        ("C:\\temp\\x", "C:\\temp\\x"),
        ("\\x0a\\xZZ\\x8F\\", "\\x0a\\xZZ\\x8F\\"),
    ],
)
def test_escaped_text_of_the_crashed_process_is_decoded_in_its_fields(written, decoded):
    log = parse_bytes(make_log(version=written, build=written, main=(written, 0x00400000),
                               code=written, metadata=[("k", written)],
                               modules=[(written, written, 0x00400000, 0x1000)]))
    assert (log.problems, log.truncated) == ([], None)
    assert (log.version, log.build) == (decoded, decoded)
    assert (log.exception.module, log.exception.code) == (decoded, decoded)
    assert [e.to_json() for e in log.metadata] == [["k", decoded]]
    assert (log.modules[0].name, log.modules[0].version) == (decoded, decoded)
    assert [t.crashed for t in log.threads] == [True]
    # Lines for a person show control characters escaped again.
    assert all(c >= " " and c != "\x7f" for line in summary_lines(log) for c in line)


def test_version_and_build_of_the_header():
    log = parse_bytes(make_log(version="0.0.0.0", build="-1"))
    assert (log.version, log.build) == ("0.0.0.0", "-1")


def test_a_log_cut_at_any_line_reads_as_far_as_it_goes():
    text = read_data("small_crash_log.txt")
    whole = parse_bytes(text)
    lines = text.split(b"\r\n")
    for count in range(1, len(lines)):
        cut = b"\r\n".join(lines[:count]) + b"\r\n"
        log = parse_bytes(cut)
        assert log.problems == [], count
        if count < 3:  # no exception line yet
            continue
        assert log.exception == whole.exception, count
        if count < lines.index(b"Memory dumps:") + 1:
            assert log.truncated is not None, count
            assert 1 <= log.truncated.line <= count, count
            assert log.truncated.expected, count
        # What was read agrees with the whole log so far.
        assert log.metadata == whole.metadata[: len(log.metadata)]
        for got, full in zip(log.threads, whole.threads):
            assert got.id == full.id
            assert got.stack == full.stack[: len(got.stack)]


@pytest.mark.parametrize(
    "cut,expected",
    [
        (b"Registers: 000001A4\r\nEAX=0000", "a line of registers"),
        (b"Stack dump: 000001A4\r\n0012FF80  00400F04 >001", "a line end"),
        (b"metadata:\r\nptype=\"rend", 'ending in a double quote'),
    ],
)
def test_a_log_cut_inside_a_line_says_what_it_expected(cut, expected):
    text = read_data("small_crash_log.txt")
    head = text[: text.index(cut) + len(cut)]
    log = parse_bytes(head)
    assert log.truncated is not None or log.problems
    said = (log.truncated.expected if log.truncated else "") + " ".join(
        p.expected for p in log.problems)
    assert expected in said


@pytest.mark.parametrize(
    "old,new,expected",
    [
        (b"EDI=00000000   EBP=0012FF84", b"EDI=0000000G   EBP=0012FF84", "a line of registers"),
        (b"Priority=FFFFFFFE", b"Priority=-2", '"Priority=XXXXXXXX"'),
        (b"0012FF90  00020008  6C6C6568", b"0012FF90  00020008 *6C6C6568", "a stack line"),
        (b"0012FFA0 >0012FFC0", b"0012FFB0 >0012FFC0", "the stack line of address 0012FFA0"),
        (b"Base: 10000000 Size", b"Base: 1000000 Size", "a module line"),
        (b"00400F04  3B 48 55 62", b"00400F04  3B 48 55 6", "a memory dump line"),
        (b"checked_stack_values=25 (all)", b"checked_stack_values=lots", "checked_stack_values"),
    ],
)
def test_a_changed_line_is_reported_and_the_rest_still_read(old, new, expected):
    text = read_data("small_crash_log.txt")
    assert text.count(old) == 1
    log = parse_bytes(text.replace(old, new))
    whole = parse_bytes(text)
    line = text[: text.index(old)].count(b"\n") + 1
    assert len(log.problems) == 1
    problem = log.problems[0]
    assert problem.line == line and expected in problem.expected
    assert log.modules or "module" in expected
    # The sections after the damage are read again.
    if b"Base:" not in old:
        assert log.modules == whole.modules
    assert log.exception == whole.exception


def test_an_archive_reads_as_its_crashlog(tmp_path):
    text = read_data("small_crash_log.txt")
    path = tmp_path / "report.zip"
    path.write_bytes(zip_of([("readme.txt", b"x"), ("crashlog.txt", text)]))
    assert parse_file(str(path)) == parse_bytes(text)


def test_layout_helpers_match_the_writers_fixture():
    # The hand-made logs of these tests follow the fixture byte for byte.
    text = read_data("small_crash_log.txt").decode()
    assert "\r\n".join(stack_lines(0x0012FFE0, [0])) in text
    data = bytes.fromhex("3f4c59667380 8d9a".replace(" ", ""))
    assert "\r\n".join(dump_lines(0x10001018, data)) in text


@pytest.mark.parametrize(
    "name", ["small_crash_log.txt", "damaged_crash_log.txt", "small_crash_log_x86_64.txt"])
def test_parse_prints_the_json_that_scripts_read_byte_for_byte(name):
    # The goldens were printed by "parse" itself; whatever reads its JSON
    # relies on every key, its order and the layout. The damaged log has a
    # line out of form, a "Crash Logger:" section and no last line end; the
    # x86-64 log 16-digit addresses and the x86-64 registers.
    result = run_cli("parse", name, cwd=DATA)
    assert result.returncode == 0, result.stderr
    with open(data_path(name.replace(".txt", ".parse.json")), encoding="utf-8") as f:
        assert result.stdout == f.read()
