"""The report pages as a person's browser shows them (headless Chromium),
and what the reporter gets on the same paths."""

import os
import re
import shutil
import subprocess
import tempfile
import urllib.request

import pytest

from crashlog.tests.support import call_code, make_log

from .support import REPORTER_USER_AGENT, exchange, get_request, parse_response, upload

CHROMIUM = shutil.which("chromium")
HOSTILE = [
    ("bold", "<b>x</b>"),
    ("script", "<script>document.title='owned'</script>"),
    ("image", '<img src="/x" onerror="document.title=1">'),
    ("quote", '"><a href="/evil">link</a>'),
    # Markup with a quote and a line break, as the reporter writes it.
    ("escaped", "<i>y\\x22\\x0D\\x0Az"),
]


def chromium(*arguments: str, timeout: float = 90) -> str:
    if CHROMIUM is None:
        pytest.fail("chromium is not installed (tools/setup.sh installs it)")
    profile = tempfile.mkdtemp(prefix="crash-pages-chromium-")
    try:
        result = subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--no-first-run", f"--user-data-dir={profile}", *arguments],
            capture_output=True, text=True, timeout=timeout,
        )
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout


def crash_at(offset: int, base: int = 0x00400000, caller: int = 0x2000, name="tavra.exe",
             **kwargs) -> bytes:
    """The same module+offsets of the module `name` loaded at `base`: a
    crash at base+offset called from base+caller."""
    esp = 0x0012FF00
    words = [0, 0, 0x0012FF18, base + caller, 0, 0, 0, 0]
    return make_log(address=base + offset, main=(name, base),
                    modules=[(name, "1.2.3.4", base, 0x00100000)],
                    registers={"EBP": esp + 8}, stack=(esp, words, (2,)),
                    **dict({"dumps": [call_code(base + caller, "call reg")]}, **kwargs))


@pytest.fixture
def reports(server):
    """Three stored reports: one crash twice at different load addresses
    (versions 1.0 and 2.0), and another crash with hostile annotations."""
    ids = []
    logs = [
        crash_at(0x1010, version="1.0"),
        crash_at(0x1010, base=0x01300000, version="2.0"),
        crash_at(0x5555, metadata=HOSTILE + [("ptype", "renderer")]),
    ]
    for log in logs:
        status, _, body, _ = upload(server.port, {"email": ""}, log)
        assert status == "200"
        ids.append(re.search(rb"report ([0-9a-f]{16}) stored", body).group(1).decode())
    return server, ids


def url(server, path="/"):
    return f"http://127.0.0.1:{server.port}{path}"


def test_the_list_groups_the_reports_by_signature(reports):
    server, ids = reports
    dom = chromium("--dump-dom", url(server))
    groups = re.findall(r'<section class="group".*?</section>', dom, re.S)
    assert len(groups) == 2
    same, other = groups
    assert "2 report(s)" in same and "1 report(s)" in other
    assert sorted(re.findall(r'href="/reports/([0-9a-f]{16})"', same)) == sorted(ids[:2])
    assert re.findall(r'href="/reports/([0-9a-f]{16})"', other) == [ids[2]]
    assert "C0000005 tavra.exe+0x1010 | tavra.exe+0x2000" in same
    assert "1.0 (5678): 1, 2.0 (5678): 1" in same
    assert "C0000005 tavra.exe+0x5555 | tavra.exe+0x2000" in other


def test_a_report_page_shows_the_crash_its_frames_and_annotations_as_text(reports):
    server, ids = reports
    dom = chromium("--dump-dom", url(server, f"/reports/{ids[2]}"))
    assert re.search(r'<span id="crash-location" class="mono">tavra\.exe\+0x5555</span>', dom)
    frames = re.search(r'<table id="frames">.*?</table>', dom, re.S).group(0)
    assert "tavra.exe+0x5555" in frames and "tavra.exe+0x2000" in frames
    assert "<title>Crash report " in dom and "owned" not in dom.split("</title>")[0]
    annotations = re.search(r'<table id="annotations">.*?</table>', dom, re.S).group(0)
    # Markup in an annotation makes no element: it shows as its text.
    for tag in ("<b>", "<script", "<img", '<a href="/evil"'):
        assert tag not in annotations
    assert "&lt;b&gt;x&lt;/b&gt;" in annotations
    assert "&lt;script&gt;document.title='owned'&lt;/script&gt;" in annotations
    assert '&lt;img src="/x" onerror="document.title=1"&gt;' in annotations
    # An escaped text shows decoded, as text.
    assert '&lt;i&gt;y"\nz' in annotations and "<i>" not in annotations
    assert dom.count("<script") == 0
    registers = re.search(r'<table id="registers">.*?</table>', dom, re.S).group(0)
    assert "<th>EIP</th><td class=\"mono\">00405555</td>" in registers


