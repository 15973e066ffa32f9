"""Helpers of the crash server's tests: a server on an ephemeral port of
127.0.0.1, raw socket exchanges, and uploads laid out byte for byte as the
reporter sends them."""

import io
import json
import os
import random
import socket
import ssl
import subprocess
import zipfile

HOST = "127.0.0.1"
REPORTER_USER_AGENT = "TavraCrashReporter/1.0 (Windows)"


class Started:
    """A running server and what it has printed and stored."""

    def __init__(self, server, out):
        self.server = server
        self.out = out
        self.port = server.port
        self.folder = server.store.folder

    def lines(self):
        return self.out.getvalue().splitlines()

    def reports(self):
        return sorted(n for n in os.listdir(self.folder) if not n.startswith("."))

    def leftovers(self):
        return [n for n in os.listdir(self.folder) if n.startswith(".")]

    def read(self, report_id, name, mode="rb"):
        with open(os.path.join(self.folder, report_id, name), mode) as f:
            return json.load(f) if name.endswith(".json") else f.read()

    def control(self, **modes):
        body = json.dumps(modes).encode()
        request = post_request(body, "application/json", "/_control")
        return parse_response(exchange(self.port, request))


def connect(port, timeout=10.0, tls=None):
    """A connection to the server; a TLS one, for "localhost", with `tls` (a
    client's ssl.SSLContext)."""
    sock = socket.create_connection((HOST, port), timeout=timeout)
    return sock if tls is None else tls.wrap_socket(sock, server_hostname="localhost")


def receive_all(sock):
    """Everything until the server closes; a reset counts as the end."""
    chunks = []
    while True:
        try:
            data = sock.recv(65536)
        except ConnectionResetError:
            break
        if not data:
            break
        chunks.append(data)
    return b"".join(chunks)


def exchange(port, request, timeout=10.0, tls=None):
    with connect(port, timeout, tls) as sock:
        sock.sendall(request)
        return receive_all(sock)


def get_request(path="/", headers=()):
    """A GET as the reporter sends it: with its User-Agent unless `headers`
    name one (a GET of a page path from another client is a page)."""
    if not any(n.lower() == "user-agent" for n, _ in headers):
        headers = [("User-Agent", REPORTER_USER_AGENT)] + list(headers)
    if not any(n.lower() == "host" for n, _ in headers):
        headers = [("Host", HOST)] + list(headers)
    lines = [f"GET {path} HTTP/1.1"] + [f"{n}: {v}" for n, v in headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def post_request(body, content_type, path="/", headers=None):
    if headers is None:
        headers = [("Content-Length", str(len(body)))]
    if content_type is not None:
        headers = [("Content-Type", content_type)] + list(headers)
    lines = [f"POST {path} HTTP/1.1", f"Host: {HOST}"] + [f"{n}: {v}" for n, v in headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def parse_response(raw):
    """(status text, headers with lower-case names, body) of a raw answer."""
    head, separator, body = raw.partition(b"\r\n\r\n")
    assert separator, f"no complete head in {raw[:200]!r}"
    lines = head.decode("latin-1").split("\r\n")
    status = lines[0].split(" ")[1]
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return status, headers, body


def reporter_boundary(rng):
    # 27 hyphens and two draws of a C library rand() (0 to 32767) in hex.
    return "-" * 27 + "%08X%08X" % (rng.randrange(32768), rng.randrange(32768))


def reporter_body(boundary, fields, file_name, file_bytes, file_part="file", in_map_order=True):
    """The reporter's body: fields in UTF-16 code-unit order of their names
    (else as given), then the file part, then the closing line; nothing
    escaped."""
    b = boundary.encode()
    out = b""
    names = sorted(fields, key=lambda n: n.encode("utf-16-be")) if in_map_order else list(fields)
    for name in names:
        out += b"--" + b + b"\r\n" + b'Content-Disposition: form-data; name="' + name.encode()
        out += b'"\r\n\r\n' + fields[name].encode("utf-8") + b"\r\n"
    out += b"--" + b + b"\r\n" + b'Content-Disposition: form-data; name="' + file_part.encode()
    out += b'"; filename="' + file_name.encode() + b'"\r\n'
    out += b"Content-Type: application/octet-stream\r\n\r\n" + file_bytes + b"\r\n"
    out += b"--" + b + b"--\r\n"
    return out


def zip_archive(entries):
    """A zip archive of (name, bytes) entries, deflated at level 9, with no
    time stamp (as the reporter writes them), so equal entries give equal
    archives."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name, (1980, 1, 1, 0, 0, 0))
            archive.writestr(info, data, zipfile.ZIP_DEFLATED, 9)
    return buffer.getvalue()


def crash_log(size, seed=0):
    """Crash-log-like bytes: hex dump lines with CR LF, some high bytes, and
    a line that looks like a boundary."""
    rng = random.Random(seed)
    out = bytearray(b"Tavra 1.2.3.4 (build 5) crashed\r\n-----------------------------\r\n")
    while len(out) < size:
        out += rng.randbytes(16).hex().encode() + b"  " + rng.randbytes(8) + b"\r\n"
    return bytes(out[:size])


def upload(port, fields, crashlog, file_name="tavra-crashlog-100-1.zip", seed=1, path="/",
           tls=None):
    """Posts a reporter-style upload; (status, headers, body, request body)."""
    boundary = reporter_boundary(random.Random(seed))
    body = reporter_body(boundary, fields, file_name, zip_archive([("crashlog.txt", crashlog)]))
    request = post_request(
        body, "multipart/form-data; boundary=" + boundary, path,
        [("User-Agent", REPORTER_USER_AGENT), ("Content-Length", str(len(body)))],
    )
    status, headers, answer = parse_response(exchange(port, request, tls=tls))
    return status, headers, answer, body


def _openssl(*arguments, cwd):
    subprocess.run(["openssl", *arguments], cwd=cwd, check=True, capture_output=True,
                   timeout=60)


def make_authority(folder):
    """A throwaway authority and a server certificate for "localhost" that it
    signed, made in `folder`: (authority PEM, server certificate PEM, server
    key PEM). The authority's key is deleted once it signed, so that nothing
    else is ever signed by it, wherever it is trusted."""
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write("basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost\n")
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out",
             "ca.pem", "-days", "2", "-subj", "/CN=Tavra test authority (throwaway)",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out",
             "server.csr", "-subj", "/CN=localhost", cwd=folder)
    _openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-set_serial", "2", "-days", "2", "-extfile", "server.ext", "-out", "server.pem",
             cwd=folder)
    os.remove(os.path.join(folder, "ca.key"))
    return tuple(os.path.join(folder, name) for name in ("ca.pem", "server.pem", "server.key"))


def client_context(authority):
    """A client's TLS context that trusts `authority` only."""
    return ssl.create_default_context(cafile=authority)
