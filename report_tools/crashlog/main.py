"""The command line: tools/crashlog SUBCOMMAND FILE...

Each FILE is a crash log or a zip archive that holds one as "crashlog.txt".
Exit codes: 0 when every file was read (a cut-off or damaged log is read as
far as it goes, and says so); 1 when a file is no crash log or cannot be
read; 2 for a wrong command line.
"""

import argparse
import json
import sys
from typing import Dict, List, Optional

from . import analysis
from .log_model import CrashLog, json_part, printable_line, shown
from .parser import NotACrashLog, parse_file
from .source import SourceError
from .symbolizer import Symbolizer, symbolize_frames, symbolize_threads

DESCRIPTION = """\
Reads the reporter's text crash logs (or the zip archives that hold them as
"crashlog.txt").

  parse       the whole log as JSON: version, build, architecture (x86 or
              x86-64), exception, metadata in order, threads (registers, FPU registers, stack words with the
              writer's '>' marks), modules, memory dumps, "Crash Logger:"
              lines; "truncated" says where a cut-off log stopped, "problems"
              which lines were out of form, "capped" what the size limits
              left out
  summary     a few lines for a person: version and build, the exception by
              name, the crashing module and offset, the crashed thread's
              frames (--all-threads: every thread's, the crashed one first)
              and the signature
  signature   the crash signature: the exception code and the top frames as
              module+offset, the same wherever the modules were loaded, and a
              short hash of it
  symbolize   the crashed thread's frames as function, file and line, from
              the module files or their ".debug" files found in the --symbols
              folders (llvm-symbolizer); module+offset where none is found"""


def _print(text: str, file=None) -> None:
    """Prints a line of output (or a few, parted by "\\n") with every
    character that is not printable escaped."""
    print("\n".join(printable_line(line) for line in text.split("\n")),
          file=file or sys.stdout)


def _read(path: str) -> Optional[CrashLog]:
    try:
        return parse_file(path)
    except (NotACrashLog, SourceError) as e:
        text = str(e)
        text = text if text.startswith(path) else path + ": " + text
        _print(f"crashlog: {shown(text)}", file=sys.stderr)
        return None


def _frame_json(frame: analysis.Frame, location=None) -> Dict:
    entry = {
        "address": frame.address_text(),
        "module": frame.module.name if frame.module else None,
        "offset": f"0x{frame.offset:x}" if frame.module else None,
        "location": frame.location(),
        "found_by": frame.found_by,
    }
    if location is not None:
        entry.update(function=location.function, file=location.file, line=location.line)
    return entry


def _emit_json(value) -> None:
    json.dump(value, sys.stdout, indent=1, ensure_ascii=False, default=json_part)
    sys.stdout.write("\n")


def command_parse(args) -> int:
    results, failed = [], False
    for path in args.files:
        log = _read(path)
        if log is None:
            failed = True
            continue
        results.append(dict(file=path, **log.json_fields()))
    if results:
        if args.compact:
            for result in results:
                json.dump(result, sys.stdout, ensure_ascii=False, separators=(",", ":"),
                          default=json_part)
                sys.stdout.write("\n")
        else:
            _emit_json(results[0] if len(results) == 1 else results)
    return 1 if failed else 0


def command_summary(args) -> int:
    failed = False
    symbolizer = Symbolizer(args.symbols) if args.symbols else None
    for index, path in enumerate(args.files):
        log = _read(path)
        if log is None:
            failed = True
            continue
        if len(args.files) > 1:
            _print(("\n" if index else "") + f"{shown(path)}:")
        threads, locations, notes = symbolize_threads(
            log, args.symbols, symbolizer, args.all_threads
        )
        lookup = (lambda frame: shown(locations[frame].text()) if frame in locations else None)
        for line in analysis.summary_lines(log, lookup, threads):
            _print(line)
        for note in notes:
            _print(f"Note: {shown(note)}")
    return 1 if failed else 0


def command_signature(args) -> int:
    failed = False
    for path in args.files:
        log = _read(path)
        if log is None:
            failed = True
            continue
        text, digest = analysis.signature(log)
        if args.json:
            _emit_json({"file": path, "signature": text, "hash": digest})
        else:
            prefix = f"{shown(path)}: " if len(args.files) > 1 else ""
            _print(f"{prefix}{text}  [{digest}]")
    return 1 if failed else 0


def command_symbolize(args) -> int:
    failed = False
    symbolizer = Symbolizer(args.symbols)
    for index, path in enumerate(args.files):
        log = _read(path)
        if log is None:
            failed = True
            continue
        frames, locations, notes = symbolize_frames(log, args.symbols, symbolizer)
        if args.json:
            _emit_json(
                {
                    "file": path,
                    "frames": [_frame_json(f, locations.get(f)) for f in frames],
                    "notes": notes,
                }
            )
            continue
        if len(args.files) > 1:
            _print(("\n" if index else "") + f"{shown(path)}:")
        if not frames:
            _print("no crashed thread with registers in this log")
        for number, frame in enumerate(frames):
            line = f"#{number:<2} {frame.address_text()} {frame.location()}"
            if frame in locations:
                location = locations[frame]
                line += f"  {shown(location.function or '??')}"
                if location.file:
                    line += f"  {shown(location.file)}:{location.line}"
            _print(line)
        for note in notes:
            _print(f"Note: {shown(note)}")
    return 1 if failed else 0


def parse_arguments(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="crashlog", description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = parser.add_subparsers(dest="command", metavar="SUBCOMMAND", required=True)

    def add(name: str, help_text: str, handler):
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("files", nargs="+", metavar="FILE",
                         help='a crash log, or a zip archive holding "crashlog.txt"')
        sub.set_defaults(handler=handler)
        return sub

    sub = add("parse", "the whole log as JSON", command_parse)
    sub.add_argument("--compact", action="store_true", help="one line of JSON per file")
    sub = add("summary", "a few lines for a person", command_summary)
    sub.add_argument("--symbols", action="append", default=[], metavar="DIR",
                     help="a folder of module files or their .debug files (repeatable)")
    sub.add_argument("--all-threads", action="store_true",
                     help="the frames of every thread, the crashed one first")
    sub = add("signature", "the crash signature and its short hash", command_signature)
    sub.add_argument("--json", action="store_true", help="as JSON")
    sub = add("symbolize", "the crashed thread's frames as function, file and line",
              command_symbolize)
    sub.add_argument("--symbols", action="append", default=[], metavar="DIR",
                     help="a folder of module files or their .debug files (repeatable)")
    sub.add_argument("--json", action="store_true", help="as JSON")
    return parser.parse_args(argv)


def main(argv: Optional[List[str]] = None) -> int:
    args = parse_arguments(argv)
    try:
        return args.handler(args)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        return 0