def test_a_report_page_shows_every_thread_the_crashed_one_first_and_open(server):
    # Another thread, listed before the crashed one, waits in a call.
    other = (0x2B0, {"EIP": 0x00407777}, (0x0013FF00, [0, 0x00408005], ()))
    log = crash_at(0x1010, other_threads=[other],
                   dumps=[call_code(0x00402000, "call reg"), call_code(0x00408005, "call reg")])
    status, _, body, _ = upload(server.port, {"email": ""}, log)
    assert status == "200"
    report_id = re.search(rb"report ([0-9a-f]{16}) stored", body).group(1).decode()
    dom = chromium("--dump-dom", url(server, f"/reports/{report_id}"))
    threads = re.findall(r'<details class="thread"([^>]*)><summary>(.*?)</summary>(.*?)</details>',
                         dom, re.S)
    assert [(opened.strip(), title) for opened, title, _ in threads] == [
        ('id="thread-0" open=""', "Thread 000001A4 (crashed): 2 frame(s)"),
        ('id="thread-1"', "Thread 000002B0: 2 frame(s)"),
    ]
    assert 'id="frames"' in threads[0][2]
    assert re.findall(r'<td class="mono">(tavra\.exe\+0x[0-9a-f]+)</td>', threads[1][2]) == [
        "tavra.exe+0x7777", "tavra.exe+0x8005"]
    assert "<script" not in dom


def test_the_raw_log_downloads_byte_for_byte_and_unknown_reports_are_404(reports):
    server, ids = reports
    request = urllib.request.Request(url(server, f"/reports/{ids[0]}/crashlog.txt"))
    with urllib.request.urlopen(request, timeout=10) as answer:
        assert answer.read() == crash_at(0x1010, version="1.0")
        assert "attachment" in answer.headers["Content-Disposition"]
    for path in ("/reports/0123456789abcdef", "/reports/../../etc/passwd",
                 f"/reports/{ids[0]}/fields.json", "/reports/%3Cb%3E"):
        status, _, body = parse_response(exchange(server.port, get_request(
            path, [("User-Agent", "Mozilla/5.0")])))
        assert status == "404", path
        assert b"<b>" not in body


def test_the_reporter_still_gets_a_first_request_on_the_page_paths(reports):
    server, _ = reports
    # The reporter's agent of any edition and version.
    agents = (REPORTER_USER_AGENT + " (Edition developer)", REPORTER_USER_AGENT,
              "TavraCrashReporter/1.1 (Windows)")
    for path in ("/", "/reports/0123456789abcdef", "/signatures/0123456789ab"):
        for agent in agents:
            status, headers, _ = parse_response(exchange(server.port, get_request(
                path, [("User-Agent", agent)])))
            assert status == "303" and "?id=" in headers["location"], (path, agent)
        status, headers, body = parse_response(exchange(server.port, get_request(
            path, [("User-Agent", "Mozilla/5.0")])))
        assert headers["content-type"].startswith("text/html"), path
    # Other paths stay first requests for every client, as before.
    status, _, _ = parse_response(exchange(server.port, get_request(
        "/crash", [("User-Agent", "curl/8")])))
    assert status == "303"


def test_a_refusing_first_request_mode_leaves_the_pages_served(reports):
    server, _ = reports
    server.control(first_request="refuse")
    status, _, body = parse_response(exchange(server.port, get_request(
        "/", [("User-Agent", "Mozilla/5.0")])))
    assert status == "200" and b"Crash reports" in body
    assert exchange(server.port, get_request("/")) == b""


def test_screenshots_of_the_pages(reports, tmp_path):
    server, ids = reports
    for name, path in (("list", "/"), ("report", f"/reports/{ids[2]}")):
        shot = tmp_path / f"{name}.png"
        chromium(f"--screenshot={shot}", "--window-size=1200,900", url(server, path))
        data = shot.read_bytes()
        assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 5000


