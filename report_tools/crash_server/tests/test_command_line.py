"""The launcher as people run it: tools/crash_server in a process of its own."""

import os
import re
import signal
import socket
import subprocess
import time

import pytest

from .support import connect, crash_log, exchange, get_request, parse_response, post_request, upload

LAUNCHER = os.path.join(os.path.dirname(__file__), "..", "..", "..", "tools", "crash_server")


def launch(*arguments, cwd):
    return subprocess.Popen(
        [LAUNCHER, *arguments],
        cwd=cwd,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def run(*arguments, cwd):
    return subprocess.run([LAUNCHER, *arguments], cwd=cwd, capture_output=True, text=True, timeout=30)


@pytest.fixture
def running(tmp_path):
    """The launcher on an ephemeral port with the default storage folder."""
    process = launch("--port", "0", "--quiet", cwd=tmp_path)
    line = process.stdout.readline()
    listening = r"crash server listening on http://127\.0\.0\.1:(\d+)/ \(storage (.+)\)\n"
    match = re.fullmatch(listening, line)
    assert match, line + process.stderr.read()
    assert match.group(2) == str(tmp_path / "crash_reports")
    yield process, int(match.group(1)), tmp_path / "crash_reports"
    if process.poll() is None:
        process.kill()
        process.wait()
    process.stdout.close()
    process.stderr.close()


@pytest.mark.parametrize("stop_signal", [signal.SIGTERM, signal.SIGINT])
def test_serves_prints_each_report_and_stops_on_a_signal(running, stop_signal):
    process, port, storage = running
    status, headers, _ = parse_response(exchange(port, get_request("/")))
    report_id = re.search(r"\?id=(\w+)&", headers["location"]).group(1)
    assert status == "303"
    log = crash_log(5000)
    assert upload(port, {"stacktraceId": report_id, "email": ""}, log)[0] == "200"
    printed = process.stdout.readline()
    assert printed == f"report {report_id}: 2 fields, crashlog 5000 bytes, {storage / report_id}\n"

    process.send_signal(stop_signal)
    assert process.wait(timeout=30) == 0
    assert process.stdout.read() == "crash server stopped\n"
    assert os.listdir(storage) == [report_id]
    assert (storage / report_id / "crashlog.txt").read_bytes() == log


def test_a_signal_during_an_upload_leaves_no_half_written_report(running):
    process, port, storage = running
    body = b"x" * 100000
    with connect(port) as sock:
        sock.sendall(post_request(body, "multipart/form-data; boundary=b")[:50000])
        for _ in range(1000):  # until the upload has begun its folder
            if os.listdir(storage):
                break
            time.sleep(0.01)
        assert os.listdir(storage) and os.listdir(storage)[0].startswith(".incoming-")
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=30) == 0
    assert os.listdir(storage) == []


def test_leftovers_of_a_killed_run_are_removed_at_start(tmp_path):
    (tmp_path / "crash_reports" / ".incoming-0123").mkdir(parents=True)
    (tmp_path / "crash_reports" / ".incoming-0123" / "fields.json").write_text("{")
    process = launch("--port", "0", "--quiet", cwd=tmp_path)
    try:
        assert process.stdout.readline().startswith("crash server listening on ")
        assert os.listdir(tmp_path / "crash_reports") == []
    finally:
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=30) == 0
        process.stdout.close()
        process.stderr.close()


@pytest.mark.parametrize(
    "arguments,message",
    [
        (["--first-request", "bogus"], 'unknown first-request mode item "bogus"'),
        (["--upload", "status:1000"], "outside 200 to 599"),
        (["--port", "70000"], "is not a port number"),
        (["--host"], "expected one argument"),
        (["--throttle", "3/60", "--throttle", "3/0"], '"3/0" is outside the throttle rule'),
        (["--throttle", "3 per minute"], "is not a throttle rule N/SECONDS"),
        (["--host", "0.0.0.0"], "--host 0.0.0.0 needs --public-url"),
        (["--host", "::"], "--host :: needs --public-url"),
    ],
)
def test_bad_arguments_are_refused_with_a_reason(tmp_path, arguments, message):
    result = run(*arguments, cwd=tmp_path)
    assert result.returncode == 2 and message in result.stderr
    assert not (tmp_path / "crash_reports").exists()


def test_a_port_in_use_is_an_error(tmp_path):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        port = listener.getsockname()[1]
        result = run("--port", str(port), cwd=tmp_path)
    assert result.returncode == 1 and f"cannot listen on 127.0.0.1:{port}" in result.stderr


def test_help_names_every_option_and_mode():
    result = run("--help", cwd=None)
    assert result.returncode == 0
    for word in ["--host", "--port", "--storage", "--first-request", "--upload", "--keep-body",
                 "no-ampersand", "long-location", "close-mid-body", "hold:SECONDS", "/_control",
                 "first_request.json", "--throttle", "X-Tavra-Crash-Signature"]:
        assert word in result.stdout


def test_a_throttle_rule_on_the_command_line_declines_the_second_first_request(tmp_path):
    process = launch("--port", "0", "--quiet", "--throttle", "1/3600", cwd=tmp_path)
    try:
        port = int(re.search(r":(\d+)/", process.stdout.readline()).group(1))
        signature = [("X-Tavra-Crash-Signature", "0123456789ab")]
        statuses = [parse_response(exchange(port, get_request("/", signature)))[0]
                    for _ in range(2)]
        assert statuses == ["303", "503"]
    finally:
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=30) == 0
        process.stdout.close()
        process.stderr.close()
