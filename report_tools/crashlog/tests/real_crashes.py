"""Real crashes under Wine for the reader's tests: the stand-in browser starts
the reporter, test clients register over its pipe and crash for real, and
the reporter writes their crash logs into a folder of the test's.

Needs the build: TAVRA_BUILD_DIR names it (CTest sets it); tests that need
it are skipped without it. The wineserver of the run (tools/test.sh) is
shared.
"""

import os
import queue
import re
import subprocess
import threading
import time
from typing import Dict, List, Optional

import pytest

BUILD_DIR = os.environ.get("TAVRA_BUILD_DIR", "")
LINE_TIMEOUT = 30.0
# Generous for a loaded machine: a passing run waits a fraction of it.
WAIT_SECONDS = 90.0


def build_dir() -> str:
    if not BUILD_DIR:
        pytest.skip("TAVRA_BUILD_DIR is not set (run through tools/test.sh)")
    for name in ("wine-run", "bin/stand_in_browser.exe", "bin/tavra_test_client.exe"):
        assert os.path.exists(os.path.join(BUILD_DIR, name)), f"{name} is missing from {BUILD_DIR}"
    return BUILD_DIR


def build_architecture() -> str:
    """"x86-64" for a 64-bit build (its Wine prefix is win64), else "x86":
    what its reporter's crash logs and its test client's crash lines are."""
    try:
        with open(os.path.join(build_dir(), "wine-arch"), encoding="ascii") as f:
            return "x86-64" if f.read().strip() == "win64" else "x86"
    except FileNotFoundError:
        return "x86"


def windows_path(path: str) -> str:
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def reporter_log(temp_dir: str) -> str:
    """The reporter's own log in its temporary folder (a CrashSession's
    `temp_dir`); empty before the reporter has made it."""
    try:
        with open(os.path.join(temp_dir, "tavra_crashreporter.log"), "rb") as f:
            return f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""


def wait_for(what, found, timeout=WAIT_SECONDS):
    """Polls `found` until it returns something true; that value."""
    deadline = time.monotonic() + timeout
    while True:
        value = found()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"waited {timeout:.0f} s for {what}")
        time.sleep(0.05)



class Program:
    """A Windows program under Wine, spoken to line by line. Wine sets TEMP
    and TMP from its registry whatever the Unix environment says, so a
    `temp_dir` for the program is set through cmd."""

    def __init__(self, arguments: List[str], env: Dict[str, str], temp_dir: Optional[str] = None):
        build = build_dir()
        program = os.path.join(build, "bin", arguments[0])
        if temp_dir is not None:
            temp = windows_path(temp_dir)
            assert re.fullmatch(r"[\\\w:. -]+", temp), f"{temp} needs quoting for cmd"
            program = [f"set TEMP={temp}&& set TMP={temp}&& {windows_path(program)}"]
            prefix = ["cmd", "/c"]
        else:
            program, prefix = [program], []
        self.process = subprocess.Popen(
            [os.path.join(build, "wine-run")] + prefix + program + arguments[1:],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            env=env, text=True, encoding="utf-8", errors="replace", bufsize=1,
        )
        self._lines: "queue.Queue[Optional[str]]" = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        for line in self.process.stdout:
            self._lines.put(line.rstrip("\r\n"))
        self._lines.put(None)

    def read_line(self, timeout: float = LINE_TIMEOUT) -> Optional[str]:
        try:
            return self._lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def read_until(self, pattern: str, timeout: float = LINE_TIMEOUT) -> "re.Match":
        deadline = time.monotonic() + timeout
        seen = []
        while time.monotonic() < deadline:
            line = self.read_line(max(0.1, deadline - time.monotonic()))
            if line is None and self.process.poll() is not None:
                break
            if line is None:
                continue
            seen.append(line)
            match = re.search(pattern, line)
            if match:
                return match
        raise AssertionError(f"no line matching {pattern!r}; saw {seen[-10:]}")

    def send(self, line: str) -> None:
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def command(self, line: str) -> str:
        self.send(line)
        answer = self.read_line()
        assert answer is not None, f"no answer to {line!r}"
        return answer

    def wait(self, timeout: float = LINE_TIMEOUT) -> int:
        return self.process.wait(timeout)

    def stop(self) -> None:
        if self.process.poll() is None:
            try:
                self.send("exit")
            except OSError:
                pass
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class CrashSession:
    """A stand-in browser with its reporter, writing crash logs to `log_dir`."""

    def __init__(self, log_dir: str, server_url: Optional[str] = None,
                 env: Optional[Dict[str, str]] = None, temp_dir: Optional[str] = None):
        self.log_dir = log_dir
        os.makedirs(log_dir, exist_ok=True)
        self.env = dict(os.environ, **(env or {}))
        self.env["TAVRA_CRASH_LOG_DIR"] = windows_path(log_dir)
        self.env["TAVRA_CRASH_KEEP_LOGS"] = "1"
        # An address where nothing listens answers at once, unless the test
        # gives its own server.
        self.env["TAVRA_CRASH_SERVER_URL"] = server_url or "http://127.0.0.1:9/"
        # The reporter's own log goes to its temporary folder, `temp_dir` when
        # given.
        self.browser = Program(["stand_in_browser.exe", "--browser", "--no-crash", "--stay"],
                               self.env, temp_dir)
        match = self.browser.read_until(r"started the reporter, process (\d+)")
        self.reporter_pid = int(match.group(1))
        self.browser.read_until(r"staying until told to exit")
        self.crashes = 0

    def crash(self, kind: str, argument: str = "0", annotations=()) -> Dict:
        """Starts a test client that registers, sets the annotations (name
        and value, any text, one entry each in order, so that names may
        repeat; at most 16) and crashes; what it printed about the crash (hex
        values as ints), its threads and modules, and the log's path."""
        client = Program(
            ["tavra_test_client.exe", "--annotations=16", f"--reporter-pid={self.reporter_pid}"],
            self.env,
        )
        try:
            assert client.command("threads 2").startswith("threads ")
            assert client.command("register").startswith("registered ")
            for index, (name, value) in enumerate(annotations):
                hex_value = value.encode("utf-8").hex()
                assert client.command(f"setat-hex {index} {name} {hex_value}") == "ok"
            threads = [int(t) for t in client.command("list-threads").split()[1:]]
            head = client.command("list-modules").split()
            modules = []
            for _ in range(int(head[1])):
                parts = client.read_line().split(" ", 3)
                modules.append({"base": int(parts[1], 16), "size": int(parts[2], 16),
                                "path": parts[3]})
            client.send(f"crash {kind} {argument}")
            line = client.read_until(r"^(crash code=|unknown crash)")
            assert not line.string.startswith("unknown"), (
                f"this build's test client knows no crash kind {kind!r}"
            )
            # Addresses and registers in the width of the build (8 or 16 digits).
            crash = {k: int(v, 16)
                     for k, v in re.findall(r"(\w+)=([0-9A-F]{16}|[0-9A-F]{8})\b", line.string)}
            client.wait()
        finally:
            if client.process.poll() is None:
                client.process.kill()
                client.process.wait()
        self.crashes += 1
        path = os.path.join(self.log_dir, f"tavra-crashlog-{self.reporter_pid}-{self.crashes}.txt")
        return {"crash": crash, "threads": threads, "modules": modules, "log": path}

    def close(self) -> None:
        self.browser.stop()