@pytest.mark.parametrize("others,walked,left_out", [(2, 3, 0), (299, 256, 44)])
def test_a_report_page_walks_only_the_threads_it_shows(tmp_path, monkeypatch, others, walked,
                                                        left_out):
    from crash_server.report_pages import ReportPages
    from crashlog.stack_walk import Walker

    report_id = "0123456789abcdef"
    (tmp_path / report_id).mkdir()
    threads = [(0x2000 + n, {}, (0x00200000, [0], ())) for n in range(others)]
    (tmp_path / report_id / "crashlog.txt").write_bytes(crash_at(0x1010, other_threads=threads))
    walk = Walker.walk
    walks = []
    monkeypatch.setattr(Walker, "walk",
                        lambda self, thread: walks.append(thread) or walk(self, thread))
    status, body, _, _ = ReportPages(str(tmp_path), [str(tmp_path)]).report_page(report_id)
    # One walk more: the signature's, of the crashed thread.
    assert status == 200 and len(walks) == walked + 1 and walks[0].crashed
    assert body.count(b'<details class="thread"') == walked
    assert (f"{left_out} more thread(s) are not shown".encode() in body) == bool(left_out)


# A crash in tavra.exe+0x1010 called from tavra.exe+0x2000, in each width:
# (architecture line, base, stack, the registers' names, addresses as shown).
WIDTHS = [
    (None, 0x00400000, 0x0012FF00, ("EIP", "ESP", "EBP"), 8),
    ("x86", 0x00400000, 0x0012FF00, ("EIP", "ESP", "EBP"), 8),
    ("x86-64", 0x00007FF6A1B20000, 0x000000E3A5AFF600, ("RIP", "RSP", "RBP"), 16),
]


@pytest.mark.parametrize("architecture,base,sp,names,digits", WIDTHS)
def test_a_report_page_shows_its_architecture_and_addresses_in_the_logs_width(
    tmp_path, architecture, base, sp, names, digits
):
    from crash_server.report_pages import ReportPages

    ip, sp_name, fp = names
    word = digits // 2
    words = [0, 0, sp + 4 * word, base + 0x2000, 0, 0, 0, 0]
    log = make_log(architecture=architecture, address=base + 0x1010, main=("tavra.exe", base),
                   modules=[("tavra.exe", "1.2.3.4", base, 0x00100000)],
                   registers={fp: sp + 2 * word, sp_name: sp, ip: base + 0x1010},
                   stack=(sp, words, (2,)),
                   dumps=[call_code(base + 0x2000, "call reg", count=7 + (word == 8))])
    report_id = "0123456789abcdef"
    (tmp_path / report_id).mkdir()
    (tmp_path / report_id / "crashlog.txt").write_bytes(log)
    pages = ReportPages(str(tmp_path), [])
    status, body, _, _ = pages.report_page(report_id)
    page = body.decode()
    assert status == 200
    shown = architecture or "x86"
    assert f'<th>Architecture</th><td><span id="architecture">{shown}</span></td>' in page
    assert f'tavra.exe+0x1010</span> ({base + 0x1010:0{digits}X})' in page
    frames = re.search(r'<table id="frames">.*?</table>', page, re.S).group(0)
    assert re.findall(r'<td class="mono">([0-9A-F]+)</td>', frames) == [
        f"{base + 0x1010:0{digits}X}", f"{base + 0x2000:0{digits}X}"]
    registers = re.search(r'<table id="registers">.*?</table>', page, re.S).group(0)
    assert f'<th>{ip}</th><td class="mono">{base + 0x1010:0{digits}X}</td>' in registers
    # One row per line of the log's register block.
    assert registers.count("<tr>") == (3 if shown == "x86" else 6)
    modules = re.search(r'<table id="modules">.*?</table>', page, re.S).group(0)
    assert f'<td class="mono">{base:0{digits}X}</td>' in modules
    # The same signature, whatever the width and the load address.
    info = pages.info(report_id)
    assert info.signature == "C0000005 tavra.exe+0x1010 | tavra.exe+0x2000"
    assert info.location == "tavra.exe+0x1010"
