"""Fixtures of the crash server's tests."""

import io
import time

import pytest

from crash_server.behaviour import FIRST_REQUEST, UPLOAD, parse_mode
from crash_server.server import CrashServer

from .support import HOST, Started


@pytest.fixture
def start_server(tmp_path):
    started = []

    def start(first_request="", upload="", keep_body=False, throttle=(), clock=time.time,
              tls=None, public_url=None, log=None, quota_bytes=None):
        out = io.StringIO()
        server = CrashServer(
            host=HOST,
            port=0,
            storage=str(tmp_path / "reports"),
            first_request=parse_mode(first_request, FIRST_REQUEST),
            upload=parse_mode(upload, UPLOAD),
            keep_body=keep_body,
            out=out,
            log=log,
            throttle=throttle,
            clock=clock,
            tls=tls,
            public_url=public_url,
            quota_bytes=quota_bytes,
        )
        server.start()
        started.append(server)
        return Started(server, out)

    yield start
    for server in started:
        server.stop()


@pytest.fixture
def server(start_server):
    return start_server()
