"""How the server answers: the modes that make it misbehave on purpose.

A mode is a comma-separated list of items from three independent groups; each
group may appear at most once and an absent group keeps its default:

  answer    what the answer says (status, Location, body)
  delay     hold:SECONDS  wait that long before answering
  delivery  how the answer travels on the connection

Modes are immutable values: the server swaps the whole value when the
behaviour changes, so a request in flight keeps the mode it started with.
"""

from dataclasses import dataclass
from typing import Optional

FIRST_REQUEST = "first-request"
UPLOAD = "upload"

# Answers of the first request (the GET that asks for a report id).
FIRST_REQUEST_ANSWERS = {
    "redirect": "303 with a Location holding ?id=<new id>&x=1 (the default)",
    "unavailable": "503 without a Location: the server declines the report",
    "no-id": '303 whose Location has no "?id="',
    "no-ampersand": '303 whose Location ends in ?id=<id> with no "&" after it',
    "empty-id": "303 whose Location holds ?id=&x=1 (an empty id)",
    "long-location[:BYTES]": "303 whose Location is BYTES long (default 65536), id included",
    "status:N": "the default answer, Location included, with status N (e.g. 302, 200, 500)",
}

# Answers of the upload (the multipart POST).
UPLOAD_ANSWERS = {
    "ok": "200 with a short body once the report is stored (the default)",
    "status:N": "status N instead of 200 (the report is still stored)",
}

DELIVERIES = {
    "normal": "a well-formed answer with a correct Content-Length (the default)",
    "refuse": "close the connection at once, before the request is read",
    "silent": "read the request, then never answer",
    "headers-only": "send the status line and headers, then stay silent",
    "slow-body[:MS]": "send the body one byte at a time, MS milliseconds apart (default 100)",
    "close-mid-body": "send the headers and half of the body, then close",
    "bad-status": "a status line whose code is not a number",
    "long-body": "send more bytes than the Content-Length says, then close",
    "short-body": "send fewer bytes than the Content-Length says, then close",
}

DELAYS = {
    "hold:SECONDS": "wait SECONDS (up to 3600, fractions allowed) before answering",
}

DEFAULT_LOCATION_SIZE = 65536
MAX_LOCATION_SIZE = 1 << 20
DEFAULT_SLOW_BODY_PAUSE_MS = 100
MAX_SLOW_BODY_PAUSE_MS = 60_000
MAX_HOLD_SECONDS = 3600.0


@dataclass(frozen=True)
class Mode:
    kind: str
    answer: str
    # Replaces the answer's status when set (status:N).
    status: Optional[int] = None
    location_size: int = DEFAULT_LOCATION_SIZE
    hold_seconds: float = 0.0
    delivery: str = "normal"
    pause_seconds: float = DEFAULT_SLOW_BODY_PAUSE_MS / 1000.0
    text: str = ""

    def __str__(self) -> str:
        return self.text


def default_mode(kind: str) -> Mode:
    return parse_mode("", kind)


def _number(text: str, item: str, minimum: float, maximum: float, as_int: bool):
    try:
        value = int(text, 10) if as_int else float(text)
    except ValueError:
        raise ValueError(f'"{item}": "{text}" is not a number') from None
    if not minimum <= value <= maximum:  # also refuses nan
        raise ValueError(f'"{item}": {text} is outside {minimum:g} to {maximum:g}')
    return value


def parse_mode(text: str, kind: str) -> Mode:
    """Reads a mode of the given kind; ValueError says what is wrong."""
    if kind not in (FIRST_REQUEST, UPLOAD):
        raise ValueError(f"unknown kind {kind}")
    answers = FIRST_REQUEST_ANSWERS if kind == FIRST_REQUEST else UPLOAD_ANSWERS
    fields = {}
    seen = {}

    def take(group: str, item: str) -> None:
        if group in seen:
            raise ValueError(f'"{seen[group]}" and "{item}" both set the {group}; choose one')
        seen[group] = item

    for item in (part.strip() for part in text.split(",")):
        if not item:
            continue
        name, _, argument = item.partition(":")
        if name == "hold" and argument:
            take("delay", item)
            fields["hold_seconds"] = _number(argument, item, 0, MAX_HOLD_SECONDS, False)
        elif name == "status" and argument:
            take("answer", item)
            fields["status"] = _number(argument, item, 200, 599, True)
        elif name == "long-location" and kind == FIRST_REQUEST:
            take("answer", item)
            fields["answer"] = name
            if argument:
                fields["location_size"] = _number(argument, item, 1, MAX_LOCATION_SIZE, True)
        elif name == "slow-body":
            take("delivery", item)
            fields["delivery"] = name
            if argument:
                pause = _number(argument, item, 0, MAX_SLOW_BODY_PAUSE_MS, True)
                fields["pause_seconds"] = pause / 1000.0
        elif not argument and name in answers:
            take("answer", item)
            fields["answer"] = name
        elif not argument and name in DELIVERIES:
            take("delivery", item)
            fields["delivery"] = name
        else:
            raise ValueError(f'unknown {kind} mode item "{item}"')

    default_answer = "redirect" if kind == FIRST_REQUEST else "ok"
    fields.setdefault("answer", default_answer)
    canonical = ",".join(seen[g] for g in ("answer", "delay", "delivery") if g in seen)
    return Mode(kind=kind, text=canonical or default_answer, **fields)


def describe_modes() -> str:
    """The modes as the command line's help shows them."""

    def table(entries):
        return "\n".join(f"    {name:<24}{meaning}" for name, meaning in entries.items())

    return (
        "Modes (--first-request, --upload): a comma-separated list of at most one\n"
        "answer, one delay and one delivery, e.g. --first-request no-id,slow-body:20\n"
        "or --upload status:500,hold:2.\n\n"
        f"  answers of --first-request:\n{table(FIRST_REQUEST_ANSWERS)}\n"
        f"  answers of --upload:\n{table(UPLOAD_ANSWERS)}\n"
        f"  delay (both):\n{table(DELAYS)}\n"
        f"  deliveries (both):\n{table(DELIVERIES)}\n\n"
        "An upload is read, checked and stored under every mode but refuse; the\n"
        "mode changes only the answer. A malformed upload is answered 400 (413 when\n"
        "too large, 411 without a Content-Length), through the same delay and\n"
        "delivery."
    )
