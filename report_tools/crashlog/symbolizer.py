"""Turns module+offset into function, file and line with LLVM's symbolizer,
which reads PE files with DWARF debug information.

A module is looked up by its name in the symbol folders: its separate debug
file "<name>.debug" first (what objcopy --only-keep-debug makes of a
shipped, stripped program), else the module file itself. The name from the
log is only compared with the folders' listings, never joined to a path. A
file whose link time stamp differs from the log's is not used: its lines
would belong to another build.

The symbolizer runs as a subprocess (never through a shell) with a time-out
and a bound on what it may print; names are demangled by llvm-cxxfilt the
same way. symbolize_frames() does it for the frames of a parsed log's
crashed thread, symbolize_threads() for those of every thread; their walks
read the bytes before a candidate return address from the module file
itself (same name and time stamp) where the log's dumps lack them.

Threads: a Symbolizer is used on one thread at a time.
"""

import json
import os
import shutil
import subprocess
import threading
from dataclasses import dataclass
from typing import Dict, Iterable, List, Optional, Sequence, Tuple

from .analysis import crashed_thread, threads_crashed_first
from .log_model import CrashLog, Module, Thread
from .module_image import ModuleImage
from .stack_walk import CodeBytes, DumpBytes, Frame, Walker

TIMEOUT_SECONDS = 20.0
MAX_OUTPUT_BYTES = 4 << 20
MAX_LISTED_FILES = 100000
MAX_ADDRESSES = 4096
TOOL_CANDIDATES = {
    "symbolizer": ("llvm-symbolizer", "llvm-symbolizer-14", "/usr/lib/llvm-14/bin/llvm-symbolizer"),
    "cxxfilt": ("llvm-cxxfilt", "llvm-cxxfilt-14", "/usr/lib/llvm-14/bin/llvm-cxxfilt"),
}


@dataclass(frozen=True)
class Location:
    function: str
    file: str
    line: int

    def text(self) -> str:
        where = os.path.basename(self.file) if self.file else "?"
        return f"{self.function or '??'} ({where}:{self.line})" if self.line else (
            f"{self.function or '??'} ({where})"
        )


def find_tool(kind: str) -> Optional[str]:
    for candidate in TOOL_CANDIDATES[kind]:
        found = shutil.which(candidate)
        if found:
            return found
    return None


