"""The crash server's pages for people who read reports: the stored reports
grouped by crash signature, one page per report, and each report's raw log.

Plain HTML without scripts. Every text that comes from a report (the log, its
annotations, the form fields) is escaped before it reaches a page, so markup
in an annotation shows as text; links are built only from checked report ids.

Threads: any request thread may call in at once. The summaries of parsed
logs are cached under one lock (a parse runs outside it); the parsed logs
themselves are shared and bounded by parsed_logs.ParsedLogs, which has a
lock of its own; neither lock is taken while the other is held.
"""

import collections
import json
import os
import threading
import time
from dataclasses import asdict, dataclass, field
from typing import Dict, List, Optional, Tuple

from crashlog import analysis
from crashlog.log_model import Thread, hex8
from crashlog.symbolizer import symbolize_threads

from . import history_chart
from .answer_sending import FileBody
from .kept_pages import PAGE_WAIT_SECONDS, KeptPages
from .page_text import escape
from .parsed_logs import PARSE_WAIT_SECONDS, ParsedLogs, file_version
from .report_store import INCOMING_PREFIX, is_report_id
from .report_summary import clipped as clipped_summary_text
from .report_summary import log_size, read_summary, write_summary
from .throttle import is_signature_hash

# Reports listed at most (the newest); summaries cached at most.
MAX_LISTED = 5000
MAX_CACHED = 20000
MAX_SHOWN_VERSIONS = 20
MAX_SHOWN_ROWS = 2000
# Groups of the list drawn with a small chart of their reports over time, the
# first (largest): a chart is a few kilobytes, and every signature has its
# own page with a larger one.
MAX_CHARTED_GROUPS = 100
# Threads whose frames a report page shows at most (each up to 64 frames).
MAX_SHOWN_THREADS = 256
# What a report page shows of a log, so that a page stays within a few MB
# whatever the log holds: each text from the log or the upload clipped to
# this many characters (with "…"; an annotation may be far longer, and the
# raw log holds it whole), at most this many rows of each table, and each
# table's text (annotations, form fields, modules, crash logger lines)
# within this many characters (then an "N more" note): with the threads'
# frames, a page is 3 MB at most.
MAX_SHOWN_CHARS = 1024
MAX_REPORT_ROWS = 500
MAX_TABLE_CHARS = 512 << 10
# What a page says when every parse slot stayed taken (see parsed_logs).
BUSY = "the server is busy reading other crash logs"
BUSY_RETRY_SECONDS = 5
# How long one view of the list (or of a signature's page) may spend reading
# the logs of reports that have no summary yet (stored before summaries were
# kept, or whose upload found the server busy): a few seconds, so the first
# view after a restart comes quickly; the rest are read by later views.
LIST_READ_SECONDS = 3.0
NOT_READ = "not read yet: a later view reads it"
PAGE_HEADERS = [
    ("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; img-src 'none'"),
    ("X-Content-Type-Options", "nosniff"),
    ("Cache-Control", "no-store"),
]
STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; }
table { border-collapse: collapse; margin: 0.4em 0; }
th, td { border: 1px solid #bbb; padding: 0.2em 0.5em; text-align: left; vertical-align: top; }
th { background: #eee; }
code, .mono { font-family: monospace; }
.signature { font-family: monospace; word-break: break-all; }
.warning { background: #fff3cd; border: 1px solid #e0c36c; padding: 0.4em; }
.value { white-space: pre-wrap; word-break: break-all; font-family: monospace; }
"""


@dataclass
class ReportInfo:
    """What the list needs of one stored report."""

    report_id: str
    received: str = ""
    version: str = ""
    build: str = ""
    signature: str = ""
    digest: str = ""
    # The short hash the report is counted and grouped under: the one its
    # first request named when that request handed out its id, else the
    # log's digest ("" when there is neither).
    counted: str = ""
    exception: str = ""
    location: str = ""
    error: str = ""


@dataclass
class Group:
    # What the reports are counted and grouped under (ReportInfo.counted).
    digest: str
    signature: str
    exception: str
    reports: List[ReportInfo] = field(default_factory=list)


def _read_json(path: str, limit: int = 1 << 20) -> Optional[dict]:
    try:
        with open(path, "rb") as f:
            data = f.read(limit + 1)
        if len(data) > limit:
            return None
        value = json.loads(data.decode("utf-8"))
        return value if isinstance(value, dict) else None
    except (OSError, ValueError):
        return None


class ReportPages:
    def __init__(self, folder: str, symbol_folders: Optional[List[str]] = None):
        self.folder = folder
        self.symbol_folders = list(symbol_folders or [])
        self._lock = threading.Lock()
        self._cache: Dict[str, Tuple[Tuple[float, int], ReportInfo]] = {}
        self.logs = ParsedLogs()
        self.pages = KeptPages()

    # Reading the storage.

    def _report_folder(self, report_id: str) -> Optional[str]:
        if not is_report_id(report_id):
            return None
        path = os.path.join(self.folder, report_id)
        return path if os.path.isdir(path) else None

    def _stored_ids(self) -> Tuple[List[str], int]:
        """The newest MAX_LISTED report ids, and how many were left out."""
        found = []
        try:
            with os.scandir(self.folder) as entries:
                for entry in entries:
                    if entry.name.startswith(INCOMING_PREFIX) or not is_report_id(entry.name):
                        continue
                    try:
                        if entry.is_dir():
                            found.append((entry.stat().st_mtime, entry.name))
                    except OSError:
                        continue
        except OSError:
            return [], 0
        found.sort(reverse=True)
        return [name for _, name in found[:MAX_LISTED]], max(0, len(found) - MAX_LISTED)

    def info(self, report_id: str, deadline: Optional[float] = None) -> ReportInfo:
        """The summary of a stored report: kept, else read from its summary
        file, else from its parsed log (and then written to that file). With
        a `deadline` (time.monotonic()), a log is not parsed past it: the
        report reads as NOT_READ until a later look."""
        return self._info(report_id, os.path.join(self.folder, report_id), deadline)

    def counted_unparsed(self, report_id: str) -> Optional[str]:
        """What a stored report counts under (see ReportInfo.counted) as far
        as it can be told without parsing its log: the signature its first
        request named, else its summary's; None when only a parse can tell."""
        folder = os.path.join(self.folder, report_id)
        metadata = _read_json(os.path.join(folder, "metadata.json")) or {}
        named = _counted(metadata, "")
        if named:
            return named
        info = read_summary(folder, ReportInfo, log_size(folder))
        return None if info is None else info.digest

    def summarize(self, report_id: str, folder: str) -> ReportInfo:
        """The summary of the report `report_id` being stored in `folder`,
        written there (so the quota counts it with the rest) and kept."""
        return self._info(report_id, folder, None)

    def _info(self, report_id: str, folder: str, deadline: Optional[float]) -> ReportInfo:
        log_path = os.path.join(folder, "crashlog.txt")
        try:
            stat = os.stat(log_path)
            key = (stat.st_mtime, stat.st_size)
        except OSError:
            key = (0.0, -1)
        with self._lock:
            cached = self._cache.get(report_id)
            if cached is not None and cached[0] == key:
                return cached[1]
        metadata = _read_json(os.path.join(folder, "metadata.json")) or {}
        received = clipped_summary_text(metadata.get("received") or "")
        info = read_summary(folder, ReportInfo, key[1])
        if info is not None:
            # What the upload recorded rules over the summary's copy.
            info.received, info.counted = received, _counted(metadata, info.digest)
            self._keep(report_id, key, info)
            return info
        info = ReportInfo(report_id, received=received, counted=_counted(metadata, ""))
        if deadline is None:
            parsed = self.logs.get(report_id, log_path)
        else:
            left = deadline - time.monotonic()
            parsed = self.logs.get(report_id, log_path, min(left, PARSE_WAIT_SECONDS)) \
                if left > 0 else None
        if parsed is None:
            info.error = BUSY if deadline is None else NOT_READ  # and not kept
            return info
        log = parsed.log
        if log is None:
            info.error = parsed.error
        else:
            info.version = log.version or ""
            info.build = log.build or ""
            info.signature, info.digest = analysis.signature(log)
            info.exception = analysis.describe_exception(log)
            address, module = analysis.crash_location(log)
            if module is not None:
                info.location = f"{module.name}+0x{address - module.base:x}"
            elif address is not None:
                info.location = log.address_text(address)
        info.counted = _counted(metadata, info.digest)
        if key[1] >= 0:
            write_summary(folder, info, key[1])
        # Kept as the summary file reads, so a restart shows the same.
        info = ReportInfo(
            **{name: clipped_summary_text(text) for name, text in asdict(info).items()})
        self._keep(report_id, key, info)
        return info

    def _keep(self, report_id: str, key, info: ReportInfo) -> None:
        with self._lock:
            if len(self._cache) >= MAX_CACHED:
                self._cache.clear()
            self._cache[report_id] = (key, info)

    def groups(self) -> Tuple[List[Group], int]:
        ids, left_out = self._stored_ids()
        # The newest first: a report whose log is still to be read (stored
        # before summaries were kept) is read within this request's budget.
        deadline = time.monotonic() + LIST_READ_SECONDS
        groups: Dict[str, Group] = {}
        for report_id in ids:
            info = self.info(report_id, deadline)
            key = info.counted or ("not-read-yet" if info.error == NOT_READ else "unreadable")
            group = groups.get(key)
            if group is None:
                group = groups[key] = Group(
                    key, info.signature or ("(not read yet)" if info.error == NOT_READ
                                            else "(no crash log could be read)"),
                    info.exception or info.error,
                )
            group.reports.append(info)
        ordered = sorted(
            groups.values(),
            key=lambda g: (-len(g.reports), max((r.received for r in g.reports), default="")),
        )
        for group in ordered:
            group.reports.sort(key=lambda r: r.received, reverse=True)
        return ordered, left_out

    # Pages. Each returns (status, body bytes, content type, extra headers).

    def list_page(
        self, declined: Optional[Dict[str, int]] = None, rules=(),
        declined_days: Optional[Dict[str, List[Tuple[int, int]]]] = None,
    ) -> Tuple[int, bytes, str, list]:
        """The stored reports by signature; `declined` counts the first
        requests declined per signature hash, `rules` the throttle's, and
        `declined_days` the declined per signature and UTC day (for charts)."""
        declined = declined or {}
        declined_days = declined_days or {}
        groups, left_out = self.groups()
        listed = {group.digest for group in groups}
        # Signatures declined without a listed report (their uploads are
        # still to come, or their reports are no longer listed).
        groups += [Group(digest, "(no stored report listed)", "")
                   for digest in sorted(declined) if digest not in listed]
        total = sum(len(g.reports) for g in groups)
        parts = [_head("Crash reports"), "<h1>Crash reports</h1>"]
        parts.append(
            f"<p>{total} report(s) in {len(groups)} group(s) by crash signature, "
            f"from <code>{escape(self.folder)}</code>.</p>"
        )
        throttle = "; ".join(rule.describe() for rule in rules) or "none"
        parts.append(
            f'<p id="throttle">Throttle: {escape(throttle)}. '
            f"{sum(declined.values())} first request(s) declined since the server started.</p>"
        )
        if left_out:
            parts.append(f'<p class="warning">{left_out} older report(s) are not listed.</p>')
        for number, group in enumerate(groups, 1):
            parts.append(f'<section class="group" id="group-{escape(group.digest)}">')
            title = f'<span class="mono">[{escape(group.digest)}]</span>'
            if is_signature_hash(group.digest):
                title = f'<a class="signature-link" href="/signatures/{group.digest}">{title}</a>'
            parts.append(f"<h2>Group {number}: {len(group.reports)} report(s) {title}</h2>")
            parts.append('<table class="group-facts">')
            parts += group_facts(group, declined.get(group.digest, 0))
            if number <= MAX_CHARTED_GROUPS:
                days = (history_chart.day_of(r.received) for r in group.reports)
                shown = history_chart.bars([d for d in days if d is not None],
                                           declined_days.get(group.digest, ()),
                                           history_chart.MAX_SMALL_BARS)
                if shown:
                    parts.append(_row("Over time", history_chart.chart_svg(
                        shown, 200, 36, "small-history", labels=False)))
            parts.append("</table>")
            parts.append(report_rows(group.reports))
            parts.append("</section>")
        if not groups:
            parts.append("<p>No reports have been stored yet.</p>")
        parts.append("</body></html>\n")
        return 200, "\n".join(parts).encode("utf-8"), "text/html; charset=utf-8", PAGE_HEADERS

    def report_page(self, report_id: str) -> Tuple[int, bytes, str, list]:
        """A report's page: the one kept when its files are unchanged, else
        built within one of the slots for building pages, and kept."""
        folder = self._report_folder(report_id)
        if folder is None:
            return self.not_found(f"There is no stored report {report_id}.")
        versions = tuple(file_version(os.path.join(folder, name))
                         for name in ("crashlog.txt", "metadata.json", "fields.json"))
        page = self.pages.get(report_id, versions)
        if page is None:
            if not self.pages.builds.acquire(timeout=PAGE_WAIT_SECONDS):
                return self.busy()
            try:
                page = self.pages.get(report_id, versions) or self._built_page(report_id, folder)
            finally:
                self.pages.builds.release()
            if page is None:
                return self.busy()
            self.pages.keep(report_id, versions, page)
        return 200, page, "text/html; charset=utf-8", PAGE_HEADERS

    def _built_page(self, report_id: str, folder: str) -> Optional[bytes]:
        """The report's page; None when the server stayed busy parsing."""
        metadata = _read_json(os.path.join(folder, "metadata.json")) or {}
        fields = _read_json(os.path.join(folder, "fields.json")) or {}
        parsed = self.logs.get(report_id, os.path.join(folder, "crashlog.txt"))
        if parsed is None:
            return None
        log, error = parsed.log, parsed.error
        parts = [_head(f"Crash report {report_id}"), f"<h1>Crash report {report_id}</h1>"]
        parts.append(
            f'<p><a href="/">All reports</a> · '
            f'<a id="raw-log" href="/reports/{report_id}/crashlog.txt">Download the crash log</a></p>'
        )
        if log is None:
            parts.append(f'<p class="warning">The crash log cannot be read: {escape(error)}</p>')
            parts.append(_fields_section(fields, metadata))
            parts.append("</body></html>\n")
            return "\n".join(parts).encode("utf-8")

        threads, locations, notes = symbolize_threads(
            log, self.symbol_folders, all_threads=True, max_threads=MAX_SHOWN_THREADS)
        text, digest = analysis.signature(log)
        counted = _counted(metadata, digest)
        address, module = analysis.crash_location(log)
        parts.append("<h2>Summary</h2>")
        parts.append('<table id="summary">')
        parts.append(_row("Received", escape(metadata.get("received", "?"))))
        parts.append(_row("Version", clipped(log.version)))
        parts.append(_row("Build", clipped(log.build)))
        parts.append(_row("Process", clipped(log.exception.module if log.exception else None)))
        parts.append(_row("Architecture", f'<span id="architecture">{escape(log.architecture)}'
                                          "</span>"))
        parts.append(_row("Exception", clipped(analysis.describe_exception(log))))
        if address is not None:
            where = f"{module.name}+0x{address - module.base:x}" if module else "no listed module"
            parts.append(_row("Crash at", f'<span id="crash-location" class="mono">'
                                          f"{clipped(where)}</span> ({log.address_text(address)})"))
        target = f"/signatures/{counted}" if is_signature_hash(counted) else "/"
        parts.append(_row("Signature", f'<span class="signature">{clipped(text)}</span> '
                                       f'[<a href="{target}">{escape(counted)}</a>]'
                          + (f" (the log reads as {digest})" if counted != digest else "")))
        parts.append("</table>")
        truncated = log.truncated
        if truncated:
            parts.append(
                f'<p class="warning">The log is cut off after line {escape(truncated.line)}:'
                f' {escape(truncated.expected)} was expected.</p>'
            )
        if log.problems:
            parts.append(
                f'<p class="warning">{len(log.problems)} part(s) of the log are out of form; '
                f'the first at line {escape(log.problems[0].line)}.</p>'
            )
        thread = analysis.crashed_thread(log)
        parts.append(_threads_section(threads, len(log.threads), thread, locations))
        for note in notes:
            parts.append(f"<p>{escape(note)}</p>")
        if thread is not None:
            parts.append("<h2>Registers</h2>")
            parts.append('<table id="registers">')
            # As the log lays them out, line by line: general registers, then
            # pointers and flags, then segments.
            for names, _ in log.arch.register_lines:
                parts.append("<tr>" + "".join(
                    f'<th>{escape(name)}</th><td class="mono">{escape(thread.registers[name])}</td>'
                    for name in names if name in thread.registers) + "</tr>")
            parts.append("</table>")
        parts.append("<h2>Annotations</h2>")
        parts.append('<table id="annotations"><tr><th>Key</th><th>Value</th></tr>')
        parts += bounded_rows(log.metadata, lambda entry: (
            f'<tr><td class="mono">{clipped(entry.key)}</td>'
            f'<td class="value">{clipped(entry.value)}</td></tr>'), "annotation(s)", 2)
        parts.append("</table>")
        parts.append(_fields_section(fields, metadata))
        parts.append("<h2>Modules</h2>")
        parts.append('<table id="modules"><tr><th>Name</th><th>Version</th><th>Base</th>'
                     "<th>Size</th><th>Time stamp</th></tr>")
        parts += bounded_rows(log.modules, lambda module: (
            f"<tr><td>{clipped(module.name)}</td><td>{clipped(module.version)}</td>"
            f'<td class="mono">{log.address_text(module.base)}</td>'
            f'<td class="mono">{hex8(module.size)}</td>'
            f'<td class="mono">{hex8(module.timestamp)}</td></tr>'), "module(s)", 5)
        parts.append("</table>")
        if log.crash_logger:
            parts.append('<h2>Crash Logger</h2><table id="crash-logger">')
            parts += bounded_rows(log.crash_logger, lambda line: (
                f'<tr><td class="value">{clipped(line)}</td></tr>'), "line(s)", 1)
            parts.append("</table>")
        parts.append("</body></html>\n")
        return "\n".join(parts).encode("utf-8")

    def raw_log(self, report_id: str) -> Tuple[int, bytes, str, list]:
        folder = self._report_folder(report_id)
        if folder is None:
            return self.not_found(f"There is no stored report {report_id}.")
        try:
            # Sent from the file as it is read, and closed, by the sender.
            data = FileBody(open(os.path.join(folder, "crashlog.txt"), "rb"))
        except OSError:
            return self.not_found(f"Report {report_id} has no crash log.")
        headers = [
            ("Content-Disposition", f'attachment; filename="crashlog-{report_id}.txt"'),
            ("X-Content-Type-Options", "nosniff"),
        ]
        return 200, data, "text/plain; charset=utf-8", headers

    def busy(self) -> Tuple[int, bytes, str, list]:
        body = f'{_head("Busy")}<h1>Busy</h1><p>{escape(BUSY)}; try again in a moment.</p>' \
               '</body></html>\n'
        return 503, body.encode("utf-8"), "text/html; charset=utf-8", PAGE_HEADERS + [
            ("Retry-After", str(BUSY_RETRY_SECONDS))]

    def not_found(self, text: str) -> Tuple[int, bytes, str, list]:
        body = f'{_head("Not found")}<h1>Not found</h1><p>{escape(text)}</p>' \
               '<p><a href="/">All reports</a></p></body></html>\n'
        return 404, body.encode("utf-8"), "text/html; charset=utf-8", PAGE_HEADERS


def group_facts(group: Group, declined: int) -> List[str]:
    """The rows of a group's facts: its signature, what its logs read as,
    exception, stored and declined counts, versions, first and last seen."""
    received = [r.received for r in group.reports if r.received]
    per_version = collections.Counter(
        f"{r.version} ({r.build})" for r in group.reports if r.version
    )
    versions = [f"{name}: {count}" for name, count in sorted(per_version.items())]
    shown = ", ".join(versions[:MAX_SHOWN_VERSIONS])
    if len(versions) > MAX_SHOWN_VERSIONS:
        shown += f", and {len(versions) - MAX_SHOWN_VERSIONS} more"
    rows = [_row("Signature", f'<span class="signature">{escape(group.signature)}</span>')]
    # Logs that read as another signature than their first requests named.
    others = sorted({r.digest for r in group.reports if r.digest != group.digest})
    if others:
        rows.append(_row("Logs read as", '<span class="log-digests mono">'
                         + escape(", ".join(others[:MAX_SHOWN_VERSIONS])) + "</span>"))
    rows.append(_row("Exception", escape(group.exception)))
    rows.append(_row("Stored", f'<span class="stored">{len(group.reports)}</span>'))
    rows.append(_row("Declined", f'<span class="declined">{declined}</span>'))
    rows.append(_row("Versions (stored)", escape(shown or "?")))
    rows.append(_row("First seen", escape(min(received) if received else "?")))
    rows.append(_row("Last seen", escape(max(received) if received else "?")))
    return rows


def report_rows(reports: List[ReportInfo]) -> str:
    """The table of a group's reports, the first MAX_SHOWN_ROWS."""
    parts = ['<table class="reports"><tr><th>Report</th><th>Received</th>'
             "<th>Version</th><th>Build</th><th>Crash at</th></tr>"]
    for report in reports[:MAX_SHOWN_ROWS]:
        parts.append(
            f'<tr><td><a class="report-link" href="/reports/{report.report_id}">'
            f"{report.report_id}</a></td><td>{escape(report.received)}</td>"
            f"<td>{escape(report.version)}</td><td>{escape(report.build)}</td>"
            f'<td class="mono">{escape(report.location or report.error)}</td></tr>'
        )
    if len(reports) > MAX_SHOWN_ROWS:
        parts.append(f'<tr><td colspan="5">and {len(reports) - MAX_SHOWN_ROWS} more</td></tr>')
    parts.append("</table>")
    return "\n".join(parts)


def _counted(metadata: dict, digest: str) -> str:
    """The signature a report counts and groups under: the short hash its
    first request named (stored by the upload when that request handed out
    the report's id; older reports have none), else its log's."""
    named = metadata.get("first_request_signature")
    return named if is_signature_hash(named) else digest


def _head(title: str) -> str:
    return (
        f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
        f"<title>{escape(title)}</title><style>{STYLE}</style></head><body>"
    )


def _row(label: str, cell_html: str) -> str:
    return f"<tr><th>{escape(label)}</th><td>{cell_html}</td></tr>"


def _threads_section(threads, total: int, crashed: Optional[Thread], locations) -> str:
    """The frames of the threads shown (of `total`) as module+offset (and
    function where symbols were given), the crashed thread first and open,
    the others folded."""
    parts = ["<h2>Threads</h2>"]
    if total > len(threads):
        parts.append(f'<p class="warning">{total - len(threads)} more thread(s) '
                     "are not shown; the crash log holds them.</p>")
    for index, (thread, frames) in enumerate(threads):
        is_crashed = thread is crashed
        parts.append(
            f'<details class="thread" id="thread-{index}"{" open" if is_crashed else ""}>'
            f"<summary>Thread {hex8(thread.id)}{' (crashed)' if is_crashed else ''}: "
            f"{len(frames)} frame(s)</summary>"
        )
        parts.append(('<table id="frames">' if is_crashed else '<table class="frames">')
                     + "<tr><th>#</th><th>Address</th><th>Module+offset</th>"
                     "<th>Function</th><th>Source</th><th>Found by</th></tr>")
        for number, frame in enumerate(frames):
            location = locations.get(frame)
            source = f"{location.file}:{location.line}" if location and location.file else ""
            parts.append(
                f'<tr><td>{number}</td><td class="mono">{frame.address_text()}</td>'
                f'<td class="mono">{clipped(frame.location())}</td>'
                f'<td class="mono">{clipped(location.function if location else "")}</td>'
                f'<td class="mono">{clipped(source)}</td><td>{escape(frame.found_by)}</td></tr>'
            )
        parts.append("</table></details>")
    return "\n".join(parts)


def clipped(text) -> str:
    """A text from a report, escaped, clipped to MAX_SHOWN_CHARS."""
    text = "" if text is None else str(text)
    if len(text) > MAX_SHOWN_CHARS:
        text = text[:MAX_SHOWN_CHARS] + "\u2026"
    return escape(text)


def bounded_rows(items, row, what: str, columns: int) -> List[str]:
    """The rows (`row` of each item) a report page shows of `items`: the
    first MAX_REPORT_ROWS within MAX_TABLE_CHARS, and a note of how many
    more there are."""
    shown, left = [], MAX_TABLE_CHARS
    for number, item in enumerate(items):
        if number >= MAX_REPORT_ROWS or left <= 0:
            shown.append(f'<tr><td colspan="{columns}" class="more">and {len(items) - number} '
                         f"more {what}, not shown here; the crash log holds them</td></tr>")
            break
        shown.append(row(item))
        left -= len(shown[-1])
    return shown


def _fields_section(fields: dict, metadata: dict) -> str:
    parts = ["<h2>Upload</h2>", '<table id="fields"><tr><th>Form field</th><th>Value</th></tr>']
    parts += bounded_rows(list(fields.items()), lambda field: (
        f'<tr><td class="mono">{clipped(field[0])}</td>'
        f'<td class="value">{clipped(field[1])}</td></tr>'), "form field(s)", 2)
    for name in ("user_agent", "remote_address", "crashlog_size"):
        if name in metadata:
            parts.append(f'<tr><td class="mono">({escape(name)})</td>'
                         f'<td class="value">{clipped(metadata[name])}</td></tr>')
    parts.append("</table>")
    return "\n".join(parts)
