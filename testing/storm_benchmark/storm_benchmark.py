"""A storm of crashes of one site, and what it sends to the crash server.

For each configuration: a local crash server of its own in this process (on
127.0.0.1), the stand-in browser with the real reporter pointed at it, a
crash directory of its own, and N test clients (default 200) that register and
crash at one site ("crash read 0"), a few at a time (default 4). Once every
client has ended, and every report the server asked for has arrived, the
server's counts say what reached it: first requests, of them declined, and
uploads, each with their bytes (request line, headers and body as the server
read them); the reporter's log says which crashes it did not ask about (over
its budget) and which reports it dropped. The configurations, side by side:
  - no budget and no rule: every crash asks and uploads;
  - the reporter's crash budget with its defaults (3 per signature, 30 a
    day), no server rule: the reporter stops asking;
  - the server's rule (--throttle 3/3600), no budget: every crash asks, the
    server declines all but 3 at the first request.

Run by tools/benchmark.sh inside its Wine session, with TAVRA_BUILD_DIR set;
switches: --crashes=N, --parallel=N.
"""

import argparse
import concurrent.futures
import os
import re
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "report_tools"))

from crash_server.behaviour import FIRST_REQUEST, UPLOAD, parse_mode  # noqa: E402
from crash_server.server import CrashServer  # noqa: E402
from crash_server.throttle import Rule  # noqa: E402
from crashlog.tests.real_crashes import CrashSession, Program, reporter_log  # noqa: E402

BUDGET_VARIABLES = ("TAVRA_CRASH_BUDGET_PER_SIGNATURE", "TAVRA_CRASH_BUDGET_PER_DAY")
BUDGET_OFF = dict.fromkeys(BUDGET_VARIABLES, "0")
RULE = Rule(3, 3600)
# (heading, second heading line, the reporter's budget variables (None: the
# defaults), the server's rules)
CONFIGURATIONS = [
    ("no budget,", "no rule", BUDGET_OFF, []),
    ("client budget", "(defaults)", None, []),
    ("server rule", f"(--throttle {RULE})", BUDGET_OFF, [RULE]),
]
# Bounds for a loaded machine; a passing run takes a fraction of each.
CLIENT_SECONDS = 120.0
UPLOADS_SECONDS = 180.0


def crash_one(session):
    """A test client that registers and crashes; whether it crashed and was
    let go by the reporter."""
    client = Program(["tavra_test_client.exe", f"--reporter-pid={session.reporter_pid}"],
                     session.env)
    try:
        if not client.command("register").startswith("registered "):
            return False
        client.send("crash read 0")
        client.read_until(r"^crash code=", CLIENT_SECONDS)
        client.wait(CLIENT_SECONDS)
        return True
    except Exception:  # a client that failed counts as not crashed
        return False
    finally:
        if client.process.poll() is None:
            client.process.kill()
            client.process.wait()


# What the reporter's log says of a crash that sent no upload, by what
# became of it.
CRASH_LINES = {
    "not_asked": "not reported: over the crash budget",
    "dropped": "report dropped: the upload queue is full",
    "not_uploaded": "report not uploaded",
}


def crash_lines(temp_dir):
    """How many crashes the reporter's log names, by CRASH_LINES."""
    text = reporter_log(temp_dir)
    return {name: len(re.findall(r"Crash \d+ of process \d+: " + re.escape(line), text))
            for name, line in CRASH_LINES.items()}


def wait_for_uploads(server, temp_dir):
    """Waits until every first request that the server answered other than
    with 503 has had its upload, or the reporter has said why not; whether it
    happened within the bound."""
    deadline = time.monotonic() + UPLOADS_SECONDS
    while True:
        counts = server.traffic.counts()
        lines = crash_lines(temp_dir)
        lost = lines["dropped"] + lines["not_uploaded"]
        if counts["uploads"] + lost >= counts["first_requests"] - counts["declined"]:
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)


def storm(folder, budget, rules, crashes, parallel):
    env = {k: v for k, v in os.environ.items() if k not in BUDGET_VARIABLES}
    env.update(budget or {})
    server = CrashServer(
        host="127.0.0.1", port=0, storage=os.path.join(folder, "reports"),
        first_request=parse_mode("", FIRST_REQUEST), upload=parse_mode("", UPLOAD),
        out=None, log=None, throttle=rules,
    )
    server.start()
    start = time.monotonic()
    try:
        temp_dir = os.path.join(folder, "temp")
        os.makedirs(temp_dir)
        session = CrashSession(os.path.join(folder, "crash logs"), server.url, env, temp_dir)
        try:
            with concurrent.futures.ThreadPoolExecutor(parallel) as pool:
                crashed = sum(pool.map(lambda _: crash_one(session), range(crashes)))
            complete = wait_for_uploads(server, temp_dir)
        finally:
            session.close()
        seconds = time.monotonic() - start
        return dict(server.traffic.counts(), **crash_lines(temp_dir), crashed=crashed,
                    complete=complete, seconds=seconds)
    finally:
        server.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--crashes", type=int, default=200)
    parser.add_argument("--parallel", type=int, default=4)
    args = parser.parse_args()
    results = []
    for _, _, budget, rules in CONFIGURATIONS:
        with tempfile.TemporaryDirectory(prefix="tavra-storm-") as folder:
            results.append(storm(folder, budget, rules, args.crashes, max(1, args.parallel)))

    def row(name, values):
        print(f"  {name:<30}" + "".join(f"{v:>21}" for v in values))

    print(f"Crash storm: {args.crashes} crashes of one site (test client \"crash read 0\"), "
          f"{args.parallel} at a time;")
    print("each configuration with a reporter, crash directory and local crash server of its own")
    print(f"  {'':<30}" + "".join(f"{c[0]:>21}" for c in CONFIGURATIONS))
    print(f"  {'':<30}" + "".join(f"{c[1]:>21}" for c in CONFIGURATIONS))
    row("clients crashed and let go", [r["crashed"] for r in results])
    row("not asked: over the budget", [r["not_asked"] for r in results])
    row("first requests received", [r["first_requests"] for r in results])
    row("  of them declined (503)", [r["declined"] for r in results])
    row("dropped: upload queue full", [r["dropped"] for r in results])
    row("not uploaded (upload failed)", [r["not_uploaded"] for r in results])
    row("uploads received", [r["uploads"] for r in results])
    row("bytes of first requests", [r["first_request_bytes"] for r in results])
    row("bytes of uploads", [r["upload_bytes"] for r in results])
    total = [r["first_request_bytes"] + r["upload_bytes"] for r in results]
    row("bytes in all", total)
    row("  of the first column", [f"{100.0 * t / total[0]:.2f} %" if total[0] else "-"
                                  for t in total])
    row("seconds", [f"{r['seconds']:.1f}" for r in results])
    if not all(r["complete"] for r in results):
        print("  (NOT EVERY REPORT ASKED FOR WAS UPLOADED within "
              f"{UPLOADS_SECONDS:.0f} s of the last crash)")
    return 0 if all(r["complete"] and r["crashed"] == args.crashes for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