def pe_timestamp(path: str) -> Optional[int]:
    """The link time stamp of a PE file's header, or None when the file is
    no PE file. Reads only the first 4 KiB."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
    except OSError:
        return None
    if len(head) < 0x40 or head[:2] != b"MZ":
        return None
    offset = int.from_bytes(head[0x3C:0x40], "little")
    if offset > len(head) - 24 or head[offset : offset + 4] != b"PE\0\0":
        return None
    return int.from_bytes(head[offset + 8 : offset + 12], "little")


def run_bounded(
    command: Sequence[str], stdin_text: str, timeout: float = TIMEOUT_SECONDS,
    limit: int = MAX_OUTPUT_BYTES,
) -> Tuple[Optional[bytes], str]:
    """Runs a command (no shell) with stdin_text; (stdout, "") when it ended
    in time with at most `limit` bytes of output and exit code 0, else
    (None, reason)."""
    try:
        process = subprocess.Popen(
            list(command), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, close_fds=True,
        )
    except OSError as e:
        return None, f"cannot run {command[0]}: {e.strerror or e}"
    killed = threading.Event()

    def kill():
        killed.set()
        process.kill()

    timer = threading.Timer(timeout, kill)
    timer.start()

    def feed():
        try:
            process.stdin.write(stdin_text.encode("utf-8", errors="replace"))
            process.stdin.close()
        except OSError:
            pass

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    chunks, size, reason = [], 0, ""
    try:
        while True:
            chunk = process.stdout.read1(65536)
            if not chunk:
                break
            size += len(chunk)
            if size > limit:
                reason = f"{os.path.basename(command[0])} printed more than {limit} bytes"
                process.kill()
                break
            chunks.append(chunk)
    finally:
        process.stdout.close()
        code = process.wait()
        timer.cancel()
        timed_out = killed.is_set()
        feeder.join(1.0)
    if reason:
        return None, reason
    if timed_out:
        return None, f"{os.path.basename(command[0])} took longer than {timeout:g} s"
    if code != 0:
        return None, f"{os.path.basename(command[0])} failed (exit code {code})"
    return b"".join(chunks), ""


class Symbolizer:
    def __init__(self, folders: Iterable[str], timeout: float = TIMEOUT_SECONDS):
        self.folders = [os.path.abspath(f) for f in folders]
        self.timeout = timeout
        self.notes: List[str] = []
        self._listings: Dict[str, Dict[str, str]] = {}
        self._files: Dict[Tuple[Tuple[str, ...], int], Optional[str]] = {}
        self._images: Dict[str, ModuleImage] = {}
        self.tool = find_tool("symbolizer")
        self.demangler = find_tool("cxxfilt")
        if self.folders and self.tool is None:
            self._note("llvm-symbolizer is not installed (Debian's llvm-14 package has it)")

    def _note(self, text: str) -> None:
        if text not in self.notes and len(self.notes) < 100:
            self.notes.append(text)

    def _listing(self, folder: str) -> Dict[str, str]:
        """Lower-case file name to the file's path, for one folder."""
        if folder not in self._listings:
            names: Dict[str, str] = {}
            try:
                with os.scandir(folder) as entries:
                    for count, entry in enumerate(entries):
                        if count >= MAX_LISTED_FILES:
                            break
                        if entry.is_file():
                            names.setdefault(entry.name.lower(), entry.path)
            except OSError as e:
                self._note(f"cannot list {folder}: {e.strerror or e}")
            self._listings[folder] = names
        return self._listings[folder]

    def module_file(self, name: str, timestamp: Optional[int]) -> Optional[str]:
        """The file to read a module's symbols from, or None."""
        return self._find(name, timestamp, (name.lower() + ".debug", name.lower()))

    def image_file(self, name: str, timestamp: Optional[int]) -> Optional[str]:
        """The module file itself (its code, which a ".debug" file lacks),
        or None."""
        return self._find(name, timestamp, (name.lower(),))

    def _find(self, name: str, timestamp: Optional[int], candidates: Tuple[str, ...]):
        key = (candidates, timestamp or 0)
        if key in self._files:
            return self._files[key]
        found = None
        for folder in self.folders:
            listing = self._listing(folder)
            for candidate in candidates:
                path = listing.get(candidate)
                if path is None:
                    continue
                stamp = pe_timestamp(path)
                if stamp is None:
                    self._note(f"{path} is no PE file")
                    continue
                if timestamp and stamp != timestamp:
                    self._note(
                        f"{path} is another build of {name} (time stamp {stamp:08X}, "
                        f"the log's {timestamp:08X})"
                    )
                    continue
                found = path
                break
            if found:
                break
        self._files[key] = found
        return found

    def symbolize(self, requests: Iterable[Tuple[str, Optional[int], int]]) -> Dict:
        """Locations for (module name, module time stamp, offset) triples:
        a dict from each triple to a Location, absent where none was found."""
        by_file: Dict[str, List[Tuple[Tuple[str, Optional[int], int], int]]] = {}
        for request in list(requests)[:MAX_ADDRESSES]:
            name, stamp, offset = request
            if self.tool is None:
                break
            path = self.module_file(name, stamp)
            if path is not None:
                by_file.setdefault(path, []).append((request, offset))
        results: Dict = {}
        for path, items in by_file.items():
            stdin = "".join(f"0x{offset:x}\n" for _, offset in items)
            output, reason = run_bounded(
                [self.tool, f"--obj={path}", "--relative-address", "--output-style=JSON",
                 "--no-inlines", "--functions=linkage"],
                stdin, self.timeout,
            )
            if output is None:
                self._note(f"{os.path.basename(path)}: {reason}")
                continue
            answers = output.decode("utf-8", errors="replace").splitlines()
            for (request, _), answer in zip(items, answers):
                location = _location(answer)
                if location is not None:
                    results[request] = location
        self._demangle(results)
        return results

    def _demangle(self, results: Dict) -> None:
        mangled = sorted({loc.function for loc in results.values() if _is_mangled(loc.function)})
        if not mangled or self.demangler is None:
            return
        # The i686 Windows ABI puts one more underscore before every symbol.
        plain = [name[1:] if name.startswith("__Z") else name for name in mangled]
        output, reason = run_bounded([self.demangler], "\n".join(plain) + "\n", self.timeout)
        if output is None:
            self._note(reason)
            return
        names = output.decode("utf-8", errors="replace").splitlines()
        if len(names) != len(mangled):
            return
        table = dict(zip(mangled, names))
        for request, location in list(results.items()):
            if location.function in table:
                results[request] = Location(table[location.function], location.file, location.line)


    def image(self, module: Module) -> Optional[ModuleImage]:
        """The module's file, its section table read, or None."""
        path = self.image_file(module.name, module.timestamp)
        if path is None:
            return None
        if path not in self._images:
            self._images[path] = ModuleImage(path)
        return self._images[path]

    def close_images(self) -> None:
        """Closes the module files that walks kept open."""
        for image in self._images.values():
            image.close()


