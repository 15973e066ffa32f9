"""One crash over https, end to end and for real under Wine: the reporter
posts to this process's crash server at https://localhost:PORT/, whose
certificate a throwaway authority made for this test signed. The authority is
trusted in the run's Wine prefix only while the test runs.

Needs the build: TAVRA_BUILD_DIR names it (CTest sets it for this file);
skipped without it.
"""

import hashlib
import io
import os
import ssl
import subprocess

from crash_server.server import CrashServer
from crash_server.tls import ServerTls, server_context
from crashlog.tests.real_crashes import CrashSession, build_dir, reporter_log, wait_for

from .support import HOST, exchange, make_authority, parse_response

# Where crypt32 under Wine, as on Windows, keeps the machine's trusted root
# authorities: one key per certificate, named by its SHA-1 hash.
ROOT_STORE_KEY = r"HKLM\Software\Microsoft\SystemCertificates\Root\Certificates"
# A serialized certificate context: one property, CERT_CERT_PROP_ID (32),
# holding the DER certificate ("Blob" of the key).
CERT_CERT_PROP_ID = 32
# The reporter's budget must not hold back the one crash.
# What reg says of a key that is not there.
NOT_FOUND = b"Unable to find the specified registry key"
# The key of the authority trusted by a run, in the build folder, while it
# is trusted.
TRUSTED_NOTE = "https_crash_trusted_authority.txt"
BUDGET_OFF = {"TAVRA_CRASH_BUDGET_PER_SIGNATURE": "0", "TAVRA_CRASH_BUDGET_PER_DAY": "0"}


def wine_reg(*arguments):
    build = build_dir()
    return subprocess.run([os.path.join(build, "wine-run"), "reg", *arguments],
                          capture_output=True, timeout=120)


class TrustedAuthority:
    """The authority in the Wine prefix's root store while in a with block.
    Its key is noted in the build folder while it is trusted, so that a run
    killed meanwhile has its authority taken out by the next one."""

    def __init__(self, pem_path):
        with open(pem_path) as f:
            der = ssl.PEM_cert_to_DER_cert(f.read())
        self.key = ROOT_STORE_KEY + "\\" + hashlib.sha1(der).hexdigest().upper()
        blob = CERT_CERT_PROP_ID.to_bytes(4, "little") + (1).to_bytes(4, "little")
        self.blob = blob + len(der).to_bytes(4, "little") + der
        self.note = os.path.join(build_dir(), TRUSTED_NOTE)

    def __enter__(self):
        if os.path.exists(self.note):
            with open(self.note) as f:
                stale = f.read().strip()
            if stale.startswith(ROOT_STORE_KEY + "\\"):
                wine_reg("delete", stale, "/f")
        with open(self.note, "w") as f:
            f.write(self.key + "\n")
        added = wine_reg("add", self.key, "/v", "Blob", "/t", "REG_BINARY",
                         "/d", self.blob.hex().upper(), "/f")
        assert added.returncode == 0, added.stderr
        return self

    def __exit__(self, *_):
        if wine_reg("delete", self.key, "/f").returncode == 0:
            os.remove(self.note)

    def trusted(self):
        """True when the key is there; False when the query finds none
        (any other failure of reg ends the test)."""
        found = wine_reg("query", self.key)
        if found.returncode != 0:
            assert NOT_FOUND in found.stdout + found.stderr, found
            return False
        assert self.key.rsplit("\\", 1)[1].encode() in found.stdout, found
        return True


def test_a_crash_reaches_the_server_over_https_with_an_authority_trusted_in_the_prefix(
    tmp_path,
):
    build_dir()
    authority, certificate, key = make_authority(str(tmp_path))
    server = CrashServer(
        host=HOST, port=0, storage=str(tmp_path / "reports"), out=io.StringIO(), log=None,
        tls=ServerTls(server_context(certificate, key)),
    )
    server.start()
    try:
        url = f"https://localhost:{server.port}/"
        # Plain HTTP to the https port is told so, and stores nothing.
        status, _, body = parse_response(exchange(server.port, b"GET / HTTP/1.1\r\n\r\n"))
        assert (status, body) == ("400", b"this server speaks https only\n")
        temp_dir = str(tmp_path / "temp")
        os.makedirs(temp_dir)
        with TrustedAuthority(authority) as trusted:
            assert trusted.trusted(), "the authority was not added to the root store"
            session = CrashSession(str(tmp_path / "logs"), url, BUDGET_OFF, temp_dir)
            try:
                session.crash("read", "0")
                reports = wait_for(
                    "the report over https", lambda: server.store.stored_count and
                    [n for n in os.listdir(server.store.folder) if not n.startswith(".")],
                )
            finally:
                session.close()
        assert not trusted.trusted(), "the authority stayed trusted"
        assert not os.path.exists(trusted.note)
        traffic = server.traffic.counts()
    finally:
        server.stop()
    log = reporter_log(temp_dir)
    assert len(reports) == 1, (reports, log[-2000:])
    (report_id,) = reports
    # Stored under the id that the first request, over https too, handed out.
    assert server.store.first_request(report_id) is not None, log[-2000:]
    assert traffic["first_requests"] == 1 and traffic["uploads"] == 1, traffic
