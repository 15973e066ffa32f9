"""The page of one crash signature, `/signatures/<short hash>`: its text and
hash, the reports stored and first requests declined, its versions with the
count and first and last seen of each, a chart of its reports over time and
the list of its reports.

It reads the stored reports only through ReportPages.groups() (the same
summaries, parsed once per report, as the list of reports), so a view costs
no parse of its own. Plain HTML and inline SVG without scripts; every text
from a report is escaped.

Threads: any request thread may call in at once; nothing here is shared.
"""

import collections
from typing import Dict, List, Sequence, Tuple

from . import history_chart
from .report_pages import (MAX_SHOWN_ROWS, PAGE_HEADERS, Group, ReportInfo, ReportPages,
                           escape, group_facts, report_rows)
from .report_pages import _head as head
from .throttle import is_signature_hash

SIGNATURES_PATH = "/signatures/"
CHART_WIDTH, CHART_HEIGHT = 720, 180


def signature_page(
    pages: ReportPages, digest: str, declined: int = 0,
    declined_days: Sequence[Tuple[int, int]] = (),
) -> Tuple[int, bytes, str, list]:
    """The page of the signature `digest`; `declined` counts its first
    requests declined since the server started, `declined_days` them per
    UTC day ((day, count) pairs)."""
    if not is_signature_hash(digest):
        return pages.not_found("That is not a crash signature's short hash.")
    groups, left_out = pages.groups()
    group = next((g for g in groups if g.digest == digest), None)
    if group is None:
        if not declined:
            return pages.not_found(f"No stored report or declined first request "
                                   f"has the signature {digest}.")
        group = Group(digest, "(no stored report listed)", "")
    parts = [head(f"Crash signature {digest}"), f"<h1>Crash signature {digest}</h1>"]
    parts.append(f'<p><a href="/">All reports</a> · <a href="/#group-{digest}">'
                 "its group on the list</a></p>")
    if left_out:
        parts.append(f'<p class="warning">{left_out} older report(s) are not listed, '
                     "nor counted here.</p>")
    parts.append('<table id="signature-facts">')
    parts += group_facts(group, declined)
    parts.append("</table>")

    parts.append("<h2>Over time</h2>")
    days = [history_chart.day_of(r.received) for r in group.reports]
    shown = history_chart.bars([d for d in days if d is not None], declined_days,
                               history_chart.MAX_BARS)
    if shown:
        parts.append(history_chart.chart_svg(shown, CHART_WIDTH, CHART_HEIGHT, "history",
                                             labels=True))
        parts.append(f"<p>One bar per {history_chart.bar_days(shown)} (UTC). "
                     "Declined first requests are counted since the server started, for "
                     f"their latest {history_chart.MAX_BARS} days at most.</p>")
    else:
        parts.append("<p>No report or declined first request of it has a known time.</p>")
    undated = days.count(None)
    if undated:
        parts.append(f'<p class="warning">{undated} report(s) without a received time '
                     "are not on the chart.</p>")

    parts.append("<h2>Versions</h2>")
    parts.append('<table id="versions"><tr><th>Version (build)</th><th>Stored</th>'
                 "<th>First seen</th><th>Last seen</th></tr>")
    for name, count, first, last in version_rows(group.reports)[:MAX_SHOWN_ROWS]:
        parts.append(f"<tr><td>{escape(name)}</td><td>{count}</td>"
                     f"<td>{escape(first)}</td><td>{escape(last)}</td></tr>")
    parts.append("</table>")

    parts.append("<h2>Reports</h2>")
    parts.append(report_rows(group.reports))
    parts.append("</body></html>\n")
    return 200, "\n".join(parts).encode("utf-8"), "text/html; charset=utf-8", PAGE_HEADERS


def version_rows(reports: List[ReportInfo]) -> List[Tuple[str, int, str, str]]:
    """(version (build), stored count, first seen, last seen) per version,
    the most recently seen first."""
    seen: Dict[str, list] = collections.defaultdict(list)
    for report in reports:
        name = f"{report.version} ({report.build})" if report.version else "?"
        seen[name].append(report.received)
    rows = []
    for name, received in seen.items():
        known = [r for r in received if r]
        rows.append((name, len(received), min(known, default="?"), max(known, default="?")))
    return sorted(rows, key=lambda row: row[3], reverse=True)