class ModuleFileBytes(CodeBytes):
    """The bytes before a candidate return address from the memory dumps,
    else from the module's file in the symbol folders."""

    def __init__(self, log: CrashLog, symbolizer: Symbolizer):
        self._dumps = DumpBytes(log)
        self._symbolizer = symbolizer

    def before(self, value: int, module: Module, count: int) -> Optional[bytes]:
        dumped = self._dumps.before(value, module, count)
        if dumped is not None:
            return dumped
        image = self._symbolizer.image(module)
        if image is None:
            return None
        return image.read(value - count - module.base, count)


def thread_frames(
    log: CrashLog, symbolizer: Optional[Symbolizer], all_threads: bool,
    max_threads: Optional[int] = None,
) -> List[Tuple[Thread, List[Frame]]]:
    """(thread, frames) of the crashed thread, or of every thread (the
    crashed one first; the first `max_threads` of them when given), walked
    with the module files where a symbolizer is given."""
    code = ModuleFileBytes(log, symbolizer) if symbolizer is not None else None
    walker = Walker(log, code)
    threads = threads_crashed_first(log)[:max_threads] if all_threads else (
        [t for t in [crashed_thread(log)] if t is not None]
    )
    try:
        return [(thread, walker.walk(thread)) for thread in threads]
    finally:
        if symbolizer is not None:
            symbolizer.close_images()


def symbolize_threads(
    log: CrashLog, folders: List[str], symbolizer: Optional[Symbolizer] = None,
    all_threads: bool = False, max_threads: Optional[int] = None,
) -> Tuple[List[Tuple[Thread, List[Frame]]], Dict[Frame, Location], List[str]]:
    """(thread frames as thread_frames gives them, {frame: Location}, notes):
    only the threads shown are walked and symbolized."""
    if not folders:
        return thread_frames(log, None, all_threads, max_threads), {}, []
    symbolizer = symbolizer or Symbolizer(folders)
    threads = thread_frames(log, symbolizer, all_threads, max_threads)
    requests = {
        frame: (frame.module.name, frame.module.timestamp, frame.offset)
        for _, frames in threads
        for frame in frames
        if frame.module is not None
    }
    found = symbolizer.symbolize(dict.fromkeys(requests.values()))
    locations = {frame: found[r] for frame, r in requests.items() if r in found}
    return threads, locations, symbolizer.notes


def symbolize_frames(
    log: CrashLog, folders: List[str], symbolizer: Optional[Symbolizer] = None
) -> Tuple[List[Frame], Dict[Frame, Location], List[str]]:
    """(frames, {frame: Location}, notes) of the crashed thread."""
    threads, locations, notes = symbolize_threads(log, folders, symbolizer)
    return (threads[0][1] if threads else []), locations, notes


def _is_mangled(name: str) -> bool:
    return name.startswith("_Z") or name.startswith("__Z")


def _location(answer: str) -> Optional[Location]:
    try:
        data = json.loads(answer)
        symbol = data["Symbol"][0]
        function = str(symbol.get("FunctionName") or "")[:1024]
        file = str(symbol.get("FileName") or "")[:4096]
        line = int(symbol.get("Line") or 0)
    except (ValueError, KeyError, IndexError, TypeError):
        return None
    if not function and not file:
        return None
    return Location(function, file, line)
