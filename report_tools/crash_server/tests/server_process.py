"""A crash server in a process of its own, for the tests that bound what a
hostile request costs the whole process: its peak resident memory is read
from /proc (VmHWM) while it runs."""

import os
import subprocess
import select
import sys

REPORT_TOOLS = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
START_TIMEOUT = 30.0


class ServerProcess:
    def __init__(self, storage: str, *arguments: str):
        self.storage = storage
        environment = dict(os.environ, PYTHONPATH=REPORT_TOOLS, PYTHONDONTWRITEBYTECODE="1")
        self.process = subprocess.Popen(
            [sys.executable, "-m", "crash_server", "--port", "0", "--storage", storage,
             "--quiet", *arguments],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=environment, text=True,
        )
        # "crash server listening on http://HOST:PORT/ (storage DIR)", or nothing.
        ready, _, _ = select.select([self.process.stdout], [], [], START_TIMEOUT)
        line = self.process.stdout.readline() if ready else ""
        if "listening on" not in line:
            self.stop()
            raise RuntimeError(f"the crash server did not start: {line!r}")
        self.port = int(line.split("listening on ")[1].split("/")[2].rsplit(":", 1)[1])

    def peak_memory_mb(self) -> float:
        """The process's peak resident memory so far."""
        with open(f"/proc/{self.process.pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
        raise RuntimeError("no VmHWM")

    def stop(self) -> None:
        self.process.terminate()
        try:
            self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
