"""A crash signature's reports over time as a small bar chart: inline SVG
drawn by the server, with no script, for the report pages.

One bar per UTC day from the first day with a report of the signature (or a
declined first request) to the last; a span longer than the chart has bars
puts several days in each bar, so a chart costs the same whatever the span.
Each bar stacks the reports stored (below) and the first requests declined
(above) of its days; its tooltip (an SVG title) says its days and counts.
The tallest bar fills the chart's height, and the others are in proportion.

Every text in the chart is made here from numbers and dates, and escaped
all the same. Threads: plain functions of their arguments; nothing shared.
"""

import collections
import datetime
import math
from dataclasses import dataclass
from typing import Iterable, List, Optional, Tuple

from .page_text import escape
from .report_store import utc_seconds
from .throttle import DAY_SECONDS, MAX_DECLINED_DAYS

# Bars of a signature's own page: a day per bar up to two months, as many as
# the days of declines that the server keeps per signature.
MAX_BARS = MAX_DECLINED_DAYS
# Bars of the small chart beside each signature on the list of reports.
MAX_SMALL_BARS = 20
STORED_COLOUR = "#3b6fb6"
DECLINED_COLOUR = "#d9822b"


@dataclass
class Bar:
    first_day: int  # UTC day numbers (days since 1970-01-01)
    last_day: int
    stored: int = 0
    declined: int = 0

    @property
    def total(self) -> int:
        return self.stored + self.declined

    def describe(self) -> str:
        days = day_text(self.first_day)
        if self.last_day != self.first_day:
            days += " to " + day_text(self.last_day)
        return f"{days}: {self.stored} stored, {self.declined} declined"


def day_of(received: str) -> Optional[int]:
    """The UTC day number of a stored time text; None when it is none."""
    seconds = utc_seconds(received)
    return None if seconds is None else int(seconds // DAY_SECONDS)


def day_text(day: int) -> str:
    return (datetime.date(1970, 1, 1) + datetime.timedelta(days=day)).isoformat()


def bars(stored_days: Iterable[int], declined: Iterable[Tuple[int, int]],
         max_bars: int) -> List[Bar]:
    """The bars over the span of the days of stored reports (one day per
    report) and of declined requests ((day, count) pairs): at most
    `max_bars`, each covering the same number of days."""
    stored = collections.Counter(stored_days)
    declined_per_day = collections.Counter()
    for day, count in declined:
        declined_per_day[day] += count
    days = set(stored) | {day for day, count in declined_per_day.items() if count}
    if not days:
        return []
    first, last = min(days), max(days)
    width = math.ceil((last - first + 1) / max_bars)
    count = (last - first) // width + 1
    result = [Bar(first + i * width, first + (i + 1) * width - 1) for i in range(count)]
    for day, n in stored.items():
        result[(day - first) // width].stored += n
    for day, n in declined_per_day.items():
        result[(day - first) // width].declined += n
    return result


def chart_svg(shown: List[Bar], width: int, height: int, css_class: str,
              labels: bool) -> str:
    """The bars as an inline SVG of width x height pixels; with `labels`, the
    first and last day under it, the scale beside it and a legend above."""
    if not shown:
        return ""
    left, right, top, bottom = (36, 8, 18, 20) if labels else (1, 1, 1, 1)
    plot_width, plot_height = width - left - right, height - top - bottom
    tallest = max(bar.total for bar in shown) or 1
    slot = plot_width / len(shown)
    bar_width = min(max(1.0, slot * 0.8), 40.0)
    first, last = day_text(shown[0].first_day), day_text(shown[-1].last_day)
    summary = (f"Reports of this signature per {bar_days(shown)} from {first} to {last}: "
               f"{sum(b.stored for b in shown)} stored, {sum(b.declined for b in shown)} declined")
    parts = [
        f'<svg class="{escape(css_class)}" xmlns="http://www.w3.org/2000/svg" '
        f'width="{width}" height="{height}" viewBox="0 0 {width} {height}" role="img" '
        f'aria-label="{escape(summary)}">',
        f"<title>{escape(summary)}</title>",
        f'<line class="axis" x1="{left}" y1="{top + plot_height}" x2="{left + plot_width}" '
        f'y2="{top + plot_height}" stroke="#888" stroke-width="1"/>',
    ]
    for index, bar in enumerate(shown):
        x = _number(left + index * slot + (slot - bar_width) / 2)
        stored_height = bar.stored / tallest * plot_height
        declined_height = bar.declined / tallest * plot_height
        parts.append(
            f'<g class="bar" data-first="{day_text(bar.first_day)}" '
            f'data-last="{day_text(bar.last_day)}" data-stored="{bar.stored}" '
            f'data-declined="{bar.declined}"><title>{escape(bar.describe())}</title>'
        )
        base = top + plot_height
        for name, colour, size in (("stored", STORED_COLOUR, stored_height),
                                   ("declined", DECLINED_COLOUR, declined_height)):
            if size > 0:
                base -= size
                parts.append(
                    f'<rect class="{name}" x="{x}" y="{_number(base)}" '
                    f'width="{_number(bar_width)}" height="{_number(size)}" fill="{colour}"/>'
                )
        parts.append("</g>")
    if labels:
        text = 'font-family="sans-serif" font-size="11" fill="#444"'
        parts += [
            f'<text class="scale" x="{left - 4}" y="{top + 9}" text-anchor="end" {text}>'
            f"{tallest}</text>",
            f'<text x="{left - 4}" y="{top + plot_height}" text-anchor="end" {text}>0</text>',
            f'<text class="first-day" x="{left}" y="{height - 5}" {text}>{first}</text>',
            f'<text class="last-day" x="{left + plot_width}" y="{height - 5}" '
            f'text-anchor="end" {text}>{last}</text>',
            f'<rect x="{left}" y="3" width="10" height="10" fill="{STORED_COLOUR}"/>',
            f'<text x="{left + 14}" y="12" {text}>stored</text>',
            f'<rect x="{left + 64}" y="3" width="10" height="10" fill="{DECLINED_COLOUR}"/>',
            f'<text x="{left + 78}" y="12" {text}>declined first requests</text>',
        ]
    parts.append("</svg>")
    return "".join(parts)


def bar_days(shown: List[Bar]) -> str:
    """How many days each bar covers, in words ("day", "3 days")."""
    days = shown[0].last_day - shown[0].first_day + 1
    return "day" if days == 1 else f"{days} days"


def _number(value: float) -> str:
    return f"{value:.2f}".rstrip("0").rstrip(".")
